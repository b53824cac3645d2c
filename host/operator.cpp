#include "host/operator.h"

#include <bit>
#include <stdexcept>

#include "host/internal_delivery.h"
#include "host/internal_format.h"
#include "host/tags.h"
#include "host/worker_pool.h"

const FuID CLSID_DataType_Number("Number", false);
const FuID CLSID_DataType_Text("Text", false);
const FuID CLSID_DataType_Image("Image", false);
const FuID CLSID_InputControl_Slider("SliderControl", false);
const FuID CLSID_InputControl_Combo("ComboControl", false);
const FuID CLSID_InputControl_Checkbox("CheckboxControl", false);
const FuID CLSID_InputControl_Color("ColorControl", false);
const FuID CLSID_InputControl_MultiButton("MultiButtonControl", false);
const FuID CLSID_InputControl_Label("LabelControl", false);

const FuID Operator::ClassID("Operator", false);
const FuID ThreadedOperator::ClassID("ThreadedOperator", false);

using host::internal::DeliveryScope;

// ---------------------------------------------------------------- Input

Input::Input(Operator* owner, int index, int page, const FuID& caption, const FuID& id,
             const TagList& attrs)
    : owner_(owner), index_(index), page_(page), caption_(caption), id_(id), attrs_(attrs.Kept()) {
    isImage_ = attrs_.GetId(kLinkDataType, CLSID_DataType_Number) == CLSID_DataType_Image;
    notifies_ = attrs_.GetInt(kInpDoNotify, 0) == 1;
    visible_ = attrs_.GetInt(kInpVisible, 1) != 0;
    default_ = attrs_.GetDouble(kInpDefault, 0.0);
    value_.store(default_, std::memory_order_relaxed);
}

Input::~Input() = default;

void Input::SetValue(Parameter* value, double time, std::uint32_t flags, std::uint32_t reserved) {
    if (reserved != 0) {
        throw std::invalid_argument("input " + std::string(id_.Text()) +
                                    ": the last argument of a set must be 0");
    }
    const auto* number = dynamic_cast<const Number*>(value);
    if (number == nullptr || isImage_) {
        throw std::invalid_argument("input " + std::string(id_.Text()) + " takes a number");
    }
    const double v = number->Value();
    if (owner_->setObserver_) {
        owner_->setObserver_(this, v, time);
    }
    // Same bits, same value: NaN set over NaN does nothing, 0 over -0 changes.
    if (std::bit_cast<std::uint64_t>(v) == std::bit_cast<std::uint64_t>(Value())) {
        return;
    }
    if (owner_->notifyDepth_ > 0) {
        // A reaction's set: while settings load, the file has the last word.
        if (!owner_->loading_) {
            value_.store(v, std::memory_order_relaxed);
        }
        return;
    }
    value_.store(v, std::memory_order_relaxed);
    if (notifies_ && (flags & kSetQuiet) == 0) {
        DeliveryScope scope(owner_->notifyDepth_);
        Number delivered(v);
        TagList none;
        owner_->NotifyChanged(this, &delivered, time, &none);
    }
}

void Input::SetAttrsTagList(const TagList& tags) {
    attrs_.Merge(tags);
    visible_ = attrs_.GetInt(kInpVisible, 1) != 0;
}

bool Input::IsUsable() const noexcept {
    if (!isImage_) {
        return true;
    }
    return image_ && image_->Width() > 0 && image_->Height() > 0;
}

void Input::ConnectImage(std::shared_ptr<Image> image) {
    if (!isImage_) {
        throw std::invalid_argument("input " + std::string(id_.Text()) + " takes no image");
    }
    image_ = std::move(image);
}

// ---------------------------------------------------------------- Output

Output::Output(int index, const FuID& caption, const FuID& id, const TagList& attrs)
    : index_(index), caption_(caption), id_(id), attrs_(attrs.Kept()) {}

Output::~Output() = default;

// ---------------------------------------------------------------- Request

Request::Request(Operator* tool, double time) : tool_(tool), time_(time) {
    for (const auto& input : tool->Inputs()) {
        if (input->IsImage()) {
            inputData_.push_back(input->image_);
        } else {
            inputData_.push_back(std::make_shared<Number>(input->Value()));
        }
    }
    outputData_.resize(tool->Outputs().size());
    outputSet_.resize(tool->Outputs().size(), false);
}

Request::~Request() = default;

std::size_t Request::InputSlot(const Input* input) const {
    if (input == nullptr || input->Owner() != tool_ ||
        static_cast<std::size_t>(input->Index()) >= inputData_.size()) {
        throw std::invalid_argument("the request has no such input");
    }
    return static_cast<std::size_t>(input->Index());
}

Parameter* Request::GetInputData(Input* input, int slot) const {
    if (slot != 0) {
        throw std::invalid_argument("input data slot " + std::to_string(slot) + " does not exist");
    }
    return inputData_[InputSlot(input)].get();
}

