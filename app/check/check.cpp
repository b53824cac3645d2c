#include "app/check/check.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <new>
#include <optional>
#include <system_error>
#include <vector>

#include <OpenImageIO/imageio.h>

#include "app/cli_error.h"
#include "app/frames.h"
#include "app/files/formats.h"
#include "app/files/image_file.h"
#include "app/files/header_checks.h"
#include "app/files/keyed_file.h"
#include "app/files/read_checks.h"
#include "app/movie/movie_check.h"
#include "app/text_match.h"

namespace veskar {
namespace {

namespace fs = std::filesystem;

// A --deep read goes through a frame in bands of about this many values, so
// that checking a huge frame needs no more memory than a band.
constexpr std::size_t kBandValues = std::size_t(1) << 22;

std::string Window(int x, int y, int width, int height) {
    std::string text = std::to_string(width) + " x " + std::to_string(height);
    if (x != 0 || y != 0) {
        text += " at " + std::to_string(x) + "," + std::to_string(y);
    }
    return text;
}

std::string DataWindow(const OIIO::ImageSpec& spec) { return Window(spec.x, spec.y, spec.width, spec.height); }

std::string DisplayWindow(const OIIO::ImageSpec& spec) {
    return Window(spec.full_x, spec.full_y, spec.full_width, spec.full_height);
}

OIIO::TypeDesc FormatOf(const OIIO::ImageSpec& spec, int channel) {
    return spec.channelformats.empty() ? spec.format : spec.channelformats[static_cast<std::size_t>(channel)];
}

int ChannelNamed(const OIIO::ImageSpec& spec, const std::string& name) {
    const auto at = std::find(spec.channelnames.begin(), spec.channelnames.end(), name);
    return at == spec.channelnames.end() ? -1 : static_cast<int>(at - spec.channelnames.begin());
}

std::string Names(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names) {
        text += (text.empty() ? "" : ",") + name;
    }
    return text;
}

// `message` without the "PATH: " that starts a message about the file at
// `path`: the report line names the file already.
std::string WithoutPath(std::string message, const std::string& path) {
    if (message.compare(0, path.size() + 2, path + ": ") == 0) message.erase(0, path.size() + 2);
    return message;
}

// A codec's message on one line: the report has a line per frame.
std::string OneLine(const std::string& message) {
    std::string text;
    for (std::string line : SplitList(message, '\n')) {
        line.erase(0, line.find_first_not_of(" \r\t"));
        line.erase(line.find_last_not_of(" \r\t") + 1);
        if (!line.empty()) text += (text.empty() ? "" : "; ") + line;
    }
    return text.empty() ? "read failed" : text;
}

// Whether a JPEG file ends with its end-of-image marker. The JPEG decoder
// fills in whatever a cut file lacks and reports success, so the marker is
// the one sign of a file cut short.
bool JpegEnds(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in || in.tellg() < 2) return false;
    in.seekg(-2, std::ios::end);
    char marker[2] = {};
    in.read(marker, 2);
    return in && static_cast<unsigned char>(marker[0]) == 0xFF && static_cast<unsigned char>(marker[1]) == 0xD9;
}

// Reads rows [yBegin, yEnd) of every channel of the current subimage; the
// codec's message, or "" when they read.
std::string ReadRows(OIIO::ImageInput& in, int subimage, const OIIO::ImageSpec& spec, int yBegin, int yEnd,
                     std::vector<float>& buffer) {
    const std::size_t values =
        static_cast<std::size_t>(spec.width) * static_cast<std::size_t>(yEnd - yBegin) * spec.nchannels;
    buffer.resize(values);
    bool ok = false;
    if (spec.tile_width > 0) {
        const int zEnd = spec.z + std::max(1, std::min(spec.tile_depth, spec.depth));
        buffer.resize(values * static_cast<std::size_t>(zEnd - spec.z));
        ok = in.read_tiles(subimage, 0, spec.x, spec.x + spec.width, yBegin, yEnd, spec.z, zEnd, 0, spec.nchannels,
                           OIIO::TypeDesc::FLOAT, buffer.data());
    } else {
        ok = in.read_scanlines(subimage, 0, yBegin, yEnd, spec.z, 0, spec.nchannels, OIIO::TypeDesc::FLOAT,
                               buffer.data());
    }
    // A codec may complain and still report the rows read (a short TIFF
    // strip): the render refuses such a file, and so does the check.
    return ok && !in.has_error() ? "" : OneLine(in.geterror());
}

