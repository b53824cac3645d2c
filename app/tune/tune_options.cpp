#include <memory>

#include <CLI/CLI.hpp>

#include "app/files/read_checks.h"
#include "app/finish/finish_options.h"
#include "app/tune/tune_server.h"

namespace veskar::tune {

Subcommand AddTuneCommand(CLI::App& app) {
    CLI::App* tune = app.add_subcommand("tune", "Tune a key live in the browser: serves a page on this machine");
    auto options = std::make_shared<TuneOptions>();
    auto readLimits = std::make_shared<ReadLimits>();
    tune->add_option("plate", options->plate, "Image or sequence to key")->required();
    tune->add_option("--key-image", options->keyImage, "Image the key colour is sampled from");
    tune->add_option("--settings", options->settingsFile, "Settings file to start from");
    tune->add_option("--frames", options->frames, "Frames of a sequence: A-B, A, or a list A-B,C,...");
    tune->add_option("--save", options->save, "Where Save writes the settings (default: the --settings file)");
    tune->add_option("--background", options->background,
                     "Image the page first lays the result over (the plate's folder offers the rest)");
    tune->add_option("--port", options->port, "Port to serve on (0: any free port)")->check(CLI::Range(0, 65535));
    tune->add_option("--listen", options->listen,
                     "Address to serve on: a loopback address, or with --allow-remote one of this "
                     "machine's network addresses, which other machines reach")
        ->capture_default_str();
    tune->add_flag("--allow-remote", options->allowRemote,
                   "Let --listen name an address other machines reach (the token and Host checks still hold)");
    tune->add_option("--screen", options->screens,
                     "Screen samples to set the key up from, as veskar render --screen: X,Y,W,H or auto (repeatable)");
    tune->add_option("--subject", options->subjects,
                     "Subject samples the setup keeps opaque, as veskar render --subject: X,Y,W,H (repeatable)");
    AddReadLimitOptions(*tune, *readLimits);
    finish::AddFinishOptions(*tune, options->finishing);
    return {tune, [options, readLimits](const std::string& pluginFolder) {
                options->pluginFolder = pluginFolder;
                ApplyReadLimits(*readLimits);
                return RunTune(*options);
            }};
}

}  // namespace veskar::tune
