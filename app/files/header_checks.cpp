#include "app/files/header_checks.h"

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <limits>
#include <vector>

#include "app/cli_error.h"
#include "app/files/read_checks.h"

namespace veskar {
namespace {

// DPX: the file header holds the user data size; the image header at byte
// 768 holds the element count, the size and one 72-byte record per element.
constexpr std::uint64_t kDpxHeaderBytes = 2048;  // the user data follows
constexpr std::size_t kDpxImageHeader = 768;
constexpr std::size_t kDpxElements = 780;
constexpr std::size_t kDpxElementBytes = 72;
constexpr std::uint32_t kUndefined32 = 0xFFFFFFFF;

// SGI: a 512-byte header, then (run-length files) the start and length of
// every line of every channel.
constexpr std::uint64_t kSgiHeaderBytes = 512;

// The file's bytes from `offset` into `bytes` (fewer where the file ends).
std::size_t ReadAt(std::ifstream& file, std::uint64_t offset, std::vector<unsigned char>& bytes) {
    file.clear();
    file.seekg(static_cast<std::streamoff>(offset));
    file.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<std::size_t>(std::max<std::streamsize>(file.gcount(), 0));
}

// Unsigned numbers of either byte order.
struct Fields {
    const std::vector<unsigned char>& bytes;
    bool bigEndian;