// Rows per band: whole tiles for a tiled file; otherwise as many as fit the
// band size.
int BandRows(const OIIO::ImageSpec& spec) {
    if (spec.tile_width > 0) {
        return std::max(1, spec.tile_height);
    }
    const std::size_t row = std::max<std::size_t>(1, static_cast<std::size_t>(spec.width) * spec.nchannels);
    return static_cast<int>(std::clamp<std::size_t>(kBandValues / row, 1, static_cast<std::size_t>(spec.height)));
}

// Whether the file's pixels read. A cut file loses its tail, and the chunks
// at either end of a part's data window hold its first and last lines in
// whichever order the file stores them, so reading those two bands of every
// part finds a truncation without decoding the frame; `deep` reads every
// band.
std::string PixelProblem(OIIO::ImageInput& in, bool deep) {
    std::vector<float> buffer;
    for (int subimage = 0; in.seek_subimage(subimage, 0); ++subimage) {
        const OIIO::ImageSpec spec = in.spec();
        // Deep-data parts hold sample lists, not rows; their header is all
        // that is checked.
        if (spec.deep || spec.width <= 0 || spec.height <= 0 || spec.nchannels <= 0) {
            continue;
        }
        in.geterror();  // what looking for parts and levels left is no complaint about the pixels
        const int band = BandRows(spec);
        // At least one line is read at once, as floats beside the codec's
        // own copy: a header may declare lines longer than the machine holds.
        const double bandBytes = 8.0 * spec.width * spec.nchannels *
                                 std::max(1, std::min(spec.tile_depth, spec.depth)) *
                                 (deep || spec.tile_width > 0 ? band : 1);
        if (bandBytes > static_cast<double>(CurrentReadPolicy().memoryBudget)) {
            return "declares " + DataWindow(spec) + " pixels of " + std::to_string(spec.nchannels) +
                   " channels, lines longer than the memory budget of " +
                   MemoryText(CurrentReadPolicy().memoryBudget) + " holds (see --max-memory)";
        }
        const int yEnd = spec.y + spec.height;
        std::vector<int> starts;
        if (deep) {
            for (int y = spec.y; y < yEnd; y += band) starts.push_back(y);
        } else {
            starts.push_back(spec.y);
            // The last band starts on a tile boundary in a tiled file.
            const int last = spec.tile_width > 0 ? spec.y + (spec.height - 1) / band * band : yEnd - 1;
            if (last != spec.y) starts.push_back(last);
        }
        for (int y : starts) {
            const int end = std::min(yEnd, y + (deep || spec.tile_width > 0 ? band : 1));
            const std::string message = ReadRows(in, subimage, spec, y, end, buffer);
            if (!message.empty()) {
                return "truncated or damaged: " + message;
            }
        }
    }
    return "";
}

// The outcome for one frame's file.
struct Verdict {
    bool missing = false;
    std::string problem;  // "" when the file is good
    OIIO::ImageSpec spec;   // its first subimage, when it opened
    std::vector<OIIO::ImageSpec> parts;  // every subimage's top level, when it opened
};

