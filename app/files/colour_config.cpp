#include "app/files/colour_config.h"

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <vector>

#include <OpenColorIO/OpenColorIO.h>

#include "app/cli_error.h"

namespace veskar {
namespace {

namespace OCIO = OCIO_NAMESPACE;
namespace fs = std::filesystem;

std::string MiB(std::uintmax_t bytes) {
    return std::to_string(bytes >> 20) + " MiB";
}

// What is wrong with a file before anything opens it: a FIFO or a device
// would be read (or waited on) forever.
std::string FileProblem(const std::string& path, std::uintmax_t limit) {
    std::error_code error;
    const fs::file_status status = fs::status(path, error);
    if (status.type() == fs::file_type::not_found) return "no such file";
    if (error) return error.message();
    if (status.type() == fs::file_type::directory) return "a folder, not a file";
    if (status.type() != fs::file_type::regular) return "not a regular file";
    const std::uintmax_t size = fs::file_size(path, error);
    if (error) return error.message();
    if (size == 0) return "empty";
    if (size > limit) return "larger than " + MiB(limit) + " (" + std::to_string(size) + " bytes)";
    return "";
}

// A colour space, look, named transform, view transform or view.
struct Item {
    std::string kind;
    std::string name;
    std::string display;  ///< a view's display

    std::string Key() const { return kind + '\n' + display + '\n' + name; }
    std::string Text() const { return kind + " '" + (display.empty() ? "" : display + "/") + name + "'"; }
};

// Walks the references between a configuration's items, as OpenColorIO
// follows them when it builds a conversion. OpenColorIO 2.1 recurses without
// a bound, so a loop would end in a stack overflow; it is found here first.
class ReferenceWalk {
public:
    explicit ReferenceWalk(OCIO::ConstConfigRcPtr config)
        : config_(std::move(config)), context_(config_->getCurrentContext()) {}

    std::string Check();

private:
    std::string Visit(const Item& item, int depth);
    std::vector<Item> References(const Item& item, std::string& problem);
    void Collect(const OCIO::ConstTransformRcPtr& transform, int depth, std::vector<Item>& out, std::string& problem);
    void AddSpace(const char* name, std::vector<Item>& out) const;
    void AddLooks(const char* looks, std::vector<Item>& out) const;
    std::string LutProblem(const char* source) const;
    std::string LoopText(const Item& item) const;

