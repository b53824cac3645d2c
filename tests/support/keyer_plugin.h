#pragma once

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "host/plugin_loader.h"
#include "host/registry.h"
#include "host/tool_instance.h"
#include "test_paths.h"

/// The keyer plug-in loaded as the host loads it, with one tool made from it.
/// Members are destroyed tool first, plug-in last.
struct KeyerPlugin {
    host::PluginSet plugins;
    const Registry* registry = nullptr;
    std::unique_ptr<host::ToolInstance> tool;

    /// With `notifyDefaults` false the tool stays as its constructor left it.
    explicit KeyerPlugin(bool notifyDefaults = true) {
        plugins.Load(VESKAR_TEST_PLUGIN);
        registry = ClassRegistry.Find("Ombrell.Veskar");
        if (registry != nullptr) {
            tool = std::make_unique<host::ToolInstance>(*registry, notifyDefaults);
        }
    }

    Input& In(const char* id) const {
        Input* input = tool->FindInput(id);
        if (input == nullptr) {
            throw std::runtime_error(std::string("no input ") + id);
        }
        return *input;
    }
};
