// The page's sample regions and what is read off them: screen and subject
// rectangles pooled into one setup, garbage and holdout polygons drawn for
// the finishing, the readout of one pixel, and the working-space histograms.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <sstream>

#include "app/cli_error.h"
#include "app/finish/finishing.h"
#include "app/setup/matte_probe.h"
#include "app/setup/screen_option.h"
#include "app/setup/setup_search.h"
#include "app/tool_session.h"
#include "app/tune/tune_session.h"
#include "keying/colour_spaces.h"
#include "keying/snapshot.h"
#include "keying/staging.h"

namespace veskar::tune {
namespace {

using nlohmann::json;

// Below this share of the subject's core kept at least half opaque, the key
// has deleted most of what is not screen, and the page says so.
constexpr double kCoreKeptWarning = 0.5;

bool SameRects(const std::vector<ScreenRect>& a, const std::vector<ScreenRect>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const ScreenRect& p, const ScreenRect& q) {
        return p.x == q.x && p.y == q.y && p.width == q.width && p.height == q.height;
    });
}

json RectsJson(const std::vector<ScreenRect>& rects) {
    json list = json::array();
    for (const ScreenRect& r : rects) list.push_back({r.x, r.y, r.width, r.height});
    return list;
}

std::string RectsText(const std::vector<ScreenRect>& rects) {
    std::string text;
    for (const ScreenRect& rect : rects) text += (text.empty() ? "" : " ") + RectText(rect);
    return text;
}

// `rect` with `cut` taken out: up to four rectangles (the rows above and below
// the cut, then the columns beside it). Both lie inside a plate, so their
// sums fit an int.
std::vector<ScreenRect> Subtract(const ScreenRect& rect, const ScreenRect& cut) {
    const int left = std::max(rect.x, cut.x);
    const int top = std::max(rect.y, cut.y);
    const int right = std::min(rect.x + rect.width, cut.x + cut.width);
    const int bottom = std::min(rect.y + rect.height, cut.y + cut.height);
    if (left >= right || top >= bottom) return {rect};
    std::vector<ScreenRect> pieces;
    if (top > rect.y) pieces.push_back({rect.x, rect.y, rect.width, top - rect.y});
    if (bottom < rect.y + rect.height) pieces.push_back({rect.x, bottom, rect.width, rect.y + rect.height - bottom});
    if (left > rect.x) pieces.push_back({rect.x, top, left - rect.x, bottom - top});
    if (right < rect.x + rect.width) pieces.push_back({right, top, rect.x + rect.width - right, bottom - top});
    return pieces;
}

std::string KindOf(const json& body, const char* first, const char* second) {
    if (!body.contains("kind") || !body["kind"].is_string() ||
        (body["kind"] != first && body["kind"] != second)) {
        throw RequestError(400, std::string("'kind' must be \"") + first + "\" or \"" + second + "\"");
    }
    return body["kind"].get<std::string>();
}

std::size_t IndexOf(const json& body, std::size_t count, const std::string& what) {
    const int index = WholeNumber(body, "index");
    if (index < 0 || static_cast<std::size_t>(index) >= count) {
        throw RequestError(400, "there is no " + what + " " + std::to_string(index) + " (there are " +
                                    std::to_string(count) + ")");
    }
    return static_cast<std::size_t>(index);
}

// The polygon text of a drawn shape ("x1,y1,x2,y2,..."), each number written
// so that it reads back to the same bits, as a settings file keeps it.
std::string PolygonText(const json& points) {
    if (!points.is_array() || points.size() % 2 != 0 || points.size() < 6 || points.size() > 2 * kMaxShapePoints) {
        throw RequestError(400, "'points' must be 3 to " + std::to_string(kMaxShapePoints) +
                                    " points as [x1, y1, x2, y2, ...]");
    }
    std::string text;
    for (const json& value : points) {
        // A million pixels beyond a frame is far outside any frame.
        if (!value.is_number() || !std::isfinite(value.get<double>()) || std::fabs(value.get<double>()) > 1e6) {
            throw RequestError(400, "'points' must be numbers within a million pixels of the frame");
        }
        text += (text.empty() ? "" : ",") + finish::NumberText(value.get<double>());
    }
    return text;
}

