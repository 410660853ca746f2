#include "gfx/gfx_lib_intel_skylake.h"

#include <algorithm>
#include <array>
#include <memory>

#include "gfx/aux_transfers.h"
#include "platform/busy_wait.h"

namespace kdx {

namespace {

// The driver interface exists once per process: every backend object shares it, the
// latest Initialize replaces it and destroying a backend releases it.
struct DriverInterfaceRelease {
    void operator()(platform::DriverInterface* driver) const { driver->Release(); }
};
using DriverInterfaceHandle = std::unique_ptr<platform::DriverInterface, DriverInterfaceRelease>;

DriverInterfaceHandle& ProcessDriverInterface() {
    static DriverInterfaceHandle handle;
    return handle;
}

// The driver's status words.
constexpr uint32_t kStatusDone = 0;
constexpr uint32_t kStatusDeferred = 70;

// Deferral (status 70) retries after the first call: at most 6 calls per transfer.
constexpr int kMaxDeferredRetries = 5;

// Put into the status word before every call, so that a call the driver failed without
// writing the word is not mistaken for a status of its own.
constexpr uint32_t kStatusNotWritten = 0xFFFFFFFFu;

// The pause after a deferred call.
constexpr double kDeferralSpinUs = 5000.0;

// The display connections the driver exposes for DisplayPort outputs.
constexpr uint32_t kFirstDeviceId = 0x0C;
constexpr uint32_t kLastDeviceId = 0x0F;

constexpr bool IsReadCommand(uint32_t command) {
    return command == gfx::kI2cRead || command == gfx::kI2cReadMot || command == gfx::kNativeRead;
}

// I2C write (0, 4), I2C write status update (2, 6) and native write (8).
constexpr bool IsWriteCommand(uint32_t command) {
    return command == 0 || command == 2 || command == 4 || command == 6 || command == 8;
}

// Sets up the record for the next elementary transfer of an operation; the rest of the
// record stays as the operation's first clearing left it.
void PrepareTransfer(gfx::AuxRequest& record, uint32_t command, size_t length, uint32_t address) {
    record.SetCommand(command);
    record.SetLength(static_cast<uint32_t>(length));
    record.SetAddress(address);
    std::ranges::fill(record.Data(), uint8_t{0});
}

}  // namespace

GfxLibIntelSkylake::GfxLibIntelSkylake(platform::DriverConnector& connector, platform::Clock& clock)
    : AuxTransferLib(clock), connector_(connector) {}

GfxLibIntelSkylake::~GfxLibIntelSkylake() { ProcessDriverInterface().reset(); }

int32_t GfxLibIntelSkylake::Initialize(WText& log) {
    platform::DriverInterface* created = nullptr;
    const int32_t hr = connector_.CreateInstance(created);
    // A failed creation hands back no usable interface, whatever it left in the pointer.
    if (hr < 0 && created != nullptr) {
        created->Release();
        created = nullptr;
    }
    // Replacing the interface of an earlier Initialize releases that one.
    ProcessDriverInterface().reset(created);
    if (created == nullptr) {
        log = FormatW(u"Graphics adapter initialization - Intel (LS-PCON): failed! (%d)\r\n", {hr});
        return gfx::kInitFailed;
    }
    log = u"Graphics adapter initialization - Intel (LS-PCON): done!\r\n";
    return gfx::kOk;
}

int32_t GfxLibIntelSkylake::DriverTransfer(gfx::AuxRequest& record) {
    platform::DriverInterface* driver = ProcessDriverInterface().get();
    if (driver == nullptr) return gfx::kNoInterface;
    const uint32_t command = record.Command();
    const bool isRead = IsReadCommand(command);
    if (!isRead && !IsWriteCommand(command)) return gfx::kDriverCallFailed;

    for (int attempt = 0;; ++attempt) {
        uint32_t status = kStatusNotWritten;
        const int32_t hr = isRead ? driver->CallRead(record.Record(), status) : driver->CallWrite(record.Record(), status);
        if (hr >= 0 && status == kStatusDone) return gfx::kOk;
        if (status == kStatusDeferred) {
            SpinWait5ms();
            // The mailbox command buffer is not written twice: the ISP driver may already
            // have taken the first request.
            if (!isRead && record.Address() == GuardedWriteAddress) return gfx::kDeferred;
            if (attempt == kMaxDeferredRetries) return gfx::kDeferred;
            continue;
        }
        // A failed call whose status says "done", or one that left no status at all, did
        // not carry out the transfer.
        if (status == kStatusNotWritten || status == kStatusDone) return gfx::kDriverCallFailed;
        return static_cast<int32_t>(status);
    }
}

void GfxLibIntelSkylake::SpinWait5ms() {
    platform::BusyWaitTicks(clock_, platform::TicksForMicroseconds(clock_, kDeferralSpinUs));
}

void GfxLibIntelSkylake::BeginOperation(uint32_t deviceId) {
    record_.Clear();
    record_.SetDeviceId(deviceId);
}

int32_t GfxLibIntelSkylake::Transfer(uint32_t, uint32_t command, uint32_t address, std::span<uint8_t> data) {
    PrepareTransfer(record_, command, data.size(), address);
    const bool read = IsReadCommand(command);
    if (!read) std::copy(data.begin(), data.end(), record_.Data().begin());
    const int32_t result = DriverTransfer(record_);
    if (read) std::copy_n(record_.Data().begin(), data.size(), data.begin());
    return result;
}

int32_t GfxLibIntelSkylake::FindDevice(uint32_t& deviceId, uint32_t address, WText& log) {
    log.clear();
    const SearchRules rules{
        [](uint32_t id) { return FormatW(u"  Device ID: 0x%02X = ", {id}); },
        nullptr,
        // The driver cannot carry I2C-over-AUX on these connections at all.
        [](int32_t result, WText& text) -> std::optional<int32_t> {
            if (result != gfx::kNotSupported) return std::nullopt;
            text = u"  Not Supported!\r\n";
            return gfx::kNotSupportedStop;
        },
        nullptr,
    };
    return SearchConnections(kFirstDeviceId, kLastDeviceId, address, deviceId, log, rules);
}

int32_t GfxLibIntelSkylake::ProbeDevice(uint32_t address, uint32_t deviceId) {
    return gfx::ProbeConnection(*this, clock_, deviceId, address);
}

}  // namespace kdx
