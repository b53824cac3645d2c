#include "app/commands.h"

#include <charconv>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <system_error>

#include "app/cli_error.h"
#include "app/control_values.h"
#include "app/image_io.h"
#include "app/settings_text.h"
#include "app/text_match.h"
#include "app/tool_session.h"
#include "host/tags.h"
#include "host/worker_pool.h"

namespace veskar {
namespace {

namespace fs = std::filesystem;

std::string ShortNumber(double value) {
    char buf[40];
    const auto result = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general);
    return std::string(buf, result.ptr);
}

std::string KindOf(const Input& input) {
    if (input.IsImage()) {
        return "Image";
    }
    if (!input.Attrs().Has(kInpControl)) {
        return "-";
    }
    std::string kind = input.Attrs().GetId(kInpControl, FuID()).Text();
    const std::string suffix = "Control";
    if (kind.size() > suffix.size() && kind.compare(kind.size() - suffix.size(), suffix.size(), suffix) == 0) {
        kind.resize(kind.size() - suffix.size());
    }
    return kind;
}

std::string DoubleAttr(const TagList& attrs, std::uint64_t tag) {
    return attrs.Has(tag) ? ShortNumber(attrs.GetDouble(tag, 0.0)) : "-";
}

std::string Join(const std::vector<std::string>& items, const std::string& separator) {
    std::string text;
    for (std::size_t i = 0; i < items.size(); ++i) {
        text += (i ? separator : "") + items[i];
    }
    return text;
}

void PrintRow(const std::vector<std::string>& cells, const std::vector<std::size_t>& widths) {
    std::string line;
    for (std::size_t i = 0; i < cells.size(); ++i) {
        line += cells[i];
        if (i + 1 < cells.size()) {
            line += std::string(widths[i] + 2 - cells[i].size(), ' ');
        }
    }
    line.erase(line.find_last_not_of(' ') + 1);
    std::cout << line << "\n";
}

void PrintTable(const std::vector<std::vector<std::string>>& rows) {
    std::vector<std::size_t> widths;
    for (const auto& row : rows) {
        widths.resize(std::max(widths.size(), row.size()), 0);
        for (std::size_t i = 0; i < row.size(); ++i) {
            widths[i] = std::max(widths[i], row[i].size());
        }
    }
    for (const auto& row : rows) {
        PrintRow(row, widths);
    }
}

// Applies one --set ID=VALUE through the set path.
void ApplySet(host::ToolInstance& tool, const std::string& argument) {
    const std::size_t equals = argument.find('=');
    if (equals == std::string::npos || equals == 0) {
        throw CliError("--set " + argument + ": expected ID=VALUE", 2);
    }
    const std::string id = argument.substr(0, equals);
    const std::string text = argument.substr(equals + 1);
    Input* input = tool.FindInput(id);
    if (input == nullptr) {
        throw CliError("--set " + argument + ": " + UnknownControlMessage(tool.Tool(), id));
    }
    if (input->IsImage()) {
        throw CliError("--set " + argument + ": '" + id + "' is an image input, not a control");
    }
    if (!HoldsNumber(*input)) {
        throw CliError("--set " + argument + ": '" + id + "' is a label and holds no value");
    }
    double value = 0.0;
    std::string error;
    if (!ParseControlValue(*input, text, value, error)) {
        throw CliError("--set " + argument + ": " + error);
    }
    tool.SetNumber(*input, value, 0.0);
}

// Applies --key-color R,G,B: the three key colour channels in order, through
// the set path, so that the Value sliders follow in the current colour space.
void ApplyKeyColor(host::ToolInstance& tool, const std::string& argument) {
    std::vector<double> channels;
    std::size_t start = 0;
    while (true) {
        const std::size_t comma = argument.find(',', start);
        const std::string part = argument.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        double value = 0.0;
        if (!ParseNumber(part, value)) {
            throw CliError("--key-color " + argument + ": '" + part + "' is not a number", 2);
        }
        channels.push_back(value);
        if (comma == std::string::npos) {
            break;
        }
        start = comma + 1;
    }
    if (channels.size() != 3) {
        throw CliError("--key-color " + argument + ": expected three numbers R,G,B", 2);
    }
    const char* ids[3] = {"CRed", "CGreen", "CBlue"};
    for (int c = 0; c < 3; ++c) {
        tool.SetNumber(*tool.FindInput(ids[c]), channels[c], 0.0);
    }
}

bool SameFile(const std::string& a, const std::string& b) {
    std::error_code ec;
    if (fs::exists(a, ec) && fs::exists(b, ec)) {
        return fs::equivalent(a, b, ec);
    }
    return fs::weakly_canonical(a, ec) == fs::weakly_canonical(b, ec);
}

void CheckOutputPaths(const RenderOptions& options) {
    std::vector<std::pair<std::string, std::string>> inputs = {{"input", options.input}};
    if (!options.keyImage.empty()) {
        inputs.emplace_back("key image", options.keyImage);
    }
    std::vector<std::pair<std::string, std::string>> outputs = {{"output", options.output}};
    if (!options.saveSettings.empty()) {
        outputs.emplace_back("settings file", options.saveSettings);
    }
    for (const auto& [outName, outPath] : outputs) {
        for (const auto& [inName, inPath] : inputs) {
            if (SameFile(outPath, inPath)) {
                throw CliError(outPath + ": the " + outName + " would overwrite the " + inName);
            }
        }
    }
    if (outputs.size() == 2 && SameFile(outputs[0].second, outputs[1].second)) {
        throw CliError(options.saveSettings + ": the settings file would overwrite the output");
    }
}

}  // namespace

