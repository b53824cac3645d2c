#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "host/export.h"
#include "host/fuid.h"
#include "host/image.h"
#include "host/parameter.h"
#include "host/registry.h"
#include "host/tag_list.h"

class Operator;
class Request;
namespace host {
class ToolInstance;
}

/// Data types of inputs and outputs (values of kLinkDataType).
HOST_API extern const FuID CLSID_DataType_Number;
HOST_API extern const FuID CLSID_DataType_Text;
HOST_API extern const FuID CLSID_DataType_Image;
/// Control classes shown for inputs (values of kInpControl).
HOST_API extern const FuID CLSID_InputControl_Slider;
HOST_API extern const FuID CLSID_InputControl_Combo;
HOST_API extern const FuID CLSID_InputControl_Checkbox;
HOST_API extern const FuID CLSID_InputControl_Color;
HOST_API extern const FuID CLSID_InputControl_MultiButton;
HOST_API extern const FuID CLSID_InputControl_Label;

/// Flags of Input::SetValue.
inline constexpr std::uint32_t kSetQuiet = 1;  ///< store without notifying the tool

/// One input of a tool: a control (number or text) or an image link. Owned by
/// its tool's base part; handles stay valid for the tool's life. Values are set
/// from one thread at a time; requests may be made meanwhile on another.
class HOST_API Input {
public:
    Input(const Input&) = delete;
    Input& operator=(const Input&) = delete;
    ~Input();

    const FuID& ID() const noexcept { return id_; }
    const FuID& Caption() const noexcept { return caption_; }
    /// The attribute list as added (a kept copy), with later attribute changes.
    const TagList& Attrs() const noexcept { return attrs_; }
    Operator* Owner() const noexcept { return owner_; }
    /// Position in the tool's creation order of inputs, from 0.
    int Index() const noexcept { return index_; }
    int Page() const noexcept { return page_; }

    bool IsImage() const noexcept { return isImage_; }
    bool Notifies() const noexcept { return notifies_; }
    bool IsVisible() const noexcept { return visible_; }
    /// The current value of a number or text input (its default until set).
    double Value() const noexcept { return value_.load(std::memory_order_relaxed); }
    double Default() const noexcept { return default_; }
    /// The image connected to an image input, or null.
    Image* ConnectedImage() const noexcept { return image_.get(); }

    /// Sets the input's value at `time`. `value` must be a Number. Setting the
    /// value it already holds (the same bits) does nothing. Otherwise the
    /// value is stored and, when the input carries the notify attribute, the
    /// tool's NotifyChanged is delivered before the call returns, unless
    /// `flags` holds kSetQuiet. A set made while a notification of the same
    /// tool is being delivered is stored without a further notification, so
    /// every change runs the tool's reactions once. No clamping: any number
    /// is taken. `reserved` must be 0.
    void SetValue(Parameter* value, double time, std::uint32_t flags, std::uint32_t reserved);

    /// Changes attributes of the input; the visibility attribute (kInpVisible)
    /// shows or hides the control.
    void SetAttrsTagList(const TagList& tags);

    /// Whether the input's data can be used for a request: for an image input,
    /// an image of non-zero size is connected; other inputs always can.
    bool IsUsable() const noexcept;

    /// Host side: connects an image (null disconnects). Not while a request of
    /// the tool is being processed.
    void ConnectImage(std::shared_ptr<Image> image);

private:
    friend class Operator;
    friend class Request;
    Input(Operator* owner, int index, int page, const FuID& caption, const FuID& id,
          const TagList& attrs);

    Operator* owner_;
    int index_;
    int page_;
    FuID caption_;
    FuID id_;
    TagList attrs_;
    bool isImage_;
    bool notifies_;
    bool visible_ = true;
    // Atomic: a host may make a request on one thread while another sets
    // controls; the request takes whichever value is current.
    std::atomic<double> value_{0.0};
    double default_ = 0.0;
    std::shared_ptr<Image> image_;
};

/// One output of a tool.
class HOST_API Output {
public:
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;
    ~Output();

    const FuID& ID() const noexcept { return id_; }
    const FuID& Caption() const noexcept { return caption_; }
    const TagList& Attrs() const noexcept { return attrs_; }
    int Index() const noexcept { return index_; }

private:
    friend class Operator;
    Output(int index, const FuID& caption, const FuID& id, const TagList& attrs);

    int index_;
    FuID caption_;
    FuID id_;
    TagList attrs_;
};

/// A render request for one frame of one tool. It carries the inputs' values
/// as they were when it was made (controls are not animated) and collects the
/// outputs' data.
class HOST_API Request {
public:
    /// A request of `tool` for `time`: takes every input's current value (a
    /// Number) or connected image.
    Request(Operator* tool, double time);
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;
    ~Request();

    double Time() const noexcept { return time_; }
    Operator* Tool() const noexcept { return tool_; }

