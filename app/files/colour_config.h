#pragma once

#include <cstdint>
#include <string>

namespace veskar {

/// The largest configuration file read (studio configurations are a few MiB).
inline constexpr std::uintmax_t kMaxColourConfigBytes = 64u << 20;
/// The largest LUT a configuration may name (a 65-point float cube is 3 MiB
/// as text).
inline constexpr std::uintmax_t kMaxLutBytes = 256u << 20;
/// How deeply colour spaces, looks and views may refer to one another.
inline constexpr int kMaxColourReferenceDepth = 64;

/// The configuration in $OCIO; "" when the variable is unset or empty (an
/// empty one means the built-in configuration, as OpenColorIO reads it).
std::string ColourConfigPath();

/// What makes the OpenColorIO configuration at `path` unsafe or unusable, ""
/// when nothing does: a file that is missing, not regular, empty or too
/// large; the parser's or OpenColorIO's own validation's message; colour
/// spaces, looks, named transforms, view transforms or views that refer to
/// themselves, directly or through others (OpenColorIO would recurse until
/// the stack runs out); and LUTs, found through the configuration's search
/// path, that are not regular files (a device or a FIFO is read forever) or
/// are larger than kMaxLutBytes. The text names the item and the problem.
std::string ColourConfigProblem(const std::string& path);

/// Checks $OCIO once for a run. When the run converts colour (`converts`),
/// a problem throws CliError (exit 1) naming $OCIO's path; otherwise it is
/// a warning on stderr, as the configuration is then never used.
void CheckColourConfig(bool converts);

}  // namespace veskar
