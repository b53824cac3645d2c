#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host/export.h"
#include "host/image.h"
#include "host/operator.h"
#include "host/registry.h"

namespace host {

/// The host side of one tool object: creates it through its class's factory,
/// delivers the creation notifications, sets values through the set/notify
/// path and renders frames. Owns the tool and destroys it through its virtual
/// destructor; the plug-in that made the class must stay loaded until then.
class HOST_API ToolInstance {
public:
    /// Creates a tool of the registered class `registry`. After the
    /// constructor, every input that carries the notify attribute is notified
    /// in creation order with its default value at time 0 (image inputs
    /// without a value), as a freshly added tool is. Throws
    /// std::runtime_error when the class has no factory or the factory fails.
    /// With `notifyDefaults` false the tool starts without them, as a tool
    /// whose defaults were never reported.
    explicit ToolInstance(const Registry& registry, bool notifyDefaults = true);
    ToolInstance(const ToolInstance&) = delete;
    ToolInstance& operator=(const ToolInstance&) = delete;
    ~ToolInstance();

    Operator& Tool() noexcept { return *tool_; }
    const Operator& Tool() const noexcept { return *tool_; }

    /// The input with this id, or null.
    Input* FindInput(std::string_view id) const noexcept;

    /// Delivers a notification of `input` as the host does (sets made by the
    /// tool's reactions meanwhile are stored without notifications); `value`
    /// may be null for a notification without a value.
    void Notify(Input& input, Parameter* value, double time = 0.0);

    /// Sets a number input through the set/notify path, at `time`.
    void SetNumber(Input& input, double value, double time = 0.0);

    /// Applies saved values: each is set in the tool's input creation order
    /// (not the order given) through the set/notify path; values that the
    /// tool's reactions set meanwhile are dropped, so every listed input ends
    /// exactly as given.
    void LoadValues(const std::vector<std::pair<Input*, double>>& values, double time = 0.0);

    /// Connects an image to an image input (null disconnects).
    void Connect(Input& input, std::shared_ptr<Image> image);

    /// Renders the frame at `time`: makes a request, runs the tool's request
    /// check and, unless it skipped the request, its Process. Returns the
    /// data handed to the tool's first output as an image, or null.
    std::shared_ptr<Image> Render(double time = 0.0);

private:
    std::unique_ptr<Operator> tool_;
};

}  // namespace host
