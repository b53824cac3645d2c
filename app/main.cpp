// veskar: the command-line host of the keyer.

#include <exception>
#include <iostream>
#include <new>

#include <CLI/CLI.hpp>

#include "app/check.h"
#include "app/cli_error.h"
#include "app/commands.h"
#include "app/files/read_checks.h"
#include "app/setup/suggest.h"
#include "app/tool_session.h"
#include "app/tune/tune_server.h"

int main(int argc, char** argv) {
    CLI::App app{"veskar: colour keying of image files through the Veskar plug-in"};
    app.require_subcommand(1);
    app.fallthrough();
    std::string pluginFolder = veskar::DefaultPluginFolder();
    app.add_option("--plugins", pluginFolder, "Folder of plug-ins to load")->capture_default_str();

    CLI::App* tools = app.add_subcommand("tools", "List the tool classes the plug-ins register");
    CLI::App* controls = app.add_subcommand("controls", "Show the keyer's controls");
    CLI::App* sample = app.add_subcommand(
        "sample", "Write a synthetic green-screen plate, its clean plate and settings that key it");
    std::string sampleFolder;
    sample->add_option("folder", sampleFolder, "Folder to write the sample into")->required();
    CLI::App* suggest = app.add_subcommand(
        "suggest", "Set the key up from screen rectangles in each colour space, compare, write the best");
    veskar::SuggestOptions suggestOptions;
    suggest->add_option("plate", suggestOptions.plate, "Image to key")->required();
    suggest->add_option("--screen", suggestOptions.screens, "Screen pixels: X,Y,W,H or auto (repeatable, pooled)")
        ->allow_extra_args(false)
        ->required();
    suggest->add_option("--key-image", suggestOptions.keyImage, "Clean plate the screen is measured against");
    suggest->add_option("-o,--output", suggestOptions.output,
                        "Settings file to write (default: the plate's name with .setting, here)");
    suggest->add_option("--threads", suggestOptions.threads, "Worker threads (0: one per core)")
        ->check(CLI::Range(0, 1024));
    CLI::App* render = app.add_subcommand("render", "Key an image file or a sequence");
    veskar::RenderOptions options;
    render->add_option("input", options.input, "Image to key")->required();
    render->add_option("-o,--output", options.output, "Keyed image to write")->required();
    render->add_option("--key-image", options.keyImage, "Image the key colour is sampled from");
    std::vector<std::string> sets;
    std::vector<std::string> keyColors;
    CLI::Option* setOption =
        render->add_option("--set", sets, "Set a control: ID=VALUE (repeatable)")->allow_extra_args(false);
    CLI::Option* keyColorOption =
        render->add_option("--key-color", keyColors, "Set the key colour: R,G,B (repeatable)")
            ->allow_extra_args(false);
    std::vector<std::string> picks;
    CLI::Option* pickOption =
        render->add_option("--pick", picks,
                           "Set the key colour to the mean of the first frame's pixels in the (2R+1)-square "
                           "around X,Y: X,Y[,R] (R defaults to 2; repeatable)")
            ->allow_extra_args(false);
    std::vector<std::string> screens;
    CLI::Option* screenOption =
        render->add_option("--screen", screens,
                           "Set the key window from screen pixels of the first frame: X,Y,W,H, or auto to find "
                           "them along the border (repeatable; rectangles in a row are pooled)")
            ->allow_extra_args(false);
    render->add_option("--settings", options.settingsFile,
                       "Settings file to apply first (the host's saved-tool text)");
    render->add_option("--tool", options.toolName, "Tool of the settings file to use, when it holds several");
    render->add_option("--save-settings", options.saveSettings, "Write the tool's settings to FILE");
    render->add_option("--frames", options.frames,
                       "Frames of a sequence (plate.####.exr or plate.%04d.exr): A-B, A, or a list A-B,C,...");
    render->add_flag("--skip-existing", options.skipExisting, "Leave frames whose output exists (resume a run)");
    render->add_option("--preview", options.preview, "Contact sheet to write: source, matte, result (PNG)");
    render->add_option("--preview-frame", options.previewFrame, "Frame shown in the preview (default: the first)")
        ->check(CLI::NonNegativeNumber);
    render->add_option("--type", options.type, "Output data type (default: the input's)")
        ->check(CLI::IsMember({"half", "float", "uint8", "uint16"}));
    veskar::AddFileOptions(*render, options.files);
    options.commandLine = veskar::CommandLineText(argc, argv);
    render->add_option("--threads", options.threads, "Worker threads (0: one per core)")
        ->check(CLI::Range(0, 1024));
    veskar::AddReadLimitOptions(*render, options.readLimits);
    app.footer("Exit status: 0 success, 1 a run that failed, 2 a usage error, 130/143 stopped by SIGINT/SIGTERM.");

    CLI::App* tune = app.add_subcommand("tune", "Tune a key live in the browser: serves a page on this machine");
    veskar::tune::TuneOptions tuneOptions;
    tune->add_option("plate", tuneOptions.plate, "Image or sequence to key")->required();
    tune->add_option("--key-image", tuneOptions.keyImage, "Image the key colour is sampled from");
    tune->add_option("--settings", tuneOptions.settingsFile, "Settings file to start from");
    tune->add_option("--frames", tuneOptions.frames, "Frames of a sequence: A-B, A, or a list A-B,C,...");
    tune->add_option("--save", tuneOptions.save, "Where Save writes the settings (default: the --settings file)");
    tune->add_option("--port", tuneOptions.port, "Port to serve on (0: any free port)")->check(CLI::Range(0, 65535));
    tune->add_option("--listen", tuneOptions.listen,
                     "Address to serve on: a loopback address, or with --allow-remote one of this "
                     "machine's network addresses, which other machines reach")
        ->capture_default_str();
    tune->add_flag("--allow-remote", tuneOptions.allowRemote,
                   "Let --listen name an address other machines reach (the token and Host checks still hold)");
    veskar::ReadLimits tuneReadLimits;
    veskar::AddReadLimitOptions(*tune, tuneReadLimits);
    veskar::CheckOptions checkOptions;
    CLI::App* check = veskar::AddCheckCommand(app, checkOptions);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::cerr << "veskar: " << e.what() << "\n";
        return 2;
    }

    try {
        if (tools->parsed()) {
            return veskar::RunTools(pluginFolder);
        }
        if (controls->parsed()) {
            return veskar::RunControls(pluginFolder);
        }
        if (tune->parsed()) {
            tuneOptions.pluginFolder = pluginFolder;
            veskar::ApplyReadLimits(tuneReadLimits);
            return veskar::tune::RunTune(tuneOptions);
        }
        if (suggest->parsed()) {
            return veskar::RunSuggest(pluginFolder, suggestOptions);
        }
        if (sample->parsed()) {
            return veskar::RunSample(sampleFolder);
        }
        if (check->parsed()) {
            return veskar::RunCheck(checkOptions);
        }
        // Control changes apply in the order they stand on the command line.
        std::size_t nextSet = 0;
        std::size_t nextKeyColor = 0;
        std::size_t nextPick = 0;
        std::size_t nextScreen = 0;
        for (const CLI::Option* option : render->parse_order()) {
            if (option == setOption && nextSet < sets.size()) {
                options.steps.push_back({veskar::ControlStep::Kind::Set, sets[nextSet++]});
            } else if (option == keyColorOption && nextKeyColor < keyColors.size()) {
                options.steps.push_back({veskar::ControlStep::Kind::KeyColor, keyColors[nextKeyColor++]});
            } else if (option == pickOption && nextPick < picks.size()) {
                options.steps.push_back({veskar::ControlStep::Kind::Pick, picks[nextPick++]});
            } else if (option == screenOption && nextScreen < screens.size()) {
                options.steps.push_back({veskar::ControlStep::Kind::Screen, screens[nextScreen++]});
            }
        }
        return veskar::RunRender(pluginFolder, options);
    } catch (const veskar::CliError& e) {
        std::cerr << "veskar: " << e.what() << "\n";
        return e.ExitCode();
    } catch (const std::bad_alloc&) {
        std::cerr << "veskar: not enough memory\n";
        return 1;
    } catch (const std::exception& e) {
        std::cerr << "veskar: " << e.what() << "\n";
        return 1;
    }
}
