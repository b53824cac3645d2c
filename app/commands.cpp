#include "app/commands.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <iostream>
#include <memory>
#include <new>
#include <optional>
#include <sstream>
#include <system_error>

#include <unistd.h>

#include "app/cli_error.h"
#include "app/control_values.h"
#include "app/frames.h"
#include "app/preview.h"
#include "app/files/colour_config.h"
#include "app/run_paths.h"
#include "app/interrupt.h"
#include "app/files/read_checks.h"
#include "app/sample/sample_files.h"
#include "app/settings/settings_file.h"
#include "app/files/image_file.h"
#include "app/files/keyed_file.h"
#include "app/files/staged_file.h"
#include "app/key_pick.h"
#include "app/settings/settings_text.h"
#include "app/setup/key_check.h"
#include "app/setup/screen_option.h"
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

namespace {

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

OIIO::TypeDesc OutputType(const std::string& name) {
    if (name.empty()) return OIIO::TypeDesc::UNKNOWN;
    if (name == "half") return OIIO::TypeDesc::HALF;
    if (name == "float") return OIIO::TypeDesc::FLOAT;
    if (name == "uint8") return OIIO::TypeDesc::UINT8;
    if (name == "uint16") return OIIO::TypeDesc::UINT16;
    throw CliError("--type " + name + ": expected half, float, uint8 or uint16", 2);
}

// The files of one run, frame by frame.
struct RunFiles {
    FramePattern input;
    FramePattern output;
    FramePattern key;
    FrameList frames;
    bool sequence;
};

RunFiles PlanFiles(const RenderOptions& options) {
    RunFiles files{FramePattern(options.input, "input"), FramePattern(options.output, "-o"),
                   FramePattern(options.keyImage, "--key-image"), FrameList(0), false};
    files.sequence = files.input.IsSequence();
    if (!options.toolName.empty() && options.settingsFile.empty()) {
        throw CliError("--tool " + ShownText(options.toolName) + ": picks a tool of a settings file; give it with --settings",
                       2);
    }
    if (files.sequence) {
        if (options.frames.empty()) {
            throw CliError(options.input + ": a sequence needs --frames (for example --frames 1001-1100)", 2);
        }
        files.frames = FrameList(options.frames);
        if (!files.output.IsSequence() && files.frames.Size() > 1) {
            throw CliError("-o " + options.output +
                               ": every frame would write this one file; give a pattern such as out.####.exr",
                           2);
        }
    } else {
        if (!options.frames.empty()) {
            throw CliError("--frames " + ShownText(options.frames) + ": the input " + options.input +
                               " has no frame number pattern (such as plate.####.exr)",
                           2);
        }
        if (files.output.IsSequence() || files.key.IsSequence()) {
            throw CliError(options.input + ": a frame number pattern in -o or --key-image needs one in the input", 2);
        }
    }
    if (options.previewFrame >= 0 && (!files.sequence || !files.frames.Contains(options.previewFrame))) {
        throw CliError("--preview-frame " + std::to_string(options.previewFrame) + ": not a frame of this run", 2);
    }
    if (options.previewFrame >= 0 && options.preview.empty()) {
        throw CliError("--preview-frame needs --preview", 2);
    }
    // No output of the run may overwrite any of its inputs or another output.
    RunPaths paths;
    paths.AddInputs(files.input, files.frames, "input");
    if (!options.keyImage.empty()) paths.AddInputs(files.key, files.frames, "key image");
    if (!options.settingsFile.empty()) {
        paths.AddInput(options.settingsFile, "--settings file");
    }
    paths.AddOutputs(files.output, files.frames, "output");
    // Settings to a stream are written into it, replacing no file.
    if (!options.saveSettings.empty() && !IsTextStream(options.saveSettings)) {
        paths.AddOutput(options.saveSettings, "settings file");
    }
    if (!options.preview.empty()) {
        paths.AddOutput(options.preview, "preview");
    }
    paths.Check();
    return files;
}

std::string Clock(double seconds) {
    const long total = std::lround(seconds);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%ld:%02ld", total / 60, total % 60);
    return buf;
}

// The progress line on a terminal and the summary at the end, on stderr.
class Progress {
public:
    explicit Progress(std::size_t total) : total_(total), terminal_(::isatty(2) == 1), start_(Now()) {}

