// Screen setup from rectangles of screen, on plates built here: what the
// keyer does with the values it writes, through the real plug-in.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "app/cli_error.h"
#include "app/control_values.h"
#include "app/settings/settings_file.h"
#include "app/settings/settings_text.h"
#include "app/setup/screen_auto.h"
#include "app/setup/frame_regions.h"
#include "app/setup/screen_setup.h"
#include "app/setup/setup_search.h"
#include "keying/colour_spaces.h"
#include "support/images.h"
#include "support/keyer_plugin.h"

namespace {

using veskar::ScreenRect;

struct Rgb {
    float r, g, b;
};

// A plate with grain and a lighting gradient: the screen's colour is scaled
// from 0.6 at the left to 1.2 at the right and carries Gaussian-like grain
// (sum of uniforms, deviation about `grain`). The subject is three solid
// blocks: skin (or `firstSubject`), a dark sleeve and a mid grey, in the
// middle of the frame.
// `truth` receives 1 on the subject, 0 on the screen.
std::shared_ptr<Image> Plate(Rgb screen, float grain, std::vector<float>& truth, std::uint32_t seed = 7,
                             Rgb firstSubject = {0.75f, 0.55f, 0.45f}) {
    const int width = 200;
    const int height = 120;
    auto image = std::make_shared<Image>(width, height);
    truth.assign(static_cast<std::size_t>(width) * height, 0.0f);
    std::uint32_t state = seed;
    auto uniform = [&] {
        state = state * 1664525u + 1013904223u;
        return static_cast<float>(state >> 8) / 16777216.0f;
    };
    auto noise = [&] {
        float sum = 0.0f;
        for (int i = 0; i < 4; ++i) sum += uniform() - 0.5f;
        return sum * grain * 1.732f;  // four uniforms have a deviation of 1/sqrt(3)
    };
    const Rgb subjects[3] = {firstSubject, {0.08f, 0.07f, 0.09f}, {0.5f, 0.5f, 0.5f}};
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const float light = 0.6f + 0.6f * static_cast<float>(x) / (width - 1);
            Rgb c{screen.r * light, screen.g * light, screen.b * light};
            if (y >= 40 && y < 80 && x >= 60 && x < 150) {
                c = subjects[(x - 60) / 30];
                truth[static_cast<std::size_t>(y) * width + x] = 1.0f;
            }
            float* record = image->Plane1Pixel(x, y);
            record[0] = c.b + noise();
            record[1] = c.g + noise();
            record[2] = c.r + noise();
            record[3] = 1.0f;
        }
    }
    return image;
}

struct Quality {
    double screenLeak = 0;  // share of screen pixels (3 px clear of the subject) above 0.05
    double coreHoles = 0;   // share of subject pixels (3 px inside) below 0.95
    double meanError = 0;   // mean |alpha - truth| over the frame
};

Quality Measure(const Image& keyed, const std::vector<float>& truth) {
    Quality q;
    long screen = 0, core = 0;
    const int w = keyed.Width();
    const int h = keyed.Height();
    auto at = [&](int x, int y) { return truth[static_cast<std::size_t>(y) * w + x]; };
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            bool mixed = false;
            for (int dy = -3; dy <= 3 && !mixed; ++dy) {
                for (int dx = -3; dx <= 3 && !mixed; ++dx) {
                    const int X = std::clamp(x + dx, 0, w - 1), Y = std::clamp(y + dy, 0, h - 1);
                    mixed = at(X, Y) != at(x, y);
                }
            }
            const float alpha = keyed.Plane1Pixel(x, y)[3];
            q.meanError += std::abs(alpha - at(x, y));
            if (mixed) continue;
            if (at(x, y) == 0.0f) {
                ++screen;
                q.screenLeak += alpha > 0.05f;
            } else {
                ++core;
                q.coreHoles += alpha < 0.95f;
            }
        }
    }
    q.screenLeak /= std::max(screen, 1L);
    q.coreHoles /= std::max(core, 1L);
    q.meanError /= static_cast<double>(w) * h;
    return q;
}

