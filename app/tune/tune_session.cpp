#include "app/tune/tune_session.h"

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <sstream>

#include "app/cli_error.h"
#include "app/files/staged_file.h"
#include "app/control_values.h"
#include "app/key_pick.h"
#include "app/movie/movie_plan.h"
#include "app/movie/movie_reader.h"
#include "app/settings/finishing_section.h"
#include "app/settings/settings_file.h"
#include "app/settings/settings_text.h"
#include "app/setup/screen_option.h"
#include "app/setup/screen_setup.h"
#include "host/tags.h"

namespace veskar::tune {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

bool SameFile(const std::string& a, const std::string& b) {
    std::error_code ec;
    if (fs::exists(a, ec) && fs::exists(b, ec)) {
        return fs::equivalent(a, b, ec);
    }
    return fs::weakly_canonical(a, ec) == fs::weakly_canonical(b, ec);
}

// A word of a shell command, quoted when the shell would split or expand it.
std::string ShellWord(const std::string& word) {
    const bool plain = !word.empty() && word.find_first_not_of(
                                            "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"
                                            "_-./,:=+@%") == std::string::npos;
    if (plain) {
        return word;
    }
    std::string quoted = "'";
    for (char c : word) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

// The page shows colour and alpha only: further channels stay in the file.
ReadOptions PlatesOnly() {
    ReadOptions options;
    options.withExtraChannels = false;
    return options;
}

// The smallest side of a screen rectangle from the page: a drag shorter than
// that is a slip of the hand, and one pixel says nothing of the screen's spread.
constexpr int kMinScreenSide = 2;

// The frames of a session for the page: their count, first and last, and
// the runs of consecutive frames in the order given. A long sequence is a
// few runs, never a list of every frame.
json FramesJson(const std::vector<int>& frames) {
    json runs = json::array();
    for (std::size_t i = 0; i < frames.size();) {
        std::size_t end = i + 1;
        while (end < frames.size() && static_cast<long long>(frames[end]) == frames[end - 1] + 1LL) ++end;
        runs.push_back({frames[i], frames[end - 1]});
        i = end;
    }
    return {{"count", frames.size()}, {"first", frames.front()}, {"last", frames.back()}, {"runs", std::move(runs)}};
}

// Why `value` is not a value the control `input` can take, or "" when it is.
// The page offers only such values; anything else comes from elsewhere.
std::string ValueProblem(const Input& input, double value) {
    const std::string id = input.ID().Text();
    if (!std::isfinite(value)) {
        return id + ": the value must be a finite number";
    }
    const std::vector<std::string> entries = EntriesOf(input);
    if (!entries.empty()) {
        if (value != std::floor(value) || value < 0.0 || value >= static_cast<double>(entries.size())) {
            return id + ": " + SettingsNumber(value) + " is not an entry number (0 to " +
                   std::to_string(entries.size() - 1) + ")";
        }
        return "";
    }
    if (ControlKind(input) == "Checkbox") {
        return value == 0.0 || value == 1.0 ? "" : id + ": a checkbox takes 0 or 1, not " + SettingsNumber(value);
    }
    const TagList& attrs = input.Attrs();
    const double lower = attrs.GetDouble(kInpMinValue, -1e6);
    const double upper = attrs.GetDouble(kInpMaxValue, 1e6);
    if (value < lower || value > upper) {
        return id + ": " + SettingsNumber(value) + " is outside " + SettingsNumber(lower) + " to " +
               SettingsNumber(upper);
    }
    return "";
}

// The finishing values the page offers: id, caption, kind, and the upper end
// of the slider (a value beyond it, from a file or the command line, widens it).
struct FinishingControl {
    const char* id;
    const char* caption;
    bool checkbox;
    double upper;
};
constexpr FinishingControl kFinishingControls[] = {
    {"finish.refineEdges", "Refine Edges", true, 1.0},
    {"finish.clipBlack", "Clip Black", false, 1.0}, {"finish.clipWhite", "Clip White", false, 1.0},
    {"finish.shrink", "Shrink (px)", false, 10.0},  {"finish.grow", "Grow (px)", false, 10.0},
    {"finish.soften", "Soften (px)", false, 10.0},  {"finish.despot", "Despot (px)", false, 50.0},
    {"finish.unmix", "Unmix", true, 1.0},           {"finish.despill", "Despill", false, 2.0},
};

double FinishingValue(const finish::FinishOptions& options, const std::string& id) {
    if (id == "finish.clipBlack") return options.clipBlack;
    if (id == "finish.clipWhite") return options.clipWhite;
    if (id == "finish.shrink") return options.shrink;
    if (id == "finish.grow") return options.grow;
    if (id == "finish.soften") return options.soften;
    if (id == "finish.despot") return options.despot;
    if (id == "finish.unmix") return options.unmix ? 1.0 : 0.0;
    if (id == "finish.refineEdges") return options.refineEdges ? 1.0 : 0.0;
    return options.despill;
}

// The mean of each factor x factor block of a coverage map, as Shrink
// averages the plate for the proxy: the last blocks take what is left.
std::vector<float> ShrinkCoverage(const std::vector<float>& map, int width, int height, int factor, int toWidth,
                                  int toHeight) {
    std::vector<float> shrunk;
    if (map.empty()) return shrunk;
    shrunk.resize(static_cast<std::size_t>(toWidth) * static_cast<std::size_t>(toHeight));
    for (int by = 0; by < toHeight; ++by) {
        const int y1 = by + 1 == toHeight ? height : (by + 1) * factor;
        for (int bx = 0; bx < toWidth; ++bx) {
            const int x1 = bx + 1 == toWidth ? width : (bx + 1) * factor;
            double sum = 0.0;
            for (int y = by * factor; y < y1; ++y) {
                for (int x = bx * factor; x < x1; ++x) sum += map[static_cast<std::size_t>(y) * width + x];
            }
            const double count = static_cast<double>(y1 - by * factor) * (x1 - bx * factor);
            shrunk[static_cast<std::size_t>(by) * toWidth + bx] = static_cast<float>(sum / count);
        }
    }
    return shrunk;
}

}  // namespace

std::string Shortened(const std::string& text) {
    constexpr std::size_t kLongest = 24;
    return text.size() <= kLongest ? text : text.substr(0, kLongest - 3) + "...";
}

int ParseFrameText(const std::string& text) { return ParseWholeText("frame", text); }

int ParseWholeText(const std::string& name, const std::string& text) {
    const std::string shown = "'" + Shortened(text) + "'";
    const std::size_t digits = text.starts_with('-') ? 1 : 0;
    if (text.size() == digits || text.find_first_not_of("0123456789", digits) != std::string::npos) {
        throw RequestError(400, name + " must be a whole number, not " + shown);
    }
    errno = 0;
    const long long number = std::strtoll(text.c_str(), nullptr, 10);
    if (errno == ERANGE || number < INT32_MIN || number > INT32_MAX) {
        throw RequestError(400, name + " " + shown + " is out of range");
    }
    return static_cast<int>(number);
}

int WholeNumber(const json& body, const char* name) {
    if (!body.contains(name)) {
        throw RequestError(400, std::string("'") + name + "' is missing");
    }
    const json& value = body[name];
    if (!value.is_number_integer()) {
        throw RequestError(400, std::string("'") + name + "' must be a whole number");
    }
    const auto number = value.get<long long>();
    if (value.is_number_unsigned() ? value.get<unsigned long long>() > 1000000000ULL
                                   : number < -1000000000LL || number > 1000000000LL) {
        throw RequestError(400, std::string("'") + name + "' is out of range");
    }
    return static_cast<int>(number);
}

ScreenRect RequestRect(const json& body, const Image& plate, const std::string& what) {
    const ScreenRect rect{WholeNumber(body, "x"), WholeNumber(body, "y"), WholeNumber(body, "width"),
                          WholeNumber(body, "height")};
    const std::string shown = what + " rectangle " + RectText(rect);
    if (rect.width < kMinScreenSide || rect.height < kMinScreenSide) {
        throw RequestError(400, shown + ": give at least " + std::to_string(kMinScreenSide) + " x " +
                                    std::to_string(kMinScreenSide) + " pixels" +
                                    (what == "screen" || what == "subject" ? " of " + what : ""));
    }
    // In 64 bits: the page's numbers are bounded, their sums need not fit an int.
    if (rect.x < 0 || rect.y < 0 || static_cast<long long>(rect.x) + rect.width > plate.Width() ||
        static_cast<long long>(rect.y) + rect.height > plate.Height()) {
        throw RequestError(400, shown + " reaches outside the " + std::to_string(plate.Width()) + " x " +
                                    std::to_string(plate.Height()) + " frame");
    }
    return rect;
}

TuneSession::TuneSession(const TuneOptions& options)
    : options_(options),
      plugins_(options.pluginFolder),
      platePattern_(options.plate, "plate"),
      keyPattern_(options.keyImage, "--key-image") {
    if (!platePattern_.IsSequence() && IsMovieFile(options.plate)) {
        // A movie is a sequence of frames numbered from 1, all of them
        // unless --frames picks some, as render keys it.
        movie_ = std::make_shared<const MovieInfo>(ProbeMovie(options.plate));
        for (const int frame : MovieFrameList(*movie_, options.frames)) frames_.push_back(frame);
    } else if (platePattern_.IsSequence()) {
        if (options.frames.empty()) {
            throw CliError(options.plate + ": a sequence needs --frames (for example --frames 1001-1100)", 2);
        }
        frames_ = ParseFrames(options.frames);
    } else {
        if (!options.frames.empty()) {
            throw CliError("--frames " + options.frames + ": the plate " + options.plate +
                               " has no frame number pattern (such as plate.####.exr)",
                           2);
        }
        if (keyPattern_.IsSequence()) {
            throw CliError(options.plate + ": a frame number pattern in --key-image needs one in the plate", 2);
        }
        frames_ = {0};
    }
    savePath_ = options.save.empty() ? options.settingsFile : options.save;
    if (!savePath_.empty()) {
        for (int frame : frames_) {
            if (SameFile(savePath_, platePattern_.Path(frame)) ||
                (!options.keyImage.empty() && SameFile(savePath_, keyPattern_.Path(frame)))) {
                throw CliError(savePath_ + ": saving the settings would overwrite a plate");
            }
        }
    }
    const Registry& keyer = plugins_.Class(kKeyerClassId);
    className_ = keyer.Name();
    tool_ = std::make_unique<host::ToolInstance>(keyer);
    // Mistakes in the finishing options are usage errors, said before the
    // settings file is read.
    const finish::FinishChoices commandFinishing = options.finishing.Choices();
    finish::FinishChoices fileFinishing;
    if (!options.settingsFile.empty()) {
        const SettingsLoad load = LoadSettingsFile(*tool_, options.settingsFile, "");
        fileFinishing = load.finishing;
        toolName_ = load.toolName;
        for (const std::string& warning : load.warnings) {
            std::cerr << "veskar: warning: " << warning << "\n";
        }
        // Save writes this tool's values alone; over the file it came from,
        // that would drop the file's other tools.
        if (options.save.empty() && !load.otherTools.empty()) {
            std::string names;
            for (const std::string& name : load.otherTools) {
                names += (names.empty() ? "" : ", ") + name;
            }
            noSaveReason_ = options.settingsFile + " also holds " + names +
                            ", which saving this tool alone over it would drop: start veskar tune with --save FILE";
            savePath_.clear();
            std::cerr << "veskar: warning: Save is off: " << noSaveReason_ << "\n";
        }
    }
    // A settings file lists every control, Colorspace among them: as with
    // veskar render --settings, setups keep its space.
    samples_.spaceKept = !options.settingsFile.empty();
    finishing_ = finish::PlanFinishing(fileFinishing, options.settingsFile, commandFinishing,
                                       options.finishing.cleanEdges);
    softEdges_ = options.finishing.cleanEdges;
    lastShownFrame_ = frames_.front();
    const Image& first = *LoadFrame(frames_.front()).source.image;
    if (!finishing_.garbage.empty() || !finishing_.holdout.empty()) {
        shapes_ = finish::MakeShapeMattes(finishing_, first.Width(), first.Height());
    }
    SetUpFromCommandLine();
    history_.Reset(Capture());
}

TuneSession::~TuneSession() = default;

TuneSession::Frame& TuneSession::LoadFrame(int frame) {
    if (frame_ && frame_->number == frame) {
        return *frame_;
    }
    // The new frame is read whole before it replaces the shown one: a frame
    // that cannot be read leaves the session as it was, still showing (and
    // answering for) the frame it had.
    Frame loaded;
    loaded.number = frame;
    if (movie_) {
        if (!movieReader_) movieReader_ = std::make_unique<MovieReader>(*movie_);
        loaded.source = movieReader_->Frame(frame, PlatesOnly());
    } else {
        loaded.source = ReadImageFile(platePattern_.Path(frame), PlatesOnly());
    }
    if (!options_.keyImage.empty()) {
        if (keyPattern_.IsSequence()) {
            loaded.key = ReadImageFile(keyPattern_.Path(frame), PlatesOnly());
        } else {
            if (!stillKey_) stillKey_ = ReadImageFile(options_.keyImage, PlatesOnly());
            loaded.key = stillKey_;
        }
    }
    const Image& source = *loaded.source.image;
    const int factor = std::max((source.Width() + kProxyMaxWidth - 1) / kProxyMaxWidth,
                                (source.Height() + kProxyMaxHeight - 1) / kProxyMaxHeight);
    loaded.factor = std::max(factor, 1);
    loaded.proxySource = factor > 1 ? Shrink(source, factor) : loaded.source.image;
    if (loaded.key) {
        loaded.proxyKey = factor > 1 ? Shrink(*loaded.key->image, factor) : loaded.key->image;
    }
    frame_ = std::move(loaded);
    return *frame_;
}

int TuneSession::CheckFrame(const json& value) const {
    if (!value.is_number_integer()) {
        throw RequestError(400, "'frame' must be a whole number");
    }
    // A number above the int range (JSON keeps those unsigned) is named as
    // it was sent, never wrapped into another frame number.
    const bool inRange = value.is_number_unsigned() ? value.get<unsigned long long>() <= INT32_MAX
                                                    : value.get<long long>() >= INT32_MIN &&
                                                          value.get<long long>() <= INT32_MAX;
    if (!inRange) {
        throw RequestError(400, "frame " + Shortened(value.dump()) + " is out of range");
    }
    const int frame = static_cast<int>(value.get<long long>());
    for (int known : frames_) {
        if (known == frame) return known;
    }
    throw RequestError(400, "frame " + std::to_string(frame) + " is not a frame of this session");
}

json TuneSession::State() const {
    json controls = json::array();
    for (const auto& input : tool_->Tool().Inputs()) {
        const TagList& attrs = input->Attrs();
        json control = {{"id", input->ID().Text()},
                        {"caption", std::string(input->Caption().Text())},
                        {"kind", ControlKind(*input)},
                        {"visible", input->IsVisible()}};
        if (HoldsNumber(*input)) {
            control["value"] = std::isfinite(input->Value()) ? json(input->Value()) : json(SettingsNumber(input->Value()));
            control["default"] = input->Default();
        }
        if (attrs.Has(kInpMinValue)) control["lower"] = attrs.GetDouble(kInpMinValue, 0.0);
        if (attrs.Has(kInpMaxValue)) control["upper"] = attrs.GetDouble(kInpMaxValue, 0.0);
        const std::vector<std::string> entries = EntriesOf(*input);
        if (!entries.empty()) control["entries"] = entries;
        if (attrs.Has(kInpControlGroup)) control["group"] = attrs.GetInt(kInpControlGroup, 0);
        if (attrs.Has(kInpGroupCaption)) control["groupCaption"] = attrs.GetText(kInpGroupCaption, "");
        controls.push_back(std::move(control));
    }
    const Image& plate = *frame_->source.image;
    return {{"controls", std::move(controls)},
            {"frames", FramesJson(frames_)},
            {"frame", frame_->number},
            {"sequence", platePattern_.IsSequence()},
            {"plate", fs::path(options_.plate).filename().string()},
            {"keyImage", options_.keyImage.empty() ? "" : fs::path(options_.keyImage).filename().string()},
            {"width", plate.Width()},
            {"height", plate.Height()},
            {"canSave", !savePath_.empty()},
            {"saveOff", noSaveReason_},
            {"canScreen", true},
            {"savePath", savePath_},
            {"finishing", FinishingState()},
            {"samples", SamplesState()},
            {"revision", revision_},
            {"history", {{"undo", history_.UndoSteps()}, {"redo", history_.RedoSteps()}}},
            {"snapshots", SnapshotNames()}};
}

json TuneSession::FinishingState() const {
    json controls = json::array();
    for (const FinishingControl& control : kFinishingControls) {
        const double value = FinishingValue(finishing_.options, control.id);
        json entry = {{"id", control.id}, {"caption", control.caption}, {"visible", true}, {"value", value}};
        if (control.checkbox) {
            entry["kind"] = "Checkbox";
        } else {
            entry["kind"] = "Slider";
            entry["lower"] = 0.0;
            entry["upper"] = std::max(control.upper, value);
        }
        controls.push_back(std::move(entry));
    }
    return {{"controls", std::move(controls)},
            {"garbage", finishing_.garbage.size()},
            {"holdout", finishing_.holdout.size()}};
}

void TuneSession::SetFinishing(finish::FinishOptions& options, const std::string& id, double value) {
    using finish::ValueRule;
    const auto checked = [&](ValueRule rule) {
        try {
            finish::CheckValue(id, value, rule, 2);
        } catch (const CliError& e) {
            throw RequestError(400, e.what());
        }
        return value;
    };
    if (id == "finish.unmix" || id == "finish.refineEdges") {
        if (value != 0.0 && value != 1.0) {
            throw RequestError(400, id + ": a checkbox takes 0 or 1, not " + SettingsNumber(value));
        }
        (id == "finish.unmix" ? options.unmix : options.refineEdges) = value == 1.0;
    } else if (id == "finish.despill") {
        options.despill = checked(ValueRule::Amount);
    } else if (id == "finish.clipBlack") {
        options.clipBlack = checked(ValueRule::Any);
    } else if (id == "finish.clipWhite") {
        options.clipWhite = checked(ValueRule::Any);
    } else if (id == "finish.shrink" || id == "finish.grow") {
        // One setting: a matte is shrunk or grown, never both.
        const bool grow = id == "finish.grow";
        (grow ? options.grow : options.shrink) = checked(ValueRule::Pixels);
        if (value > 0.0) (grow ? options.shrink : options.grow) = 0.0;
    } else if (id == "finish.soften") {
        options.soften = checked(ValueRule::Pixels);
    } else if (id == "finish.despot") {
        options.despot = checked(ValueRule::Pixels);
    } else {
        throw RequestError(400, "unknown finishing value '" + Shortened(id) + "'");
    }
}

void TuneSession::ApplyValues(const json& body) {
    if (!body.is_object() || !body.contains("set") || !body["set"].is_array()) {
        throw RequestError(400, "expected {\"set\": [{\"id\": ID, \"value\": NUMBER}, ...]}");
    }
    const json& changes = body["set"];
    // "merge": the change continues the last (a slider still moving), one step for undo.
    const json merge = body.value("merge", json(false));
    if (!merge.is_boolean()) {
        throw RequestError(400, "'merge' must be true or false");
    }
    if (changes.empty() || changes.size() > 64) {
        throw RequestError(400, "'set' must hold 1 to 64 changes");
    }
    std::vector<std::pair<Input*, double>> checked;
    finish::FinishOptions finishing = finishing_.options;
    for (const json& change : changes) {
        if (!change.is_object() || !change.contains("id") || !change["id"].is_string() || !change.contains("value")) {
            throw RequestError(400, "each change must be {\"id\": ID, \"value\": NUMBER}");
        }
        const std::string id = change["id"].get<std::string>();
        if (id.starts_with("finish.")) {
            if (!change["value"].is_number()) {
                throw RequestError(400, Shortened(id) + ": the value must be a number");
            }
            SetFinishing(finishing, id, change["value"].get<double>());
            continue;
        }
        Input* input = tool_->FindInput(id);
        if (input == nullptr) {
            throw RequestError(400, UnknownControlMessage(tool_->Tool(), id));
        }
        if (!HoldsNumber(*input)) {
            throw RequestError(400, id + ": " + (input->IsImage() ? "an image input" : "a label") +
                                        " takes no value from the page");
        }
        if (!change["value"].is_number()) {
            throw RequestError(400, id + ": the value must be a number");
        }
        const double value = change["value"].get<double>();
        const std::string problem = ValueProblem(*input, value);
        if (!problem.empty()) {
            throw RequestError(400, problem);
        }
        checked.emplace_back(input, value);
    }
    if (finishing.clipWhite <= finishing.clipBlack) {
        throw RequestError(400, "clip white " + finish::NumberText(finishing.clipWhite) + " must be above clip black " +
                                    finish::NumberText(finishing.clipBlack));
    }
    for (const auto& [input, value] : checked) {
        tool_->SetNumber(*input, value, 0.0);
        // The user's own space: setups from the samples keep it from now on.
        samples_.spaceKept = samples_.spaceKept || std::string(input->ID().Text()) == "Colorspace";
    }
    finishing_.options = finishing;
    ++revision_;
    Recorded(merge.get<bool>());
}

void TuneSession::Pick(const json& body) {
    if (!body.is_object() || !body.contains("frame")) {
        throw RequestError(400, "expected {\"frame\": F, \"x\": X, \"y\": Y}");
    }
    const int frame = CheckFrame(body["frame"]);
    const int x = WholeNumber(body, "x");
    const int y = WholeNumber(body, "y");
    const Image& image = *LoadFrame(frame).source.image;
    if (x < 0 || y < 0 || x >= image.Width() || y >= image.Height()) {
        throw RequestError(400, std::to_string(x) + "," + std::to_string(y) + " is outside the " +
                                    std::to_string(image.Width()) + " x " + std::to_string(image.Height()) +
                                    " plate");
    }
    SetKeyColour(*tool_, MeanColour(image, x, y, kDefaultPickRadius));
    keySetup_.colourPicked = true;
    keySetup_.screen = false;
    ++revision_;
    Recorded();
}

json TuneSession::Screen(const json& body) {
    if (!body.is_object() || !body.contains("frame")) {
        throw RequestError(400, "expected {\"frame\": F, \"x\": X, \"y\": Y, \"width\": W, \"height\": H}");
    }
    const int frame = CheckFrame(body["frame"]);
    // The rectangle's numbers are checked before the frame is read.
    for (const char* name : {"x", "y", "width", "height"}) WholeNumber(body, name);
    Frame& loaded = LoadFrame(frame);
    const ScreenRect rect = RequestRect(body, *loaded.source.image);
    // One rectangle stands for the screen samples: it replaces them.
    SampleRegions next = samples_;
    next.screen = {rect};
    return SetUpFromSamples(next, loaded, "screen rectangle " + RectText(rect));
}

bool TuneSession::ConvertsForDisplay() {
    return ShownThroughSrgbCurve(LoadFrame(frames_.front()).source.spec);
}

const Image& TuneSession::Keyed(bool proxy, const KeySetupKind& setup) {
    Render& cached = proxy ? proxy_ : full_;
    if (cached.revision == revision_ && cached.frame == frame_->number && cached.image) {
        return *cached.image;
    }
    Frame& frame = *frame_;
    tool_->Connect(*tool_->FindInput("Image"), proxy ? frame.proxySource : frame.source.image);
    tool_->Connect(*tool_->FindInput("KeyImage"), frame.key ? (proxy ? frame.proxyKey : frame.key->image) : nullptr);
    std::shared_ptr<Image> keyed = tool_->Render(0.0);
    // Keep no reference to the plates in the tool between requests.
    tool_->Connect(*tool_->FindInput("Image"), nullptr);
    tool_->Connect(*tool_->FindInput("KeyImage"), nullptr);
    if (!keyed) {
        throw std::runtime_error(platePattern_.Path(frame.number) + ": the keyer produced no image");
    }
    // The warning speaks of the key as the tool made it, before finishing
    // changes the matte, as veskar render's does.
    std::string warning = OneSidedKeyWarning(*keyed, setup);
    Finish(proxy, *keyed);
    cached = {revision_, frame.number, std::move(keyed), setup, std::move(warning)};
    return *cached.image;
}

void TuneSession::Finish(bool proxy, Image& keyed) {
    finish::FinishOptions options = finishing_.options;
    // The page chooses what it shows of the finished frame.
    options.view = finish::View::Result;
    if (!options.Any()) return;
    const Frame& frame = *frame_;
    const bool shrunk = proxy && frame.factor > 1;
    if (shrunk) {
        // Distances in pixels of the plate are fewer pixels of the proxy.
        for (double* pixels : {&options.shrink, &options.grow, &options.soften, &options.despot}) {
            *pixels /= frame.factor;
        }
    }
    const Image& source = shrunk ? *frame.proxySource : *frame.source.image;
    const Image* key = frame.key ? (shrunk ? frame.proxyKey.get() : frame.key->image.get()) : nullptr;
    const finish::FrameContext context{source, key, KeyColour(*tool_), ColourPremultiplied(*tool_),
                                       Shapes(shrunk, source.Width(), source.Height()),
                                       DisplayEncoded(frame.source.colourSpace)};
    finish::FinishFrame(options, context, keyed);
}

const finish::ShapeMattes* TuneSession::Shapes(bool proxy, int width, int height) {
    if (shapes_.width == 0) return nullptr;
    const int fullWidth = frame_->source.image->Width();
    const int fullHeight = frame_->source.image->Height();
    if (shapes_.width != fullWidth || shapes_.height != fullHeight) {
        throw CliError(platePattern_.Path(frame_->number) + ": the frame is " + std::to_string(fullWidth) + " x " +
                       std::to_string(fullHeight) + ", the garbage and holdout mattes " +
                       std::to_string(shapes_.width) + " x " + std::to_string(shapes_.height));
    }
    if (!proxy) return &shapes_;
    if (proxyShapes_.width != width || proxyShapes_.height != height) {
        const int factor = frame_->factor;
        proxyShapes_ = {width, height,
                        ShrinkCoverage(shapes_.garbage, fullWidth, fullHeight, factor, width, height),
                        ShrinkCoverage(shapes_.holdout, fullWidth, fullHeight, factor, width, height)};
    }
    return &proxyShapes_;
}

std::string TuneSession::ViewPng(int frame, View view, bool proxy) {
    const int number = CheckFrame(json(frame));
    Frame& shown = LoadFrame(number);
    lastShownFrame_ = number;
    const Image& source = proxy ? *shown.proxySource : *shown.source.image;
    if (view == View::Source) {
        return EncodeView(view, shown.source.spec, source, nullptr, proxy);
    }
    const KeySetupKind setup = ShownSetup();
    const Image& keyed = Keyed(proxy, setup);
    warning_ = KeyWarning(proxy, setup);
    if (warning_.empty()) warning_ = SetupWarning();
    return EncodeView(view, shown.source.spec, source, &keyed, proxy, ColourPremultiplied(*tool_));
}

const std::string& TuneSession::KeyWarning(bool proxy, const KeySetupKind& setup) {
    Render& cached = proxy ? proxy_ : full_;
    if (cached.warnedFor != setup) {
        cached.warning = OneSidedKeyWarning(*cached.image, setup);
        cached.warnedFor = setup;
    }
    return cached.warning;
}

json TuneSession::Save() {
    if (savePath_.empty()) {
        throw RequestError(409, noSaveReason_.empty()
                                    ? "nowhere to save: start veskar tune with --save FILE or --settings FILE"
                                    : noSaveReason_);
    }
    StagedFile(savePath_, WithFinishingSection(SettingsText(tool_->Tool(), toolName_, className_),
                                               FinishingSectionText(finishing_, savePath_)))
        .Commit();
    return {{"path", savePath_}, {"command", RenderCommand(savePath_)}, {"revision", revision_}};
}

std::string TuneSession::RenderCommand(const std::string& savePath) const {
    const fs::path plate(options_.plate);
    const std::string output = (plate.parent_path() / ("keyed_" + plate.filename().string())).string();
    std::string command = "veskar";
    if (options_.pluginFolder != DefaultPluginFolder()) {
        command += " --plugins " + ShellWord(options_.pluginFolder);
    }
    command += " render " + ShellWord(options_.plate);
    if (!options_.keyImage.empty()) {
        command += " --key-image " + ShellWord(options_.keyImage);
    }
    command += " --settings " + ShellWord(savePath);
    if (platePattern_.IsSequence()) {
        command += " --frames " + std::to_string(lastShownFrame_);
    } else if (movie_ && !options_.frames.empty()) {
        // A movie out of the frames the page was given.
        command += " --frames " + ShellWord(options_.frames);
    }
    return command + " -o " + ShellWord(output);
}

}  // namespace veskar::tune