    void Done(int frame, bool skipped) {
        ++done_;
        skipped_ += skipped ? 1 : 0;
        if (!skipped) {
            if (!written_.empty() && written_.back().second + 1 == static_cast<long>(frame)) {
                written_.back().second = frame;
            } else if (written_.size() < kShownRanges) {
                written_.emplace_back(frame, frame);
            } else {
                writtenUnlisted_ = true;
            }
        }
        if (!terminal_ || total_ < 2) return;
        const double elapsed = Now() - start_;
        const std::size_t keyed = done_ - skipped_;
        const double rate = elapsed > 0.0 ? static_cast<double>(keyed) / elapsed : 0.0;
        std::string line = "\rveskar: frame " + std::to_string(frame) + "  " + std::to_string(done_) + "/" +
                           std::to_string(total_);
        if (rate > 0.0) {
            char buf[64];
            std::snprintf(buf, sizeof buf, "  %.2f frames/s  %s left", rate,
                          Clock(static_cast<double>(total_ - done_) / rate).c_str());
            line += buf;
        }
        std::cerr << line << "\x1b[K" << std::flush;
    }

    void Summary(const std::string& view) {
        if (terminal_ && total_ >= 2) std::cerr << "\r\x1b[K";
        const double elapsed = Now() - start_;
        const std::size_t keyed = done_ - skipped_;
        char buf[160];
        std::snprintf(buf, sizeof buf, "veskar: %zu frame%s keyed%s%s in %.2f s (%.2f frames/s)\n", keyed,
                      keyed == 1 ? "" : "s", view.empty() ? "" : (" (view " + view + ")").c_str(),
                      skipped_ ? (", " + std::to_string(skipped_) + " skipped (already written)").c_str() : "",
                      elapsed, elapsed > 0.0 ? static_cast<double>(keyed) / elapsed : 0.0);
        std::cerr << buf;
    }

    /// The error that ends a run stopped by `signal`: what was finished, and
    /// the exit status 128 + the signal's number.
    CliError Stopped(int signal) const {
        if (terminal_ && total_ >= 2) std::cerr << "\r\x1b[K";
        const std::size_t keyed = done_ - skipped_;
        std::string text = "interrupted by " + SignalName(signal) + ": " + std::to_string(keyed) + " of " +
                           std::to_string(total_) + " frame" + (total_ == 1 ? "" : "s") + " written";
        if (!written_.empty() && sequence_) {
            text += " (";
            for (std::size_t i = 0; i < written_.size(); ++i) {
                text += (i ? "," : "") + std::to_string(written_[i].first);
                if (written_[i].second != written_[i].first) text += "-" + std::to_string(written_[i].second);
            }
            text += writtenUnlisted_ ? ",...)" : ")";
        }
        if (skipped_ > 0) text += ", " + std::to_string(skipped_) + " skipped (already written)";
        text += "; no partly written file is left";
        return CliError(text, InterruptedExitCode(signal));
    }

    void SetSequence(bool sequence) { sequence_ = sequence; }

private:
    static constexpr std::size_t kShownRanges = 20;

    static double Now() {
        return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
    }

    std::size_t total_;
    bool terminal_;
    double start_;
    std::size_t done_ = 0;
    std::size_t skipped_ = 0;
    std::vector<std::pair<long, long>> written_;  // runs of frames written, in order
    bool writtenUnlisted_ = false;
    bool sequence_ = false;
};

}  // namespace

int RunSample(const std::string& folder) {
    WriteSample(folder);
    const fs::path base(folder);
    std::cout << "plate:       " << (base / kSamplePlateFile).string() << "\n"
              << "clean plate: " << (base / kSampleCleanPlateFile).string() << "\n"
              << "settings:    " << (base / kSampleSettingsFile).string() << "\n"
              << "true alpha:  " << (base / kSampleAlphaFile).string() << "\n";
    return 0;
}

