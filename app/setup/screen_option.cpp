#include "app/setup/screen_option.h"

#include <cmath>
#include <ostream>

#include "app/cli_error.h"
#include "app/setup/screen_auto.h"
#include "host/operator.h"
#include "host/tool_instance.h"

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

ScreenSetup ApplyScreenOption(host::ToolInstance& tool, const std::vector<std::string>& texts,
                              const Image& plate, const Image* keyImage, std::ostream& log) {
    const std::vector<ScreenRect> rects = ResolveScreenRects(texts, plate, log);
    const std::string shown = ScreenOptionText(texts);
    try {
        ScreenSetup setup = SetUpScreen(tool, plate, keyImage, rects);
        const int colourSpace = static_cast<int>(std::floor(tool.FindInput("Colorspace")->Value() + 0.5));
        log << "veskar: " << shown << ": " << DescribeScreenSetup(setup, colourSpace) << "\n";
        for (const std::string& note : setup.notes) log << "veskar: " << shown << ": " << note << "\n";
        return setup;
    } catch (const CliError& e) {
        throw CliError(shown + ": " + e.what(), e.ExitCode());
    }
}

}  // namespace veskar
