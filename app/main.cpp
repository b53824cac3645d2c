// veskar: the command-line host of the keyer.

#include <exception>
#include <iostream>
#include <new>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "app/check/check.h"
#include "app/cli_error.h"
#include "app/render_job/render_options.h"
#include "app/sample/sample_files.h"
#include "app/setup/suggest.h"
#include "app/text_match.h"
#include "app/tool_session.h"
#include "app/tool_tables.h"
#include "app/tune/tune_server.h"

namespace {

// Runs the subcommand the command line named; errors become messages and
// exit statuses.
int RunParsed(const std::vector<veskar::Subcommand>& commands, const std::string& pluginFolder) {
    try {
        for (const veskar::Subcommand& subcommand : commands) {
            if (subcommand.command->parsed()) return subcommand.run(pluginFolder);
        }
        return 2;  // the command line requires one; CLI11 has said so
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

}  // namespace

int main(int argc, char** argv) {
#if defined(__GLIBC__)
    // Frames of megabytes are allocated and freed once a frame on the threads
    // that decode, key and write them. glibc raises its mmap threshold past
    // such a block once one is freed; from then on they come from per-thread
    // heaps that fragment, and a long movie's run grows with its length. At
    // the default threshold, held fixed, every frame has a mapping of its own
    // that is returned whole.
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
#endif
    CLI::App app{"veskar: colour keying of image files through the Veskar plug-in"};
    app.require_subcommand(1);
    app.fallthrough();
    std::string pluginFolder = veskar::DefaultPluginFolder();
    app.add_option("--plugins", pluginFolder, "Folder of plug-ins to load")->capture_default_str();
    // Every subcommand's help ends with the exit statuses too.
    app.footer("Exit status: 0 success, 1 a run that failed, 2 a usage error, 130/143/129 stopped by SIGINT/SIGTERM/SIGHUP.");
    const std::vector<veskar::Subcommand> commands = {
        veskar::AddToolsCommand(app),          veskar::AddControlsCommand(app),
        veskar::AddSampleCommand(app),         veskar::AddSuggestCommand(app),
        veskar::AddRenderCommand(app, argc, argv), veskar::tune::AddTuneCommand(app),
        veskar::AddCheckCommand(app),
    };
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        // Its message may echo an argument of any length.
        std::cerr << "veskar: " << veskar::ShownText(e.what(), 300) << "\n";
        return 2;
    }
    return RunParsed(commands, pluginFolder);
}