std::shared_ptr<Image> Render(KeyerPlugin& keyer, const std::shared_ptr<Image>& plate,
                              const std::shared_ptr<Image>& key = nullptr) {
    keyer.tool->Connect(keyer.In("Image"), plate);
    keyer.tool->Connect(keyer.In("KeyImage"), key);
    return keyer.tool->Render(0.0);
}

// One rectangle in the screen's dark left corner: the setup must reach the
// bright right side too, where the screen is twice as bright.
const std::vector<ScreenRect> kCorner = {{4, 4, 30, 30}};

// Messages and the page name YUV's channels by what the conversion puts in
// them: p2 moves with red (V), p3 with blue (U).
TEST(ScreenSetup, YuvChannelsAreNamedByTheConversion) {
    const keying::Colour red = keying::RgbToYuv(keying::Colour{0.0f, 0.0f, 1.0f, 1.0f});
    const keying::Colour blue = keying::RgbToYuv(keying::Colour{1.0f, 0.0f, 0.0f, 1.0f});
    ASSERT_GT(red.g, 0.4f);   // p2
    ASSERT_GT(blue.b, 0.4f);  // p3
    EXPECT_EQ(veskar::ChannelName(keying::kColourSpaceYuv, 1), "V");
    EXPECT_EQ(veskar::ChannelName(keying::kColourSpaceYuv, 2), "U");
    EXPECT_EQ(veskar::ChannelLabel(keying::kColourSpaceYuv, 1), "V");
    EXPECT_EQ(veskar::ChannelLabel(keying::kColourSpaceYuv, 2), "U");
}

TEST(ScreenSetup, KeysAGrainyGradientScreenFromOneCorner) {
    for (const char* space : {"HSV", "YCbCr", "YUV", "YXy"}) {
        SCOPED_TRACE(space);
        KeyerPlugin keyer;
        ASSERT_TRUE(keyer.tool);
        std::vector<float> truth;
        const auto plate = Plate({0.15f, 0.6f, 0.2f}, 0.01f, truth);
        double entry = 0.0;
        std::string error;
        ASSERT_TRUE(veskar::ParseControlValue(keyer.In("Colorspace"), space, entry, error)) << error;
        keyer.tool->SetNumber(keyer.In("Colorspace"), entry);
        veskar::SetUpScreen(*keyer.tool, *plate, nullptr, kCorner);
        const auto keyed = Render(keyer, plate);
        ASSERT_TRUE(keyed);
        const Quality q = Measure(*keyed, truth);
        EXPECT_EQ(q.screenLeak, 0.0);
        EXPECT_EQ(q.coreHoles, 0.0);
    }
}

// In HSV a red screen's hue lies on both sides of the wrap (0.98 and 0.02);
// the setup treats it as one arc and keys it as well as a green one. The
// subject is blue cloth, dark and grey on both: skin lies next to red in hue,
// as chartreuse lies next to green.
TEST(ScreenSetup, RedScreenAcrossTheHueWrapKeysAsWellAsGreen) {
    std::vector<Quality> results;
    for (Rgb screen : {Rgb{0.15f, 0.6f, 0.2f}, Rgb{0.7f, 0.1f, 0.1f}}) {
        KeyerPlugin keyer;
        ASSERT_TRUE(keyer.tool);
        keyer.tool->SetNumber(keyer.In("Colorspace"), 1);
        std::vector<float> truth;
        const auto plate = Plate(screen, 0.01f, truth, 7, {0.2f, 0.35f, 0.6f});
        const veskar::ScreenSetup setup = veskar::SetUpScreen(*keyer.tool, *plate, nullptr, kCorner);
        const auto keyed = Render(keyer, plate);
        ASSERT_TRUE(keyed);
        results.push_back(Measure(*keyed, truth));
        EXPECT_EQ(results.back().screenLeak, 0.0);
        EXPECT_EQ(results.back().coreHoles, 0.0);
        if (screen.r > screen.g) {
            // The red plate's hues really do straddle the wrap.
            long low = 0, high = 0;
            for (int y = 4; y < 34; ++y) {
                for (int x = 4; x < 34; ++x) {
                    const float* p = plate->Plane1Pixel(x, y);
                    (p[1] >= p[0] ? low : high) += 1;
                }
            }
            EXPECT_GT(low, 100);
            EXPECT_GT(high, 100);
            EXPECT_FALSE(setup.notes.empty()) << "the switch to a repeating falloff is told";
        }
    }
    ASSERT_EQ(results.size(), 2u);
    RecordProperty("green_mean_error", std::to_string(results[0].meanError));
    RecordProperty("red_mean_error", std::to_string(results[1].meanError));
    EXPECT_LE(results[1].meanError, results[0].meanError * 1.5 + 0.002);
}

