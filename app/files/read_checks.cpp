#include "app/files/read_checks.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>

#include <CLI/CLI.hpp>
#include <sys/resource.h>
#include <unistd.h>

#include "app/cli_error.h"

namespace veskar {
namespace {

ReadPolicy& Policy() {
    static ReadPolicy policy{DefaultMemoryBudget(), false};
    return policy;
}

// a * b, saturating: a hostile header can declare sizes past 64 bits.
std::uint64_t Times(std::uint64_t a, std::uint64_t b) {
    if (a != 0 && b > std::numeric_limits<std::uint64_t>::max() / a) {
        return std::numeric_limits<std::uint64_t>::max();
    }
    return a * b;
}

std::uint64_t Plus(std::uint64_t a, std::uint64_t b) {
    return b > std::numeric_limits<std::uint64_t>::max() - a ? std::numeric_limits<std::uint64_t>::max() : a + b;
}

std::uint64_t Pixels(const OIIO::ImageSpec& spec) {
    return Times(Times(static_cast<std::uint64_t>(std::max(spec.width, 0)),
                       static_cast<std::uint64_t>(std::max(spec.height, 0))),
                 static_cast<std::uint64_t>(std::max(spec.depth, 1)));
}

std::uint64_t BytesPerPixel(const OIIO::ImageSpec& spec) {
    std::uint64_t bytes = 0;
    for (int c = 0; c < spec.nchannels; ++c) {
        bytes += spec.channelformat(c).size();
    }
    return bytes;
}

}  // namespace

const ReadPolicy& CurrentReadPolicy() { return Policy(); }

void SetReadPolicy(const ReadPolicy& policy) { Policy() = policy; }

void AddReadLimitOptions(CLI::App& command, ReadLimits& limits, bool lenient) {
    command.add_option("--max-memory", limits.maxMemory,
                       "Most memory one image file may need (8G, 512M; default: half the physical memory)");
    if (lenient) {
        command.add_flag("--lenient", limits.lenient,
                         "Key files the codec reads with complaints (truncated or damaged) instead of failing");
    }
}

void ApplyReadLimits(const ReadLimits& limits) {
    ReadPolicy policy = CurrentReadPolicy();
    if (!limits.maxMemory.empty()) policy.memoryBudget = ParseMemorySize(limits.maxMemory, "--max-memory");
    policy.lenient = limits.lenient;
    SetReadPolicy(policy);
}

std::uint64_t DefaultMemoryBudget() {
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long pageSize = ::sysconf(_SC_PAGE_SIZE);
    std::uint64_t budget = pages > 0 && pageSize > 0 ? Times(pages, pageSize) / 2 : std::uint64_t{4} << 30;
    for (int resource : {RLIMIT_AS, RLIMIT_DATA}) {
        rlimit limit{};
        if (::getrlimit(resource, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
            budget = std::min<std::uint64_t>(budget, limit.rlim_cur / 4 * 3);
        }
    }
    return budget;
}

std::uint64_t ParseMemorySize(const std::string& text, const std::string& option) {
    auto bad = [&] {
        return CliError(option + " " + text + ": expected a size such as 8G, 512M or 1.5GiB", 2);
    };
    std::size_t end = 0;
    double number = 0.0;
    try {
        number = std::stod(text, &end);
    } catch (const std::exception&) {
        throw bad();
    }
    std::string unit = text.substr(end);
    if (!unit.empty() && (unit.back() == 'B' || unit.back() == 'b')) unit.pop_back();
    if (!unit.empty() && unit.back() == 'i') unit.pop_back();
    double scale = 1.0;
    if (unit.size() == 1) {
        const std::string units = "KMGT";
        const std::size_t at = units.find(static_cast<char>(std::toupper(static_cast<unsigned char>(unit[0]))));
        if (at == std::string::npos) throw bad();
        scale = std::ldexp(1.0, 10 * static_cast<int>(at + 1));
    } else if (!unit.empty()) {
        throw bad();
    }
    const double bytes = number * scale;
    if (!std::isfinite(bytes) || bytes < 1.0 || bytes > 1.8e19) {
        throw bad();
    }
    return static_cast<std::uint64_t>(bytes);
}

std::string MemoryText(std::uint64_t bytes) {
    const char* units[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    if (bytes < 1024) return std::to_string(bytes) + " bytes";
    double value = static_cast<double>(bytes) / 1024.0;
    int unit = 0;
    while (value >= 1024.0 && unit < 5) {
        value /= 1024.0;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
    return text;
}

std::uint64_t DeclaredBytes(OIIO::ImageInput& input, std::uint64_t enough) {
    std::uint64_t declared = 0;
    for (int part = 0; declared <= enough && input.seek_subimage(part, 0); ++part) {
        for (int level = 0; declared <= enough && input.seek_subimage(part, level); ++level) {
            declared = Plus(declared, Times(Pixels(input.spec()), BytesPerPixel(input.spec())));
        }
    }
    return declared;
}

void CheckDeclaredSize(const std::string& path, OIIO::ImageInput& input, int part) {
    const std::uint64_t budget = CurrentReadPolicy().memoryBudget;
    const OIIO::ImageSpec keyed = input.spec(part, 0);
    // Keying the part holds three host images of its shape (a 16-byte record
    // per pixel and the further channels as 32-bit floats): the one the file
    // is read into, the keyed one, and the keyed image of the frame before,
    // which is written while this one is keyed. The file is read and written
    // a strip of lines at a time, beside them. Every channel is counted as a
    // further one, so a file whose channel roles turn out otherwise needs
    // less, never more.
    const std::uint64_t channels = static_cast<std::uint64_t>(std::max(keyed.nchannels, 0));
    const std::uint64_t perPixel = 3 * (16 + 4 * channels);
    // Every part and level the file declares, at its own types, as the
    // writer copies them; counted while the sum stays within reach of the
    // budget.
    const std::uint64_t need = std::max(Times(Pixels(keyed), perPixel), DeclaredBytes(input, budget));
    input.seek_subimage(part, 0);
    if (need > budget) {
        throw CliError(path + ": cannot read: the file declares " + std::to_string(keyed.width) + " x " +
                       std::to_string(keyed.height) + " pixels of " + std::to_string(keyed.nchannels) +
                       " channels, which need " + MemoryText(need) + ", more than the memory budget of " +
                       MemoryText(budget) + " (see --max-memory)");
    }
}

std::string NoFileReason(const std::error_code& error) {
    if (!error || error == std::errc::no_such_file_or_directory || error == std::errc::not_a_directory) {
        return "no such file";
    }
    if (error == std::errc::too_many_symbolic_link_levels) return "a loop of symbolic links";
    if (error == std::errc::permission_denied) return "permission denied";
    return error.message();
}

void CheckExrHeaders(const std::string& path) {
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    if (!file) return;  // the codec says why it cannot open it
    const std::int64_t fileSize = static_cast<std::int64_t>(file.tellg());
    file.seekg(0);
    unsigned char start[8] = {};
    if (!file.read(reinterpret_cast<char*>(start), 8) || start[0] != 0x76 || start[1] != 0x2f || start[2] != 0x31 ||
        start[3] != 0x01) {
        return;
    }
    const bool multiPart = (start[5] & 0x10) != 0;
    auto damaged = [&](const std::string& what) {
        return CliError(path + ": cannot read: the OpenEXR header is damaged: " + what);
    };
    // A name or type: up to 255 characters and a terminating zero.
    auto readText = [&](std::string& text) {
        text.clear();
        for (char c = 0; file.get(c);) {
            if (c == '\0') return true;
            if (text.size() == 255) return false;
            text += c;
        }
        return false;
    };
    // Each header is a list of attributes ended by an empty name; several
    // parts' headers are ended by an empty header.
    for (int header = 0;; ++header) {
        int attributes = 0;
        for (std::string name, type;; ++attributes) {
            if (!readText(name)) throw damaged("the headers run past the end of the file");
            if (name.empty()) break;
            unsigned char size[4] = {};
            if (!readText(type) || !file.read(reinterpret_cast<char*>(size), 4)) {
                throw damaged("attribute " + name + " runs past the end of the file");
            }
            const std::int64_t bytes = static_cast<std::int32_t>(size[0] | size[1] << 8 | size[2] << 16 |
                                                                 static_cast<std::uint32_t>(size[3]) << 24);
            const std::int64_t left = fileSize - static_cast<std::int64_t>(file.tellg());
            if (bytes < 0 || bytes > left) {
                throw damaged("attribute " + name + " declares " + std::to_string(bytes) + " bytes, " +
                              "more than the " + std::to_string(left) + " left in the file");
            }
            file.seekg(bytes, std::ios::cur);
        }
        if (!multiPart || attributes == 0) return;
    }
}

std::string CheckWholeRead(const std::string& path, OIIO::ImageInput& input) {
    if (!input.has_error()) {
        return "";
    }
    std::string complaint = input.geterror();
    // The codec's text may run over several lines; the first says enough.
    complaint = complaint.substr(0, complaint.find('\n'));
    if (!CurrentReadPolicy().lenient) {
        throw CliError(path + ": cannot read: the file is damaged or truncated: " + complaint +
                       " (--lenient keys such files anyway)");
    }
    return path + ": read with complaints (--lenient): " + complaint;
}

}  // namespace veskar
