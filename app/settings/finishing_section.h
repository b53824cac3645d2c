#pragma once

// The host-side finishing in a settings file: a top-level table beside Tools,
// `VeskarFinishing = { Unmix = true, Despill = 1, Garbage = { "matte.png" }, }`,
// which the compositing application passes over, so that the tool's own text
// stays loadable there. File names in it are relative to the settings file's
// folder.

#include <string>

#include "app/finish/finish_options.h"
#include "app/settings/settings_document.h"

namespace veskar {

/// The choices of the section read from the settings file at `path`, each
/// value checked as the command line checks it. Throws CliError (exit 1)
/// naming the file and the key: unknown keys, values of the wrong kind or
/// out of range.
finish::FinishChoices ReadFinishingSection(const FileSection& section, const std::string& path);

/// The section's text for `plan` (only the values that differ from the
/// defaults; "" when none do), with file names relative to the folder of
/// `settingsPath` (absolute when it is a stream: standard output, a pipe).
std::string FinishingSectionText(const finish::FinishPlan& plan, const std::string& settingsPath);

/// `settingsText` (the writer's `{ Tools = ... }`) with `section` added
/// beside Tools; unchanged when `section` is "".
std::string WithFinishingSection(const std::string& settingsText, const std::string& section);

}  // namespace veskar
