#include <filesystem>
#include <iostream>
#include <memory>

#include <CLI/CLI.hpp>

#include "app/sample/sample_files.h"

namespace veskar {

int RunSample(const std::string& folder) {
    WriteSample(folder);
    const std::filesystem::path base(folder);
    std::cout << "plate:       " << (base / kSamplePlateFile).string() << "\n"
              << "clean plate: " << (base / kSampleCleanPlateFile).string() << "\n"
              << "settings:    " << (base / kSampleSettingsFile).string() << "\n"
              << "true alpha:  " << (base / kSampleAlphaFile).string() << "\n";
    return 0;
}

Subcommand AddSampleCommand(CLI::App& app) {
    CLI::App* sample =
        app.add_subcommand("sample", "Write a synthetic green-screen plate, its clean plate and settings that key it");
    auto folder = std::make_shared<std::string>();
    sample->add_option("folder", *folder, "Folder to write the sample into")->required();
    return {sample, [folder](const std::string&) { return RunSample(*folder); }};
}

}  // namespace veskar