int RunRender(const std::string& pluginFolder, const RenderOptions& options) {
    const RunFiles files = PlanFiles(options);
    const OIIO::TypeDesc outputType = OutputType(options.type);
    // Before any output: a broken $OCIO stops a run that converts colour
    // (the preview shows linear values through the sRGB curve) and is only
    // worth a warning for one that never uses it.
    CheckColourConfig(!options.files.inputSpace.empty() || !options.files.outputSpace.empty() ||
                      !options.preview.empty());
    ApplyReadLimits(options.readLimits);
    InstallInterruptHandlers();
    PluginSession session(pluginFolder);
    const Registry& keyer = session.Class(kKeyerClassId);
    host::ToolInstance tool(keyer);
    if (!options.settingsFile.empty()) {
        const SettingsLoad load = LoadSettingsFile(tool, options.settingsFile, options.toolName);
        for (const std::string& warning : load.warnings) {
            std::cerr << "veskar: warning: " << warning << "\n";
        }
    }

    auto frameError = [&](int frame, const CliError& e) {
        return files.sequence ? CliError("frame " + std::to_string(frame) + ": " + e.what(), e.ExitCode()) : e;
    };
    const int firstFrame = files.frames.First();
    std::optional<FileImage> firstSource;
    FileSetup fileSetup(options.files, outputType, options.commandLine);
    const ReadOptions sourceRead = fileSetup.Source();
    auto readSource = [&](int frame) -> FileImage {
        if (frame == firstFrame && firstSource) return *firstSource;
        try {
            return ReadImageFile(files.input.Path(frame), sourceRead);
        } catch (const CliError& e) {
            throw frameError(frame, e);
        }
    };
    std::optional<FileImage> stillKey;  // a key image without a frame pattern serves every frame
    auto readKey = [&](int frame) -> std::optional<FileImage> {
        if (options.keyImage.empty()) return std::nullopt;
        try {
            if (files.key.IsSequence()) return ReadImageFile(files.key.Path(frame), fileSetup.Key());
            if (!stillKey) stillKey = ReadImageFile(options.keyImage, fileSetup.Key());
            return stillKey;
        } catch (const CliError& e) {
            throw frameError(frame, e);
        }
    };
    KeySetupKind keySetup;
    keySetup.keyImage = !options.keyImage.empty();
    for (std::size_t i = 0; i < options.steps.size(); ++i) {
        const ControlStep& step = options.steps[i];
        if (step.kind == ControlStep::Kind::Set) {
            ApplySet(tool, step.text);
        } else if (step.kind == ControlStep::Kind::KeyColor) {
            ApplyKeyColor(tool, step.text);
        } else if (step.kind == ControlStep::Kind::Pick) {
            if (!firstSource) firstSource = readSource(firstFrame);
            ApplyPick(tool, step.text, *firstSource);
        } else {
            std::vector<std::string> rects = {step.text};
            while (i + 1 < options.steps.size() && options.steps[i + 1].kind == ControlStep::Kind::Screen) {
                rects.push_back(options.steps[++i].text);
            }
            if (!firstSource) firstSource = readSource(firstFrame);
            const std::optional<FileImage> key = readKey(firstFrame);
            ApplyScreenOption(tool, rects, *firstSource->image, key ? key->image.get() : nullptr, std::cerr);
        }
        if (step.kind != ControlStep::Kind::Set) {
            keySetup.colourPicked = step.kind != ControlStep::Kind::Screen;
            keySetup.screen = step.kind == ControlStep::Kind::Screen;
        }
    }
    keySetup.inverted = std::floor(tool.FindInput("InvAlpha")->Value() + 0.5) == 1.0;
    host::SetWorkerCount(options.threads);
    // "Alpha Multiply" stores exactly 1 when on: the keyed colour is then
    // premultiplied by the matte, straight otherwise.
    const Association association =
        tool.FindInput("Alphamult")->Value() == 1.0 ? Association::Premultiplied : Association::Straight;
    fileSetup.SetKeyed(association);

    std::unique_ptr<StagedFile> settings;
    if (!options.saveSettings.empty()) {
        settings = std::make_unique<StagedFile>(options.saveSettings,
                                                    SettingsText(tool.Tool(), "Veskar1", keyer.Name()));
    }
    const int previewFrame = options.previewFrame >= 0 ? options.previewFrame : firstFrame;
    Progress progress(files.frames.Size());
    progress.SetSequence(files.sequence);
    std::string keyedView;  // said in the summary when the files have views
    const WriteOptions writeOptions = fileSetup.Write();
    // Frames overlap: while a frame is read and keyed, the one before it is
    // written on a thread of its own. At most three frames are held at once:
    // the one being keyed, its result and the one being written. Frames still
    // finish in order, and an error is reported for its frame once every
    // frame before it is written. VESKAR_FRAME_OVERLAP=off writes each frame
    // before the next is read, to compare against.
    const char* overlapSetting = std::getenv("VESKAR_FRAME_OVERLAP");
    const bool overlap = overlapSetting == nullptr || std::string(overlapSetting) != "off";
    int behindFrame = 0;
    bool noted = false;  // the output's alpha convention was said
    std::future<void> behind;
    auto finishWrite = [&] {
        if (!behind.valid()) return;
        std::future<void> write = std::move(behind);
        write.get();
        // The settings belong to the frames written with them.
        if (settings) {
            settings->Commit();
            settings.reset();
        }
        progress.Done(behindFrame, false);
    };
    // Signals stop the run between steps of a frame, once the frame being
    // written behind is whole; what is being written then is removed as the
    // stop unwinds.
    auto stopPoint = [&] {
        if (StopRequested() == 0) return;
        finishWrite();
        StopReached();
        throw progress.Stopped(StopRequested());
    };
    for (const int frame : files.frames) {
        try {
            stopPoint();
            const std::string outputPath = files.output.Path(frame);
            if (options.skipExisting) {
                // What a killed run left of this frame is of no use.
                RemoveLeftoverTemporaries(outputPath);
            }
            const bool exists = options.skipExisting && fs::exists(outputPath);
            const bool wantPreview = !options.preview.empty() && frame == previewFrame;
            if (exists && !wantPreview) {
                finishWrite();
                progress.Done(frame, true);
                continue;
            }
            FileImage source = readSource(frame);
            if (frame == firstFrame) firstSource.reset();  // release it once used
            keyedView = source.view;
            if (!exists) {
                try {
                    CheckOutput(outputPath, source, writeOptions);  // before the frame is keyed
                } catch (const CliError& e) {
                    throw frameError(frame, e);
                }
                if (!noted) {
                    // Said once per run: every frame is written alike.
                    noted = true;
                    const std::string note = StraightExrNote(outputPath, source, writeOptions);
                    if (!note.empty()) std::cerr << "veskar: note: " << note << "\n";
                }
            }
            const std::optional<FileImage> key = readKey(frame);
            tool.Connect(*tool.FindInput("Image"), source.image);
            tool.Connect(*tool.FindInput("KeyImage"), key ? key->image : nullptr);
            stopPoint();
            std::shared_ptr<Image> keyed = tool.Render(0.0);
            // Only the preview needs the source's pixels once the frame is keyed.
            tool.Connect(*tool.FindInput("Image"), nullptr);
            tool.Connect(*tool.FindInput("KeyImage"), nullptr);
            if (!keyed) {
                throw frameError(frame, CliError(files.input.Path(frame) + ": the keyer produced no image"));
            }
            if (frame == firstFrame) {
                const std::string warning = OneSidedKeyWarning(*keyed, keySetup);
                if (!warning.empty()) std::cerr << "veskar: warning: " << warning << "\n";
            }
            finishWrite();
            stopPoint();
            if (!exists) {
                FileImage written = source;
                written.image.reset();
                behindFrame = frame;
                behind = std::async(std::launch::async, [&, frame, outputPath, written, keyed] {
                    try {
                        WriteKeyedFile(outputPath, written, *keyed, writeOptions);
                    } catch (const CliError& e) {
                        throw frameError(frame, e);
                    }
                });
                if (!overlap) finishWrite();
            }
            if (wantPreview) {
                WritePreview(options.preview, source, *keyed, association);
            }
            if (exists) progress.Done(frame, true);
        } catch (const std::bad_alloc&) {
            // Running out of memory names the frame and its file.
            finishWrite();
            throw frameError(frame, CliError(files.input.Path(frame) +
                                             ": not enough memory to key this frame (see --max-memory)"));
        } catch (...) {
            // The frames before this one are finished first; the first error
            // in frame order is the one reported.
            finishWrite();
            throw;
        }
    }
    finishWrite();
    stopPoint();
    if (settings) {
        settings->Commit();
    }
    progress.Summary(keyedView);
    return 0;
}

}  // namespace veskar