json ShapesJson(const std::vector<finish::ShapeChoice>& shapes) {
    json list = json::array();
    for (const finish::ShapeChoice& choice : shapes) {
        if (!choice.shape.file.empty()) {
            list.push_back({{"file", choice.shape.file}});
            continue;
        }
        json points = json::array();
        for (const auto& point : choice.shape.polygon.points) points.push_back({point[0], point[1]});
        list.push_back({{"points", std::move(points)}});
    }
    return list;
}

keying::Colour PixelColour(const Image& image, int x, int y) {
    const float* record = image.Plane1Pixel(x, y);
    return keying::Colour{record[0], record[1], record[2], record[3]};
}

}  // namespace

json TuneSession::Samples(const json& body) {
    if (!body.is_object() || !body.contains("frame") || body.size() != 2) {
        throw RequestError(400, "expected {\"frame\": F, \"add\"|\"subtract\"|\"remove\": {...}}");
    }
    const int frame = CheckFrame(body["frame"]);
    Frame& loaded = LoadFrame(frame);
    const Image& plate = *loaded.source.image;
    SampleRegions next = samples_;
    std::string shown;
    if (body.contains("add") && body["add"].is_object()) {
        const std::string kind = KindOf(body["add"], "screen", "subject");
        const ScreenRect rect = RequestRect(body["add"], plate, kind);
        (kind == "screen" ? next.screen : next.subject).push_back(rect);
        shown = kind + " rectangle " + RectText(rect);
    } else if (body.contains("subtract") && body["subtract"].is_object()) {
        const ScreenRect cut = RequestRect(body["subtract"], plate, "removed");
        for (std::vector<ScreenRect>* list : {&next.screen, &next.subject}) {
            std::vector<ScreenRect> kept;
            for (const ScreenRect& rect : *list) {
                for (const ScreenRect& piece : Subtract(rect, cut)) kept.push_back(piece);
            }
            *list = std::move(kept);
        }
        shown = "removed rectangle " + RectText(cut);
    } else if (body.contains("remove") && body["remove"].is_object()) {
        const std::string kind = KindOf(body["remove"], "screen", "subject");
        std::vector<ScreenRect>& list = kind == "screen" ? next.screen : next.subject;
        const std::size_t index = IndexOf(body["remove"], list.size(), kind + " region");
        shown = kind + " rectangle " + RectText(list[index]) + " removed";
        list.erase(list.begin() + static_cast<std::ptrdiff_t>(index));
    } else {
        throw RequestError(400, "expected {\"frame\": F, \"add\"|\"subtract\"|\"remove\": {...}}");
    }
    if (next.screen.size() > kMaxSampleRegions || next.subject.size() > kMaxSampleRegions) {
        throw RequestError(400, shown + ": at most " + std::to_string(kMaxSampleRegions) +
                                    " regions of each kind; remove some first");
    }
    return SetUpFromSamples(next, loaded, shown);
}

json TuneSession::SetUpFromSamples(const SampleRegions& next, Frame& frame, const std::string& shown) {
    if (next.screen.empty()) {
        // Nothing to set up from: the key keeps the values it has.
        samples_ = next;
        ++revision_;
        Recorded();
        return {{"rect", ""},
                {"summary", "no screen samples left: the key keeps its values"},
                {"notes", json::array()}};
    }
    ScreenRequest request;
    request.softEdges = softEdges_;
    request.displayEncoded = DisplayEncoded(frame.source.colourSpace);
    // As veskar render decides: a space of the user's is kept, and against a
    // key image the key measures differences, which the tool's space tells
    // apart as well as any.
    request.chooseSpace = !next.spaceKept && !frame.key;
    for (const ScreenRect& rect : next.subject) request.subjects.push_back(RectText(rect));
    const Image* key = frame.key ? frame.key->image.get() : nullptr;
    std::ostringstream figures;
    ScreenSetup setup;
    try {
        // Worked out before anything is set: a setup that fails changes nothing.
        setup = PlanScreenRequest(*tool_, request, *frame.source.image, key, next.screen, figures, shown);
        ApplyScreenSetup(*tool_, setup);
    } catch (const CliError& e) {
        throw RequestError(400, shown + ": " + e.what());
    }
    samples_ = next;
    keySetup_.colourPicked = false;
    keySetup_.screen = true;
    ++revision_;
    Recorded();
    const int space = keying::RoundMode(tool_->FindInput("Colorspace")->Value());
    json notes = setup.notes;
    if (request.chooseSpace) {
        notes.push_back("Colorspace " + ColourSpaceName(space) +
                        " chosen for these samples; set Colorspace to keep a space of your own");
    }
    return {{"rect", RectsText(next.screen)},
            {"summary", DescribeScreenSetup(setup, space)},
            {"notes", std::move(notes)},
            {"space", ColourSpaceName(space)}};
}

