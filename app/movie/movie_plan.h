#pragma once

// How a render plans around movies: a movie input is a sequence of frames
// numbered from 1, and a movie output takes every frame of the run.

#include <memory>

#include "app/frames.h"
#include "app/movie/movie_file.h"
#include "app/render_job/render_options.h"

namespace veskar {

/// The input movie, probed (see ProbeMovie), when `input` names one by its
/// content; null for image files and frame patterns. Says on stderr what
/// the movie holds and how its values are taken.
std::shared_ptr<const MovieInfo> ProbeMovieInput(const FramePattern& input, const RenderOptions& options);

/// The frames of `movie` that the --frames `text` names, all of them for "".
/// Throws CliError (exit 2) for frames the movie does not have.
FrameList MovieFrameList(const MovieInfo& movie, const std::string& text);

/// The frames a render keys from `movie`: those of --frames, each one of
/// the movie's, or all of them. Throws CliError (exit 2) for frames the
/// movie does not have, and for an output that would take several frames
/// but is neither a pattern nor a movie.
FrameList MovieFrames(const MovieInfo& movie, const RenderOptions& options);

/// Refuses what a movie output cannot do (exit 2): --skip-existing (a movie
/// is written whole or not at all). Does nothing for other outputs.
void CheckMovieOutputOptions(const RenderOptions& options);

}  // namespace veskar
