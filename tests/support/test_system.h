// The operating-system services of one test run: the virtual clock, a debugger output that
// keeps its messages, a resource table in memory, a connector without a driver and no
// Control Library.
#pragma once

#include <vector>

#include "chip/chip_context.h"
#include "platform/control_library.h"
#include "platform/driver_interface.h"
#include "platform/system.h"

namespace kdx::testing {

class RecordingDebugOutput final : public platform::DebugOutput {
public:
    void Write(WTextView text) override { messages.emplace_back(text); }
    std::vector<WText> messages;
};

class NoDriverConnector final : public platform::DriverConnector {
public:
    int32_t CreateInstance(platform::DriverInterface*& out) override {
        out = nullptr;
        return platform::kClassNotRegistered;
    }
};

class NoControlLibrary final : public platform::ControlLibraryLoader {
public:
    std::unique_ptr<platform::ControlLibrary> Load() override { return nullptr; }
};

struct TestSystem {
    platform::VirtualClock clock;
    RecordingDebugOutput debug;
    platform::MemoryResources resources;
    NoDriverConnector connector;
    NoControlLibrary controlLibrary;
    platform::System system{clock, debug, resources};
};

}  // namespace kdx::testing
