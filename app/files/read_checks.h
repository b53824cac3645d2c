#pragma once

#include <cstdint>
#include <string>
#include <system_error>

#include <OpenImageIO/imageio.h>

namespace CLI {
class App;
}

namespace veskar {

/// How image files are read in this run.
struct ReadPolicy {
    /// The most memory one image file may need to be read and keyed, in
    /// bytes; a file whose header declares more is refused before anything is
    /// allocated for it.
    std::uint64_t memoryBudget = 0;
    /// Whether a file the codec read with complaints (a truncated JPEG, a
    /// short TIFF strip) is keyed anyway, with a warning, instead of failing.
    bool lenient = false;
};

/// The policy in force; at first a budget of DefaultMemoryBudget() and not
/// lenient.
const ReadPolicy& CurrentReadPolicy();
void SetReadPolicy(const ReadPolicy& policy);

/// The command line's say in the policy.
struct ReadLimits {
    std::string maxMemory;  ///< "--max-memory" text; "" for the default budget
    bool lenient = false;   ///< "--lenient"
};

/// Adds --max-memory (and, with `lenient`, --lenient) to `command`.
void AddReadLimitOptions(CLI::App& command, ReadLimits& limits, bool lenient = true);

/// Puts `limits` in force. Throws CliError (exit 2) for a malformed size.
void ApplyReadLimits(const ReadLimits& limits);

/// Half the physical memory, and no more than three quarters of what the
/// process's address-space or data limit (ulimit -v / -d) leaves.
std::uint64_t DefaultMemoryBudget();

/// Reads a memory size: bytes, or a number with K, M, G or T (powers of
/// 1024; "B" or "iB" may follow: "512M", "1.5GiB"). Throws CliError (exit 2)
/// naming `option` otherwise.
std::uint64_t ParseMemorySize(const std::string& text, const std::string& option);

/// "1.5 GiB", "512 MiB", "100 bytes".
std::string MemoryText(std::uint64_t bytes);

/// The bytes every part and MIP level of the open file `input` declares, at
/// their own types; counting stops once the sum passes `enough`.
std::uint64_t DeclaredBytes(OIIO::ImageInput& input, std::uint64_t enough);

/// Checks what the header of the open file `input` declares before anything
/// is allocated for it: every part and level with all its channels at their
/// types, and the working copies that reading and keying its part `part`
/// make (32-bit floats). Throws CliError naming `path`, the declared size
/// and the budget when it is more than the budget. Leaves `input` at the top
/// level of `part`.
void CheckDeclaredSize(const std::string& path, OIIO::ImageInput& input, int part);

/// Why a path that names no file cannot be opened, from the error that
/// looking it up gave: "no such file", "a loop of symbolic links",
/// "permission denied", or the system's words.
std::string NoFileReason(const std::error_code& error);

/// Checks the headers of an OpenEXR file (any other file passes) before
/// the codec reads them: the codec sets aside the bytes an attribute
/// declares before it reads them, so a file of a few hundred bytes could
/// cost gigabytes. Throws CliError naming `path` and the attribute when one
/// declares more bytes than the file holds, or the headers run past its end.
void CheckExrHeaders(const std::string& path);

/// After a read that the codec reported as done: a codec that complained on
/// the way (its warnings, such as "Premature end of JPEG file") read a
/// damaged or truncated file, which fails unless the policy is lenient, when
/// the complaint is returned as a warning naming the file. Returns "" when
/// there was none.
std::string CheckWholeRead(const std::string& path, OIIO::ImageInput& input);

}  // namespace veskar
