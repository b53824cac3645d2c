#pragma once

// The files of one render, frame by frame, checked before anything is read.

#include <OpenImageIO/typedesc.h>

#include <memory>

#include "app/frames.h"
#include "app/movie/movie_file.h"
#include "app/render_job/render_options.h"

namespace veskar {

struct RunFiles {
    FramePattern input;
    FramePattern output;
    FramePattern key;
    FrameList frames;
    bool sequence;
    /// The input movie, whose frames (1 to its count) are the sequence; null
    /// for image files.
    std::shared_ptr<const MovieInfo> movie;
};

/// The run's files: patterns and frames that agree with each other, and no
/// output that would overwrite an input or another output. Throws CliError
/// (exit 2 for mistakes in the command line). `mattes` are further files the
/// run reads (garbage and holdout mattes), which no output may overwrite.
RunFiles PlanFiles(const RenderOptions& options, const std::vector<std::string>& mattes = {});

/// --type NAME as a data type; UNKNOWN for "" (the input's type).
OIIO::TypeDesc OutputType(const std::string& name);

}  // namespace veskar