int RunTools(const std::string& pluginFolder) {
    PluginSession session(pluginFolder);
    std::vector<std::vector<std::string>> rows = {{"id", "name", "maker", "plug-in"}};
    for (const host::LoadedPlugin& plugin : session.Plugins().Plugins()) {
        for (const std::string& id : plugin.classIds) {
            const Registry* record = ClassRegistry.Find(id);
            if (record != nullptr) {
                rows.push_back({id, record->Name(), record->Maker(),
                                fs::path(plugin.path).filename().string()});
            }
        }
    }
    PrintTable(rows);
    return 0;
}

int RunControls(const std::string& pluginFolder) {
    PluginSession session(pluginFolder);
    host::ToolInstance tool(session.Class(kKeyerClassId));
    std::vector<std::vector<std::string>> rows = {
        {"#", "id", "caption", "kind", "default", "lower", "upper", "entries"}};
    int number = 1;
    for (const auto& input : tool.Tool().Inputs()) {
        const TagList& attrs = input->Attrs();
        rows.push_back({std::to_string(number++), input->ID().Text(),
                        "\"" + std::string(input->Caption().Text()) + "\"", KindOf(*input),
                        DoubleAttr(attrs, kInpDefault), DoubleAttr(attrs, kInpMinValue),
                        DoubleAttr(attrs, kInpMaxValue), Join(EntriesOf(*input), ", ")});
    }
    for (const auto& output : tool.Tool().Outputs()) {
        rows.push_back({std::to_string(number++), output->ID().Text(),
                        "\"" + std::string(output->Caption().Text()) + "\"", "Output", "-", "-", "-",
                        ""});
    }
    PrintTable(rows);
    return 0;
}

int RunRender(const std::string& pluginFolder, const RenderOptions& options) {
    CheckOutputPaths(options);
    PluginSession session(pluginFolder);
    const Registry& keyer = session.Class(kKeyerClassId);
    host::ToolInstance tool(keyer);
    for (const ControlStep& step : options.steps) {
        if (step.kind == ControlStep::Kind::Set) {
            ApplySet(tool, step.text);
        } else {
            ApplyKeyColor(tool, step.text);
        }
    }

    FileImage source = ReadImageFile(options.input, true);
    std::optional<FileImage> key;
    if (!options.keyImage.empty()) {
        // The keyer reads only the colour of the key image.
        key = ReadImageFile(options.keyImage, false);
    }
    tool.Connect(*tool.FindInput("Image"), source.image);
    if (key) {
        tool.Connect(*tool.FindInput("KeyImage"), key->image);
    }
    host::SetWorkerCount(options.threads);
    std::shared_ptr<Image> keyed = tool.Render(0.0);
    if (!keyed) {
        throw CliError(options.input + ": the keyer produced no image");
    }

    std::unique_ptr<StagedTextFile> settings;
    if (!options.saveSettings.empty()) {
        settings = std::make_unique<StagedTextFile>(
            options.saveSettings, SettingsText(tool.Tool(), "Veskar1", keyer.Name()));
    }
    WriteKeyedFile(options.output, source, *keyed);
    if (settings) {
        settings->Commit();
    }
    return 0;
}

}  // namespace veskar
