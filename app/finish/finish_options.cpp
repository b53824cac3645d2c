#include "app/finish/finish_options.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <filesystem>

#include <CLI/CLI.hpp>
#include <OpenImageIO/imageio.h>

#include "app/cli_error.h"
#include "app/files/channel_roles.h"
#include "app/files/read_checks.h"
#include "app/text_match.h"

namespace veskar::finish {
namespace {

namespace fs = std::filesystem;

// A whole option text as a finite number; false for anything else
// ("1.5x", "nan", "inf", "").
bool ParseNumber(const std::string& text, double& value) {
    const char* first = text.data();
    const char* last = first + text.size();
    if (first != last && *first == '+') ++first;
    const auto result = std::from_chars(first, last, value);
    return result.ec == std::errc() && result.ptr == last && std::isfinite(value);
}

std::optional<double> OptionNumber(const std::string& option, const std::string& text, ValueRule rule) {
    if (text.empty()) return std::nullopt;
    double value = 0.0;
    if (!ParseNumber(text, value)) {
        throw CliError(option + " " + ShownText(text) + ": not a number", 2);
    }
    CheckValue(option, value, rule, 2);
    return value;
}

// "1,2,3,4,5,6" is a polygon; any text with another character names a file.
bool LooksLikePolygon(const std::string& text) {
    bool digit = false;
    for (const char c : text) {
        if (c >= '0' && c <= '9') {
            digit = true;
        } else if (std::strchr(",.+-eE \t", c) == nullptr) {
            return false;
        }
    }
    return digit && text.find(',') != std::string::npos;
}

template <class T>
void Take(std::optional<T>& base, const std::optional<T>& over) {
    if (over) base = over;
}

// The coverage a shape file gives: its alpha, or its first channel without
// one (a one-channel mask, or the red of a colour image). The plate reader
// refuses files without colour, which a matte often is, so the channel is
// read here, after the same check of the header's declared size.
std::vector<float> ReadShapeFile(const ShapeChoice& choice, int width, int height) {
    const std::string named = choice.origin + " " + choice.shape.text;
    const std::string& file = choice.shape.file;
    std::error_code ec;
    if (!fs::exists(file, ec)) {
        throw CliError(named + ": no such file", choice.exitCode);
    }
    auto input = OIIO::ImageInput::open(file);
    if (!input) {
        throw CliError(named + ": cannot read: " + OIIO::geterror(), choice.exitCode);
    }
    CheckDeclaredSize(file, *input, 0);
    const OIIO::ImageSpec& spec = input->spec();
    if (spec.width != width || spec.height != height) {
        throw CliError(named + ": the matte is " + std::to_string(spec.width) + " x " + std::to_string(spec.height) +
                           ", the plate " + std::to_string(width) + " x " + std::to_string(height),
                       choice.exitCode);
    }
    const int alpha = LayoutOf(spec).alpha;
    const int channel = alpha >= 0 ? alpha : 0;
    std::vector<float> coverage(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
    if (!input->read_image(0, 0, channel, channel + 1, OIIO::TypeDesc::FLOAT, coverage.data())) {
        throw CliError(named + ": cannot read: " + input->geterror(), choice.exitCode);
    }
    // Coverage is a share: NaN covers nothing, and values past 0 and 1 are
    // held at them.
    for (float& value : coverage) value = std::isnan(value) ? 0.0f : std::clamp(value, 0.0f, 1.0f);
    return coverage;
}

// The union of the shapes' coverage: a pixel is as covered as its most
// covered shape says. Empty when there are no shapes.
std::vector<float> Coverage(const std::vector<ShapeChoice>& shapes, int width, int height) {
    std::vector<float> total;
    for (const ShapeChoice& choice : shapes) {
        AddCoverage(total, choice.shape.file.empty() ? RasterisePolygon(choice.shape.polygon, width, height)
                                                     : ReadShapeFile(choice, width, height));
    }
    return total;
}

}  // namespace

void CheckValue(const std::string& name, double value, ValueRule rule, int exitCode) {
    if (!std::isfinite(value)) {
        throw CliError(name + " " + NumberText(value) + ": not a finite number", exitCode);
    }
    if (rule == ValueRule::Pixels && value < 0.0) {
        throw CliError(name + " " + NumberText(value) + ": pixels must be 0 or more", exitCode);
    }
    if (rule == ValueRule::Amount && (value < 0.0 || value > 2.0)) {
        throw CliError(name + " " + NumberText(value) + ": the amount must be from 0 (off) to 2 (1 takes the spill off)",
                       exitCode);
    }
}

std::string NumberText(double value) {
    char buf[32];
    const auto result = std::to_chars(buf, buf + sizeof buf, value);
    return std::string(buf, result.ptr);
}

bool FinishChoices::Empty() const {
    return !refineEdges && !unmix && !despill && !clipBlack && !clipWhite && !shrink && !grow && !soften && !despot && !garbage &&
           !holdout && !view;
}

FinishChoices CleanEdgesRecipe() {
    FinishChoices recipe;
    // Measured on plates with an exact soft alpha (bench/edge): refining the
    // edges puts each contour pixel's alpha at its share of subject; unmixing
    // and despill take the screen out of the edges (despill at 0.85: with the
    // edges unmixed in light, a full despill pushed the yellow-green hair
    // frame's edges past neutral, to -5.6 code values of rim). No clip: the refinement
    // clears the faint veil away from the subject itself, where a clip of the
    // lowest 6% also took 0.03 off every mix.
    recipe.refineEdges = true;
    recipe.unmix = true;
    recipe.despill = 0.85;
    return recipe;
}

FinishChoices Overlay(FinishChoices base, const FinishChoices& over) {
    if (over.shrink || over.grow) {
        base.shrink.reset();
        base.grow.reset();
    }
    Take(base.refineEdges, over.refineEdges);
    Take(base.unmix, over.unmix);
    Take(base.despill, over.despill);
    Take(base.clipBlack, over.clipBlack);
    Take(base.clipWhite, over.clipWhite);
    Take(base.shrink, over.shrink);
    Take(base.grow, over.grow);
    Take(base.soften, over.soften);
    Take(base.despot, over.despot);
    Take(base.garbage, over.garbage);
    Take(base.holdout, over.holdout);
    Take(base.view, over.view);
    return base;
}

FinishPlan PlanFinishing(const FinishChoices& fromFile, const std::string& filePath, const FinishChoices& commandLine,
                         bool cleanEdges) {
    const std::string section = filePath + ": VeskarFinishing.";
    if (fromFile.shrink.value_or(0.0) > 0.0 && fromFile.grow.value_or(0.0) > 0.0) {
        throw CliError(section + "Shrink and Grow: give one of them", 1);
    }
    if (commandLine.shrink.value_or(0.0) > 0.0 && commandLine.grow.value_or(0.0) > 0.0) {
        throw CliError("--shrink " + NumberText(*commandLine.shrink) + " and --grow " + NumberText(*commandLine.grow) +
                           ": give one of them",
                       2);
    }
    const FinishChoices recipe = cleanEdges ? CleanEdgesRecipe() : FinishChoices{};
    const FinishChoices chosen = Overlay(Overlay(fromFile, recipe), commandLine);
    FinishPlan plan;
    FinishOptions& options = plan.options;
    options.refineEdges = chosen.refineEdges.value_or(false);
    options.unmix = chosen.unmix.value_or(false);
    options.despill = chosen.despill.value_or(0.0);
    options.clipBlack = chosen.clipBlack.value_or(0.0);
    options.clipWhite = chosen.clipWhite.value_or(1.0);
    options.shrink = chosen.shrink.value_or(0.0);
    options.grow = chosen.grow.value_or(0.0);
    options.soften = chosen.soften.value_or(0.0);
    options.despot = chosen.despot.value_or(0.0);
    options.view = chosen.view.value_or(View::Result);
    plan.garbage = chosen.garbage.value_or(std::vector<ShapeChoice>{});
    plan.holdout = chosen.holdout.value_or(std::vector<ShapeChoice>{});
    for (const ShapeChoice& choice : plan.garbage) options.garbage.push_back(choice.shape);
    for (const ShapeChoice& choice : plan.holdout) options.holdout.push_back(choice.shape);
    plan.fromFile = !fromFile.Empty();
    for (const auto* shapes : {&plan.garbage, &plan.holdout}) {
        for (const ShapeChoice& choice : *shapes) {
            std::error_code ec;
            if (!choice.shape.file.empty() && !fs::exists(choice.shape.file, ec)) {
                throw CliError(choice.origin + " " + choice.shape.text + ": no such file", choice.exitCode);
            }
        }
    }
    if (options.clipWhite <= options.clipBlack) {
        // Named as given: the command line's option when it gave either value.
        const bool given = commandLine.clipBlack || commandLine.clipWhite;
        throw CliError((given ? std::string("--clip-white ") : section + "ClipWhite ") + NumberText(options.clipWhite) +
                           ": must be above clip black " + NumberText(options.clipBlack),
                       given ? 2 : 1);
    }
    return plan;
}

ShapeChoice ParseShape(const std::string& origin, const std::string& text, const std::string& base, int exitCode) {
    ShapeChoice choice;
    choice.origin = origin;
    choice.exitCode = exitCode;
    choice.shape.text = text;
    if (LooksLikePolygon(text)) {
        try {
            choice.shape.polygon = ParsePolygon(origin, text);
        } catch (const CliError& e) {
            throw CliError(e.what(), exitCode);
        }
        return choice;
    }
    if (text.empty()) {
        throw CliError(origin + ": needs a file name or a polygon x1,y1,x2,y2,...", exitCode);
    }
    const fs::path file(text);
    choice.shape.file = base.empty() || file.is_absolute() ? text : (fs::path(base) / file).string();
    return choice;
}

ShapeMattes MakeShapeMattes(const FinishPlan& plan, int width, int height) {
    ShapeMattes mattes;
    mattes.width = width;
    mattes.height = height;
    mattes.garbage = Coverage(plan.garbage, width, height);
    mattes.holdout = Coverage(plan.holdout, width, height);
    return mattes;
}

std::string ViewName(View view) {
    switch (view) {
        case View::Matte:
            return "matte";
        case View::Status:
            return "status";
        case View::Result:
            break;
    }
    return "result";
}

std::string FinishingSummary(const FinishOptions& options) {
    std::vector<std::string> parts;
    const FinishOptions none;
    if (options.refineEdges) parts.push_back("refine edges");
    if (options.clipBlack != none.clipBlack) parts.push_back("clip black " + NumberText(options.clipBlack));
    if (options.clipWhite != none.clipWhite) parts.push_back("clip white " + NumberText(options.clipWhite));
    if (options.shrink > 0.0) parts.push_back("shrink " + NumberText(options.shrink));
    if (options.grow > 0.0) parts.push_back("grow " + NumberText(options.grow));
    if (options.soften > 0.0) parts.push_back("soften " + NumberText(options.soften));
    if (options.despot > 0.0) parts.push_back("despot " + NumberText(options.despot));
    for (const MatteShape& shape : options.garbage) parts.push_back("garbage " + shape.text);
    for (const MatteShape& shape : options.holdout) parts.push_back("holdout " + shape.text);
    if (options.unmix) parts.push_back("unmix");
    if (options.despill > 0.0) parts.push_back("despill " + NumberText(options.despill));
    if (options.view != View::Result) parts.push_back("view " + ViewName(options.view));
    std::string text = "finishing:";
    for (std::size_t i = 0; i < parts.size(); ++i) text += (i == 0 ? " " : ", ") + parts[i];
    return parts.empty() ? text + " none" : text;
}

FinishChoices FinishCommandLine::Choices() const {
    FinishChoices choices;
    // A flag given as false is a choice too: it overrides the recipe.
    const auto given = [](const CLI::Option* option) { return option != nullptr && option->count() > 0; };
    if (refineEdges || given(refineEdgesOption)) choices.refineEdges = refineEdges;
    if (unmix || given(unmixOption)) choices.unmix = unmix;
    double amount = 0.0;
    if (!despill.empty() && !ParseNumber(despill, amount)) {
        // The amount is optional, so a word after --despill is taken for it.
        throw CliError("--despill " + ShownText(despill) +
                           ": not a number (--despill takes the next word as its amount: write --despill=1, or put "
                           "it after the input)",
                       2);
    }
    choices.despill = OptionNumber("--despill", despill, ValueRule::Amount);
    choices.clipBlack = OptionNumber("--clip-black", clipBlack, ValueRule::Any);
    choices.clipWhite = OptionNumber("--clip-white", clipWhite, ValueRule::Any);
    choices.shrink = OptionNumber("--shrink", shrink, ValueRule::Pixels);
    choices.grow = OptionNumber("--grow", grow, ValueRule::Pixels);
    choices.soften = OptionNumber("--soften", soften, ValueRule::Pixels);
    choices.despot = OptionNumber("--despot", despot, ValueRule::Pixels);
    if (!garbage.empty()) {
        choices.garbage.emplace();
        for (const std::string& text : garbage) choices.garbage->push_back(ParseShape("--garbage", text, "", 2));
    }
    if (!holdout.empty()) {
        choices.holdout.emplace();
        for (const std::string& text : holdout) choices.holdout->push_back(ParseShape("--holdout", text, "", 2));
    }
    if (!view.empty()) {
        if (view == "result") choices.view = View::Result;
        else if (view == "matte") choices.view = View::Matte;
        else if (view == "status") choices.view = View::Status;
        else throw CliError("--show " + ShownText(view) + ": expected result, matte or status", 2);
    }
    return choices;
}

void AddFinishOptions(CLI::App& command, FinishCommandLine& options) {
    const char* group = "Finishing (after the keyer, in this order)";
    options.refineEdgesOption =
        command
            .add_flag("--refine-edges", options.refineEdges,
                      "Matte near the contour from the colours: each pixel's share of subject between the local "
                      "screen and subject")
            ->group(group);
    command.add_option("--clip-black", options.clipBlack, "Matte at or below V becomes 0 (levels)")->type_name("V")->group(group);
    command.add_option("--clip-white", options.clipWhite, "Matte at or above V becomes 1 (levels)")->type_name("V")->group(group);
    command.add_option("--shrink", options.shrink, "Erode the matte by PX pixels (fractional)")->type_name("PX")->group(group);
    command.add_option("--grow", options.grow, "Dilate the matte by PX pixels (fractional)")->type_name("PX")->group(group);
    command.add_option("--soften", options.soften, "Blur the matte with a radius of PX pixels")->type_name("PX")->group(group);
    command.add_option("--despot", options.despot, "Remove specks and holes up to PX pixels")->type_name("PX")->group(group);
    command
        .add_option("--garbage", options.garbage,
                    "Force clear: a matte FILE (its alpha) or a polygon x1,y1,x2,y2,... (repeatable)")
        ->allow_extra_args(false)
        ->type_name("FILE|POLY")
        ->group(group);
    command
        .add_option("--holdout", options.holdout,
                    "Force opaque: a matte FILE (its alpha) or a polygon x1,y1,x2,y2,... (repeatable)")
        ->allow_extra_args(false)
        ->type_name("FILE|POLY")
        ->group(group);
    options.unmixOption =
        command.add_flag("--unmix", options.unmix, "Colour: the source minus the screen behind each pixel times 1 - alpha")
            ->group(group);
    command
        .add_option("--despill", options.despill,
                    "Remove spill toward the screen colour: AMOUNT 0 to 2 (alone: 1, the spill taken off)")
        ->expected(0, 1)
        ->default_str("1")
        ->type_name("AMOUNT")
        ->group(group);
    command.add_option("--show", options.view, "What is written: result (default), matte or status")->type_name("VIEW")->group(group);
    command.add_flag("--clean-edges", options.cleanEdges,
                     "Clean hair and motion-blur edges: refine edges, unmix, despill 0.85 (options given "
                     "replace its values)")
        ->group(group);
}

}  // namespace veskar::finish