// With a clean plate the samples are differences from it: Value is 0, so
// the key follows the clean plate pixel by pixel, and the uneven screen is
// keyed even where its brightness differs most from the rectangle's.
TEST(ScreenSetup, WithACleanPlateMeasuresTheDifference) {
    KeyerPlugin keyer;
    ASSERT_TRUE(keyer.tool);
    std::vector<float> truth;
    const auto plate = Plate({0.15f, 0.6f, 0.2f}, 0.01f, truth, 7);
    std::vector<float> none;
    auto clean = Plate({0.15f, 0.6f, 0.2f}, 0.01f, none, 99);
    // The clean plate has no subject: paint the screen back where it was.
    for (int y = 40; y < 80; ++y) {
        for (int x = 60; x < 150; ++x) {
            const float light = 0.6f + 0.6f * static_cast<float>(x) / 199.0f;
            float* record = clean->Plane1Pixel(x, y);
            record[0] = 0.2f * light;
            record[1] = 0.6f * light;
            record[2] = 0.15f * light;
        }
    }
    const veskar::ScreenSetup setup = veskar::SetUpScreen(*keyer.tool, *plate, clean.get(), kCorner);
    for (const char* id : {"ValueRed", "ValueGreen", "ValueBlue"}) {
        EXPECT_EQ(keyer.In(id).Value(), 0.0) << id;
    }
    for (const auto& window : setup.windows) {
        EXPECT_LT(window.low, 0.0);
        EXPECT_GT(window.high, 0.0);
        EXPECT_LT(window.high - window.low, 0.2) << "a window of grain, not of the gradient";
    }
    const auto keyed = Render(keyer, plate, clean);
    ASSERT_TRUE(keyed);
    const Quality q = Measure(*keyed, truth);
    EXPECT_EQ(q.screenLeak, 0.0);
    EXPECT_EQ(q.coreHoles, 0.0);
}

// The setup writes nothing but control values: its settings text, loaded into
// a fresh tool as the application loads it, keys the same bits.
TEST(ScreenSetup, WritesOrdinaryControlValues) {
    std::vector<float> truth;
    const auto plate = Plate({0.15f, 0.6f, 0.2f}, 0.01f, truth);
    KeyerPlugin keyer;
    ASSERT_TRUE(keyer.tool);
    keyer.tool->SetNumber(keyer.In("Colorspace"), 1);
    veskar::SetUpScreen(*keyer.tool, *plate, nullptr, kCorner);
    const auto keyed = Render(keyer, plate);

    const auto path = std::filesystem::path(::testing::TempDir()) / "screen_setup.setting";
    std::ofstream(path) << veskar::SettingsText(keyer.tool->Tool(), "Veskar1", "Veskar");
    host::ToolInstance fresh(*keyer.registry);
    veskar::LoadSettingsFile(fresh, path.string(), "");
    fresh.Connect(*fresh.FindInput("Image"), plate);
    const auto again = fresh.Render(0.0);
    ASSERT_TRUE(keyed && again);
    EXPECT_TRUE(SameBits(*keyed, *again));
    std::filesystem::remove(path);
}

