// Requests to the tuning server as a page, a script or a hostile sender might
// write them: the method and target (path and query), header lines and a JSON
// body, answered through the server's own request handling without a socket.
// Every input must end in an answer or in a closed connection, never in a
// crash, and leave a session whose state can still be answered (a frame that
// cannot be read must not take the shown one with it).
//
// Input: "METHOD TARGET\n" then header lines up to an empty line, then the
// body. The Host and token of the server come first, so that the input
// reaches the handlers; a header given again is one the server must refuse.

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include <unistd.h>

#include <OpenImageIO/imagebuf.h>

#include "app/tune/tune_server.h"
#include "app/tune/tune_session.h"

namespace {

namespace fs = std::filesystem;

constexpr int kPort = 8123;

// A sequence of four frames: 1 and 2 small plates, 3 a damaged file, 4 missing.
std::string WritePlates() {
    const char* folder = std::getenv("TMPDIR");
    const fs::path dir = fs::path(folder && *folder ? folder : "/tmp") /
                         ("veskar-fuzz-tune-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    OIIO::ImageBuf plate(OIIO::ImageSpec(16, 12, 3, OIIO::TypeDesc::UINT8));
    for (int y = 0; y < 12; ++y) {
        for (int x = 0; x < 16; ++x) {
            const bool subject = x >= 5 && x < 11 && y >= 3 && y < 9;
            const float rgb[3] = {subject ? 0.5f : 0.2f, subject ? 0.5f : 0.7f, subject ? 0.5f : 0.3f};
            plate.setpixel(x, y, rgb);
        }
    }
    plate.write((dir / "shot.1.png").string());
    plate.write((dir / "shot.2.png").string());
    std::ofstream(dir / "shot.3.png") << "\x89PNG damaged";
    return (dir / "shot.#.png").string();
}

struct Tuning {
    Tuning() : session(Options()), server(session, "127.0.0.1") { server.AssumePort(kPort); }
    static veskar::tune::TuneOptions Options() {
        veskar::tune::TuneOptions options;
        options.plate = WritePlates();
        options.frames = "1-4";
        options.pluginFolder = VESKAR_FUZZ_PLUGIN_DIR;
        return options;
    }
    veskar::tune::TuneSession session;
    veskar::tune::TuneServer server;
};

std::string RequestOf(const std::string& input, const std::string& token) {
    const std::size_t lineEnd = std::min(input.find('\n'), input.size());
    const std::string line = input.substr(0, lineEnd);
    const std::size_t space = line.find(' ');
    const std::string method = space == std::string::npos ? "GET" : line.substr(0, space);
    const std::string target = space == std::string::npos ? line : line.substr(space + 1);
    std::string headers;
    std::size_t at = lineEnd + 1;
    while (at < input.size()) {
        const std::size_t end = std::min(input.find('\n', at), input.size());
        if (end == at) {
            ++at;
            break;
        }
        headers += input.substr(at, end - at) + "\r\n";
        at = end + 1;
    }
    const std::string body = at < input.size() ? input.substr(at) : "";
    return method + " " + (target.starts_with('/') ? "" : "/") + target + " HTTP/1.1\r\nHost: 127.0.0.1:" +
           std::to_string(kPort) + "\r\nX-Veskar-Token: " + token + "\r\n" + headers +
           "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Tuning* tuning = new Tuning;  // one session for the whole run, as loading the plug-in is slow
    const std::string input(reinterpret_cast<const char*>(data), size);
    tuning->server.AnswerBytes(RequestOf(input, tuning->server.Token()));
    // Whatever was asked, the session still answers for a frame it holds.
    tuning->session.State().dump();
    return 0;
}
