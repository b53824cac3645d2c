#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace veskar::tune {

/// Most image files the background picker lists: a folder of a long
/// sequence's frames is cut there, in name order.
inline constexpr std::size_t kMaxBackgroundFiles = 1000;

/// Images the page can lay the result over: the image files of the plate's
/// folder and the file of `--background`. A request names one by the name
/// the list gave it, never by a path: only files of the list are read.
class Backgrounds {
public:
    /// `plate` is the plate's path (or pattern), `chosen` the --background
    /// file ("" when none), which is read once to say at once what is wrong
    /// with it (CliError naming it).
    Backgrounds(const std::string& plate, const std::string& chosen);

    /// `{"files": [NAME, ...], "chosen": NAME or ""}`, the folder read anew.
    nlohmann::json List();

    /// `png` (the result view: 8-bit straight colour and alpha) laid over the
    /// background `name`, stretched to its size, as the browser lays an image
    /// over a colour: colour times alpha plus background times one minus
    /// alpha, in the shown (sRGB-encoded) values, rounded to 8 bits. Returns
    /// an opaque RGB PNG. A name that is not in the list throws RequestError
    /// 404; a file that cannot be read, CliError naming it.
    std::string Over(const std::string& png, const std::string& name);

private:
    const std::vector<unsigned char>& Pixels(const std::filesystem::path& path, int width, int height);

    std::filesystem::path folder_;
    std::filesystem::path chosen_;
    std::map<std::string, std::filesystem::path> listed_;  // name -> file, as last listed
    // The backgrounds last laid, in 8-bit RGB at the sizes they were laid
    // at: two, as the page asks for the proxy and the full frame by turns.
    struct Laid {
        std::filesystem::path path;
        int width = 0;
        int height = 0;
        std::vector<unsigned char> pixels;
    };
    std::vector<Laid> laid_;
};

}  // namespace veskar::tune
