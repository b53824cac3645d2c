#include "app/render_job/control_steps.h"

#include <charconv>
#include <cmath>
#include <iostream>
#include <string>
#include <system_error>

#include "app/cli_error.h"
#include "app/control_values.h"
#include "app/key_pick.h"
#include "app/setup/screen_option.h"
#include "app/text_match.h"
#include "host/tags.h"

namespace veskar {
namespace {

// Why `value` for `input` deserves a word, or "": values outside the
// control's limits or NaN are set as given (a script may set them too), but
// are seldom meant.
std::string Doubt(const Input& input, double value) {
    if (std::isnan(value)) {
        return "NaN is not a number the keyer can work with";
    }
    const TagList& attrs = input.Attrs();
    const std::vector<std::string> entries = EntriesOf(input);
    if (!entries.empty() && (value != std::floor(value) || value < 0.0 ||
                             value >= static_cast<double>(entries.size()))) {
        return "not an entry's position (0 to " + std::to_string(entries.size() - 1) + ")";
    }
    const bool low = attrs.Has(kInpMinValue) && value < attrs.GetDouble(kInpMinValue, 0.0);
    const bool high = attrs.Has(kInpMaxValue) && value > attrs.GetDouble(kInpMaxValue, 0.0);
    if (low || high) {
        return std::string(low ? "below" : "above") + " the control's range " +
               ShortNumber(attrs.GetDouble(kInpMinValue, 0.0)) + " to " +
               ShortNumber(attrs.GetDouble(kInpMaxValue, 0.0));
    }
    return "";
}

// Applies one --set ID=VALUE through the set path. Mistakes in it are usage
// errors, like any other of the command line.
void ApplySet(host::ToolInstance& tool, const std::string& argument) {
    const std::size_t equals = argument.find('=');
    if (equals == std::string::npos || equals == 0) {
        throw CliError("--set " + ShownText(argument) + ": expected ID=VALUE", 2);
    }
    const std::string id = argument.substr(0, equals);
    const std::string text = argument.substr(equals + 1);
    Input* input = tool.FindInput(id);
    if (input == nullptr) {
        throw CliError("--set " + ShownText(argument) + ": " + UnknownControlMessage(tool.Tool(), id), 2);
    }
    if (input->IsImage()) {
        throw CliError("--set " + ShownText(argument) + ": '" + id + "' is an image input, not a control", 2);
    }
    if (!HoldsNumber(*input)) {
        throw CliError("--set " + ShownText(argument) + ": '" + id + "' is a label and holds no value", 2);
    }
    double value = 0.0;
    std::string error;
    if (!ParseControlValue(*input, text, value, error)) {
        throw CliError("--set " + ShownText(argument) + ": " + error, 2);
    }
    const std::string doubt = Doubt(*input, value);
    if (!doubt.empty()) {
        std::cerr << "veskar: warning: --set " << ShownText(argument) << ": " << doubt << "; set as given\n";
    }
    tool.SetNumber(*input, value, 0.0);
}

// Applies --key-color R,G,B.
void ApplyKeyColor(host::ToolInstance& tool, const std::string& argument) {
    std::vector<double> channels;
    for (const std::string& part : SplitList(argument, ',')) {
        double value = 0.0;
        if (!ParseNumber(part, value)) {
            throw CliError("--key-color " + ShownText(argument) + ": '" + ShownText(part) + "' is not a number", 2);
        }
        channels.push_back(value);
    }
    if (channels.size() != 3) {
        throw CliError("--key-color " + ShownText(argument) + ": expected three numbers R,G,B", 2);
    }
    SetKeyColour(tool, {channels[0], channels[1], channels[2]});
}

// --pick X,Y[,R]: the mean colour of the (2R+1)-square around (X, Y), clipped
// to the image, applied as the key colour.
void ApplyPick(host::ToolInstance& tool, const std::string& argument, const FileImage& first) {
    std::vector<int> numbers;
    for (const std::string& part : SplitList(argument, ',')) {
        int value = 0;
        const auto result = std::from_chars(part.data(), part.data() + part.size(), value);
        if (part.empty() || result.ec != std::errc() || result.ptr != part.data() + part.size()) {
            throw CliError("--pick " + ShownText(argument) + ": '" + ShownText(part) + "' is not a whole number", 2);
        }
        numbers.push_back(value);
    }
    if (numbers.size() != 2 && numbers.size() != 3) {
        throw CliError("--pick " + ShownText(argument) + ": expected X,Y or X,Y,R", 2);
    }
    const int x = numbers[0];
    const int y = numbers[1];
    const int radius = numbers.size() == 3 ? numbers[2] : kDefaultPickRadius;
    const Image& image = *first.image;
    if (radius < 0 || radius > 1000) {
        throw CliError("--pick " + ShownText(argument) + ": the radius must be 0 to 1000", 2);
    }
    if (x < 0 || y < 0 || x >= image.Width() || y >= image.Height()) {
        throw CliError("--pick " + ShownText(argument) + ": outside the " + std::to_string(image.Width()) + " x " +
                       std::to_string(image.Height()) + " image " + first.path);
    }
    SetKeyColour(tool, MeanColour(image, x, y, radius));
}

}  // namespace

KeySetupKind ApplyControlSteps(host::ToolInstance& tool, const std::vector<ControlStep>& steps, FirstFrame& first,
                               const SetupInputs& inputs) {
    KeySetupKind keySetup;
    bool spaceSet = inputs.spaceSet;
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const ControlStep& step = steps[i];
        if (step.kind == ControlStep::Kind::Set) {
            ApplySet(tool, step.text);
            spaceSet = spaceSet || step.text.rfind("Colorspace=", 0) == 0;
        } else if (step.kind == ControlStep::Kind::KeyColor) {
            ApplyKeyColor(tool, step.text);
        } else if (step.kind == ControlStep::Kind::Pick) {
            ApplyPick(tool, step.text, first.source());
        } else {
            ScreenRequest request;
            request.screens = {step.text};
            while (i + 1 < steps.size() && steps[i + 1].kind == ControlStep::Kind::Screen) {
                request.screens.push_back(steps[++i].text);
            }
            const FileImage& plate = first.source();  // read before the key image
            request.subjects = inputs.subjects;
            // Against a clean plate the key measures differences from it,
            // which the tool's space (RGB by default) tells apart as well as any.
            request.chooseSpace = !spaceSet && first.key() == nullptr;
            request.softEdges = inputs.softEdges;
            request.displayEncoded = DisplayEncoded(plate.colourSpace);
            ApplyScreenOption(tool, request, *plate.image, first.key(), std::cerr);
            spaceSet = true;
        }
        if (step.kind != ControlStep::Kind::Set) {
            keySetup.colourPicked = step.kind != ControlStep::Kind::Screen;
            keySetup.screen = step.kind == ControlStep::Kind::Screen;
        }
    }
    return keySetup;
}

}  // namespace veskar