void TuneSession::SetUpFromCommandLine() {
    if (options_.screens.empty()) {
        if (!options_.subjects.empty()) {
            throw CliError("--subject needs --screen: the subject is told from the screen's samples", 2);
        }
        return;
    }
    Frame& first = *frame_;
    const Image& plate = *first.source.image;
    SampleRegions next = samples_;
    next.screen = ResolveScreenRects(options_.screens, plate, std::cerr);
    for (const std::string& text : options_.subjects) next.subject.push_back(ParseScreenRect("--subject", text));
    const std::string shown = ScreenOptionText(options_.screens);
    for (const ScreenRect& rect : next.screen) CheckRectInside(plate, rect);
    for (const ScreenRect& rect : next.subject) CheckRectInside(plate, rect);
    if (next.screen.size() > kMaxSampleRegions || next.subject.size() > kMaxSampleRegions) {
        throw CliError(shown + ": at most " + std::to_string(kMaxSampleRegions) + " rectangles of each kind", 2);
    }
    try {
        const json found = SetUpFromSamples(next, first, shown);
        std::cerr << "veskar: " << shown << ": " << found["summary"].get<std::string>() << "\n";
        for (const json& note : found["notes"]) {
            std::cerr << "veskar: " << shown << ": " << note.get<std::string>() << "\n";
        }
    } catch (const RequestError& e) {
        throw CliError(e.what(), 2);
    }
}

json TuneSession::SamplesState() const {
    return {{"screen", RectsJson(samples_.screen)},
            {"subject", RectsJson(samples_.subject)},
            {"spaceKept", samples_.spaceKept},
            {"garbage", ShapesJson(finishing_.garbage)},
            {"holdout", ShapesJson(finishing_.holdout)}};
}

KeySetupKind TuneSession::ShownSetup() const {
    KeySetupKind setup = keySetup_;
    setup.page = true;
    setup.keyImage = frame_->key.has_value();
    setup.inverted = MatteInverted(*tool_);
    return setup;
}

std::string TuneSession::SetupWarning() {
    if (samples_.screen.empty()) return "";
    const Frame& frame = *frame_;
    if (!regionCache_ || regionCache_->frame != frame.number || !SameRects(regionCache_->screen, samples_.screen) ||
        !SameRects(regionCache_->subject, samples_.subject)) {
        regionCache_.reset();
        try {
            const Image* key = frame.key ? frame.key->image.get() : nullptr;
            regionCache_ = RegionCache{frame.number, samples_.screen, samples_.subject,
                                       FindFrameRegions(*frame.source.image, key, samples_.screen, samples_.subject)};
        } catch (const CliError&) {
            return "";  // regions drawn on a frame of another size say nothing of this one
        }
    }
    const FrameRegions& regions = regionCache_->regions;
    if (regions.core.Size() == 0 || regions.screen.Size() == 0) return "";
    SearchOptions options;
    options.displayEncoded = DisplayEncoded(frame.source.colourSpace);
    options.softEdges = true;  // kept: at least half opaque
    const SetupScore score = ScoreSetup(tool_->Tool(), ScreenSetup{}, regions, options);
    if (!score.usable || score.coreKept >= kCoreKeptWarning) return "";
    char text[320];
    std::snprintf(text, sizeof text,
                  "the key deletes most of what is not screen: only %.0f%% of the subject's core stays at least half "
                  "opaque (screen clear %.0f%%); try another Colorspace, or mark the subject with a Ctrl-drag",
                  score.coreKept * 100.0, score.screenClear * 100.0);
    return text;
}

