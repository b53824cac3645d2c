#include "app/render_job/frame_loop.h"

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <new>

#include "app/interrupt.h"
#include "app/preview.h"
#include "app/setup/screen_option.h"
#include "app/tool_session.h"

namespace veskar {

FrameLoop::FrameLoop(FrameJob job)
    : job_(std::move(job)),
      progress_(job_.files.frames.Size(), job_.files.sequence),
      firstFrame_(job_.files.frames.First()),
      previewFrame_(job_.options.previewFrame >= 0 ? job_.options.previewFrame : firstFrame_) {
    // VESKAR_FRAME_OVERLAP=off writes each frame before the next is read, to
    // compare against.
    const char* overlapSetting = std::getenv("VESKAR_FRAME_OVERLAP");
    overlap_ = overlapSetting == nullptr || std::string(overlapSetting) != "off";
    movie_ = MovieOutputFor(job_.options.output, job_.options.movie, job_.files.movie.get(), job_.files.frames,
                            job_.write);
}

void FrameLoop::Run() {
    for (const int frame : job_.files.frames) {
        try {
            StopPoint();
            Frame(frame);
        } catch (const std::bad_alloc&) {
            // Running out of memory names the frame and its file.
            FinishWrite();
            throw job_.sources.FrameError(frame, CliError(job_.files.input.Path(frame) +
                                                          ": not enough memory to key this frame (see --max-memory)"));
        } catch (...) {
            // The frames before this one are finished first; the first error
            // in frame order is the one reported.
            FinishWrite();
            throw;
        }
    }
    FinishWrite();
    StopPoint();
    if (movie_) movie_->Finish();
    if (job_.settings) {
        job_.settings->Commit();
    }
    progress_.Summary(keyedView_);
}

void FrameLoop::Frame(int frame) {
    const std::string outputPath = job_.files.output.Path(frame);
    if (job_.options.skipExisting) {
        // What a killed run left of this frame is of no use.
        RemoveLeftoverTemporaries(outputPath);
    }
    const bool exists = job_.options.skipExisting && std::filesystem::exists(outputPath);
    const bool wantPreview = !job_.options.preview.empty() && frame == previewFrame_;
    if (exists && !wantPreview) {
        FinishWrite();
        progress_.Done(frame, true);
        return;
    }
    const FileImage source = job_.sources.Source(frame);
    keyedView_ = source.view;
    if (!exists) {
        CheckFrameOutput(frame, outputPath, source);  // before the frame is keyed
    }
    const std::optional<FileImage> key = job_.sources.Key(frame);
    const std::shared_ptr<Image> keyed = Key(frame, source, key);
    if (frame == firstFrame_) {
        // Of the key as the tool made it, before finishing changes the matte.
        const std::string warning = OneSidedKeyWarning(*keyed, job_.keySetup);
        if (!warning.empty()) std::cerr << "veskar: warning: " << warning << "\n";
    }
    Finish(frame, source, key, *keyed);
    FinishWrite();
    StopPoint();
    if (!exists) {
        WriteBehind(frame, outputPath, source, keyed);
    }
    if (wantPreview) {
        WritePreview(job_.options.preview, source, *keyed, job_.write.keyed);
    }
    if (exists) progress_.Done(frame, true);
}

std::shared_ptr<Image> FrameLoop::Key(int frame, const FileImage& source, const std::optional<FileImage>& key) {
    host::ToolInstance& tool = job_.tool;
    tool.Connect(*tool.FindInput("Image"), source.image);
    tool.Connect(*tool.FindInput("KeyImage"), key ? key->image : nullptr);
    StopPoint();
    std::shared_ptr<Image> keyed = tool.Render(0.0);
    // Only the preview needs the source's pixels once the frame is keyed.
    tool.Connect(*tool.FindInput("Image"), nullptr);
    tool.Connect(*tool.FindInput("KeyImage"), nullptr);
    if (!keyed) {
        throw job_.sources.FrameError(frame, CliError(job_.files.input.Path(frame) + ": the keyer produced no image"));
    }
    return keyed;
}

void FrameLoop::Finish(int frame, const FileImage& source, const std::optional<FileImage>& key, Image& keyed) {
    const FinishRun* run = job_.finishing;
    if (run == nullptr) return;
    const finish::ShapeMattes* shapes = run->shapes.width > 0 ? &run->shapes : nullptr;
    if (shapes != nullptr && (shapes->width != keyed.Width() || shapes->height != keyed.Height())) {
        throw job_.sources.FrameError(
            frame, CliError(job_.files.input.Path(frame) + ": the frame is " + std::to_string(keyed.Width()) + " x " +
                            std::to_string(keyed.Height()) + ", the garbage and holdout mattes " +
                            std::to_string(shapes->width) + " x " + std::to_string(shapes->height)));
    }
    // The tool hands over a new image with every render, so the keyed frame
    // is finished in place. A key image of another size is paired with the
    // frame's pixels as the tool pairs them.
    const finish::FrameContext context{*source.image, key ? key->image.get() : nullptr, run->screen,
                                       run->premultiplied, shapes, DisplayEncoded(source.colourSpace)};
    finish::FinishFrame(run->plan.options, context, keyed);
}

void FrameLoop::CheckFrameOutput(int frame, const std::string& outputPath, const FileImage& source) {
    try {
        if (movie_) {
            movie_->Check(source);
            return;
        }
        CheckOutput(outputPath, source, job_.write);
    } catch (const CliError& e) {
        throw job_.sources.FrameError(frame, e);
    }
    if (!noted_) {
        // Said once per run: every frame is written alike.
        noted_ = true;
        const std::string note = StraightExrNote(outputPath, source, job_.write);
        if (!note.empty()) std::cerr << "veskar: note: " << note << "\n";
    }
}

void FrameLoop::WriteBehind(int frame, const std::string& outputPath, const FileImage& source,
                            std::shared_ptr<Image> keyed) {
    FileImage written = source;
    written.image.reset();
    behindFrame_ = frame;
    behind_ = std::async(std::launch::async, [this, frame, outputPath, written, keyed] {
        try {
            if (movie_) {
                movie_->Write(written, *keyed);
            } else {
                WriteKeyedFile(outputPath, written, *keyed, job_.write);
            }
        } catch (const CliError& e) {
            throw job_.sources.FrameError(frame, e);
        }
    });
    if (!overlap_) FinishWrite();
}

void FrameLoop::FinishWrite() {
    if (!behind_.valid()) return;
    std::future<void> write = std::move(behind_);
    write.get();
    // The settings belong to the frames written with them.
    if (job_.settings) {
        job_.settings->Commit();
        job_.settings.reset();
    }
    progress_.Done(behindFrame_, false);
}

void FrameLoop::StopPoint() {
    if (StopRequested() == 0) return;
    FinishWrite();
    StopReached();
    throw progress_.Stopped(StopRequested());
}

}  // namespace veskar