// The key colour the setup sets runs the tool's reaction, which fills the
// Value sliders in the current colour space: the sliders hold the screen's
// own colour in HSV.
TEST(ScreenSetup, KeyColourIsTheScreenThroughTheReactions) {
    std::vector<float> truth;
    const auto plate = Plate({0.15f, 0.6f, 0.2f}, 0.0f, truth);
    KeyerPlugin keyer;
    ASSERT_TRUE(keyer.tool);
    keyer.tool->SetNumber(keyer.In("Colorspace"), 1);
    veskar::SetUpScreen(*keyer.tool, *plate, nullptr, {{0, 0, 1, 1}});
    // Pixel (0, 0) without grain: the screen at light 0.6.
    EXPECT_NEAR(keyer.In("CRed").Value(), 0.09, 1e-6);
    EXPECT_NEAR(keyer.In("CGreen").Value(), 0.36, 1e-6);
    EXPECT_NEAR(keyer.In("CBlue").Value(), 0.12, 1e-6);
    // Hue of (0.09, 0.36, 0.12): (0.12 - 0.09) / 0.27 + 2 sectors, over 6.
    EXPECT_NEAR(keyer.In("ValueRed").Value(), (2.0 + (0.12 - 0.09) / 0.27) / 6.0, 1e-6);
    EXPECT_NEAR(keyer.In("ValueGreen").Value(), 0.75, 1e-6);
    EXPECT_NEAR(keyer.In("ValueBlue").Value(), 0.36, 1e-6);
}

// Over a tool already set up from the same screen in another space, the key
// colour controls already hold the screen's median: their sets run no
// reaction, and the Value sliders' would rewrite the key colour through the
// new space's conversion. The setup ends as it does on a fresh tool.
TEST(ScreenSetup, EndsTheSameOverAToolSetUpInAnotherSpace) {
    std::vector<float> truth;
    const auto plate = Plate({0.15f, 0.6f, 0.2f}, 0.01f, truth);
    KeyerPlugin keyer;
    ASSERT_TRUE(keyer.tool);
    const veskar::SetupContext ycbcr{nullptr, 4, 0.05};
    veskar::ApplyScreenSetup(*keyer.tool, veskar::PlanScreenSetup(keyer.tool->Tool(), *plate, nullptr, kCorner, ycbcr));
    const veskar::SetupContext yuv{nullptr, 3, 0.05};
    const veskar::ScreenSetup setup = veskar::PlanScreenSetup(keyer.tool->Tool(), *plate, nullptr, kCorner, yuv);
    veskar::ApplyScreenSetup(*keyer.tool, setup);
    for (const auto& [id, value] : setup.values) EXPECT_EQ(keyer.In(id.c_str()).Value(), value) << id;
}

