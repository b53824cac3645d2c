#pragma once

#include <string>

#include "app/subcommand.h"

namespace veskar {

/// Names of the files that WriteSample puts in its folder.
inline constexpr const char* kSamplePlateFile = "plate.exr";
inline constexpr const char* kSampleCleanPlateFile = "clean_plate.exr";
inline constexpr const char* kSampleSettingsFile = "sample.setting";
inline constexpr const char* kSampleAlphaFile = "alpha_truth.exr";

/// Writes the demo sample into `folder`, creating it when missing:
/// - plate.exr: a synthetic green-screen plate, 1280 x 720, half-float R, G, B:
///   a person-like subject with soft edges, hair strands, a motion-blurred arm
///   and green spill near its edges, over an unevenly lit screen, with grain;
/// - clean_plate.exr: the same screen without the subject (grain of the same
///   statistics, another realisation), meant as the key image;
/// - alpha_truth.exr: the subject's true coverage, one half-float channel A;
/// - sample.setting: settings text that keys plate.exr with clean_plate.exr
///   as the key image.
/// Everything is computed by our own code, and the files are the same, byte
/// for byte, on every run. Each file is written to a temporary file beside its target and
/// renamed into place, so none is ever left half written. Throws CliError
/// naming the path on failure.
void WriteSample(const std::string& folder);

/// `veskar sample FOLDER`: writes the sample and lists its files on stdout.
int RunSample(const std::string& folder);

/// Adds `sample` to `app`.
Subcommand AddSampleCommand(CLI::App& app);

}  // namespace veskar