Verdict ExamineFile(const std::string& path, bool deep) {
    Verdict verdict;
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (!fs::exists(status)) {
        // Only a name that leads nowhere is missing; a loop of links or a
        // folder that may not be searched hides whether the frame is there.
        verdict.missing = !ec || ec == std::errc::no_such_file_or_directory || ec == std::errc::not_a_directory;
        verdict.problem = verdict.missing ? "missing" : "cannot open: " + NoFileReason(ec);
        return verdict;
    }
    if (!fs::is_regular_file(status)) {
        verdict.problem = "not a regular file";
        return verdict;
    }
    if (fs::file_size(path, ec) == 0 && !ec) {
        verdict.problem = "empty file";
        return verdict;
    }
    try {
        CheckFileHeaders(path);
    } catch (const CliError& e) {
        verdict.problem = WithoutPath(e.what(), path);
        return verdict;
    }
    std::unique_ptr<OIIO::ImageInput> in = OIIO::ImageInput::open(path);
    if (!in) {
        const std::string message = OIIO::geterror();
        verdict.problem = "cannot open: " + (message.empty() ? std::string("unknown image format") : OneLine(message));
        return verdict;
    }
    verdict.spec = in->spec();
    for (int part = 0; in->seek_subimage(part, 0); ++part) {
        verdict.parts.push_back(in->spec());
    }
    // A header that declares more than the budget would not be keyed, and a
    // band of its lines alone may be more than the machine holds.
    const std::uint64_t budget = CurrentReadPolicy().memoryBudget;
    if (DeclaredBytes(*in, budget) > budget) {
        verdict.problem = "declares " + DataWindow(verdict.spec) + " pixels of " +
                          std::to_string(verdict.spec.nchannels) + " channels, more than the memory budget of " +
                          MemoryText(budget) + " holds (see --max-memory)";
        return verdict;
    }
    try {
        verdict.problem = PixelProblem(*in, deep);
    } catch (const std::bad_alloc&) {
        verdict.problem = "not enough memory to read its lines (see --max-memory)";
    }
    if (verdict.problem.empty() && std::string(in->format_name()) == "jpeg" && !JpegEnds(path)) {
        verdict.problem = "truncated: no end-of-image marker";
    }
    return verdict;
}

// How a frame differs from `want` (the first good frame, named by `what`):
// frames of one sequence share their windows, channels and types.
std::string UnlikeFrame(const OIIO::ImageSpec& got, const OIIO::ImageSpec& want, const std::string& what) {
    if (DataWindow(got) != DataWindow(want)) {
        return "size " + DataWindow(got) + ", unlike " + what + " (" + DataWindow(want) + ")";
    }
    if (DisplayWindow(got) != DisplayWindow(want)) {
        return "display window " + DisplayWindow(got) + ", unlike " + what + " (" + DisplayWindow(want) + ")";
    }
    if (got.channelnames != want.channelnames) {
        return "channels " + Names(got.channelnames) + ", unlike " + what + " (" + Names(want.channelnames) + ")";
    }
    for (int c = 0; c < got.nchannels; ++c) {
        if (FormatOf(got, c) != FormatOf(want, c)) {
            return "channel " + got.channelnames[static_cast<std::size_t>(c)] + " is " +
                   std::string(FormatOf(got, c).c_str()) + ", unlike " + what + " (" + FormatOf(want, c).c_str() +
                   ")";
        }
    }
    return "";
}

// How one part of a keyed frame differs from the header the writer plans for
// it. `what` says where the expectation comes from; `typeReason` why the data
// types are what they are; `known` whether the output format's data types
// and windows are known at all (else the codec chose them).
std::string UnlikePlan(const OIIO::ImageSpec& got, const OIIO::ImageSpec& want, const std::string& what,
                       const std::string& typeReason, bool known) {
    if (got.width != want.width || got.height != want.height || (known && DataWindow(got) != DataWindow(want))) {
        return "size " + DataWindow(got) + ", unlike " + what + " (" + DataWindow(want) + ")";
    }
    if (known && DisplayWindow(got) != DisplayWindow(want)) {
        return "display window " + DisplayWindow(got) + ", unlike " + what + " (" + DisplayWindow(want) + ")";
    }
    for (const std::string& name : want.channelnames) {
        if (ChannelNamed(got, name) < 0) {
            return "no channel " + name + " (channels " + Names(got.channelnames) + ", keyed from " + what + ")";
        }
    }
    for (const std::string& name : got.channelnames) {
        if (ChannelNamed(want, name) < 0) {
            return "channel " + name + " is not keyed from " + what + " (expected " + Names(want.channelnames) + ")";
        }
    }
    if (got.channelnames != want.channelnames) {
        return "channels in the order " + Names(got.channelnames) + ", expected " + Names(want.channelnames) +
               " (keyed from " + what + ")";
    }
    for (int c = 0; known && c < got.nchannels; ++c) {
        if (FormatOf(got, c) != FormatOf(want, c)) {
            return "channel " + got.channelnames[static_cast<std::size_t>(c)] + " is " + FormatOf(got, c).c_str() +
                   ", expected " + FormatOf(want, c).c_str() + " (" + typeReason + ")";
        }
    }
    return "";
}

