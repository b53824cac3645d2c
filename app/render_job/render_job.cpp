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
#include "app/settings/finishing_section.h"
#include "app/settings/settings_file.h"
#include "app/settings/settings_text.h"
#include "app/tool_session.h"
#include "host/worker_pool.h"

namespace veskar {
namespace {

// Returns the finishing the file asks for.
finish::FinishChoices LoadSettings(host::ToolInstance& tool, const RenderOptions& options) {
    if (options.settingsFile.empty()) return {};
    SettingsLoad load = LoadSettingsFile(tool, options.settingsFile, options.toolName);
    for (const std::string& warning : load.warnings) {
        std::cerr << "veskar: warning: " << warning << "\n";
    }
    return std::move(load.finishing);
}

std::vector<std::string> MatteFiles(const finish::FinishPlan& plan) {
    std::vector<std::string> files;
    for (const auto* shapes : {&plan.garbage, &plan.holdout}) {
        for (const finish::ShapeChoice& choice : *shapes) {
            if (!choice.shape.file.empty()) files.push_back(choice.shape.file);
        }
    }
    return files;
}

// What every frame's finishing shares, once the controls are final; null
// when the run asks for no finishing.
std::unique_ptr<FinishRun> PrepareFinishing(const finish::FinishPlan& plan, const host::ToolInstance& tool,
                                            FrameSources& sources) {
    if (!plan.options.Any()) return nullptr;
    auto run = std::make_unique<FinishRun>(FinishRun{plan, {}, KeyColour(tool), ColourPremultiplied(tool)});
    if (!plan.garbage.empty() || !plan.holdout.empty()) {
        const Image& first = *sources.First().image;
        run->shapes = finish::MakeShapeMattes(plan, first.Width(), first.Height());
    }
    return run;
}

}  // namespace

int RunRender(const std::string& pluginFolder, const RenderOptions& options) {
    // The read limits first: a movie input is weighed while the run is planned.
    ApplyReadLimits(options.readLimits);
    RunFiles files = PlanFiles(options);
    const finish::FinishChoices finishCommand = options.finishing.Choices();
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
    const finish::FinishPlan finishing = finish::PlanFinishing(LoadSettings(tool, options), options.settingsFile,
                                                               finishCommand, options.finishing.cleanEdges);
    if (const std::vector<std::string> mattes = MatteFiles(finishing); !mattes.empty()) {
        files = PlanFiles(options, mattes);
    }

    FileSetup fileSetup(options.files, outputType, options.commandLine);
    FrameSources sources(files, options.keyImage, fileSetup);
    FirstFrame first{[&]() -> const FileImage& { return sources.First(); }, [&] { return sources.FirstKey(); }};
    KeySetupKind keySetup =
        ApplyControlSteps(tool, options.steps, first,
                          SetupInputs{options.subjects, !options.settingsFile.empty(), options.finishing.cleanEdges});
    keySetup.keyImage = !options.keyImage.empty();
    keySetup.inverted = MatteInverted(tool);
    host::SetWorkerCount(options.threads);
    fileSetup.SetKeyed(ColourPremultiplied(tool) ? Association::Premultiplied : Association::Straight);
    const std::unique_ptr<FinishRun> finishRun = PrepareFinishing(finishing, tool, sources);
    WriteOptions write = fileSetup.Write();
    if (finishRun && finishing.fromFile) {
        // The command line says what ran only when none of it came from a file.
        write.commandLine += "\n" + finish::FinishingSummary(finishing.options);
    }

    std::unique_ptr<StagedFile> settings;
    if (!options.saveSettings.empty()) {
        const std::string text = WithFinishingSection(SettingsText(tool.Tool(), "Veskar1", keyer.Name()),
                                                      FinishingSectionText(finishing, options.saveSettings));
        settings = std::make_unique<StagedFile>(options.saveSettings, text);
    }
    FrameLoop loop({files, options, tool, sources, write, keySetup, std::move(settings), finishRun.get()});
    loop.Run();
    return 0;
}

}  // namespace veskar
