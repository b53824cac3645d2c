#include "host/image.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <mutex>
#include <limits>
#include <stdexcept>
#include <utility>

#include "host/tags.h"
#include "host/worker_pool.h"

Parameter::~Parameter() = default;
Number::~Number() = default;

namespace {

constexpr std::int64_t kRecordBytes = 4 * sizeof(float);

// Planes of released images, kept for the next image of the same size: a host
// renders frame after frame of one size, and touching fresh memory for every
// output frame costs more than keying it.
class PlanePool {
public:
    static PlanePool& Instance() {
        static PlanePool* pool = new PlanePool;  // outlives every image
        return *pool;
    }

    float* Take(std::size_t count) {
        std::lock_guard lock(mutex_);
        for (auto it = free_.begin(); it != free_.end(); ++it) {
            if (it->count == count) {
                float* plane = it->plane;
                bytes_ -= count * sizeof(float);
                free_.erase(it);
                return plane;
            }
        }
        return nullptr;
    }

    void Give(float* plane, std::size_t count) noexcept {
        const std::size_t bytes = count * sizeof(float);
        {
            std::lock_guard lock(mutex_);
            if (bytes <= kBudgetBytes) {
                // Oldest planes go first when the budget or the count is full:
                // the plane just released is the likeliest to be asked for.
                while (!free_.empty() && (bytes_ + bytes > kBudgetBytes || free_.size() >= kMaxPlanes)) {
                    std::free(free_.front().plane);
                    bytes_ -= free_.front().count * sizeof(float);
                    free_.erase(free_.begin());
                }
                free_.push_back({plane, count});
                bytes_ += bytes;
                return;
            }
        }
        std::free(plane);
    }

private:
    static constexpr std::size_t kBudgetBytes = std::size_t{1} << 30;
    static constexpr std::size_t kMaxPlanes = 8;

    struct Free {
        float* plane;
        std::size_t count;
    };
    std::mutex mutex_;
    std::vector<Free> free_;
    std::size_t bytes_ = 0;
};

void CheckPositions(std::int32_t width, std::int32_t height, std::int64_t step) {
    if (width < 0 || height < 0) {
        throw std::length_error("image size " + std::to_string(width) + " x " + std::to_string(height) +
                                " is negative");
    }
    // Tools form x * step in 32-bit arithmetic, so every pixel's offset within
    // its line must fit.
    if (static_cast<std::int64_t>(width) * step > std::numeric_limits<std::int32_t>::max()) {
        throw std::length_error("image width " + std::to_string(width) +
                                " is too large for the host's 32-bit pixel positions");
    }
}

}  // namespace

void FetchPixel(PixelRecord* record, std::int64_t position1, std::int64_t position2,
                const Image* image) {
    const auto* plane1 = reinterpret_cast<const unsigned char*>(image->plane1_.get());
    std::memcpy(&record->B, plane1 + position1, kRecordBytes);
    if (image->plane2_) {
        const auto* plane2 = reinterpret_cast<const unsigned char*>(image->plane2_.get());
        std::memcpy(record->Extra, plane2 + position2, static_cast<std::size_t>(image->step2_));
    }
}

void StorePixel(const PixelRecord* record, std::int64_t position1, std::int64_t position2,
                Image* image) {
    auto* plane1 = reinterpret_cast<unsigned char*>(image->plane1_.get());
    std::memcpy(plane1 + position1, &record->B, kRecordBytes);
    if (image->plane2_) {
        auto* plane2 = reinterpret_cast<unsigned char*>(image->plane2_.get());
        std::memcpy(plane2 + position2, record->Extra, static_cast<std::size_t>(image->step2_));
    }
}

void Image::PlaneRelease::operator()(float* plane) const noexcept {
    PlanePool::Instance().Give(plane, count);
}

namespace {

// A reused plane cleared to 0, as a new image is: a large one in pieces on the
// worker pool (one thread clears at a fraction of what the memory takes, and
// a 4K float frame's clear was a quarter of keying it), a small one at once.
void ClearPlane(float* plane, std::size_t count) {
    constexpr std::size_t kPieceFloats = std::size_t{1} << 18;  // 1 MiB
    if (count <= 4 * kPieceFloats) {
        std::memset(plane, 0, count * sizeof(float));
        return;
    }
    const std::size_t pieces = (count + kPieceFloats - 1) / kPieceFloats;
    host::RunChunks(static_cast<int>(pieces), [&](int piece) {
        const std::size_t first = static_cast<std::size_t>(piece) * kPieceFloats;
        std::memset(plane + first, 0, std::min(kPieceFloats, count - first) * sizeof(float));
    });
}

}  // namespace