    std::uint64_t Get(std::size_t at, int size) const {
        std::uint64_t value = 0;
        for (int i = 0; i < size; ++i) {
            const unsigned char byte = bytes[at + static_cast<std::size_t>(bigEndian ? i : size - 1 - i)];
            value = value << 8 | byte;
        }
        return value;
    }
    std::uint32_t U32(std::size_t at) const { return static_cast<std::uint32_t>(Get(at, 4)); }
    std::uint32_t U16(std::size_t at) const { return static_cast<std::uint32_t>(Get(at, 2)); }
};

// a * b, saturating: a header can declare sizes past 64 bits.
std::uint64_t Times(std::uint64_t a, std::uint64_t b) {
    return a != 0 && b > std::numeric_limits<std::uint64_t>::max() / a ? std::numeric_limits<std::uint64_t>::max()
                                                                        : a * b;
}

std::string Number(std::uint64_t value) { return std::to_string(value); }

// The components of a DPX element by its descriptor; 1 for those the codec
// reads as one channel.
std::uint64_t DpxComponents(unsigned descriptor) {
    switch (descriptor) {
        case 50: case 102: return 3;      // RGB, CbYCr
        case 51: case 52: case 103: return 4;  // RGBA, ABGR, CbYCrA
        case 100: return 2;               // CbYCrY
        case 101: return 3;               // CbYACrYA
        default: return descriptor >= 150 && descriptor <= 156 ? descriptor - 148 : 1;  // user defined, 2 to 8
    }
}

void CheckDpxElement(const std::string& path, const Fields& fields, int element, std::uint64_t width,
                     std::uint64_t height, std::uint64_t fileSize) {
    const std::size_t at = kDpxElements + kDpxElementBytes * static_cast<std::size_t>(element);
    const std::string which = "image element " + std::to_string(element + 1);
    auto damaged = [&](const std::string& what) {
        return CliError(path + ": cannot read: the DPX header is damaged: " + which + ": " + what);
    };
    const unsigned bits = fields.bytes[at + 23];
    if (bits != 1 && bits != 8 && bits != 10 && bits != 12 && bits != 16 && bits != 32 && bits != 64) {
        throw damaged("bit depth " + Number(bits) + ", expected 1, 8, 10, 12, 16, 32 or 64");
    }
    const std::uint64_t components = DpxComponents(fields.bytes[at + 20]);
    const std::uint32_t offset = fields.U32(at + 28);
    if (offset != kUndefined32 && offset > fileSize) {
        throw damaged("offset to data " + Number(offset) + ", past the end of the file (" + Number(fileSize) +
                      " bytes)");
    }
    // Packed as tightly as any packing stores it: the least the data takes.
    const std::uint64_t packed = Times(Times(Times(width, height), components), bits) / 8;
    const bool runLength = fields.U16(at + 26) == 1;
    const std::uint64_t start = offset == kUndefined32 ? fields.U32(4) : offset;
    if (!runLength && (packed > fileSize || start > fileSize - packed)) {
        throw damaged(Number(width) + " x " + Number(height) + " pixels of " + Number(components) +
                      " components at " + Number(bits) + " bits take " + Number(packed) +
                      " bytes from offset " + Number(start) + ", more than the file's " + Number(fileSize));
    }
    const std::uint64_t budget = CurrentReadPolicy().memoryBudget;
    const std::uint64_t decoded = Times(Times(Times(width, height), components), std::max(8U, bits) / 8);
    if (decoded > budget) {
        throw CliError(path + ": cannot read: " + which + " declares " + Number(width) + " x " + Number(height) +
                       " pixels of " + Number(components) + " components, " + MemoryText(decoded) +
                       ", more than the memory budget of " + MemoryText(budget) + " (see --max-memory)");
    }
}

void CheckDpx(const std::string& path, std::ifstream& file, std::uint64_t fileSize) {
    std::vector<unsigned char> bytes(kDpxHeaderBytes, 0);
    const std::size_t got = ReadAt(file, 0, bytes);
    const bool big = bytes[0] == 'S' && bytes[1] == 'D' && bytes[2] == 'P' && bytes[3] == 'X';
    const bool little = bytes[0] == 'X' && bytes[1] == 'P' && bytes[2] == 'D' && bytes[3] == 'S';
    // A header the file does not hold whole is the codec's to refuse.
    if ((!big && !little) || got < kDpxElements + kDpxElementBytes) return;
    const Fields fields{bytes, big};
    auto damaged = [&](const std::string& what) {
        return CliError(path + ": cannot read: the DPX header is damaged: " + what);
    };
    const std::uint64_t width = fields.U32(kDpxImageHeader + 4);
    const std::uint64_t height = fields.U32(kDpxImageHeader + 8);
    if (width == 0 || height == 0) {
        throw CliError(path + ": cannot read: the image is empty (" + Number(width) + " x " + Number(height) +
                       " pixels)");
    }
    const std::uint32_t userSize = fields.U32(32);
    const std::uint64_t room = fileSize > kDpxHeaderBytes ? fileSize - kDpxHeaderBytes : 0;
    if (userSize != 0 && userSize != kUndefined32 && userSize > room) {
        throw damaged("user data size " + Number(userSize) + ", more than the " + Number(room) +
                      " bytes the file holds after its header");
    }
    if (fields.U32(4) > fileSize) {
        throw damaged("offset to image data " + Number(fields.U32(4)) + ", past the end of the file (" +
                      Number(fileSize) + " bytes)");
    }
    const std::uint32_t elements = fields.U16(kDpxImageHeader + 2);
    if (elements < 1 || elements > 8) {
        throw damaged("number of image elements " + Number(elements) + ", expected 1 to 8");
    }
    for (int element = 0; element < static_cast<int>(elements); ++element) {
        CheckDpxElement(path, fields, element, width, height, fileSize);
    }
}

// Walks one run-length line as the codec decodes it: every packet must lie
// within the line's bytes and every value within the line's width; the
// codec checks neither before it writes. "" when the line decodes whole.
std::string SgiLineProblem(const std::vector<unsigned char>& line, std::uint64_t bpc, std::uint64_t width) {
    std::uint64_t at = 0;
    std::uint64_t left = width;
    while (at < line.size()) {
        if (at + bpc > line.size()) return "a count cut short";
        const unsigned count = line[at + bpc - 1] & 0x7F;  // the low byte of the count
        const bool literal = (line[at + bpc - 1] & 0x80) != 0;
        at += bpc;
        if (count == 0) break;
        const std::uint64_t bytes = literal ? count * bpc : bpc;
        if (at + bytes > line.size()) return "a run past the end of its bytes";
        if (count > left) return "more values than the width of " + Number(width);
        at += bytes;
        left -= count;
    }
    return left == 0 ? "" : "fewer values than the width of " + Number(width);
}

void CheckSgiRunLengths(const std::string& path, std::ifstream& file, std::uint64_t fileSize, std::uint64_t lines,
                        std::uint64_t bpc, std::uint64_t width, std::uint64_t tableSize) {
    auto damaged = [&](const std::string& what) {
        return CliError(path + ": cannot read: the SGI header is damaged: " + what);
    };
    // Both tables fit in the file (checked), so reading them costs no more
    // than the file.
    std::vector<unsigned char> tables(static_cast<std::size_t>(8 * tableSize));
    ReadAt(file, kSgiHeaderBytes, tables);
    const Fields fields{tables, true};
    std::vector<unsigned char> line;
    for (std::uint64_t index = 0; index < lines; ++index) {
        const std::uint64_t start = fields.U32(static_cast<std::size_t>(4 * index));
        const std::uint64_t length = fields.U32(static_cast<std::size_t>(4 * (tableSize + index)));
        if (start < kSgiHeaderBytes || start > fileSize || length > fileSize - start) {
            throw damaged("run-length line " + Number(index) + " declares " + Number(length) +
                          " bytes at offset " + Number(start) + ", outside the file's " + Number(fileSize));
        }
        line.resize(static_cast<std::size_t>(length));
        ReadAt(file, start, line);
        if (const std::string problem = SgiLineProblem(line, bpc, width); !problem.empty()) {
            throw damaged("run-length line " + Number(index) + " holds " + problem);
        }
    }
}

void CheckSgi(const std::string& path, std::ifstream& file, std::uint64_t fileSize) {
    std::vector<unsigned char> bytes(kSgiHeaderBytes, 0);
    const std::size_t got = ReadAt(file, 0, bytes);
    const Fields fields{bytes, true};
    if (got < 12 || fields.U16(0) != 474) return;
    auto damaged = [&](const std::string& what) {
        return CliError(path + ": cannot read: the SGI header is damaged: " + what);
    };
    const unsigned storage = bytes[2];
    const std::uint64_t bpc = bytes[3];
    const std::uint32_t dimension = fields.U16(4);
    const std::uint64_t xsize = fields.U16(6), ysize = fields.U16(8), zsize = fields.U16(10);
    if (storage > 1) throw damaged("storage " + Number(storage) + ", expected 0 (verbatim) or 1 (run-length)");
    if (bpc != 1 && bpc != 2) throw damaged("bytes per channel " + Number(bpc) + ", expected 1 or 2");
    if (dimension < 1 || dimension > 3) throw damaged("dimension " + Number(dimension) + ", expected 1, 2 or 3");
    // The lines and channels the codec reads by the dimension.
    const std::uint64_t height = dimension == 1 ? 1 : ysize;
    const std::uint64_t channels = dimension == 3 ? zsize : 1;
    if (xsize == 0 || height == 0 || channels == 0) {
        throw CliError(path + ": cannot read: the image is empty (xsize " + Number(xsize) + ", ysize " +
                       Number(ysize) + ", zsize " + Number(zsize) + ", dimension " + Number(dimension) + ")");
    }
    const std::uint64_t lines = height * channels;
    const std::uint64_t budget = CurrentReadPolicy().memoryBudget;
    if (Times(lines, xsize * bpc) > budget) {
        throw CliError(path + ": cannot read: the SGI header declares " + Number(xsize) + " x " + Number(height) +
                       " pixels of " + Number(channels) + " channels, " + MemoryText(Times(lines, xsize * bpc)) +
                       ", more than the memory budget of " + MemoryText(budget) + " (see --max-memory)");
    }
    if (storage == 0) {
        const std::uint64_t data = Times(lines, xsize * bpc);
        if (data > fileSize - std::min(fileSize, kSgiHeaderBytes)) {
            throw damaged(Number(xsize) + " x " + Number(height) + " pixels of " + Number(channels) +
                          " channels take " + Number(data) + " bytes, more than the file's " + Number(fileSize) +
                          " bytes hold after the header");
        }
        return;
    }
    // The codec reads tables of ysize x zsize entries whatever the dimension.
    const std::uint64_t tableSize = ysize * zsize;
    if (tableSize < lines || kSgiHeaderBytes + 8 * tableSize > fileSize) {
        throw damaged("run-length tables of ysize " + Number(ysize) + " x zsize " + Number(zsize) +
                      " entries, " + (tableSize < lines ? "fewer than the lines of the image"
                                                        : "more than the file's " + Number(fileSize) + " bytes hold"));
    }
    CheckSgiRunLengths(path, file, fileSize, lines, bpc, xsize, tableSize);
}

}  // namespace

void CheckFileHeaders(const std::string& path) {
    CheckExrHeaders(path);
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    if (!file) return;  // the codec says why it cannot open it
    const std::uint64_t fileSize = static_cast<std::uint64_t>(std::max<std::streamoff>(file.tellg(), 0));
    CheckDpx(path, file, fileSize);
    CheckSgi(path, file, fileSize);
}

}  // namespace veskar
