#include "app/render_job/run_files.h"

#include "app/cli_error.h"
#include "app/files/staged_file.h"
#include "app/movie/movie_plan.h"
#include "app/run_paths.h"
#include "app/text_match.h"

namespace veskar {

OIIO::TypeDesc OutputType(const std::string& name) {
    if (name.empty()) return OIIO::TypeDesc::UNKNOWN;
    if (name == "half") return OIIO::TypeDesc::HALF;
    if (name == "float") return OIIO::TypeDesc::FLOAT;
    if (name == "uint8") return OIIO::TypeDesc::UINT8;
    if (name == "uint16") return OIIO::TypeDesc::UINT16;
    throw CliError("--type " + name + ": expected half, float, uint8 or uint16", 2);
}

RunFiles PlanFiles(const RenderOptions& options, const std::vector<std::string>& mattes) {
    RunFiles files{FramePattern(options.input, "input"), FramePattern(options.output, "-o"),
                   FramePattern(options.keyImage, "--key-image"), FrameList(0), false, nullptr};
    files.movie = ProbeMovieInput(files.input, options);
    files.sequence = files.input.IsSequence() || files.movie;
    if (!options.toolName.empty() && options.settingsFile.empty()) {
        throw CliError("--tool " + ShownText(options.toolName) + ": picks a tool of a settings file; give it with --settings",
                       2);
    }
    CheckMovieOutputOptions(options);
    if (files.movie) {
        files.frames = MovieFrames(*files.movie, options);
    } else if (files.sequence) {
        if (options.frames.empty()) {
            throw CliError(options.input + ": a sequence needs --frames (for example --frames 1001-1100)", 2);
        }
        files.frames = FrameList(options.frames);
    }
    if (files.sequence) {
        if (!files.output.IsSequence() && files.frames.Size() > 1 && !IsMovieName(options.output)) {
            throw CliError("-o " + options.output +
                               ": every frame would write this one file; give a pattern such as out.####.exr",
                           2);
        }
    } else {
        if (!options.frames.empty()) {
            throw CliError("--frames " + ShownText(options.frames) + ": the input " + options.input +
                               " has no frame number pattern (such as plate.####.exr)",
                           2);
        }
        if (files.output.IsSequence() || files.key.IsSequence()) {
            throw CliError(options.input + ": a frame number pattern in -o or --key-image needs one in the input", 2);
        }
    }
    if (options.previewFrame >= 0 && (!files.sequence || !files.frames.Contains(options.previewFrame))) {
        throw CliError("--preview-frame " + std::to_string(options.previewFrame) + ": not a frame of this run", 2);
    }
    if (options.previewFrame >= 0 && options.preview.empty()) {
        throw CliError("--preview-frame needs --preview", 2);
    }
    // No output of the run may overwrite any of its inputs or another output.
    RunPaths paths;
    paths.AddInputs(files.input, files.frames, "input");
    if (!options.keyImage.empty()) paths.AddInputs(files.key, files.frames, "key image");
    if (!options.settingsFile.empty()) {
        paths.AddInput(options.settingsFile, "--settings file");
    }
    for (const std::string& matte : mattes) paths.AddInput(matte, "matte");
    paths.AddOutputs(files.output, files.frames, "output");
    // Settings to a stream are written into it, replacing no file.
    if (!options.saveSettings.empty() && !IsTextStream(options.saveSettings)) {
        paths.AddOutput(options.saveSettings, "settings file");
    }
    if (!options.preview.empty()) {
        paths.AddOutput(options.preview, "preview");
    }
    paths.Check();
    return files;
}

}  // namespace veskar
