#pragma once

// The frames of a render, keyed and written in order. Frames overlap: while a
// frame is read and keyed, the one before it is written on a thread of its
// own, so at most three frames are held at once (the one being keyed, its
// result and the one being written). Frames still finish in order, and an
// error is reported for its frame once every frame before it is written.
// Signals stop the run between steps of a frame, once the frame being written
// behind is whole; what is being written then is removed as the stop unwinds.

#include <array>
#include <future>
#include <memory>
#include <string>

#include "app/files/keyed_file.h"
#include "app/files/staged_file.h"
#include "app/finish/finish_options.h"
#include "app/movie/movie_writer.h"
#include "app/render_job/frame_sources.h"
#include "app/render_job/progress.h"
#include "app/setup/key_check.h"
#include "host/tool_instance.h"

namespace veskar {

/// The run's finishing: what it asks for and what every frame's finishing
/// shares.
struct FinishRun {
    const finish::FinishPlan& plan;
    finish::ShapeMattes shapes;  ///< width 0 when there are no garbage or holdout shapes
    std::array<float, 3> screen;  ///< red, green, blue of the screen
    bool premultiplied;           ///< the tool's colour is premultiplied
};

/// What the loop keys with: the run's plan, its tool with its values set,
/// and where the frames come from and go to.
struct FrameJob {
    const RunFiles& files;
    const RenderOptions& options;
    host::ToolInstance& tool;
    FrameSources& sources;
    const WriteOptions& write;
    KeySetupKind keySetup;
    /// The settings to save, committed with the first frame written (they
    /// belong to the frames written with them); may be null.
    std::unique_ptr<StagedFile> settings;
    /// Finishing to run on every keyed frame before it is written; null for
    /// none, which writes the tool's own bits.
    const FinishRun* finishing = nullptr;
};

class FrameLoop {
public:
    explicit FrameLoop(FrameJob job);

    /// Keys and writes every frame, then prints the summary. Throws CliError
    /// naming the frame at fault, or the stop by a signal.
    void Run();

private:
    void Frame(int frame);
    std::shared_ptr<Image> Key(int frame, const FileImage& source, const std::optional<FileImage>& key);
    void Finish(int frame, const FileImage& source, const std::optional<FileImage>& key, Image& keyed);
    void CheckFrameOutput(int frame, const std::string& outputPath, const FileImage& source);
    void WriteBehind(int frame, const std::string& outputPath, const FileImage& source,
                     std::shared_ptr<Image> keyed);
    void FinishWrite();
    void StopPoint();

    FrameJob job_;
    Progress progress_;
    int firstFrame_;
    int previewFrame_;
    bool overlap_;
    std::string keyedView_;  // said in the summary when the files have views
    bool noted_ = false;     // the output's alpha convention was said
    int behindFrame_ = 0;
    // Every frame goes into it when -o is a movie; declared before the write
    // behind, which may be writing into it, so that it outlives that.
    std::unique_ptr<MovieWriter> movie_;
    std::future<void> behind_;
};

}  // namespace veskar
