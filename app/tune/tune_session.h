#pragma once

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/finish/finish_options.h"
#include "app/frames.h"
#include "app/files/image_file.h"
#include "app/setup/frame_regions.h"
#include "app/setup/key_check.h"
#include "app/setup/screen_setup.h"
#include "app/tool_session.h"
#include "app/tune/edit_history.h"
#include "app/tune/view_image.h"
#include "host/tool_instance.h"

namespace veskar {
class MovieReader;
struct MovieInfo;
}  // namespace veskar

namespace veskar::tune {

/// What `veskar tune` was started with.
struct TuneOptions {
    std::string plate;
    std::string keyImage;
    std::string settingsFile;
    std::string frames;      ///< "--frames" text; "" for a single image
    std::string save;        ///< where Save writes; "" for the settings file
    std::string listen = "127.0.0.1";
    bool allowRemote = false;  ///< serve an address other machines reach (--allow-remote)
    int port = 0;            ///< 0: any free port
    std::string pluginFolder;
    std::string background;  ///< --background: an image the result is first laid over
    finish::FinishCommandLine finishing;  ///< finishing to start from, over the settings file's
    std::vector<std::string> screens;     ///< --screen texts ("X,Y,W,H" or "auto"): the first samples
    std::vector<std::string> subjects;    ///< --subject texts ("X,Y,W,H")
};

/// Most sample regions of each kind, shapes of each kind, and points of a
/// shape the page may ask for: a drawing holds a few; the bounds keep one
/// request's work small.
inline constexpr std::size_t kMaxSampleRegions = 64;
inline constexpr std::size_t kMaxShapes = 32;
inline constexpr std::size_t kMaxShapePoints = 256;

/// A request the session refuses; `status` is the HTTP status to answer
/// (4xx: nothing was changed).
class RequestError : public std::runtime_error {
public:
    RequestError(int status, const std::string& message) : std::runtime_error(message), status_(status) {}
    int Status() const noexcept { return status_; }

private:
    int status_;
};

/// `text` as it is named in a message: at most 24 characters, the rest as "...".
std::string Shortened(const std::string& text);

/// A frame number as a query string gives it: optional '-' and decimal
/// digits, within the int range; otherwise RequestError 400 naming the text.
int ParseFrameText(const std::string& text);

/// ParseFrameText for the query value `name` (messages name it).
int ParseWholeText(const std::string& name, const std::string& text);

/// A member of a request body that must be a whole number (within a
/// billion either way), or RequestError 400 naming it.
int WholeNumber(const nlohmann::json& body, const char* name);

/// The rectangle `{"x", "y", "width", "height"}` of `body`, checked: at least
/// 2 x 2 pixels and inside `plate`; otherwise RequestError 400 led by the
/// words "screen rectangle X,Y,W,H" (`what` names the region's kind).
ScreenRect RequestRect(const nlohmann::json& body, const Image& plate, const std::string& what = "screen");

/// Largest size of the proxy shown while a slider moves, shrunk by a whole
/// factor: a 1920 x 1080 plate is keyed at 640 x 360, a ninth of the pixels,
/// so that a change answers within a tenth of a second on two cores.
inline constexpr int kProxyMaxWidth = 800;
inline constexpr int kProxyMaxHeight = 450;

/// One keyer loaded through the plug-in with the plates of the command line:
/// its controls for the page, changes through the host's set path, renders
/// of the shown frame at full or proxy size, the key colour picked from the
/// plate, and the settings saved. Not thread-safe: the server runs one call
/// at a time, as the host renders one request of a tool at a time.
class TuneSession {
public:
    /// Loads the plug-ins, makes the keyer, applies the settings file and
    /// reads the first frame. Throws CliError naming what is wrong.
    explicit TuneSession(const TuneOptions& options);
    ~TuneSession();

    /// The page's state: every control of the keyer's table with its caption,
    /// kind, limits, entries, value and visibility; the frames (`{"count",
    /// "first", "last", "runs": [[first, last], ...]}`, runs of consecutive
    /// frames in the order given); the plate's size; whether Save can write.
    nlohmann::json State() const;

    /// Applies `{"set": [{"id": ID, "value": NUMBER}, ...]}` in the order
    /// given, through the host's set path (so the tool's reactions run).
    /// Ids "finish.NAME" are the finishing values State lists under
    /// "finishing" (a checkbox takes 0 or 1; setting shrink or grow above 0
    /// sets the other to 0, as they are one setting; clip white must stay
    /// above clip black). With `"merge": true` the change continues the one
    /// before (a slider still moving): undo takes them back as one step.
    /// Everything is checked before anything is set: unknown controls, labels
    /// and image inputs, values that are not finite numbers, values outside
    /// the control's limits, combo values that are no entry, checkbox values
    /// other than 0 and 1 throw RequestError 400 and change nothing.
    void ApplyValues(const nlohmann::json& body);

