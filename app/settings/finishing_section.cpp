#include "app/settings/finishing_section.h"

#include <filesystem>
#include <functional>
#include <map>

#include "app/cli_error.h"
#include "app/files/staged_file.h"
#include "app/settings/settings_messages.h"

namespace veskar {
namespace {

namespace fs = std::filesystem;
using finish::FinishChoices;
using finish::ValueRule;

// How a section reads one kind of value: `where` names the file and key.
struct SectionReader {
    std::string path;
    std::string base;  // the settings file's folder, which file names are relative to

    std::string Where(const FileField& field) const {
        return path + ": " + kFinishingSection + "." + Shown(field.key);
    }
    [[noreturn]] void Fail(const FileField& field, const std::string& problem) const {
        throw CliError(Where(field) + ": " + problem);
    }
    double Number(const FileField& field, ValueRule rule) const {
        if (field.isList || field.value.kind != FileValue::Kind::Number) {
            Fail(field, "must be a number, got " + Got(field));
        }
        finish::CheckValue(Where(field), field.value.number, rule, 1);
        return field.value.number;
    }
    bool Boolean(const FileField& field) const {
        if (field.isList || field.value.kind != FileValue::Kind::Boolean) {
            Fail(field, "must be true or false, got " + Got(field));
        }
        return field.value.boolean;
    }
    finish::View View(const FileField& field) const {
        const std::string text = field.value.kind == FileValue::Kind::Text ? field.value.text : "";
        if (!field.isList && text == "result") return finish::View::Result;
        if (!field.isList && text == "matte") return finish::View::Matte;
        if (!field.isList && text == "status") return finish::View::Status;
        Fail(field, "must be \"result\", \"matte\" or \"status\", got " + Got(field));
    }
    // A list of texts, or one text.
    std::vector<finish::ShapeChoice> Shapes(const FileField& field) const {
        const std::vector<FileValue> items = field.isList ? field.list : std::vector<FileValue>{field.value};
        std::vector<finish::ShapeChoice> shapes;
        for (const FileValue& item : items) {
            if (item.kind != FileValue::Kind::Text || item.tooLong) {
                Fail(field, "must hold texts (a file name or \"x1,y1,x2,y2,...\"), got " + Got(item));
            }
            shapes.push_back(finish::ParseShape(Where(field), item.text, base, 1));
        }
        return shapes;
    }
    static std::string Got(const FileField& field) { return field.isList ? "a list" : Got(field.value); }
    static std::string Got(const FileValue& value) {
        switch (value.kind) {
            case FileValue::Kind::Number:
                return finish::NumberText(value.number);
            case FileValue::Kind::Boolean:
                return value.boolean ? "true" : "false";
            case FileValue::Kind::Text:
                return "\"" + Shown(value.text) + "\"";
            default:
                return value.text.empty() ? "nothing" : value.text;
        }
    }
};

using FieldReader = std::function<void(const SectionReader&, const FileField&, FinishChoices&)>;

// Every key of the section and what it sets.
const std::map<std::string, FieldReader>& FieldReaders() {
    static const std::map<std::string, FieldReader> readers = {
        {"RefineEdges", [](const auto& r, const auto& f, auto& c) { c.refineEdges = r.Boolean(f); }},
        {"Unmix", [](const auto& r, const auto& f, auto& c) { c.unmix = r.Boolean(f); }},
        {"Despill", [](const auto& r, const auto& f, auto& c) { c.despill = r.Number(f, ValueRule::Amount); }},
        {"ClipBlack", [](const auto& r, const auto& f, auto& c) { c.clipBlack = r.Number(f, ValueRule::Any); }},
        {"ClipWhite", [](const auto& r, const auto& f, auto& c) { c.clipWhite = r.Number(f, ValueRule::Any); }},
        {"Shrink", [](const auto& r, const auto& f, auto& c) { c.shrink = r.Number(f, ValueRule::Pixels); }},
        {"Grow", [](const auto& r, const auto& f, auto& c) { c.grow = r.Number(f, ValueRule::Pixels); }},
        {"Soften", [](const auto& r, const auto& f, auto& c) { c.soften = r.Number(f, ValueRule::Pixels); }},
        {"Despot", [](const auto& r, const auto& f, auto& c) { c.despot = r.Number(f, ValueRule::Pixels); }},
        {"Garbage", [](const auto& r, const auto& f, auto& c) { c.garbage = r.Shapes(f); }},
        {"Holdout", [](const auto& r, const auto& f, auto& c) { c.holdout = r.Shapes(f); }},
        {"View", [](const auto& r, const auto& f, auto& c) { c.view = r.View(f); }},
    };
    return readers;
}

// The file name a settings file at `settingsPath` stores: relative to its
// folder, or absolute for a stream (its folder says nothing) or where no
// relative path leads.
std::string StoredFile(const std::string& file, const std::string& settingsPath) {
    const fs::path absolute = fs::absolute(file).lexically_normal();
    if (IsTextStream(settingsPath)) return absolute.string();
    const fs::path folder = fs::absolute(settingsPath).parent_path().lexically_normal();
    const fs::path relative = absolute.lexically_relative(folder);
    return relative.empty() ? absolute.string() : relative.string();
}

// A Lua string literal that reads back as `text`.
std::string Quoted(const std::string& text) {
    std::string quoted = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (byte < 0x20 || byte == 0x7f) {
            const char digits[] = {'\\', static_cast<char>('0' + byte / 100), static_cast<char>('0' + byte / 10 % 10),
                                   static_cast<char>('0' + byte % 10), '\0'};
            quoted += digits;
        } else {
            quoted += c;
        }
    }
    return quoted + "\"";
}

}  // namespace