// A plate whose subject meets the screen across a band of exact mixes: the
// screen (with a lighting gradient and grain) at the left, skin at the right,
// and in between an 8-pixel band where the share of skin rises linearly (an
// edge of hair or light blur: the core is looked for 6 pixels inside what is
// not screen, so wider blurs would lend the core some of their mixes).
// `share` receives each pixel's share of subject. The last 20 rows' subject
// is `bottom` (skin by default); with `clean`, a clean plate of the same
// screen, with grain of its own, is made too.
std::shared_ptr<Image> MixPlate(std::vector<float>& share, Rgb bottom = {0.75f, 0.55f, 0.45f},
                                std::shared_ptr<Image>* clean = nullptr) {
    const int width = 200;
    const int height = 80;
    auto image = std::make_shared<Image>(width, height);
    if (clean) *clean = std::make_shared<Image>(width, height);
    share.assign(static_cast<std::size_t>(width) * height, 0.0f);
    std::uint32_t state = 11;
    std::uint32_t cleanState = 5;
    auto noiseOf = [](std::uint32_t& from) {
        from = from * 1664525u + 1013904223u;
        return (static_cast<float>(from >> 8) / 16777216.0f - 0.5f) * 0.02f;
    };
    auto noise = [&] { return noiseOf(state); };
    const Rgb screen{0.15f, 0.6f, 0.2f};
    const Rgb skin{0.75f, 0.55f, 0.45f};
    for (int y = 0; y < height; ++y) {
        const Rgb subject = y < 60 ? skin : bottom;
        for (int x = 0; x < width; ++x) {
            const float light = 0.8f + 0.4f * static_cast<float>(y) / (height - 1);
            const float a = std::clamp(static_cast<float>(x - 100) / 8.0f, 0.0f, 1.0f);
            share[static_cast<std::size_t>(y) * width + x] = a;
            float* record = image->Plane1Pixel(x, y);
            record[0] = subject.b * a + screen.b * light * (1.0f - a) + noise();
            record[1] = subject.g * a + screen.g * light * (1.0f - a) + noise();
            record[2] = subject.r * a + screen.r * light * (1.0f - a) + noise();
            record[3] = 1.0f;
            if (clean) {
                float* behind = (*clean)->Plane1Pixel(x, y);
                behind[0] = screen.b * light + noiseOf(cleanState);
                behind[1] = screen.g * light + noiseOf(cleanState);
                behind[2] = screen.r * light + noiseOf(cleanState);
                behind[3] = 1.0f;
            }
        }
    }
    return image;
}

// The search --screen makes for soft edges.
veskar::SearchOptions SoftEdgeSearch() {
    veskar::SearchOptions soft;
    soft.softEdges = true;
    soft.rampToSubject = true;
    return soft;
}

// Mean |alpha - share| over the band of mixes.
double BandError(const Image& keyed, const std::vector<float>& share) {
    double error = 0.0;
    long count = 0;
    for (int y = 0; y < keyed.Height(); ++y) {
        for (int x = 101; x < 108; ++x) {
            error += std::abs(keyed.Plane1Pixel(x, y)[3] - share[static_cast<std::size_t>(y) * keyed.Width() + x]);
            ++count;
        }
    }
    return error / static_cast<double>(count);
}

// The frame's certain screen and subject are found without a working space:
// no screen sample lies in the subject or the band, no core sample on the
// screen or the band, and the core holds the skin beyond the band.
TEST(FrameRegions, SplitsScreenFromSubjectAwayFromTheirMixes) {
    std::vector<float> share;
    const auto plate = MixPlate(share);
    const veskar::FrameRegions regions = veskar::FindFrameRegions(*plate, nullptr, {{4, 4, 30, 30}}, {});
    ASSERT_GT(regions.screen.Size(), 1000u);
    ASSERT_GT(regions.core.Size(), 1000u);
    for (const keying::Colour& c : regions.screen.colour) ASSERT_GT(c.g, 0.4f) << "screen sample " << c.r;
    for (const keying::Colour& c : regions.core.colour) ASSERT_GT(c.r, 0.65f) << "core sample " << c.g;
    // --subject replaces the core, and is checked against the frame.
    const veskar::FrameRegions named = veskar::FindFrameRegions(*plate, nullptr, {{4, 4, 30, 30}}, {{150, 10, 5, 5}});
    EXPECT_EQ(named.core.Size(), 25u);
    EXPECT_THROW(veskar::FindFrameRegions(*plate, nullptr, {{4, 4, 30, 30}}, {{190, 10, 20, 5}}), veskar::CliError);
}

