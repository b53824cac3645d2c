#include "app/setup/screen_option.h"

#include <ostream>

#include "app/cli_error.h"
#include "app/setup/screen_auto.h"
#include "app/setup/setup_search.h"
#include "host/operator.h"
#include "host/tool_instance.h"
#include "keying/snapshot.h"

namespace veskar {

std::vector<ScreenRect> ResolveScreenRects(const std::vector<std::string>& texts, const Image& plate,
                                           std::ostream& log) {
    std::vector<ScreenRect> rects;
    for (const std::string& text : texts) {
        if (text == "auto") {
            const ScreenSearch search = FindScreenRects(plate);
            if (search.rects.empty()) {
                throw CliError("--screen auto: " + search.reason +
                               "; give rectangles of screen with --screen X,Y,W,H");
            }
            std::string list;
            for (const ScreenRect& rect : search.rects) list += " " + RectText(rect);
            log << "veskar: --screen auto: " << search.summary << "; rectangles:" << list << "\n";
            rects.insert(rects.end(), search.rects.begin(), search.rects.end());
        } else {
            rects.push_back(ParseScreenRect("--screen", text));
        }
    }
    return rects;
}

std::string ScreenOptionText(const std::vector<std::string>& texts) {
    std::string shown;
    for (const std::string& text : texts) shown += (shown.empty() ? "--screen " : " --screen ") + text;
    return shown;
}

namespace {

int ToolSpace(host::ToolInstance& tool) { return keying::RoundMode(tool.FindInput("Colorspace")->Value()); }

}  // namespace

ScreenSetup PlanScreenRequest(host::ToolInstance& tool, const ScreenRequest& request, const Image& plate,
                              const Image* keyImage, const std::vector<ScreenRect>& rects, std::ostream& log,
                              const std::string& shown) {
    std::vector<ScreenRect> subjects;
    for (const std::string& text : request.subjects) subjects.push_back(ParseScreenRect("--subject", text));
    const bool rampToSubject = request.softEdges || !subjects.empty();
    if (!request.chooseSpace && !rampToSubject) return PlanScreenSetup(tool.Tool(), plate, keyImage, rects);
    const FrameRegions regions = FindFrameRegions(plate, keyImage, rects, subjects);
    const std::vector<int> spaces = request.chooseSpace ? std::vector<int>{0, 1, 2, 3, 4} : std::vector<int>{-1};
    const std::vector<SetupCandidate> candidates =
        SearchSetups(tool.Tool(), plate, keyImage, rects, regions, spaces,
                     SearchOptions{request.displayEncoded, request.softEdges, rampToSubject});
    const SetupCandidate* best = BestSetup(candidates);
    if (best == nullptr) {
        return PlanScreenSetup(tool.Tool(), plate, keyImage, rects, SetupContext{});
    }
    if (request.chooseSpace) {
        // Each space's best comes first among its candidates.
        for (std::size_t i = 0; i < candidates.size(); ++i) {
            if (i > 0 && candidates[i].colourSpace == candidates[i - 1].colourSpace) continue;
            log << "veskar: " << shown << ": " << ColourSpaceName(candidates[i].colourSpace) << ": "
                << DescribeScore(candidates[i].score) << "\n";
        }
        log << "veskar: " << shown << ": Colorspace " << ColourSpaceName(best->colourSpace) << " chosen ("
            << DescribeScore(best->score) << "); --set Colorspace=... before --screen keeps a space of your own\n";
    }
    return best->setup;
}

ScreenSetup ApplyScreenOption(host::ToolInstance& tool, const ScreenRequest& request, const Image& plate,
                              const Image* keyImage, std::ostream& log) {
    const std::vector<ScreenRect> rects = ResolveScreenRects(request.screens, plate, log);
    const std::string shown = ScreenOptionText(request.screens);
    try {
        const ScreenSetup setup = PlanScreenRequest(tool, request, plate, keyImage, rects, log, shown);
        ApplyScreenSetup(tool, setup);
        log << "veskar: " << shown << ": " << DescribeScreenSetup(setup, ToolSpace(tool)) << "\n";
        for (const std::string& note : setup.notes) log << "veskar: " << shown << ": " << note << "\n";
        return setup;
    } catch (const CliError& e) {
        throw CliError(shown + ": " + e.what(), e.ExitCode());
    }
}

bool DisplayEncoded(const std::string& colourSpace) {
    return colourSpace.find("sRGB") != std::string::npos || colourSpace.find("srgb") != std::string::npos;
}

}  // namespace veskar
