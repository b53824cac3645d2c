#include "app/setup/suggest.h"

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <optional>

#include "app/cli_error.h"
#include "app/run_paths.h"
#include "app/files/image_file.h"
#include "app/files/staged_file.h"
#include "app/settings/settings_text.h"
#include "app/setup/screen_option.h"
#include "app/setup/screen_setup.h"
#include "app/tool_session.h"
#include "host/worker_pool.h"

namespace veskar {
namespace {

namespace fs = std::filesystem;

const char* const kSpaces[5] = {"RGB", "HSV", "YXy", "YUV", "YCbCr"};

// Alpha within this of 0 or 1 counts as decided: grain keeps a keyed screen
// and a solid subject from the exact values here and there.
constexpr float kDecided = 0.05f;

struct Outcome {
    std::string setupLine;  // what the setup keyed, or why it failed
    bool usable = false;
    double screenClear = 0;  // share of the sampled pixels keyed clear
    double restClear = 0;    // shares of the other pixels
    double restSoft = 0;
    double restOpaque = 0;
    double score = 0;  // lower is better
    std::string values;    // the control values the setup writes
    std::string settings;  // the settings text
};

Outcome Score(const Image& keyed, const std::vector<ScreenRect>& rects) {
    Outcome o;
    const int w = keyed.Width();
    const int h = keyed.Height();
    std::vector<char> sampled(static_cast<std::size_t>(w) * h, 0);
    for (const ScreenRect& r : rects) {
        for (int y = r.y; y < r.y + r.height; ++y) {
            for (int x = r.x; x < r.x + r.width; ++x) sampled[static_cast<std::size_t>(y) * w + x] = 1;
        }
    }
    long screen = 0, screenClear = 0, rest = 0, clear = 0, opaque = 0;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const float alpha = keyed.Plane1Pixel(x, y)[3];
            if (sampled[static_cast<std::size_t>(y) * w + x]) {
                ++screen;
                screenClear += alpha <= kDecided;
            } else {
                ++rest;
                clear += alpha <= kDecided;
                opaque += alpha >= 1.0f - kDecided;
            }
        }
    }
    auto share = [](long part, long whole) { return whole ? static_cast<double>(part) / whole : 0.0; };
    o.screenClear = share(screenClear, screen);
    o.restClear = share(clear, rest);
    o.restOpaque = share(opaque, rest);
    o.restSoft = 1.0 - o.restClear - o.restOpaque;
    o.usable = true;
    // A clean key leaves only edges undecided and the sampled screen clear.
    // A key that clears (or keeps) nearly everything has not separated
    // anything, however decided it looks.
    o.score = o.restSoft + (1.0 - o.screenClear);
    if (o.restClear > 0.995 || o.restOpaque > 0.995) o.score += 1.0;
    return o;
}

std::string Percent(double share) {
    char text[16];
    std::snprintf(text, sizeof text, "%.2f%%", share * 100.0);
    return text;
}

// What suggest works from: the plate, the key image if any, the screen's
// rectangles and the keyer's class.
struct SuggestInputs {
    const std::string& platePath;  // as given, for messages
    const FileImage& plate;
    const std::optional<FileImage>& key;
    const std::vector<ScreenRect>& rects;
    const std::string& shown;  // the --screen option as given, for messages
    const Registry& keyer;
};

// The keyer set up for the screen in colour space `space` and its key scored.
Outcome TrySpace(const SuggestInputs& in, int space) {
    Outcome o;
    host::ToolInstance tool(in.keyer);
    tool.SetNumber(*tool.FindInput("Colorspace"), space, 0.0);
    ScreenSetup setup;
    try {
        setup = SetUpScreen(tool, *in.plate.image, in.key ? in.key->image.get() : nullptr, in.rects);
    } catch (const CliError& e) {
        // A rectangle outside the plate fails in every space alike.
        if (e.ExitCode() == 2) throw CliError(in.shown + ": " + e.what(), 2);
        o.setupLine = e.what();
        return o;
    }
    tool.Connect(*tool.FindInput("Image"), in.plate.image);
    tool.Connect(*tool.FindInput("KeyImage"), in.key ? in.key->image : nullptr);
    const std::shared_ptr<Image> keyed = tool.Render(0.0);
    if (!keyed) throw CliError(in.platePath + ": the keyer produced no image");
    o = Score(*keyed, in.rects);
    o.setupLine = DescribeScreenSetup(setup, space);
    for (const auto& [id, value] : setup.values) {
        char number[48];
        std::snprintf(number, sizeof number, "%.4g", value);
        o.values += (o.values.empty() ? "" : " ") + id + "=" + number;
    }
    for (const std::string& note : setup.notes) o.setupLine += "; " + note;
    o.settings = SettingsText(tool.Tool(), "Veskar1", in.keyer.Name());
    return o;
}