    /// `{"frame": F, "x": X, "y": Y}`: sets the key colour to the mean of the
    /// 5 x 5 square around (X, Y) of frame F, as `--pick X,Y` does.
    void Pick(const nlohmann::json& body);

    /// `{"frame": F, "x": X, "y": Y, "width": W, "height": H}`: sets the key
    /// up from that rectangle of screen of frame F (against the key image when
    /// there is one), in the current colour space, as `--screen X,Y,W,H`
    /// does, through the host's set path. Returns what the setup found:
    /// `{"rect": "X,Y,W,H", "summary": ..., "notes": [...]}`. A rectangle
    /// that is not whole numbers, smaller than 2 x 2 pixels or not inside the
    /// frame, or that the setup cannot use, throws RequestError 400 and
    /// changes nothing.
    nlohmann::json Screen(const nlohmann::json& body);

    /// Changes the sample regions and sets the key up again from all of them
    /// on frame F, as `--screen A --screen B --subject C` does:
    /// `{"frame": F, "add": {"kind": "screen"|"subject", "x", "y", "width",
    /// "height"}}`, `{"frame": F, "subtract": {"x", "y", "width", "height"}}`
    /// (the rectangle is cut out of every region it overlaps) or `{"frame": F,
    /// "remove": {"kind": K, "index": I}}`. Returns what the setup found, as
    /// Screen does ("summary" alone when no screen region is left: the key
    /// keeps its values). A bad request, more than kMaxSampleRegions regions
    /// of a kind or a setup that cannot be made throws RequestError 400 and
    /// changes nothing.
    nlohmann::json Samples(const nlohmann::json& body);

    /// Adds or removes a garbage or holdout polygon of the finishing, as
    /// `--garbage x1,y1,...` gives it: `{"add": {"kind": "garbage"|"holdout",
    /// "points": [x1, y1, x2, y2, ...]}}` (3 to kMaxShapePoints points, finite
    /// numbers) or `{"remove": {"kind": K, "index": I}}`. Save writes them with
    /// the finishing. A bad request throws RequestError 400 and changes nothing.
    void EditShapes(const nlohmann::json& body);

    /// What the keyer makes of plate pixel (x, y) of `frame`: `{"x", "y",
    /// "source": [R, G, B, A], "working": [p1, p2, p3], "space": NAME,
    /// "channels": [names of p1..p3], "matte": M, "output": [R, G, B, A]}`, the output from the full-size render with the
    /// current values and finishing. A pixel outside the plate throws
    /// RequestError 400.
    nlohmann::json Probe(int frame, int x, int y);

    /// Per working-space channel, histograms of `frame` and of the screen
    /// samples over one range, each of 128 bins splitting low to high evenly
    /// (against a key image, of each value less the key image's pixel plus
    /// Value, as the window is held against them), with the channel's key
    /// window, which runs from Value + Min to Value + Max: `{"space": NAME,
    /// "againstKeyImage": B, "channels": [{"name", "low", "high", "frame":
    /// [counts], "screen": [counts], "value", "min", "max": {"id", "value",
    /// "lower", "upper"}, "centre"}, ...]}` ("centre": where the channel's
    /// distance is 0, at Value + Min + (Max - Min)^2 / 2).
    nlohmann::json Histogram(int frame);

    /// A view of `frame` as PNG, rendered with the current values; the proxy
    /// at reduced size. A frame of the list whose file cannot be read throws
    /// CliError naming the file, and the session keeps the frame it had
    /// (as Pick and Screen do).
    std::string ViewPng(int frame, View view, bool proxy);

    /// For the render the last keyed view showed: a warning when its matte
    /// keys nothing or everything, naming the likely cause as `veskar render`
    /// does, in the page's words; "" when the key looks usable.
    const std::string& Warning() const noexcept { return warning_; }

    /// Whether the page shows the plates through the colour configuration
    /// (the first frame is read to tell).
    bool ConvertsForDisplay();

    /// Writes the settings text to the save path (staged and renamed) and
    /// returns `{"path": ..., "command": "veskar render ..."}`.
    nlohmann::json Save();

    /// Undo and redo of the page's changes (values, picks, screen setups,
    /// finishing): the state before (after) the shown one is restored through
    /// the host's set path, exactly as it was. False when there is nothing
    /// to undo (redo). A change after an undo drops the steps undone.
    bool Undo();
    bool Redo();