    enum class State { OnPath, Done };
    OCIO::ConstConfigRcPtr config_;
    OCIO::ConstContextRcPtr context_;
    std::map<std::string, State> state_;
    std::vector<Item> path_;
};

std::string ReferenceWalk::Check() {
    std::vector<Item> items;
    for (int i = 0; i < config_->getNumColorSpaces(OCIO::SEARCH_REFERENCE_SPACE_ALL, OCIO::COLORSPACE_ALL); ++i) {
        items.push_back({"colour space",
                         config_->getColorSpaceNameByIndex(OCIO::SEARCH_REFERENCE_SPACE_ALL, OCIO::COLORSPACE_ALL, i),
                         ""});
    }
    for (int i = 0; i < config_->getNumLooks(); ++i) items.push_back({"look", config_->getLookNameByIndex(i), ""});
    for (int i = 0; i < config_->getNumNamedTransforms(OCIO::NAMEDTRANSFORM_ALL); ++i) {
        items.push_back({"named transform", config_->getNamedTransformNameByIndex(OCIO::NAMEDTRANSFORM_ALL, i), ""});
    }
    for (int i = 0; i < config_->getNumViewTransforms(); ++i) {
        items.push_back({"view transform", config_->getViewTransformNameByIndex(i), ""});
    }
    for (int d = 0; d < config_->getNumDisplaysAll(); ++d) {
        const char* display = config_->getDisplayAll(d);
        for (OCIO::ViewType type : {OCIO::VIEW_DISPLAY_DEFINED, OCIO::VIEW_SHARED}) {
            for (int v = 0; v < config_->getNumViews(type, display); ++v) {
                items.push_back({"view", config_->getView(type, display, v), display});
            }
        }
    }
    for (const Item& item : items) {
        if (std::string problem = Visit(item, 0); !problem.empty()) return problem;
    }
    return "";
}

std::string ReferenceWalk::Visit(const Item& item, int depth) {
    const std::string key = item.Key();
    if (const auto found = state_.find(key); found != state_.end()) {
        return found->second == State::Done ? std::string() : LoopText(item);
    }
    if (depth > kMaxColourReferenceDepth) {
        return item.Text() + ": references nest more than " + std::to_string(kMaxColourReferenceDepth) + " deep";
    }
    state_[key] = State::OnPath;
    path_.push_back(item);
    std::string problem;
    const std::vector<Item> references = References(item, problem);
    if (!problem.empty()) return item.Text() + ": " + problem;
    for (const Item& reference : references) {
        problem = Visit(reference, depth + 1);
        if (!problem.empty()) return problem;
    }
    path_.pop_back();
    state_[key] = State::Done;
    return "";
}

std::string ReferenceWalk::LoopText(const Item& item) const {
    std::size_t start = 0;
    while (path_[start].Key() != item.Key()) ++start;
    std::string chain;
    for (std::size_t i = start; i < path_.size(); ++i) chain += path_[i].Text() + " -> ";
    return item.Text() + " refers to itself (" + chain + item.Text() + ")";
}

std::vector<Item> ReferenceWalk::References(const Item& item, std::string& problem) {
    std::vector<Item> out;
    const char* name = item.name.c_str();
    if (item.kind == "colour space") {
        if (const auto space = config_->getColorSpace(name)) {
            Collect(space->getTransform(OCIO::COLORSPACE_DIR_TO_REFERENCE), 0, out, problem);
            Collect(space->getTransform(OCIO::COLORSPACE_DIR_FROM_REFERENCE), 0, out, problem);
        }
    } else if (item.kind == "look") {
        if (const auto look = config_->getLook(name)) {
            AddSpace(look->getProcessSpace(), out);
            Collect(look->getTransform(), 0, out, problem);
            Collect(look->getInverseTransform(), 0, out, problem);
        }
    } else if (item.kind == "named transform") {
        if (const auto named = config_->getNamedTransform(name)) {
            Collect(named->getTransform(OCIO::TRANSFORM_DIR_FORWARD), 0, out, problem);
            Collect(named->getTransform(OCIO::TRANSFORM_DIR_INVERSE), 0, out, problem);
        }
    } else if (item.kind == "view transform") {
        if (const auto view = config_->getViewTransform(name)) {
            Collect(view->getTransform(OCIO::VIEWTRANSFORM_DIR_TO_REFERENCE), 0, out, problem);
            Collect(view->getTransform(OCIO::VIEWTRANSFORM_DIR_FROM_REFERENCE), 0, out, problem);
        }
    } else if (item.kind == "view") {
        const char* display = item.display.c_str();
        const std::string space = config_->getDisplayViewColorSpaceName(display, name);
        // A view may name its display's colour space by the display's name.
        AddSpace(space == OCIO::OCIO_VIEW_USE_DISPLAY_NAME ? display : space.c_str(), out);
        const std::string viewTransform = config_->getDisplayViewTransformName(display, name);
        if (!viewTransform.empty()) out.push_back({"view transform", viewTransform, ""});
        AddLooks(config_->getDisplayViewLooks(display, name), out);
    }
    return out;
}

void ReferenceWalk::Collect(const OCIO::ConstTransformRcPtr& transform, int depth, std::vector<Item>& out,
                            std::string& problem) {
    if (!transform || !problem.empty()) return;
    if (depth > kMaxColourReferenceDepth) {
        problem = "groups nest more than " + std::to_string(kMaxColourReferenceDepth) + " deep";
    } else if (const auto group = OCIO::DynamicPtrCast<const OCIO::GroupTransform>(transform)) {
        for (int i = 0; i < group->getNumTransforms(); ++i) Collect(group->getTransform(i), depth + 1, out, problem);
    } else if (const auto space = OCIO::DynamicPtrCast<const OCIO::ColorSpaceTransform>(transform)) {
        AddSpace(space->getSrc(), out);
        AddSpace(space->getDst(), out);
    } else if (const auto look = OCIO::DynamicPtrCast<const OCIO::LookTransform>(transform)) {
        AddSpace(look->getSrc(), out);
        AddSpace(look->getDst(), out);
        AddLooks(look->getLooks(), out);
    } else if (const auto view = OCIO::DynamicPtrCast<const OCIO::DisplayViewTransform>(transform)) {
        AddSpace(view->getSrc(), out);
        out.push_back({"view", view->getView(), view->getDisplay()});
    } else if (const auto file = OCIO::DynamicPtrCast<const OCIO::FileTransform>(transform)) {
        problem = LutProblem(file->getSrc());
    }
}

// Roles, aliases and context variables name the same items; a name the
// configuration does not know is OpenColorIO's to report when it is used.
void ReferenceWalk::AddSpace(const char* name, std::vector<Item>& out) const {
    const std::string resolved = context_->resolveStringVar(name == nullptr ? "" : name);
    if (resolved.empty()) return;
    if (const auto space = config_->getColorSpace(resolved.c_str())) {
        out.push_back({"colour space", space->getName(), ""});
    } else if (const auto named = config_->getNamedTransform(resolved.c_str())) {
        out.push_back({"named transform", named->getName(), ""});
    }
}

// Looks are listed as "a, +b, -c" (with "|" between alternatives).
void ReferenceWalk::AddLooks(const char* looks, std::vector<Item>& out) const {
    const std::string text = context_->resolveStringVar(looks == nullptr ? "" : looks);
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find_first_of(",:|", start);
        if (end == std::string::npos) end = text.size();
        std::string name = text.substr(start, end - start);
        name.erase(0, name.find_first_not_of(" \t+-"));
        name.erase(name.find_last_not_of(" \t") + 1);
        if (const auto look = config_->getLook(name.c_str()); !name.empty() && look) {
            out.push_back({"look", look->getName(), ""});
        }
        start = end + 1;
    }
}

std::string ReferenceWalk::LutProblem(const char* source) const {
    std::string path;
    try {
        // Found as OpenColorIO finds it: through the search path, relative
        // to the configuration's folder, with context variables.
        path = context_->resolveFileLocation(source);
    } catch (const OCIO::Exception&) {
        return "";  // a missing LUT is OpenColorIO's to report when it is used
    }
    const std::string problem = FileProblem(path, kMaxLutBytes);
    return problem.empty() || problem == "empty" ? "" : "LUT " + path + ": " + problem;
}

}  // namespace