    /// The request's value of `input` (a Number for controls, an Image or
    /// null for image inputs), owned by the request. `slot` must be 0.
    /// Throws std::invalid_argument for an input of another tool.
    Parameter* GetInputData(Input* input, int slot) const;
    /// Replaces the request's value of `input`; null removes it.
    void SetInputData(Input* input, Parameter* value, int slot);
    /// Hands `value` (or nothing) to the request as the data of `output`. A
    /// new image from NewImageTagList is taken over by the request.
    void SetOutputData(Output* output, Parameter* value);

    /// Host side: the data handed to `output`, or null.
    std::shared_ptr<Parameter> OutputData(const Output* output) const;
    bool OutputWasSet(const Output* output) const;

    /// Set by the host's request check when a required input has no data; the
    /// host then does not process the request.
    void SetSkipped(bool skipped) noexcept { skipped_ = skipped; }
    bool Skipped() const noexcept { return skipped_; }

private:
    static std::shared_ptr<Parameter> Share(Parameter* value);
    std::size_t InputSlot(const Input* input) const;

    Operator* tool_;
    double time_;
    bool skipped_ = false;
    std::vector<std::shared_ptr<Parameter>> inputData_;
    std::vector<std::shared_ptr<Parameter>> outputData_;
    std::vector<bool> outputSet_;
};

/// The base of every tool. A tool derives from it (through ThreadedOperator),
/// adds its controls in its constructor and overrides the virtuals below.
class HOST_API Operator {
public:
    static const FuID ClassID;

    Operator(const Registry* registry, const ScriptVal& table, const TagList& tags);
    Operator(const Operator&) = delete;
    Operator& operator=(const Operator&) = delete;
    virtual ~Operator();

    /// Size in bytes of the object, as its factory allocated it.
    virtual std::size_t ObjectSize();
    /// Checks a request before it is processed: a required image input (one
    /// without kInpRequired = 0) with no image marks the request skipped.
    virtual void CheckRequest(Request* request);
    /// Renders a request. The host's own implementation hands the main image
    /// input's data to every output.
    virtual void Process(Request* request);
    /// Delivered when an input with the notify attribute changes: the input,
    /// its new value (null when the notification carries none), the time and
    /// further arguments. The host's own implementation tells the host's
    /// change observer, if one is set.
    virtual void NotifyChanged(Input* input, Parameter* value, double time, TagList* tags);

    /// Class hooks for registration records: RegInit lists a class only when
    /// its record names a factory, a name and a parent class.
    static bool RegInit(Registry* registry);
    static void RegCleanup(Registry* registry);

    /// Adds a page of controls; returns its number. Later inputs go on it.
    int AddControlPageTagList(const FuID& name, const TagList& tags);
    /// Adds an input; returns its handle, valid for the tool's life. Throws
    /// std::invalid_argument for an id already used by this tool.
    Input* AddInputTagList(const FuID& caption, const FuID& id, const TagList& tags);
    /// Adds an output; returns its handle.
    Output* AddOutputTagList(const FuID& caption, const FuID& id, const TagList& tags);

    // Host side.
    const Registry* GetRegistry() const noexcept { return registry_; }
    const std::vector<std::unique_ptr<Input>>& Inputs() const noexcept { return inputs_; }
    const std::vector<std::unique_ptr<Output>>& Outputs() const noexcept { return outputs_; }
    const std::vector<std::string>& Pages() const noexcept { return pages_; }
    Input* FindInput(std::string_view id) const noexcept;
    Output* FindOutput(std::string_view id) const noexcept;

    /// Called by the host's own NotifyChanged with the four arguments.
    using ChangeObserver = std::function<void(Input*, Parameter*, double, TagList*)>;
    void SetChangeObserver(ChangeObserver observer) { observer_ = std::move(observer); }

    /// Called on every set of an input's value (input, value, time), before the
    /// host decides what the set does; for hosts that trace a tool.
    using SetObserver = std::function<void(Input*, double, double)>;
    void SetSetObserver(SetObserver observer) { setObserver_ = std::move(observer); }

private:
    friend class Input;
    friend class host::ToolInstance;

    const Registry* registry_;
    std::vector<std::string> pages_;
    std::vector<std::unique_ptr<Input>> inputs_;
    std::vector<std::unique_ptr<Output>> outputs_;
    ChangeObserver observer_;
    SetObserver setObserver_;
    // Depth of notifications being delivered, and whether the host is
    // loading settings (sets made by reactions are then dropped).
    int notifyDepth_ = 0;
    bool loading_ = false;
};

/// A tool whose frames are rendered in chunks on the host's worker threads.
class HOST_API ThreadedOperator : public Operator {
public:
    static const FuID ClassID;

    ThreadedOperator(const Registry* registry, const ScriptVal& table, const TagList& tags);
    ~ThreadedOperator() override;

    std::size_t ObjectSize() override;
    /// Renders chunk `chunk` of `request`; called by DoMultiProcess on worker
    /// threads, several chunks at once.
    virtual void RenderChunk(Request* request, int chunk) = 0;

    /// Runs RenderChunk for chunks 0 to count - 1 on the host's worker pool and
    /// returns when all have finished. An exception from a chunk reaches the
    /// caller after the running chunks end.
    void DoMultiProcess(Request* request, int count);
};