void TuneSession::EditShapes(const json& body) {
    if (!body.is_object() || body.size() != 1) {
        throw RequestError(400, "expected {\"add\": {\"kind\", \"points\"}} or {\"remove\": {\"kind\", \"index\"}}");
    }
    finish::FinishPlan next = finishing_;
    if (body.contains("add") && body["add"].is_object()) {
        const json& add = body["add"];
        const std::string kind = KindOf(add, "garbage", "holdout");
        std::vector<finish::ShapeChoice>& list = kind == "garbage" ? next.garbage : next.holdout;
        if (list.size() >= kMaxShapes) {
            throw RequestError(400, "at most " + std::to_string(kMaxShapes) + " " + kind +
                                        " shapes; remove some first");
        }
        if (!add.contains("points")) throw RequestError(400, "'points' is missing");
        try {
            list.push_back(finish::ParseShape("page " + kind, PolygonText(add["points"]), "", 1));
        } catch (const CliError& e) {
            throw RequestError(400, e.what());
        }
    } else if (body.contains("remove") && body["remove"].is_object()) {
        const std::string kind = KindOf(body["remove"], "garbage", "holdout");
        std::vector<finish::ShapeChoice>& list = kind == "garbage" ? next.garbage : next.holdout;
        list.erase(list.begin() + static_cast<std::ptrdiff_t>(IndexOf(body["remove"], list.size(), kind + " shape")));
    } else {
        throw RequestError(400, "expected {\"add\": {\"kind\", \"points\"}} or {\"remove\": {\"kind\", \"index\"}}");
    }
    // The options run the finishing; the choices beside them are what Save writes.
    next.options.garbage.clear();
    next.options.holdout.clear();
    for (const finish::ShapeChoice& choice : next.garbage) next.options.garbage.push_back(choice.shape);
    for (const finish::ShapeChoice& choice : next.holdout) next.options.holdout.push_back(choice.shape);
    const Image& plate = *frame_->source.image;
    finish::ShapeMattes shapes;
    if (!next.garbage.empty() || !next.holdout.empty()) {
        try {
            shapes = finish::MakeShapeMattes(next, plate.Width(), plate.Height());
        } catch (const CliError& e) {
            throw RequestError(400, e.what());
        }
    }
    finishing_ = std::move(next);
    shapes_ = std::move(shapes);
    proxyShapes_ = {};
    ++revision_;
    Recorded();
}

json TuneSession::Probe(int frame, int x, int y) {
    const int number = CheckFrame(json(frame));
    Frame& shown = LoadFrame(number);
    const Image& plate = *shown.source.image;
    if (x < 0 || y < 0 || x >= plate.Width() || y >= plate.Height()) {
        throw RequestError(400, std::to_string(x) + "," + std::to_string(y) + " is outside the " +
                                    std::to_string(plate.Width()) + " x " + std::to_string(plate.Height()) + " plate");
    }
    const keying::Colour colour = PixelColour(plate, x, y);
    const int space = keying::RoundMode(tool_->FindInput("Colorspace")->Value());
    const keying::Colour working = keying::ToWorkingSpace(space, colour);
    // The key image's pixel that the render pairs with this one.
    std::optional<keying::Colour> key;
    if (shown.key) {
        const Image& keyImage = *shown.key->image;
        const std::int32_t kx = keying::KeySampleCoordinate(x, static_cast<double>(keyImage.Width()) / plate.Width());
        const std::int32_t ky = keying::KeySampleCoordinate(y, static_cast<double>(keyImage.Height()) / plate.Height());
        if (keying::KeySampleInside(kx, ky, keyImage.Width(), keyImage.Height())) key = PixelColour(keyImage, kx, ky);
    }
    const double matte = MatteProbe(tool_->Tool(), {}).Matte(colour, key ? &*key : nullptr);
    const float* output = Keyed(false, ShownSetup()).Plane1Pixel(x, y);
    return {{"x", x},
            {"y", y},
            {"source", {colour.r, colour.g, colour.b, colour.a}},
            {"space", ColourSpaceName(space)},
            {"channels", {ChannelLabel(space, 0), ChannelLabel(space, 1), ChannelLabel(space, 2)}},
            {"working", {working.r, working.g, working.b}},
            {"matte", matte},
            {"output", {output[2], output[1], output[0], output[3]}}};
}

}  // namespace veskar::tune
