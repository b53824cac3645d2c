#include "app/tool_tables.h"

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <vector>

#include "app/control_values.h"
#include "app/tool_session.h"
#include "host/tags.h"

namespace veskar {
namespace {

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

}  // namespace

int RunTools(const std::string& pluginFolder) {
    PluginSession session(pluginFolder);
    std::vector<std::vector<std::string>> rows = {{"id", "name", "maker", "plug-in"}};
    for (const host::LoadedPlugin& plugin : session.Plugins().Plugins()) {
        for (const std::string& id : plugin.classIds) {
            const Registry* record = ClassRegistry.Find(id);
            if (record != nullptr) {
                rows.push_back({id, record->Name(), record->Maker(),
                                std::filesystem::path(plugin.path).filename().string()});
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
                        "\"" + std::string(input->Caption().Text()) + "\"", ControlKind(*input),
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

}  // namespace veskar
