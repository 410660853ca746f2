#include "sim/sim_control_library.h"

#include <algorithm>

#include "gfx/aux_request.h"
#include "gfx/gfx_lib.h"
#include "sim/options.h"

namespace kdx::sim {

namespace ctl = platform::ctl;

namespace {

SimControlLibrary* g_library = nullptr;

constexpr ctl::Result kNotLoaded = SimControlLibrary::kFailureBase | 2;

ctl::Result CtlInit(ctl::InitArgs* args, ctl::ApiHandle* api) {
    return g_library ? g_library->Init(args, api) : kNotLoaded;
}
ctl::Result CtlClose(ctl::ApiHandle api) { return g_library ? g_library->Close(api) : kNotLoaded; }
ctl::Result CtlEnumerateDevices(ctl::ApiHandle api, uint32_t* count, ctl::AdapterHandle* adapters) {
    return g_library ? g_library->EnumerateDevices(api, count, adapters) : kNotLoaded;
}
ctl::Result CtlEnumerateDisplayOutputs(ctl::AdapterHandle adapter, uint32_t* count, ctl::OutputHandle* outputs) {
    return g_library ? g_library->EnumerateDisplayOutputs(adapter, count, outputs) : kNotLoaded;
}
ctl::Result CtlAuxAccess(ctl::OutputHandle output, ctl::AuxAccessArgs* args) {
    return g_library ? g_library->AuxAccess(output, args) : kNotLoaded;
}

constexpr ctl::Functions kFunctions{CtlInit, CtlClose, CtlEnumerateDevices, CtlEnumerateDisplayOutputs, CtlAuxAccess};

// The request command code an AUX access stands for, or false for a combination of
// operation and flags that no access has.
bool CommandOf(const ctl::AuxAccessArgs& args, uint32_t& command) {
    const bool read = args.OpType == ctl::kAuxRead;
    if (!read && args.OpType != ctl::kAuxWrite) return false;
    switch (args.Flags) {
        case ctl::kAuxFlagNative: command = read ? gfx::kNativeRead : gfx::kNativeWrite; return true;
        case ctl::kAuxFlagI2c: command = read ? gfx::kI2cRead : gfx::kI2cWrite; return true;
        case ctl::kAuxFlagI2c | ctl::kAuxFlagMiddleOfTransaction:
            command = read ? gfx::kI2cReadMot : gfx::kI2cWriteMot;
            return true;
        default: return false;
    }
}

}  // namespace

class SimControlLibrary::LibraryLoader final : public platform::ControlLibraryLoader {
public:
    explicit LibraryLoader(const Faults& faults) : faults_(faults) {}
    std::unique_ptr<platform::ControlLibrary> Load() override {
        if (faults_.noControlLibrary) return nullptr;
        return std::make_unique<Loaded>();
    }

private:
    struct Loaded final : platform::ControlLibrary {
        const ctl::Functions& Functions() const override { return kFunctions; }
    };
    const Faults& faults_;
};

SimControlLibrary::SimControlLibrary(SimDriver& driver, const Faults& faults)
    : driver_(driver), faults_(faults), loader_(std::make_unique<LibraryLoader>(faults)) {
    g_library = this;
}

SimControlLibrary::~SimControlLibrary() {
    if (g_library == this) g_library = nullptr;
}

platform::ControlLibraryLoader& SimControlLibrary::Loader() { return *loader_; }

const ctl::Functions& SimControlLibrary::Functions() { return kFunctions; }

ctl::ApiHandle SimControlLibrary::ApiHandle() const {
    return reinterpret_cast<ctl::ApiHandle>(const_cast<char*>(&apiTag_));
}
ctl::AdapterHandle SimControlLibrary::AdapterHandle() const {
    return reinterpret_cast<ctl::AdapterHandle>(const_cast<char*>(&adapterTag_));
}
ctl::OutputHandle SimControlLibrary::OutputHandle(uint32_t index) const {
    return reinterpret_cast<ctl::OutputHandle>(const_cast<char*>(&outputTags_[index]));
}

ctl::Result SimControlLibrary::Init(ctl::InitArgs* args, ctl::ApiHandle* api) {
    if (args == nullptr || api == nullptr || args->Size != sizeof(ctl::InitArgs)) return kInvalidRequest;
    // Only API major version 1 is offered.
    if (args->AppVersion >> 16 != ctl::kApiVersion >> 16) return kInitRefused;
    if (faults_.controlLibraryInitFails) return kInitRefused;
    args->SupportedVersion = ctl::kApiVersion;
    initialized_ = true;
    *api = ApiHandle();
    return ctl::kSuccess;
}

ctl::Result SimControlLibrary::Close(ctl::ApiHandle api) {
    if (!initialized_ || api != ApiHandle()) return kInvalidRequest;
    initialized_ = false;
    return ctl::kSuccess;
}

ctl::Result SimControlLibrary::EnumerateDevices(ctl::ApiHandle api, uint32_t* count, ctl::AdapterHandle* adapters) {
    if (!initialized_ || api != ApiHandle() || count == nullptr) return kInvalidRequest;
    if (adapters != nullptr && *count > 0) {
        adapters[0] = AdapterHandle();
        *count = 1;
    } else if (adapters == nullptr) {
        *count = 1;
    }
    return ctl::kSuccess;
}

ctl::Result SimControlLibrary::EnumerateDisplayOutputs(ctl::AdapterHandle adapter, uint32_t* count,
                                                       ctl::OutputHandle* outputs) {
    if (!initialized_ || adapter != AdapterHandle() || count == nullptr) return kInvalidRequest;
    if (outputs == nullptr) {
        *count = kOutputCount;
        return ctl::kSuccess;
    }
    // An output may go away between the two calls (a monitor unplugged): then the list
    // filled in holds one output fewer, the last one.
    const uint32_t present = faults_.controlLibraryOutputsShrink ? kOutputCount - 1 : kOutputCount;
    const uint32_t filled = std::min(*count, present);
    for (uint32_t i = 0; i < filled; ++i) outputs[i] = OutputHandle(i);
    *count = filled;
    return ctl::kSuccess;
}

ctl::Result SimControlLibrary::AuxAccess(ctl::OutputHandle output, ctl::AuxAccessArgs* args) {
    if (!initialized_ || args == nullptr || args->Size != sizeof(ctl::AuxAccessArgs)) return kInvalidRequest;
    uint32_t index = 0;
    while (index < kOutputCount && OutputHandle(index) != output) ++index;
    uint32_t command = 0;
    if (index == kOutputCount || !CommandOf(*args, command) || args->RAD != 0 || args->PortID != 0 ||
        args->DataSize == 0 || args->DataSize > gfx::kAuxMaxPayload)
        return kInvalidRequest;
    const bool read = args->OpType == ctl::kAuxRead;
    // Only administrators may write to the AUX channel.
    if (!read && faults_.controlLibraryNotAdmin) return ctl::kInsufficientPermissions;

    gfx::AuxRequest request;
    request.SetDeviceId(kFirstDeviceId + index);
    request.SetCommand(command);
    request.SetLength(args->DataSize);
    request.SetAddress(args->Address);
    if (!read) std::copy_n(args->Data, args->DataSize, request.Data().begin());
    uint32_t status = driver_.Call(request.Record(), read);
    for (int retry = 0; status == SimDriver::kStatusDeferred && retry < kDeferralRetries; ++retry) {
        status = driver_.Call(request.Record(), read);
    }
    if (read) std::copy_n(request.Data().begin(), args->DataSize, args->Data);
    return status == SimDriver::kStatusDone ? ctl::kSuccess : kFailureBase | status;
}

}  // namespace kdx::sim