// What keying `inputPath` with the render's options writes to `path`: the
// headers of every part, from the writer's own plan; or the reason there is
// nothing to compare with.
struct Expectation {
    std::vector<OIIO::ImageSpec> parts;
    std::string inputFormat;  // the input's format name
    std::string problem;
};

Expectation Expect(const std::string& path, const OutputFormat& format, const std::string& inputPath,
                   const ReadOptions& read, const WriteOptions& write) {
    Expectation expectation;
    FileImage source;
    try {
        source = ReadImageHeader(inputPath, read);
    } catch (const CliError& e) {
        expectation.problem = "cannot be compared: the input " + OneLine(e.what());
        return expectation;
    }
    expectation.inputFormat = source.formatName;
    try {
        // What the render refuses to write, it did not write: the options
        // that accept the loss were given to it, and belong here too.
        CheckOutput(path, format, source, write);
        expectation.parts = KeyedFileSpecs(format, source, write);
    } catch (const CliError& e) {
        const std::string message = WithoutPath(e.what(), path);
        expectation.problem = "cannot be compared: veskar render would not write it from the input " + inputPath +
                              " with these options: " + OneLine(message);
    }
    return expectation;
}

// How a keyed frame differs from what keying its input writes.
std::string UnlikeInput(const Verdict& got, const Expectation& want, const OutputFormat& format,
                        const std::string& inputPath, const WriteOptions& write) {
    const std::string what = "the input " + inputPath;
    const std::vector<OIIO::ImageSpec>& parts = want.parts;
    if (got.parts.size() != parts.size()) {
        return std::to_string(got.parts.size()) + (got.parts.size() == 1 ? " part" : " parts") + ", expected " +
               std::to_string(parts.size()) + " (keyed from " + what + ")";
    }
    const std::string typeReason = write.type != OIIO::TypeDesc::UNKNOWN ? "--type"
                                   : want.inputFormat == format.name
                                       ? "like the input " + inputPath
                                       : "the input's type as " + format.title + " stores it";
    for (std::size_t part = 0; part < parts.size(); ++part) {
        const std::string name = PartName(parts[part]);
        // A lone part's name is kept only by formats that name parts.
        if (parts.size() > 1 && PartName(got.parts[part]) != name) {
            return "part " + std::to_string(part) + " is named '" + PartName(got.parts[part]) + "', expected '" + name +
                   "' (keyed from " + what + ")";
        }
        const std::string problem = UnlikePlan(got.parts[part], parts[part], what, typeReason, !format.types.empty());
        if (!problem.empty()) {
            return (parts.size() > 1 ? "part " + (name.empty() ? std::to_string(part) : name) + ": " : "") + problem;
        }
    }
    return "";
}

}  // namespace

namespace {

// The frames to look at: those of --frames for a pattern, else the one file.
std::vector<int> FramesToCheck(const CheckOptions& options, const FramePattern& output, const FramePattern& like) {
    if (output.IsSequence()) {
        if (options.frames.empty()) {
            throw CliError(options.output + ": a sequence needs --frames (for example --frames 1001-1100)", 2);
        }
        return ParseFrames(options.frames);
    }
    if (!options.frames.empty()) {
        throw CliError("--frames " + ShownText(options.frames) + ": the output " + ShownPath(options.output) +
                           " has no frame number pattern (such as out.####.exr)",
                       2);
    }
    if (like.IsSequence()) {
        throw CliError("--like " + options.like + ": a frame number pattern here needs one in the output", 2);
    }
    return {0};
}

// What each frame is checked against: the input it was keyed from (with
// --like), or else the first good frame and --type.
class FrameExpectations {
public:
    FrameExpectations(const CheckOptions& options, const FramePattern& like, OIIO::TypeDesc type)
        : like_(like),
          compareInput_(!options.like.empty()),
          type_(type),
          // The render's own reading and writing options, as it resolves them.
          setup_(options.files, type, ""),
          read_(setup_.Source()),
          // Every frame of a pattern has its extension, and so its format.
          format_(OutputFormatOf(options.output)) {}

