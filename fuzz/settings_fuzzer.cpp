// Settings files as users and hostile senders write them: the sandboxed
// reader must end every input with values applied or a CliError, within its
// bounds, and never crash.

#include <cstdint>
#include <cstdio>
#include <memory>

#include "app/cli_error.h"
#include "app/settings/settings_file.h"
#include "app/tool_session.h"
#include "fuzz/fuzz_file.h"

namespace {

struct Keyer {
    veskar::PluginSession session{VESKAR_FUZZ_PLUGIN_DIR};
    host::ToolInstance tool{session.Class(veskar::kKeyerClassId)};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Keyer* keyer = new Keyer;  // one tool for the whole run, as loading it is slow
    const std::string path = veskar_fuzz::WriteInput(".setting", data, size);
    try {
        veskar::LoadSettingsFile(keyer->tool, path, "");
    } catch (const veskar::CliError&) {
        // A clear error is a fine end for a bad file.
    }
    std::remove(path.c_str());
    return 0;
}
