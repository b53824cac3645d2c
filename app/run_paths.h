#pragma once

#include <optional>
#include <string>
#include <vector>

#include "app/frames.h"

namespace veskar {

/// The files one run reads and writes, checked against each other before
/// anything is written: no output may be one of the run's inputs (the input
/// of any frame, not only its own) or another of its outputs, however the
/// paths are spelled: through links, hard links, `..` or another name of the
/// folder. Each folder is listed once, so a run of a million frames is
/// checked in about the time its paths take to be formed.
class RunPaths {
public:
    /// Files named by `pattern`: one per frame of `frames` for a sequence,
    /// else one. `role` names them in messages ("input", "key image").
    void AddInputs(const FramePattern& pattern, const FrameList& frames, const std::string& role);
    void AddOutputs(const FramePattern& pattern, const FrameList& frames, const std::string& role);
    /// One file, whatever its name holds ("settings file", "preview").
    void AddInput(const std::string& path, const std::string& role);
    void AddOutput(const std::string& path, const std::string& role);

    /// Throws CliError (exit 1) naming the output and what it would overwrite:
    /// "out.exr: the output would overwrite the input", with the frames for
    /// files of a sequence ("the output of frame 5 would overwrite the input
    /// of frame 10").
    void Check() const;

private:
    struct Files {
        std::optional<FramePattern> pattern;  // a sequence; else `path`
        std::string path;
        FrameList frames;
        std::string role;
        bool Sequence() const { return pattern && pattern->IsSequence(); }
    };
    class Clashes;  // the working state of Check

    std::vector<Files> inputs_;
    std::vector<Files> outputs_;
};

}  // namespace veskar
