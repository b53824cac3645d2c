#pragma once

// `veskar check` on a movie: every frame decodes, and the movie holds the
// frames the render was asked for.

#include "app/check/check.h"

namespace veskar {

/// Whether `veskar check` looks at `options.output` as a movie: a file (not a
/// frame pattern) that is one by its content.
bool ChecksMovie(const CheckOptions& options);

/// Checks the movie `options.output`: it opens, its frames are shown at one
/// rate, and every one decodes; with --frames it holds as many frames as
/// they are, with --like the input's size and frame count (a movie's, or
/// that of --frames for a pattern) and its matte unless --drop-alpha. Prints
/// a line per problem and a summary with the frame count and size on
/// stdout; returns 0 when all is well, 1 otherwise. Throws CliError (exit 2)
/// for options that do not apply to movies.
int RunMovieCheck(const CheckOptions& options);

}  // namespace veskar
