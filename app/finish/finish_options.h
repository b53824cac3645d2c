#pragma once

// Where a run's finishing comes from and how the sources combine: the
// settings file's VeskarFinishing section, then the --clean-edges recipe,
// then the options given one by one on the command line (each replaces what
// came before it). Values are checked alike whatever their source; messages
// name the option, or the file and key, with the value.

#include <optional>
#include <string>
#include <vector>

#include "app/finish/finishing.h"

namespace CLI {
class App;
class Option;
}

namespace veskar::finish {

/// A garbage or holdout shape and where it was given, for messages.
struct ShapeChoice {
    MatteShape shape;
    std::string origin;  ///< "--garbage", or "grade.setting: VeskarFinishing.Garbage"
    int exitCode = 2;    ///< what a problem with it exits with: 2 on the command line, 1 from a file
};

/// Finishing values as one source gives them; an unset value leaves what the
/// sources before it said.
struct FinishChoices {
    std::optional<bool> refineEdges;
    std::optional<bool> unmix;
    std::optional<double> despill;
    std::optional<double> clipBlack;
    std::optional<double> clipWhite;
    std::optional<double> shrink;
    std::optional<double> grow;
    std::optional<double> soften;
    std::optional<double> despot;
    std::optional<std::vector<ShapeChoice>> garbage;
    std::optional<std::vector<ShapeChoice>> holdout;
    std::optional<View> view;

    /// Whether the source set anything.
    bool Empty() const;
};

/// What --clean-edges turns on. The one place its recipe is written: options
/// given with it replace its values.
FinishChoices CleanEdgesRecipe();

/// `over` laid on `base`: every value `over` sets replaces `base`'s. Shrink
/// and grow are one setting: when `over` sets either, `base`'s pair goes.
FinishChoices Overlay(FinishChoices base, const FinishChoices& over);

/// The finishing of a run, checked: the options and, beside them in the same
/// order, where each shape came from.
struct FinishPlan {
    FinishOptions options;
    std::vector<ShapeChoice> garbage;
    std::vector<ShapeChoice> holdout;
    bool fromFile = false;  ///< some value came from a settings file
};

/// The plan from the settings file's choices (`filePath` names the file in
/// messages), the command line's, and whether --clean-edges was given.
/// Throws CliError naming the option (exit 2) or the file and key (exit 1):
/// shrink and grow together, clip white at or below clip black.
FinishPlan PlanFinishing(const FinishChoices& fromFile, const std::string& filePath, const FinishChoices& commandLine,
                         bool cleanEdges);

/// What a finishing value may be: any finite number, pixels (0 or more), or
/// an amount from 0 to 2 (despill: 1 takes the spill off).
enum class ValueRule { Any, Pixels, Amount };

/// Throws CliError with `exitCode` when `value` breaks `rule`; the message
/// starts with `name` ("--shrink", "grade.setting: VeskarFinishing.Shrink")
/// and the value.
void CheckValue(const std::string& name, double value, ValueRule rule, int exitCode);

/// A number as messages and settings files write it: the shortest text that
/// reads back to the same bits.
std::string NumberText(double value);

/// A --garbage or --holdout text: a polygon when it is made only of numbers
/// and commas (parsed and checked), else a file name. `base` is the folder a
/// relative file name is found in ("" for the working folder).
ShapeChoice ParseShape(const std::string& origin, const std::string& text, const std::string& base, int exitCode);

/// The plan's garbage and holdout coverage for a frame of `width` x `height`:
/// polygons rasterised, files read (their alpha, or their first channel).
/// Throws CliError naming the shape when a file is missing, unreadable or of
/// another size than the frame (both sizes named).
ShapeMattes MakeShapeMattes(const FinishPlan& plan, int width, int height);

/// What finishing runs, in one line for a file's history
/// ("finishing: unmix, despill 1, soften 1.5").
std::string FinishingSummary(const FinishOptions& options);

/// The finishing options of the command line as CLI11 gathers them: number
/// texts are kept as typed ("" when not given), so that messages show them.
struct FinishCommandLine {
    bool refineEdges = false;
    bool unmix = false;
    std::string despill;
    std::string clipBlack;
    std::string clipWhite;
    std::string shrink;
    std::string grow;
    std::string soften;
    std::string despot;
    std::vector<std::string> garbage;
    std::vector<std::string> holdout;
    std::string view;
    bool cleanEdges = false;
    /// The flags' options once added (AddFinishOptions): whether a flag was
    /// given at all, so that --refine-edges=false turns off what
    /// --clean-edges turns on.
    const CLI::Option* refineEdgesOption = nullptr;
    const CLI::Option* unmixOption = nullptr;

    /// The choices the options make, each value checked. Throws CliError
    /// (exit 2) naming the option and the value.
    FinishChoices Choices() const;
};

/// Adds the finishing options to `command` (render, tune). The output view
/// is --show, as --view names the view of a stereo file to key.
void AddFinishOptions(CLI::App& command, FinishCommandLine& options);

/// A view's name as the options and settings write it ("result").
std::string ViewName(View view);

}  // namespace veskar::finish