    /// `{"name": TEXT}`: keeps the current state under that name (1 to 80
    /// characters; at most 100 snapshots) and returns its index.
    int TakeSnapshot(const nlohmann::json& body);
    /// `{"index": I}`: makes snapshot I the current state, as a change that
    /// undo takes back.
    void RestoreSnapshot(const nlohmann::json& body);
    /// `{"index": I}`: forgets snapshot I.
    void DeleteSnapshot(const nlohmann::json& body);
    /// A view of `frame` rendered with snapshot `index`'s state; the current
    /// state, its revision and its renders are kept as they were.
    std::string SnapshotPng(int index, int frame, View view, bool proxy);

    const TuneOptions& Options() const noexcept { return options_; }

    /// The frames the page may show, in order.
    const std::vector<int>& Frames() const noexcept { return frames_; }
    /// Counts every change of a value; views and saves name the revision they show.
    unsigned long Revision() const noexcept { return revision_; }

    /// The `veskar render` command line that writes the current view with the
    /// settings saved at `savePath`.
    std::string RenderCommand(const std::string& savePath) const;

private:
    struct Frame {
        int number = 0;
        FileImage source;
        std::optional<FileImage> key;
        std::shared_ptr<Image> proxySource;
        std::shared_ptr<Image> proxyKey;
        int factor = 1;  // the proxy's shrink factor
    };
    struct Render {
        unsigned long revision = 0;  // 0: none yet
        int frame = 0;
        std::shared_ptr<Image> image;
        // The one-sided key warning for `image`, counted once per render and
        // way of setting up (a view served from the cache counts nothing).
        std::optional<KeySetupKind> warnedFor;
        std::string warning;
    };

    Frame& LoadFrame(int frame);
    int CheckFrame(const nlohmann::json& value) const;
    const Image& Keyed(bool proxy, const KeySetupKind& setup);
    void Finish(bool proxy, Image& keyed);
    const finish::ShapeMattes* Shapes(bool proxy, int width, int height);
    nlohmann::json FinishingState() const;
    static void SetFinishing(finish::FinishOptions& options, const std::string& id, double value);
    const std::string& KeyWarning(bool proxy, const KeySetupKind& setup);
    SessionState Capture() const;
    nlohmann::json SnapshotNames() const;
    void Restore(const SessionState& state);
    void Recorded(bool merge = false);
    const Snapshot& SnapshotAt(const nlohmann::json& index) const;
    void SetUpFromCommandLine();
    nlohmann::json SetUpFromSamples(const SampleRegions& next, Frame& frame, const std::string& shown);
    nlohmann::json SamplesState() const;
    std::string SetupWarning();
    KeySetupKind ShownSetup() const;

    TuneOptions options_;
    PluginSession plugins_;
    std::unique_ptr<host::ToolInstance> tool_;
    std::string className_;
    std::string toolName_ = "Veskar1";
    FramePattern platePattern_;
    FramePattern keyPattern_;
    std::vector<int> frames_;
    std::shared_ptr<const MovieInfo> movie_;     // the plate, when it is a movie
    std::unique_ptr<MovieReader> movieReader_;  // its frames, decoded as they are asked for
    std::string savePath_;
    std::string noSaveReason_;  // why Save is off, when it is
    std::optional<Frame> frame_;
    std::optional<FileImage> stillKey_;  // a key image without a frame pattern serves every frame
    Render full_;
    Render proxy_;
    unsigned long revision_ = 1;
    int lastShownFrame_ = 0;
    EditState edit_;  // what undo and snapshots keep beside the tool's values
    // The members of edit_ under the names the code has always used.
    KeySetupKind& keySetup_ = edit_.keySetup;
    finish::FinishPlan& finishing_ = edit_.finishing;
    SampleRegions& samples_ = edit_.samples;  // the page's sample regions
    bool softEdges_ = false;             // --clean-edges: a screen drag sets up for soft edges
    finish::ShapeMattes shapes_;         // its garbage and holdout at the plate's size
    finish::ShapeMattes proxyShapes_;    // and at the proxy's
    std::string warning_;
    EditHistory history_;
    std::vector<Snapshot> snapshots_;
    // The frame's screen and subject found from the sample regions, for the
    // warning about a setup that deletes the subject; made again when the
    // frame or the regions change.
    struct RegionCache {
        int frame = 0;
        std::vector<ScreenRect> screen;
        std::vector<ScreenRect> subject;
        FrameRegions regions;
    };
    std::optional<RegionCache> regionCache_;
};

}  // namespace veskar::tune
