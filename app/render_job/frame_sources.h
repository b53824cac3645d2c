#pragma once

// The images a render reads for each frame: the plate and the key image.

#include <memory>
#include <optional>
#include <string>

#include "app/cli_error.h"
#include "app/files/file_options.h"
#include "app/files/image_file.h"
#include "app/render_job/run_files.h"

namespace veskar {

class MovieReader;

class FrameSources {
public:
    /// `keyImage` is the --key-image text ("" for none); `setup` says how
    /// files are read. Both must outlive this.
    FrameSources(const RunFiles& files, const std::string& keyImage, const FileSetup& setup);
    ~FrameSources();

    /// The first frame's plate, read once for the control steps that need
    /// it and handed over by Source when its frame comes.
    const FileImage& First();
    /// The first frame's key image, or null without one.
    const Image* FirstKey();

    /// The plate of `frame`.
    FileImage Source(int frame);
    /// The key image of `frame`: its own frame of a key sequence, or the one
    /// still image, read once, that serves every frame.
    std::optional<FileImage> Key(int frame);

    /// `error` with the frame named, when the run keys a sequence.
    CliError FrameError(int frame, const CliError& error) const;

private:
    FileImage Plate(int frame);
    FileImage Read(const std::string& path, const ReadOptions& read, int frame) const;

    const RunFiles& files_;
    const std::string& keyImage_;
    const FileSetup& setup_;
    std::optional<FileImage> first_;
    std::optional<FileImage> firstKey_;
    std::optional<FileImage> stillKey_;
    std::unique_ptr<MovieReader> movie_;  // decodes the frames of a movie input
};

}  // namespace veskar