Image::PlaneMemory Image::NewPlane(std::size_t count) {
    float* plane = PlanePool::Instance().Take(count);
    if (plane != nullptr) {
        ClearPlane(plane, count);  // a new image is all 0, also when reused
    } else {
        // Fresh memory from calloc is zero without being written: the system
        // hands out zero pages as they are first touched, so a plane costs
        // memory only as it is filled.
        plane = static_cast<float*>(std::calloc(count, sizeof(float)));
        if (plane == nullptr && count != 0) {
            throw std::bad_alloc();
        }
    }
    return PlaneMemory(plane, PlaneRelease{count});
}

Image::Image(std::int32_t width, std::int32_t height, std::vector<std::string> extraChannels)
    : width_(width),
      height_(height),
      extraNames_(std::move(extraChannels)),
      step1_(static_cast<std::int32_t>(kRecordBytes)),
      step2_(0),
      fetch_(&FetchPixel),
      store_(&StorePixel) {
    if (extraNames_.size() > static_cast<std::size_t>(kMaxExtraChannels)) {
        throw std::length_error(std::to_string(extraNames_.size()) +
                                " further channels; the host carries at most " +
                                std::to_string(kMaxExtraChannels));
    }
    const std::int64_t step2 = static_cast<std::int64_t>(extraNames_.size() * sizeof(float));
    CheckPositions(width, height, kRecordBytes);
    CheckPositions(width, height, step2);
    step2_ = static_cast<std::int32_t>(step2);

    const std::size_t pixels = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    plane1_ = NewPlane(pixels * 4);
    rowStarts1_.resize(static_cast<std::size_t>(height));
    for (std::int32_t y = 0; y < height; ++y) {
        rowStarts1_[y] = static_cast<std::int64_t>(y) * width * kRecordBytes;
    }
    if (step2_ > 0) {
        plane2_ = NewPlane(pixels * extraNames_.size());
        rowStarts2_.resize(static_cast<std::size_t>(height));
        for (std::int32_t y = 0; y < height; ++y) {
            rowStarts2_[y] = static_cast<std::int64_t>(y) * width * step2_;
        }
    }
}

Image::~Image() = default;

const std::int64_t* Image::RowStarts(int plane) const noexcept {
    if (plane == 1) {
        return rowStarts1_.empty() ? nullptr : rowStarts1_.data();
    }
    if (plane == 2) {
        return plane2_ ? rowStarts2_.data() : nullptr;
    }
    return nullptr;
}

std::int32_t Image::Step(int plane) const noexcept {
    return plane == 1 ? step1_ : plane == 2 ? step2_ : 0;
}

bool Image::PlainFloatRows() const noexcept {
    return fetch_ == &FetchPixel && store_ == &StorePixel && step1_ == kRecordBytes;
}

unsigned char* Image::PlaneBytes(int plane) noexcept {
    return const_cast<unsigned char*>(std::as_const(*this).PlaneBytes(plane));
}

const unsigned char* Image::PlaneBytes(int plane) const noexcept {
    const float* data = plane == 1 ? plane1_.get() : plane == 2 ? plane2_.get() : nullptr;
    return reinterpret_cast<const unsigned char*>(data);
}

void Image::SetPixelRoutines(PixelFetch fetch, PixelStore store) noexcept {
    fetch_ = fetch;
    store_ = store;
}

float* Image::Plane1Pixel(std::int32_t x, std::int32_t y) noexcept {
    return plane1_.get() + (static_cast<std::size_t>(y) * width_ + x) * 4;
}
const float* Image::Plane1Pixel(std::int32_t x, std::int32_t y) const noexcept {
    return plane1_.get() + (static_cast<std::size_t>(y) * width_ + x) * 4;
}
float* Image::Plane2Pixel(std::int32_t x, std::int32_t y) noexcept {
    if (!plane2_) return nullptr;
    return plane2_.get() + (static_cast<std::size_t>(y) * width_ + x) * extraNames_.size();
}
const float* Image::Plane2Pixel(std::int32_t x, std::int32_t y) const noexcept {
    if (!plane2_) return nullptr;
    return plane2_.get() + (static_cast<std::size_t>(y) * width_ + x) * extraNames_.size();
}

Image* NewImageTagList(const TagList& tags) {
    const auto* like = static_cast<const Image*>(tags.GetPointer(kImgLike, nullptr));
    if (like == nullptr) {
        throw std::invalid_argument("NewImageTagList: the list names no image to take size and format from");
    }
    return new Image(like->Width(), like->Height(), like->ExtraChannelNames());
}
