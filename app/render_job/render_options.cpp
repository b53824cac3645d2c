#include "app/render_job/render_options.h"

#include <limits>
#include <memory>

#include <CLI/CLI.hpp>

#include "app/option_checks.h"
#include "app/render_job/render_job.h"

namespace veskar {
namespace {

// The options that change controls, each gathered apart by CLI11; their
// order on the command line is put back together once parsed.
struct StepOptions {
    std::vector<std::string> sets;
    std::vector<std::string> keyColors;
    std::vector<std::string> picks;
    std::vector<std::string> screens;
    CLI::Option* set = nullptr;
    CLI::Option* keyColor = nullptr;
    CLI::Option* pick = nullptr;
    CLI::Option* screen = nullptr;
};

void AddStepOptions(CLI::App& render, StepOptions& steps) {
    steps.set = render.add_option("--set", steps.sets, "Set a control: ID=VALUE (repeatable)")->allow_extra_args(false);
    steps.keyColor = render.add_option("--key-color", steps.keyColors, "Set the key colour: R,G,B (repeatable)")
                         ->allow_extra_args(false);
    steps.pick = render
                     .add_option("--pick", steps.picks,
                                 "Set the key colour to the mean of the first frame's pixels in the (2R+1)-square "
                                 "around X,Y: X,Y[,R] (R defaults to 2; repeatable)")
                     ->allow_extra_args(false);
    steps.screen = render
                       .add_option("--screen", steps.screens,
                                   "Set the key window from screen pixels of the first frame: X,Y,W,H, or auto to "
                                   "find them along the border (repeatable; rectangles in a row are pooled)")
                       ->allow_extra_args(false);
}

// Control changes apply in the order they stand on the command line.
std::vector<ControlStep> StepsInOrder(const CLI::App& render, const StepOptions& steps) {
    std::vector<ControlStep> ordered;
    std::size_t nextSet = 0;
    std::size_t nextKeyColor = 0;
    std::size_t nextPick = 0;
    std::size_t nextScreen = 0;
    for (const CLI::Option* option : render.parse_order()) {
        if (option == steps.set && nextSet < steps.sets.size()) {
            ordered.push_back({ControlStep::Kind::Set, steps.sets[nextSet++]});
        } else if (option == steps.keyColor && nextKeyColor < steps.keyColors.size()) {
            ordered.push_back({ControlStep::Kind::KeyColor, steps.keyColors[nextKeyColor++]});
        } else if (option == steps.pick && nextPick < steps.picks.size()) {
            ordered.push_back({ControlStep::Kind::Pick, steps.picks[nextPick++]});
        } else if (option == steps.screen && nextScreen < steps.screens.size()) {
            ordered.push_back({ControlStep::Kind::Screen, steps.screens[nextScreen++]});
        }
    }
    return ordered;
}

void AddOutputOptions(CLI::App& render, RenderOptions& options) {
    render.add_option("--settings", options.settingsFile, "Settings file to apply first (the host's saved-tool text)");
    render.add_option("--tool", options.toolName, "Tool of the settings file to use, when it holds several");
    render.add_option("--save-settings", options.saveSettings, "Write the tool's settings to FILE");
    render.add_option("--frames", options.frames,
                      "Frames of a sequence (plate.####.exr or plate.%04d.exr): A-B, A, or a list A-B,C,...");
    render.add_flag("--skip-existing", options.skipExisting, "Leave frames whose output exists (resume a run)");
    render.add_option("--preview", options.preview, "Contact sheet to write: source, matte, result (PNG)");
    render.add_option("--preview-frame", options.previewFrame, "Frame shown in the preview (default: the first)")
        ->check(WholeNumberFrom(0, std::numeric_limits<int>::max(), "frame numbers are 0 or more"));
    render.add_option("--type", options.type, "Output data type (default: the input's)")
        ->check(CLI::IsMember({"half", "float", "uint8", "uint16"}));
}

}  // namespace

Subcommand AddRenderCommand(CLI::App& app, int argc, char** argv) {
    CLI::App* render = app.add_subcommand("render", "Key an image file or a sequence");
    auto options = std::make_shared<RenderOptions>();
    auto steps = std::make_shared<StepOptions>();
    render->add_option("input", options->input, "Image to key")->required();
    render->add_option("-o,--output", options->output, "Keyed image to write")->required();
    render->add_option("--key-image", options->keyImage, "Image the key colour is sampled from");
    AddStepOptions(*render, *steps);
    render
        ->add_option("--subject", options->subjects,
                     "Pixels of the subject's solid core for --screen to place the matte's ramp against: X,Y,W,H "
                     "(repeatable; by default the core is found in the frame)")
        ->allow_extra_args(false);
    AddOutputOptions(*render, *options);
    AddFileOptions(*render, options->files);
    AddMovieOptions(*render, options->movie);
    options->commandLine = CommandLineText(argc, argv);
    render->add_option("--threads", options->threads, "Worker threads (0: one per core)")->check(ThreadCount());
    AddReadLimitOptions(*render, options->readLimits);
    finish::AddFinishOptions(*render, options->finishing);
    return {render, [render, options, steps](const std::string& pluginFolder) {
                options->steps = StepsInOrder(*render, *steps);
                return RunRender(pluginFolder, *options);
            }};
}

}  // namespace veskar
