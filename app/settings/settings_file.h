#pragma once

#include <string>
#include <vector>

#include "app/finish/finish_options.h"
#include "host/tool_instance.h"

namespace veskar {

/// What a settings file load did besides setting values.
struct SettingsLoad {
    /// The name of the tool whose values were applied ("Veskar1").
    std::string toolName;
    /// Things in the file that were skipped: unknown controls (with the closest
    /// id), connected inputs, image inputs, labels, expressions. Each names the
    /// file, the line where known, the tool and the input.
    std::vector<std::string> warnings;
    /// The file's other tools ("Merge1 (Merge)", the first 20 by name): a
    /// settings text written for this tool alone would drop them.
    std::vector<std::string> otherTools;
    /// The host-side finishing the file's VeskarFinishing section asks for
    /// (empty without the section), checked as the command line checks it.
    finish::FinishChoices finishing;
};

/// Reads the settings file at `path` (the compositing host's Lua-table text:
/// `{ Tools = ordered() { Veskar1 = Veskar { Inputs = { Id = Input { Value = v, }, }, }, }, }`)
/// and applies the values of one of its tools of the class of `tool` to `tool`.
///
/// The file is evaluated by a sandboxed Lua interpreter: data and arithmetic
/// only (no files, processes, environment, code loading or binary chunks),
/// with bounded memory, instructions and time. Its tool class is the
/// constructor written before the tool's table, by the class's name
/// (`Veskar { ... }`) or registry id (`Ombrell.Veskar { ... }`); tools of
/// other classes and keys other than `Inputs` are ignored.
///
/// `toolName` picks the tool by its name in `Tools`; "" takes the only tool of
/// the class and is an error when there are several (the message lists their
/// names, sorted).
///
/// Everything is read and checked first; only a file without errors is
/// applied, through host::ToolInstance::LoadValues (creation order, reactions'
/// sets ignored), so every control the file lists ends exactly as the file
/// holds it, and controls it does not list keep their current values. Values
/// are numbers, an entry's text for a combo or the multibutton, on/off or
/// true/false for a checkbox.
///
/// Throws CliError (exit code 1) naming the file, and the line, tool and input
/// where known, when the file cannot be read, is not valid settings text, runs
/// past its bounds, lacks `Tools` or the tool, or holds a value that is not
/// one, or when its VeskarFinishing section holds an unknown key or a value
/// that is none; nothing is applied then.
SettingsLoad LoadSettingsFile(host::ToolInstance& tool, const std::string& path,
                              const std::string& toolName);

}  // namespace veskar