// Placed between screen and subject, the ramp keys the band of mixes in step
// with the mix, where the ramp just past the screen makes it nearly opaque;
// the screen stays clear and the skin solid either way.
TEST(ScreenSetup, RampBetweenScreenAndSubjectFollowsTheMix) {
    std::vector<float> share;
    const auto plate = MixPlate(share);
    const std::vector<ScreenRect> rects = {{4, 4, 30, 30}};
    const veskar::FrameRegions regions = veskar::FindFrameRegions(*plate, nullptr, rects, {});
    double errors[2] = {};
    for (int soft = 0; soft < 2; ++soft) {
        KeyerPlugin keyer;
        ASSERT_TRUE(keyer.tool);
        keyer.tool->SetNumber(keyer.In("Colorspace"), 3);  // YUV
        veskar::SearchOptions search;
        search.softEdges = soft == 1;
        search.rampToSubject = soft == 1;
        const auto candidates =
            veskar::SearchSetups(keyer.tool->Tool(), *plate, nullptr, rects, regions, {-1}, search);
        const veskar::SetupCandidate* best = veskar::BestSetup(candidates);
        ASSERT_NE(best, nullptr);
        EXPECT_EQ(best->setup.rampToSubject, soft == 1);
        veskar::ApplyScreenSetup(*keyer.tool, best->setup);
        const auto keyed = Render(keyer, plate);
        ASSERT_TRUE(keyed);
        errors[soft] = BandError(*keyed, share);
        for (int y = 0; y < plate->Height(); ++y) {
            ASSERT_LE(keyed->Plane1Pixel(20, y)[3], 0.05f) << "screen at row " << y;
            // Soft edges accept a core a hair short of opaque where it nears the screen.
            ASSERT_GE(keyed->Plane1Pixel(180, y)[3], soft == 1 ? 0.95f : 1.0f) << "skin at row " << y;
        }
    }
    EXPECT_LT(errors[1], 0.1);
    EXPECT_LT(errors[1], 0.5 * errors[0]) << "past the screen " << errors[0] << ", to the subject " << errors[1];
}

// Set up for soft edges, a frame whose subject meets the screen without mixes
// (solid blocks, one of them a greenish grey near the screen's colours) keeps
// the ramp just past the screen in every space, with the subject's core solid:
// a ramp to the subject keys the frame's contour no better and leaves a core
// partly transparent. A frame with a band of mixes still gets its ramp to the
// subject, and the frame's mixes are keyed better by it.
TEST(SetupSearch, SoftEdgesOnlyWhereTheFrameShowsMixes) {
    std::vector<float> truth;
    const auto plate = Plate({0.15f, 0.6f, 0.2f}, 0.01f, truth, 7, {0.3f, 0.42f, 0.33f});
    const veskar::FrameRegions regions = veskar::FindFrameRegions(*plate, nullptr, kCorner, {});
    ASSERT_GT(regions.edge.Size(), 200u);
    KeyerPlugin keyer;
    ASSERT_TRUE(keyer.tool);
    const veskar::SearchOptions soft = SoftEdgeSearch();
    const auto candidates =
        veskar::SearchSetups(keyer.tool->Tool(), *plate, nullptr, kCorner, regions, {0, 1, 2, 3, 4}, soft);
    for (const veskar::SetupCandidate& candidate : candidates) {
        if (candidate.coreShare > 0.0) {
            EXPECT_FALSE(candidate.score.usable) << candidate.colourSpace;
        }
    }
    const veskar::SetupCandidate* best = veskar::BestSetup(candidates);
    ASSERT_NE(best, nullptr);
    EXPECT_EQ(best->coreShare, 0.0);
    EXPECT_FALSE(best->setup.rampToSubject);
    // The log says why soft edges were not set up.
    ASSERT_FALSE(best->setup.notes.empty());
    EXPECT_NE(best->setup.notes.back().find("contour is hard"), std::string::npos);
    veskar::ApplyScreenSetup(*keyer.tool, best->setup);
    const auto keyed = Render(keyer, plate);
    ASSERT_TRUE(keyed);
    EXPECT_EQ(Measure(*keyed, truth).coreHoles, 0.0);
    EXPECT_EQ(Measure(*keyed, truth).screenLeak, 0.0);

    std::vector<float> share;
    const auto mixed = MixPlate(share);
    const std::vector<ScreenRect> rects = {{4, 4, 30, 30}};
    const veskar::FrameRegions mixRegions = veskar::FindFrameRegions(*mixed, nullptr, rects, {});
    const auto mixCandidates =
        veskar::SearchSetups(keyer.tool->Tool(), *mixed, nullptr, rects, mixRegions, {0, 1, 2, 3, 4}, soft);
    const veskar::SetupCandidate* mixBest = veskar::BestSetup(mixCandidates);
    ASSERT_NE(mixBest, nullptr);
    EXPECT_GT(mixBest->coreShare, 0.0);
    EXPECT_TRUE(mixBest->setup.rampToSubject);
    double pastScreen = 1.0;
    for (const veskar::SetupCandidate& candidate : mixCandidates) {
        if (candidate.coreShare == 0.0 && candidate.score.usable) {
            pastScreen = std::min(pastScreen, candidate.score.frameMixError);
        }
    }
    EXPECT_LT(mixBest->score.frameMixError, 0.8 * pastScreen);
}

