// The render side of the tool: one request per frame, one chunk per scan line.

#include <atomic>
#include <cstdint>
#include <cstring>

#include "host/tags.h"
#include "keying/line_kernel.h"
#include "keying/pixel.h"
#include "keying/snapshot.h"
#include "keying/staging.h"
#include "tool/veskar.h"

namespace {

// Positions of pixel x of line y in one plane: row start + x * step, the
// product in 32-bit arithmetic (the host keeps it in range), 0 for a plane
// without a row-start table.
struct PlaneWalk {
    const std::int64_t* rows;
    std::int32_t step;

    std::int64_t At(std::int32_t x, std::int32_t y) const noexcept {
        return rows ? rows[y] + static_cast<std::int64_t>(x * step) : 0;
    }
};

// Whether a chunk may key its line straight from and into the planes: the
// source, the output and the key image (when one is sampled) all keep their
// pixels as the host's plain float rows, and the output's further channels are
// laid out as the source's. Any other image goes through its routines.
bool KeyLineDirectly(const Image* source, const Image* output, const Image* key) noexcept {
    return source->PlainFloatRows() && output->PlainFloatRows() &&
           (key == nullptr || key->PlainFloatRows()) && source->Step(2) == output->Step(2) &&
           (source->RowStarts(2) == nullptr) == (output->RowStarts(2) == nullptr);
}

}  // namespace

void Veskar::KeyPlainLine(const keying::Snapshot& snapshot, std::int32_t falloff,
                          std::int32_t keyer, std::int32_t y, bool sampling, double sx, double sy,
                          double kw, double kh) {
    Image* const source = sourceImage;
    Image* const output = outputImage;
    const std::int32_t width = source->Width();

    keying::LineJob job;
    job.snapshot = &snapshot;
    job.falloffMode = falloff;
    job.keyerMode = keyer;
    job.startKeyColour = keying::KeyColour(snapshot, keying::StartStaging(snapshot));
    // The key row is the line's own. The host's answer to the usability query
    // cannot change while it renders a request, so the line asks it once.
    if (sampling) {
        const std::int32_t ky = keying::KeySampleCoordinate(y, sy);
        if (keying::KeySampleInside(0, ky, kw, kh)) {
            job.keyRow = reinterpret_cast<const float*>(keyImage->PlaneBytes(1) +
                                                        keyImage->RowStarts(1)[ky]);
            job.keyWidth = keying::KeyImageExtent(kw);
            job.keyScaleX = sx;
        }
    }
    const auto* in =
        reinterpret_cast<const float*>(source->PlaneBytes(1) + source->RowStarts(1)[y]);
    auto* out = reinterpret_cast<float*>(output->PlaneBytes(1) + output->RowStarts(1)[y]);
    keying::ActiveLineKernel()(job, in, out, width);
    // Further channels pass unchanged.
    if (source->RowStarts(2) != nullptr) {
        std::memcpy(output->PlaneBytes(2) + output->RowStarts(2)[y],
                    source->PlaneBytes(2) + source->RowStarts(2)[y],
                    static_cast<std::size_t>(width) * static_cast<std::size_t>(source->Step(2)));
    }
}

void Veskar::CheckRequest(Request* request) { Operator::CheckRequest(request); }

void Veskar::Process(Request* request) {
    sourceImage = static_cast<Image*>(request->GetInputData(inImage, 0));
    keyImage = static_cast<Image*>(request->GetInputData(inKeyImage, 0));
    if (sourceImage == nullptr) {
        outputImage = nullptr;
    } else {
        imageWidth = sourceImage->Width();
        imageHeight = sourceImage->Height();
        if (imageWidth == 0 || imageHeight == 0) {
            return;  // nothing to render, and no output is handed over
        }
        if (inKeyImage->IsUsable()) {
            keyImage = static_cast<Image*>(request->GetInputData(inKeyImage, 0));
            keyImageUsable = 1;
        } else {
            keyImageUsable = 0;
            request->SetInputData(inKeyImage, nullptr, 0);
            // The request may have held the only reference: no chunk may look
            // at the image it just let go.
            keyImage = nullptr;
        }
        const TagItem like[] = {TagPointer(kImgLike, sourceImage), kTagEnd};
        outputImage = NewImageTagList(TagList(like, false));
        DoMultiProcess(request, imageHeight);
    }
    request->SetOutputData(outImage, outputImage);
}