    /// The problem with `verdict` of a frame that opened and read, or "".
    std::string Problem(const Verdict& verdict, const std::string& path, int frame) {
        if (compareInput_) {
            const Expectation want = Expect(path, format_, like_.Path(frame), read_, setup_.Write());
            return want.problem.empty() ? UnlikeInput(verdict, want, format_, like_.Path(frame), setup_.Write())
                                        : want.problem;
        }
        std::string problem;
        if (firstGood_) {
            problem = UnlikeFrame(verdict.spec, *firstGood_, "frame " + std::to_string(firstGoodFrame_));
        } else if (type_ != OIIO::TypeDesc::UNKNOWN) {
            // The first frame sets the pattern for the rest; only --type
            // says anything about it alone.
            for (int c = 0; c < verdict.spec.nchannels && problem.empty(); ++c) {
                if (FormatOf(verdict.spec, c) != type_) {
                    problem = "channel " + verdict.spec.channelnames[static_cast<std::size_t>(c)] + " is " +
                              FormatOf(verdict.spec, c).c_str() + ", expected " + type_.c_str() + " (--type)";
                }
            }
        }
        if (!firstGood_ && problem.empty()) {
            firstGood_ = verdict.spec;
            firstGoodFrame_ = frame;
        }
        return problem;
    }

private:
    const FramePattern& like_;
    bool compareInput_;
    OIIO::TypeDesc type_;
    FileSetup setup_;
    ReadOptions read_;
    OutputFormat format_;
    std::optional<OIIO::ImageSpec> firstGood_;
    int firstGoodFrame_ = 0;
};

// The summary line: how many frames are good, missing and bad, and the
// frames to key again.
void PrintSummary(const CheckOptions& options, const FramePattern& output, const std::vector<int>& frames,
                  const std::vector<int>& missing, const std::vector<int>& bad) {
    const std::size_t good = frames.size() - missing.size() - bad.size();
    std::cout << "veskar check: " << frames.size() << (frames.size() == 1 ? " frame" : " frames") << " ("
              << (output.IsSequence() ? ShortFrames(FormatFrames(frames), frames.size()) : ShownPath(options.output))
              << "): " << good << " good, " << missing.size() << " missing, " << bad.size() << " bad";
    if (!missing.empty() || !bad.empty()) {
        std::vector<int> redo = missing;
        redo.insert(redo.end(), bad.begin(), bad.end());
        std::sort(redo.begin(), redo.end());
        if (output.IsSequence()) std::cout << "; redo --frames " << FormatFrames(redo);
    }
    std::cout << std::endl;
}

}  // namespace

int RunCheck(const CheckOptions& options) {
    const FramePattern output(options.output, "output");
    const FramePattern like(options.like, "--like");
    if (ChecksMovie(options)) {
        ApplyReadLimits(options.readLimits);
        return RunMovieCheck(options);
    }
    const std::vector<int> frames = FramesToCheck(options, output, like);
    ApplyReadLimits(options.readLimits);
    const OIIO::TypeDesc type = options.type.empty() ? OIIO::TypeDesc::UNKNOWN : OIIO::TypeDesc(options.type);
    if (options.like.empty() && HasChannelOptions(options.files)) {
        throw CliError("--drop-alpha, --drop-channels, --part, --view and --layer say how the frames were keyed "
                       "from their input: give it with --like INPUT_PATTERN",
                       2);
    }
    FrameExpectations expectations(options, like, type);
    std::vector<int> missing;
    std::vector<int> bad;
    for (int frame : frames) {
        const std::string path = output.Path(frame);
        Verdict verdict = ExamineFile(path, options.deep);
        if (verdict.problem.empty()) verdict.problem = expectations.Problem(verdict, path, frame);
        if (verdict.problem.empty()) continue;
        (verdict.missing ? missing : bad).push_back(frame);
        std::cout << (output.IsSequence() ? "frame " + std::to_string(frame) + ": " : "") << ShownPath(path) << ": "
                  << verdict.problem << "\n";
    }
    PrintSummary(options, output, frames, missing, bad);
    return missing.empty() && bad.empty() ? 0 : 1;
}

}  // namespace veskar