// Each space's setup and values, then the table of scores with the best
// (index `best`, -1 for none) marked.
void PrintOutcomes(const Outcome (&outcomes)[5], int best) {
    for (int space = 0; space < 5; ++space) {
        std::cout << kSpaces[space] << ": " << outcomes[space].setupLine << "\n";
        if (outcomes[space].usable) std::cout << "  " << outcomes[space].values << "\n";
    }
    std::cout << "\n";
    std::vector<std::vector<std::string>> rows = {
        {"space", "screen clear", "rest clear", "rest opaque", "rest between", "score"}};
    for (int space = 0; space < 5; ++space) {
        const Outcome& o = outcomes[space];
        if (!o.usable) {
            rows.push_back({kSpaces[space], "-", "-", "-", "-", "-"});
            continue;
        }
        char score[32];
        std::snprintf(score, sizeof score, "%.4f%s", o.score, space == best ? "  best" : "");
        rows.push_back({kSpaces[space], Percent(o.screenClear), Percent(o.restClear), Percent(o.restOpaque),
                        Percent(o.restSoft), score});
    }
    for (const auto& row : rows) {
        char line[160];
        std::snprintf(line, sizeof line, "%-6s  %12s  %10s  %11s  %12s  %s", row[0].c_str(), row[1].c_str(),
                      row[2].c_str(), row[3].c_str(), row[4].c_str(), row[5].c_str());
        std::cout << line << "\n";
    }
    std::cout << "score: the share of the frame outside the rectangles left between clear and opaque, plus the "
                 "share of the sampled screen not keyed clear (1 more when the key clears or keeps nearly the whole "
                 "frame); lower separates better\n";
}

}  // namespace

int RunSuggest(const std::string& pluginFolder, const SuggestOptions& options) {
    if (options.screens.empty()) {
        throw CliError("suggest needs the screen: --screen X,Y,W,H (repeatable) or --screen auto", 2);
    }
    const std::string output =
        options.output.empty() ? fs::path(options.plate).stem().string() + ".setting" : options.output;
    // The settings file may replace neither the plate nor the key image.
    RunPaths paths;
    paths.AddInput(options.plate, "plate");
    if (!options.keyImage.empty()) paths.AddInput(options.keyImage, "key image");
    if (!IsTextStream(output)) paths.AddOutput(output, "settings file");
    paths.Check();
    ReadOptions colourOnly;
    colourOnly.withExtraChannels = false;  // the setup and its scores look at colour alone
    const FileImage plate = ReadImageFile(options.plate, colourOnly);
    std::optional<FileImage> key;
    if (!options.keyImage.empty()) key = ReadImageFile(options.keyImage, colourOnly);
    const std::vector<ScreenRect> rects = ResolveScreenRects(options.screens, *plate.image, std::cout);
    const std::string shown = ScreenOptionText(options.screens);
    PluginSession session(pluginFolder);
    const SuggestInputs inputs{options.plate, plate, key, rects, shown, session.Class(kKeyerClassId)};
    host::SetWorkerCount(options.threads);

    Outcome outcomes[5];
    int best = -1;
    for (int space = 0; space < 5; ++space) {
        outcomes[space] = TrySpace(inputs, space);
        if (outcomes[space].usable && (best < 0 || outcomes[space].score < outcomes[best].score)) best = space;
    }
    PrintOutcomes(outcomes, best);
    if (best < 0) {
        throw CliError(shown + ": no colour space could be set up: " + outcomes[0].setupLine);
    }
    StagedFile settings(output, "-- Veskar settings suggested for " + fs::path(options.plate).filename().string() +
                                    " by veskar suggest " + shown + ": " + kSpaces[best] + "\n" +
                                    outcomes[best].settings);
    settings.Commit();
    std::cout << "wrote " << output << " (" << kSpaces[best] << ")\n";
    return 0;
}

}  // namespace veskar
