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
#include "app/setup/setup_search.h"
#include "app/tool_session.h"
#include "host/worker_pool.h"

namespace veskar {
namespace {

namespace fs = std::filesystem;

struct Outcome {
    std::string setupLine;  // what the setup keyed, or why it failed
    SetupScore score;
    std::string values;    // the control values the setup writes
    std::string settings;  // the settings text
};

std::string Percent(double share) {
    char text[16];
    std::snprintf(text, sizeof text, "%.2f%%", share * 100.0);
    return text;
}

// What suggest works from: the plate, the key image if any, the screen's
// rectangles, the frame's certain screen and subject, and the keyer's class.
struct SuggestInputs {
    const std::string& platePath;  // as given, for messages
    const FileImage& plate;
    const std::optional<FileImage>& key;
    const std::vector<ScreenRect>& rects;
    const FrameRegions& regions;
    const std::string& shown;  // the --screen option as given, for messages
    const Registry& keyer;
};

// The keyer set up for the screen in colour space `space`, scored on the
// frame's regions.
Outcome TrySpace(const SuggestInputs& in, int space) {
    Outcome o;
    host::ToolInstance tool(in.keyer);
    const Image* key = in.key ? in.key->image.get() : nullptr;
    SearchOptions search;
    search.displayEncoded = DisplayEncoded(in.plate.colourSpace);
    std::vector<SetupCandidate> candidates;
    try {
        candidates = SearchSetups(tool.Tool(), *in.plate.image, key, in.rects, in.regions, {space}, search);
    } catch (const CliError& e) {
        // A rectangle outside the plate fails in every space alike.
        throw CliError(in.shown + ": " + e.what(), 2);
    }
    const SetupCandidate& candidate = candidates.front();
    o.score = candidate.score;
    if (!o.score.usable) {
        o.setupLine = o.score.failure;
        return o;
    }
    ApplyScreenSetup(tool, candidate.setup);
    o.setupLine = DescribeScreenSetup(candidate.setup, space);
    for (const auto& [id, value] : candidate.setup.values) {
        char number[48];
        std::snprintf(number, sizeof number, "%.4g", value);
        o.values += (o.values.empty() ? "" : " ") + id + "=" + number;
    }
    for (const std::string& note : candidate.setup.notes) o.setupLine += "; " + note;
    o.settings = SettingsText(tool.Tool(), "Veskar1", in.keyer.Name());
    return o;
}

// Each space's setup and values, then the table of scores with the best
// (index `best`, -1 for none) marked.
void PrintOutcomes(const Outcome (&outcomes)[5], int best) {
    for (int space = 0; space < 5; ++space) {
        std::cout << ColourSpaceName(space) << ": " << outcomes[space].setupLine << "\n";
        if (outcomes[space].score.usable) std::cout << "  " << outcomes[space].values << "\n";
    }
    std::cout << "\n";
    std::vector<std::vector<std::string>> rows = {{"space", "screen clear", "core kept", "mix error", "score"}};
    for (int space = 0; space < 5; ++space) {
        const SetupScore& o = outcomes[space].score;
        if (!o.usable) {
            rows.push_back({ColourSpaceName(space), "-", "-", "-", "-"});
            continue;
        }
        char mix[32];
        char score[32];
        std::snprintf(mix, sizeof mix, "%.3f", o.mixError);
        std::snprintf(score, sizeof score, "%.3f%s", o.total, space == best ? "  best" : "");
        rows.push_back({ColourSpaceName(space), Percent(o.screenClear), Percent(o.coreKept), mix, score});
    }
    for (const auto& row : rows) {
        char line[160];
        std::snprintf(line, sizeof line, "%-6s  %12s  %10s  %9s  %s", row[0].c_str(), row[1].c_str(), row[2].c_str(),
                      row[3].c_str(), row[4].c_str());
        std::cout << line << "\n";
    }
    std::cout << "screen clear: the frame's screen keyed at most 0.05; core kept: the subject's core keyed at least "
                 "0.95; mix error: mean |matte - share of subject| over mixes of screen and core colours (mixed in "
                 "linear light); score: 8 x core lost + 4 x screen left + mix error, lower is better\n";
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
    const FrameRegions regions = FindFrameRegions(*plate.image, key ? key->image.get() : nullptr, rects, {});
    PluginSession session(pluginFolder);
    const SuggestInputs inputs{options.plate, plate, key, rects, regions, shown, session.Class(kKeyerClassId)};
    host::SetWorkerCount(options.threads);

    Outcome outcomes[5];
    int best = -1;
    for (int space = 0; space < 5; ++space) {
        outcomes[space] = TrySpace(inputs, space);
        const SetupScore& score = outcomes[space].score;
        if (score.usable && (best < 0 || score.total < outcomes[best].score.total)) best = space;
    }
    PrintOutcomes(outcomes, best);
    if (best < 0) {
        throw CliError(shown + ": no colour space could be set up: " + outcomes[0].setupLine);
    }
    StagedFile settings(output, "-- Veskar settings suggested for " + fs::path(options.plate).filename().string() +
                                    " by veskar suggest " + shown + ": " + ColourSpaceName(best) + "\n" +
                                    outcomes[best].settings);
    settings.Commit();
    std::cout << "wrote " << output << " (" << ColourSpaceName(best) << ")\n";
    return 0;
}

}  // namespace veskar