// Judged on the frame's regions (as --screen chooses a space), a space that
// keys the subject away loses to one that keeps it, and the candidates of
// each space come best first.
TEST(SetupSearch, ScoresLosingTheSubjectAboveSoftEdges) {
    std::vector<float> truth;
    const auto plate = Plate({0.15f, 0.6f, 0.2f}, 0.01f, truth);
    const veskar::FrameRegions regions = veskar::FindFrameRegions(*plate, nullptr, kCorner, {});
    KeyerPlugin keyer;
    ASSERT_TRUE(keyer.tool);
    const auto candidates = veskar::SearchSetups(keyer.tool->Tool(), *plate, nullptr, kCorner, regions,
                                                 {0, 1, 2, 3, 4}, veskar::SearchOptions{});
    const veskar::SetupCandidate* best = veskar::BestSetup(candidates);
    ASSERT_NE(best, nullptr);
    EXPECT_GE(best->score.coreKept, 0.99);
    EXPECT_GE(best->score.screenClear, 0.99);
    for (std::size_t i = 1; i < candidates.size(); ++i) {
        if (candidates[i].colourSpace != candidates[i - 1].colourSpace) continue;
        const std::size_t first = static_cast<std::size_t>(
            std::find_if(candidates.begin(), candidates.end(),
                         [&](const veskar::SetupCandidate& c) { return c.colourSpace == candidates[i].colourSpace; }) -
            candidates.begin());
        if (candidates[i].score.usable) {
            EXPECT_LE(candidates[first].score.total, candidates[i].score.total);
        }
    }
    // The best setup applied to the tool keys the plate as it was scored: no
    // hole in the subject.
    veskar::ApplyScreenSetup(*keyer.tool, best->setup);
    const auto keyed = Render(keyer, plate);
    ASSERT_TRUE(keyed);
    EXPECT_EQ(Measure(*keyed, truth).coreHoles, 0.0);
}

// Against a clean plate a pixel's key is its difference from the plate,
// which for a subject colour near the screen's (a grey over green) is a
// fraction of what skin gives. Set up for soft edges, such a part of the
// subject's core is kept (nearly) solid as the skin is, not put halfway up a ramp
// that ends at the skin (the edge finishing then took it for a mix of the two
// and cut a hole in the subject).
TEST(SetupSearch, AgainstACleanPlateEveryColourOfTheCoreStaysSolid) {
    std::vector<float> share;
    std::shared_ptr<Image> clean;
    const auto plate = MixPlate(share, {0.3f, 0.38f, 0.3f}, &clean);
    const int width = plate->Width();
    const int height = plate->Height();
    const std::vector<ScreenRect> rects = {{4, 4, 30, 30}};
    const veskar::FrameRegions regions = veskar::FindFrameRegions(*plate, clean.get(), rects, {});
    ASSERT_GT(regions.core.Size(), 1000u);
    KeyerPlugin keyer;
    ASSERT_TRUE(keyer.tool);
    const veskar::SearchOptions soft = SoftEdgeSearch();
    const auto candidates = veskar::SearchSetups(keyer.tool->Tool(), *plate, clean.get(), rects, regions, {-1}, soft);
    const veskar::SetupCandidate* best = veskar::BestSetup(candidates);
    ASSERT_NE(best, nullptr);
    veskar::ApplyScreenSetup(*keyer.tool, best->setup);
    const auto keyed = Render(keyer, plate, clean);
    ASSERT_TRUE(keyed);
    float leastCore = 1.0f;
    float mostScreen = 0.0f;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < 90; ++x) mostScreen = std::max(mostScreen, keyed->Plane1Pixel(x, y)[3]);
        for (int x = 115; x < width; ++x) leastCore = std::min(leastCore, keyed->Plane1Pixel(x, y)[3]);
    }
    // Solid but for the grain's lowest few pixels, a little short of opaque.
    EXPECT_GE(leastCore, 0.9f) << "core share " << best->coreShare;
    EXPECT_LE(mostScreen, 0.05f);
}