std::shared_ptr<Parameter> Request::Share(Parameter* value) {
    if (value == nullptr) {
        return nullptr;
    }
    // A value the host already holds is shared; a new one (from
    // NewImageTagList) is taken over.
    if (auto held = value->weak_from_this().lock()) {
        return held;
    }
    return std::shared_ptr<Parameter>(value);
}

void Request::SetInputData(Input* input, Parameter* value, int slot) {
    if (slot != 0) {
        throw std::invalid_argument("input data slot " + std::to_string(slot) + " does not exist");
    }
    const std::size_t index = InputSlot(input);
    inputData_[index] = Share(value);
}

void Request::SetOutputData(Output* output, Parameter* value) {
    if (output == nullptr || static_cast<std::size_t>(output->Index()) >= outputData_.size() ||
        tool_->Outputs()[output->Index()].get() != output) {
        throw std::invalid_argument("the request has no such output");
    }
    outputData_[output->Index()] = Share(value);
    outputSet_[output->Index()] = true;
}

std::shared_ptr<Parameter> Request::OutputData(const Output* output) const {
    if (output == nullptr || static_cast<std::size_t>(output->Index()) >= outputData_.size()) {
        return nullptr;
    }
    return outputData_[output->Index()];
}

bool Request::OutputWasSet(const Output* output) const {
    return output != nullptr && static_cast<std::size_t>(output->Index()) < outputSet_.size() &&
           outputSet_[output->Index()];
}

// ---------------------------------------------------------------- Operator

Operator::Operator(const Registry* registry, const ScriptVal& /*table*/, const TagList& /*tags*/)
    : registry_(registry) {}

Operator::~Operator() = default;

std::size_t Operator::ObjectSize() { return sizeof(Operator); }

void Operator::CheckRequest(Request* request) {
    for (const auto& input : inputs_) {
        if (!input->IsImage() || input->Attrs().GetInt(kInpRequired, 1) == 0) {
            continue;
        }
        if (request->GetInputData(input.get(), 0) == nullptr) {
            request->SetSkipped(true);
        }
    }
}

void Operator::Process(Request* request) {
    Parameter* main = nullptr;
    for (const auto& input : inputs_) {
        if (input->IsImage() && input->Attrs().GetInt(kLinkMain, 0) == 1) {
            main = request->GetInputData(input.get(), 0);
            break;
        }
    }
    for (const auto& output : outputs_) {
        request->SetOutputData(output.get(), main);
    }
}

void Operator::NotifyChanged(Input* input, Parameter* value, double time, TagList* tags) {
    if (observer_) {
        observer_(input, value, time, tags);
    }
}

bool Operator::RegInit(Registry* registry) {
    return registry != nullptr && registry->Factory() != nullptr && registry->Name()[0] != '\0' &&
           registry->ParentClassID() != nullptr;
}

void Operator::RegCleanup(Registry* /*registry*/) {
    // Nothing is held per class: tools are destroyed by their owners before
    // their class goes away.
}

int Operator::AddControlPageTagList(const FuID& name, const TagList& /*tags*/) {
    pages_.emplace_back(name.Text());
    return static_cast<int>(pages_.size()) - 1;
}

Input* Operator::AddInputTagList(const FuID& caption, const FuID& id, const TagList& tags) {
    if (FindInput(id.View()) != nullptr) {
        throw std::invalid_argument("input id " + std::string(id.Text()) + " is already used");
    }
    const int page = pages_.empty() ? -1 : static_cast<int>(pages_.size()) - 1;
    inputs_.push_back(std::unique_ptr<Input>(
        new Input(this, static_cast<int>(inputs_.size()), page, caption, id, tags)));
    return inputs_.back().get();
}

Output* Operator::AddOutputTagList(const FuID& caption, const FuID& id, const TagList& tags) {
    if (FindOutput(id.View()) != nullptr) {
        throw std::invalid_argument("output id " + std::string(id.Text()) + " is already used");
    }
    outputs_.push_back(
        std::unique_ptr<Output>(new Output(static_cast<int>(outputs_.size()), caption, id, tags)));
    return outputs_.back().get();
}

Input* Operator::FindInput(std::string_view id) const noexcept {
    for (const auto& input : inputs_) {
        if (input->ID().View() == id) {
            return input.get();
        }
    }
    return nullptr;
}

Output* Operator::FindOutput(std::string_view id) const noexcept {
    for (const auto& output : outputs_) {
        if (output->ID().View() == id) {
            return output.get();
        }
    }
    return nullptr;
}

// ---------------------------------------------------------------- ThreadedOperator

ThreadedOperator::ThreadedOperator(const Registry* registry, const ScriptVal& table,
                                   const TagList& tags)
    : Operator(registry, table, tags) {}

ThreadedOperator::~ThreadedOperator() = default;

std::size_t ThreadedOperator::ObjectSize() { return sizeof(ThreadedOperator); }

void ThreadedOperator::DoMultiProcess(Request* request, int count) {
    host::RunChunks(count, [this, request](int chunk) { RenderChunk(request, chunk); });
}
