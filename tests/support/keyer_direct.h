#pragma once

#include <memory>
#include <stdexcept>
#include <string>

#include "host/registry.h"
#include "host/tool_instance.h"
#include "tool/veskar.h"

/// A keyer tool from the tool's code linked into the test, which registers the
/// class at start-up, so that its members can be looked at.
struct KeyerDirect {
    std::unique_ptr<host::ToolInstance> instance;
    Veskar* tool = nullptr;

    explicit KeyerDirect(bool notifyDefaults = true) {
        const Registry* registry = ClassRegistry.Find("Ombrell.Veskar");
        if (registry == nullptr) throw std::runtime_error("the keyer class is not registered");
        instance = std::make_unique<host::ToolInstance>(*registry, notifyDefaults);
        tool = static_cast<Veskar*>(&instance->Tool());
    }

    Input& In(const char* id) const {
        Input* input = instance->FindInput(id);
        if (input == nullptr) throw std::runtime_error(std::string("no input ") + id);
        return *input;
    }
    void Set(const char* id, double value) { instance->SetNumber(In(id), value); }
    double Get(const char* id) const { return In(id).Value(); }
    void Notify(const char* id, double value) {
        Number number(value);
        instance->Notify(In(id), &number);
    }
};