std::string ColourConfigPath() {
    const char* path = std::getenv("OCIO");
    return path == nullptr ? std::string() : std::string(path);
}

std::string ColourConfigProblem(const std::string& path) {
    if (std::string problem = FileProblem(path, kMaxColourConfigBytes); !problem.empty()) {
        return path + ": " + problem;
    }
    try {
        const OCIO::ConstConfigRcPtr config = OCIO::Config::CreateFromFile(path.c_str());
        // The walk first: OpenColorIO's own checks may follow the loops.
        if (std::string problem = ReferenceWalk(config).Check(); !problem.empty()) {
            return path + ": " + problem;
        }
        config->validate();
    } catch (const OCIO::Exception& e) {
        return path + ": " + e.what();
    }
    return "";
}

void CheckColourConfig(bool converts) {
    static const std::string problem = [] {
        const std::string path = ColourConfigPath();
        return path.empty() ? std::string() : ColourConfigProblem(path);
    }();
    if (problem.empty()) return;
    if (converts) {
        throw CliError("$OCIO " + problem, 1);
    }
    static bool warned = false;
    if (!warned) {
        std::cerr << "veskar: warning: $OCIO " << problem << " (not used: no colour conversion is asked for)\n";
        warned = true;
    }
}

}  // namespace veskar