TEST(ScreenSetup, RefusesWhatCannotWork) {
    std::vector<float> truth;
    const auto plate = Plate({0.15f, 0.6f, 0.2f}, 0.01f, truth);
    KeyerPlugin keyer;
    ASSERT_TRUE(keyer.tool);
    struct Case {
        std::vector<ScreenRect> rects;
        const char* fragment;
    };
    for (const Case& c : {Case{{{190, 0, 20, 10}}, "reaches outside the 200 x 120 plate"},
                          Case{{{-1, 0, 5, 5}}, "reaches outside"}}) {
        try {
            veskar::PlanScreenSetup(keyer.tool->Tool(), *plate, nullptr, c.rects);
            ADD_FAILURE() << "no error for " << veskar::RectText(c.rects[0]);
        } catch (const veskar::CliError& e) {
            EXPECT_NE(std::string(e.what()).find(c.fragment), std::string::npos) << e.what();
        }
    }
    keyer.tool->SetNumber(keyer.In("FadeRed"), 0.0);
    EXPECT_THROW(veskar::PlanScreenSetup(keyer.tool->Tool(), *plate, nullptr, kCorner), veskar::CliError);

    for (const char* text : {"1,2,3", "1,2,3,0", "a,2,3,4", "1,2,3,4,5", ""}) {
        EXPECT_THROW(veskar::ParseScreenRect("--screen", text), veskar::CliError) << text;
    }
    const ScreenRect rect = veskar::ParseScreenRect("--screen", "10,20,30,40");
    EXPECT_EQ(veskar::RectText(rect), "10,20,30,40");
}

// --screen auto on plates built here: it finds the screen on the border and
// refuses a frame without one.
TEST(ScreenAuto, FindsTheScreenAndRefusesNoise) {
    std::vector<float> truth;
    const auto plate = Plate({0.15f, 0.6f, 0.2f}, 0.01f, truth);
    const veskar::ScreenSearch found = veskar::FindScreenRects(*plate);
    ASSERT_GE(found.rects.size(), 2u) << found.reason;
    for (const ScreenRect& rect : found.rects) {
        for (int y = rect.y; y < rect.y + rect.height; ++y) {
            for (int x = rect.x; x < rect.x + rect.width; ++x) {
                ASSERT_EQ(truth[static_cast<std::size_t>(y) * 200 + x], 0.0f) << veskar::RectText(rect);
            }
        }
    }
    // Random colours everywhere: no hue dominates the border.
    const auto noise = PatternImage(200, 120);
    const veskar::ScreenSearch none = veskar::FindScreenRects(*noise);
    EXPECT_TRUE(none.rects.empty());
    EXPECT_NE(none.reason.find("no screen colour"), std::string::npos) << none.reason;
    // A grey frame: nothing saturated at all.
    auto grey = std::make_shared<Image>(120, 80);
    for (int y = 0; y < 80; ++y) {
        for (int x = 0; x < 120; ++x) {
            float* record = grey->Plane1Pixel(x, y);
            record[0] = record[1] = record[2] = 0.4f;
        }
    }
    EXPECT_TRUE(veskar::FindScreenRects(*grey).rects.empty());
}

}  // namespace