// One chunk keys one line, and reads as the render's algorithm from top to
// bottom: where the key image is sampled, the controls read once, the line
// kernel when the planes are plain float rows, else the per-pixel loop. It is
// longer than a function usually is so that the order of those steps, which
// the bits depend on, stands in one place; each step is named by its comment.
void Veskar::RenderChunk(Request* request, int chunk) {
    const std::int32_t y = chunk;
    Image* const source = sourceImage;
    Image* const output = outputImage;
    Image* const key = keyImage;

    const PlaneWalk out1{output->RowStarts(1), output->Step(1)};
    const PlaneWalk out2{output->RowStarts(2), output->Step(2)};
    std::int64_t outPosition1 = out1.At(0, y);
    std::int64_t outPosition2 = out2.At(0, y);

    // Key sampling is decided once for the chunk.
    double kw = key ? static_cast<double>(key->Width()) : 0.0;
    double kh = key ? static_cast<double>(key->Height()) : 0.0;
    double sx = 0.0;
    double sy = 0.0;
    if (imageWidth > 0 && imageHeight > 0 && kw > 0.0 && kh > 0.0 && keyImageUsable == 1 &&
        inKeyImage->IsUsable()) {
        sx = kw / imageWidth;
        sy = kh / imageHeight;
    } else {
        kw = 0.0;
        kh = 0.0;
    }

    // The controls are read once per chunk, in this order.
    Input* const controls[keying::kSnapControlCount] = {
        inColorspace, inBGAlphaBlend, inColCor,   inInvAlpha,  inCCAmount,   inDesaturateAlpha,
        inValueRed,   inValueGreen,   inValueBlue, inMiRedn,   inMinGreen,   inMinBlue,
        inMaxRed,     inMaxGreen,     inMaxBlue,   inFadeRed,  inGammaAlpha, inMultAlpha,
        inOffAlpha,   inFadeCC,       inAlphamult,
    };
    keying::SnapshotValues values{};
    for (int i = 0; i < keying::kSnapControlCount; ++i) {
        values[i] = *static_cast<Number*>(request->GetInputData(controls[i], 0));
    }
    const keying::Snapshot snapshot = keying::MakeSnapshot(values);
    // The mode copies may change while the frame renders; a chunk keys its
    // whole line with the values current when it starts.
    const std::int32_t falloff = falloffMode.load(std::memory_order_relaxed);
    const std::int32_t keyer = keyerMode.load(std::memory_order_relaxed);
    keying::StagingState staging = keying::StartStaging(snapshot);

    const std::int32_t width = source->Width();
    if (width < 1) {
        return;
    }
    const bool sampling = kw > 0.0 && kh > 0.0;
    if (KeyLineDirectly(source, output, sampling ? key : nullptr)) {
        KeyPlainLine(snapshot, falloff, keyer, y, sampling && inKeyImage->IsUsable(), sx, sy, kw,
                     kh);
        return;
    }

    const PlaneWalk src1{source->RowStarts(1), source->Step(1)};
    const PlaneWalk src2{source->RowStarts(2), source->Step(2)};
    const PixelFetch fetch = source->FetchRoutine();
    const PixelStore store = output->StoreRoutine();
    const std::int64_t outStep1 = output->Step(1);
    const std::int64_t outStep2 = output->Step(2);

    const PlaneWalk key1{sampling ? key->RowStarts(1) : nullptr, sampling ? key->Step(1) : 0};
    const PlaneWalk key2{sampling ? key->RowStarts(2) : nullptr, sampling ? key->Step(2) : 0};
    const PixelFetch keyFetch = sampling ? key->FetchRoutine() : nullptr;

    // The key row is the line's own; within the line, a key pixel sampled by
    // the pixel before (every other pixel of a half-size key) would stage to
    // the very state the line already holds, so it is not fetched again.
    const std::int32_t ky = sampling ? keying::KeySampleCoordinate(y, sy) : -1;
    std::int32_t stagedKx = -1;

    PixelRecord record;
    PixelRecord keyRecord;
    for (std::int32_t x = 0; x < width; ++x) {
        fetch(&record, src1.At(x, y), src2.At(x, y), source);
        if (sampling && inKeyImage->IsUsable()) {
            const std::int32_t kx = keying::KeySampleCoordinate(x, sx);
            // Outside the key image the pixel keeps the windows of the last
            // sample of this line.
            if (keying::KeySampleInside(kx, ky, kw, kh) && kx != stagedKx) {
                keyFetch(&keyRecord, key1.At(kx, ky), key2.At(kx, ky), key);
                keying::TakeKeySample(staging, snapshot,
                                      keying::Colour{keyRecord.B, keyRecord.G, keyRecord.R, keyRecord.A});
                stagedKx = kx;
            }
        }
        const keying::Colour keyed = keying::KeyPixel(
            snapshot, staging, falloff, keyer, keying::Colour{record.B, record.G, record.R, record.A});
        // Only the first four fields change: further channels pass unchanged.
        record.B = keyed.b;
        record.G = keyed.g;
        record.R = keyed.r;
        record.A = keyed.a;
        store(&record, outPosition1, outPosition2, output);
        outPosition1 += outStep1;
        outPosition2 += outStep2;
    }
}
