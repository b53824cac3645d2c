#include "app/setup/key_check.h"

#include <cstdio>

namespace veskar {
namespace {

// Grain keeps a keyed screen from exactly 0 and a solid subject from exactly
// 1 here and there; within 0.05 a pixel counts as clear or opaque.
constexpr float kClearAlpha = 0.05f;
constexpr float kOpaqueAlpha = 0.95f;

// How the command line and the tuning page name the frame looked at and the
// ways of setting the key up.
struct Words {
    const char* frame;
    const char* screen;      // setting the key up from screen samples
    const char* screenOrAuto;
    const char* picked;      // a key colour given as a colour
    const char* keyImage;
    const char* rectangles;  // what the screen was sampled from
    const char* compare;     // where the colour spaces are compared
};

constexpr Words kCommandLine{"the first frame",
                             "--screen X,Y,W,H",
                             "--screen X,Y,W,H (or --screen auto)",
                             "--pick or --key-color",
                             "--key-image",
                             "the screen rectangles",
                             " (veskar suggest compares them)"};
constexpr Words kPage{"this frame",
                      "a Shift-drag over the screen",
                      "a Shift-drag over the screen",
                      "a picked key colour",
                      "a key image",
                      "the screen rectangle",
                      ""};

}  // namespace

std::string OneSidedKeyWarning(const Image& keyed, const KeySetupKind& setup) {
    long clear = 0;
    long opaque = 0;
    for (int y = 0; y < keyed.Height(); ++y) {
        for (int x = 0; x < keyed.Width(); ++x) {
            const float alpha = keyed.Plane1Pixel(x, y)[3];
            clear += alpha <= kClearAlpha;
            opaque += alpha >= kOpaqueAlpha;
        }
    }
    const double pixels = static_cast<double>(keyed.Width()) * keyed.Height();
    if (pixels <= 0.0) return "";
    const Words& words = setup.page ? kPage : kCommandLine;
    const std::string screen = words.screen;
    char share[64];
    if (static_cast<double>(clear) < (1.0 - kOneSidedShare) * pixels) {
        std::snprintf(share, sizeof share, "the matte is clear on only %.2f%% of %s",
                      100.0 * static_cast<double>(clear) / pixels, words.frame);
        std::string cause;
        if (setup.inverted) {
            cause = "InvAlpha is on: the inverted matte is opaque where the screen is";
        } else if (setup.keyImage && setup.colourPicked) {
            cause = std::string("with ") + words.keyImage +
                    ", the Value sliders are an offset from the key image's colour, and " + words.picked +
                    " put the screen colour itself there: use " + screen +
                    ", which measures the screen against the key image";
        } else if (setup.screen) {
            cause = std::string("the window set from ") + words.rectangles +
                    " does not reach the rest of the screen: sample more of it, or try another Colorspace" +
                    words.compare;
        } else {
            cause = std::string("the key window is narrower than the screen's spread: widen Min/Max or use ") +
                    words.screenOrAuto;
        }
        return std::string(share) + ": it keys nothing; " + cause;
    }
    if (static_cast<double>(opaque) < (1.0 - kOneSidedShare) * pixels) {
        std::snprintf(share, sizeof share, "the matte is opaque on only %.2f%% of %s",
                      100.0 * static_cast<double>(opaque) / pixels, words.frame);
        std::string cause;
        if (setup.inverted) {
            cause = "InvAlpha is on: the inverted matte is clear where the subject is";
        } else if (setup.screen) {
            cause = setup.page ? "the screen rectangle holds colours of the subject too: keep it on screen alone"
                               : "the screen rectangles hold colours of the subject too: keep them on screen alone";
        } else {
            cause = "the key window holds the subject's colours as well as the screen's: narrow Min/Max or use " +
                    screen;
        }
        return std::string(share) + ": it keys everything; " + cause;
    }
    return "";
}

}  // namespace veskar
