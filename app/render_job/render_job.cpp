#include "app/render_job/render_job.h"

#include <iostream>
#include <memory>

#include "app/files/colour_config.h"
#include "app/files/read_checks.h"
#include "app/interrupt.h"
#include "app/render_job/control_steps.h"
#include "app/render_job/frame_loop.h"
#include "app/render_job/frame_sources.h"
#include "app/render_job/run_files.h"
#include "app/settings/settings_file.h"
#include "app/settings/settings_text.h"
#include "app/tool_session.h"
#include "host/worker_pool.h"

namespace veskar {
namespace {

void LoadSettings(host::ToolInstance& tool, const RenderOptions& options) {
    if (options.settingsFile.empty()) return;
    const SettingsLoad load = LoadSettingsFile(tool, options.settingsFile, options.toolName);
    for (const std::string& warning : load.warnings) {
        std::cerr << "veskar: warning: " << warning << "\n";
    }
}

}  // namespace

int RunRender(const std::string& pluginFolder, const RenderOptions& options) {
    // The read limits first: a movie input is weighed while the run is planned.
    ApplyReadLimits(options.readLimits);
    const RunFiles files = PlanFiles(options);
    const OIIO::TypeDesc outputType = OutputType(options.type);
    // Before any output: a broken $OCIO stops a run that converts colour
    // (the preview shows linear values through the sRGB curve) and is only
    // worth a warning for one that never uses it.
    CheckColourConfig(!options.files.inputSpace.empty() || !options.files.outputSpace.empty() ||
                      !options.preview.empty());
    InstallInterruptHandlers();
    PluginSession session(pluginFolder);
    const Registry& keyer = session.Class(kKeyerClassId);
    host::ToolInstance tool(keyer);
    LoadSettings(tool, options);

    FileSetup fileSetup(options.files, outputType, options.commandLine);
    FrameSources sources(files, options.keyImage, fileSetup);
    FirstFrame first{[&]() -> const FileImage& { return sources.First(); }, [&] { return sources.FirstKey(); }};
    KeySetupKind keySetup = ApplyControlSteps(tool, options.steps, first);
    keySetup.keyImage = !options.keyImage.empty();
    keySetup.inverted = MatteInverted(tool);
    host::SetWorkerCount(options.threads);
    fileSetup.SetKeyed(ColourPremultiplied(tool) ? Association::Premultiplied : Association::Straight);

    std::unique_ptr<StagedFile> settings;
    if (!options.saveSettings.empty()) {
        settings =
            std::make_unique<StagedFile>(options.saveSettings, SettingsText(tool.Tool(), "Veskar1", keyer.Name()));
    }
    FrameLoop loop({files, options, tool, sources, fileSetup.Write(), keySetup, std::move(settings)});
    loop.Run();
    return 0;
}

}  // namespace veskar