FinishChoices ReadFinishingSection(const FileSection& section, const std::string& path) {
    FinishChoices choices;
    if (!section.present) return choices;
    if (!section.problem.empty()) {
        throw CliError(path + ": " + section.problem);
    }
    const SectionReader reader{path, fs::path(path).parent_path().string()};
    for (const FileField& field : section.fields) {
        if (!field.keyProblem.empty()) {
            throw CliError(path + ": " + kFinishingSection + ": " + field.keyProblem);
        }
        const auto found = FieldReaders().find(field.key);
        if (found == FieldReaders().end()) {
            throw CliError(reader.Where(field) + ": unknown key (expected RefineEdges, Unmix, Despill, ClipBlack, ClipWhite, Shrink, "
                                                 "Grow, Soften, Despot, Garbage, Holdout or View)");
        }
        found->second(reader, field, choices);
    }
    return choices;
}

std::string FinishingSectionText(const finish::FinishPlan& plan, const std::string& settingsPath) {
    const finish::FinishOptions& options = plan.options;
    const finish::FinishOptions none;
    std::string text;
    auto number = [&](const char* key, double value, double unset) {
        if (value != unset) text += std::string("\t\t") + key + " = " + finish::NumberText(value) + ",\n";
    };
    auto shapes = [&](const char* key, const std::vector<finish::ShapeChoice>& list) {
        if (list.empty()) return;
        text += std::string("\t\t") + key + " = {";
        for (const finish::ShapeChoice& choice : list) {
            const finish::MatteShape& shape = choice.shape;
            text += " " + Quoted(shape.file.empty() ? shape.text : StoredFile(shape.file, settingsPath)) + ",";
        }
        text += " },\n";
    };
    if (options.refineEdges) text += "\t\tRefineEdges = true,\n";
    if (options.unmix) text += "\t\tUnmix = true,\n";
    number("Despill", options.despill, none.despill);
    number("ClipBlack", options.clipBlack, none.clipBlack);
    number("ClipWhite", options.clipWhite, none.clipWhite);
    number("Shrink", options.shrink, none.shrink);
    number("Grow", options.grow, none.grow);
    number("Soften", options.soften, none.soften);
    number("Despot", options.despot, none.despot);
    shapes("Garbage", plan.garbage);
    shapes("Holdout", plan.holdout);
    if (options.view != none.view) text += "\t\tView = \"" + finish::ViewName(options.view) + "\",\n";
    return text.empty() ? "" : std::string("\t") + kFinishingSection + " = {\n" + text + "\t},\n";
}

std::string WithFinishingSection(const std::string& settingsText, const std::string& section) {
    // The writer's text ends "}\n": the section goes in before the last brace.
    const std::size_t last = settingsText.rfind('}');
    if (section.empty() || last == std::string::npos) return settingsText;
    return settingsText.substr(0, last) + section + settingsText.substr(last);
}

}  // namespace veskar
