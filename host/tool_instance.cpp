#include "host/tool_instance.h"

#include <algorithm>
#include <stdexcept>

#include "host/internal_delivery.h"

namespace host {


ToolInstance::ToolInstance(const Registry& registry, bool notifyDefaults) {
    ObjectFactory factory = registry.Factory();
    if (factory == nullptr) {
        throw std::runtime_error(std::string(registry.ID().Text()) + ": the class has no factory");
    }
    ScriptVal table;
    TagList none;
    tool_.reset(factory(&registry, table, none));
    if (!tool_) {
        throw std::runtime_error(std::string(registry.ID().Text()) + ": the factory made no tool");
    }
    if (!notifyDefaults) {
        return;
    }
    // The tool learns its starting values as a freshly added tool does.
    for (const auto& input : tool_->Inputs()) {
        if (!input->Notifies()) {
            continue;
        }
        if (input->IsImage()) {
            Notify(*input, nullptr, 0.0);
        } else {
            Number value(input->Default());
            Notify(*input, &value, 0.0);
        }
    }
}

void ToolInstance::Notify(Input& input, Parameter* value, double time) {
    host::internal::DeliveryScope scope(tool_->notifyDepth_);
    TagList args;
    tool_->NotifyChanged(&input, value, time, &args);
}

ToolInstance::~ToolInstance() = default;

Input* ToolInstance::FindInput(std::string_view id) const noexcept { return tool_->FindInput(id); }

void ToolInstance::SetNumber(Input& input, double value, double time) {
    AutoNumber number(value);
    input.SetValue(number, time, 0, 0);
}

void ToolInstance::LoadValues(const std::vector<std::pair<Input*, double>>& values, double time) {
    std::vector<std::pair<Input*, double>> ordered(values);
    std::stable_sort(ordered.begin(), ordered.end(),
                     [](const auto& a, const auto& b) { return a.first->Index() < b.first->Index(); });
    tool_->loading_ = true;
    try {
        for (const auto& [input, value] : ordered) {
            SetNumber(*input, value, time);
        }
    } catch (...) {
        tool_->loading_ = false;
        throw;
    }
    tool_->loading_ = false;
}

void ToolInstance::Connect(Input& input, std::shared_ptr<Image> image) {
    input.ConnectImage(std::move(image));
}

std::shared_ptr<Image> ToolInstance::Render(double time) {
    Request request(tool_.get(), time);
    tool_->CheckRequest(&request);
    if (request.Skipped()) {
        return nullptr;
    }
    tool_->Process(&request);
    if (tool_->Outputs().empty()) {
        return nullptr;
    }
    return std::dynamic_pointer_cast<Image>(request.OutputData(tool_->Outputs().front().get()));
}

}  // namespace host
