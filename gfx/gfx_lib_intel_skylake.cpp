#include "gfx/gfx_lib_intel_skylake.h"

#include <algorithm>
#include <array>
#include <memory>

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

// Put into the status word before every call, so that a call the driver failed without
// writing the word is not mistaken for a status of its own.
constexpr uint32_t kStatusNotWritten = 0xFFFFFFFFu;

// The pause after a deferred call.
constexpr double kDeferralSpinUs = 5000.0;

// DDC/CI framing of the I2C-over-AUX reply: address byte, 0x80 | payload length, payload,
// checksum. total = L - 125 counts the two header bytes, L - 0x80 payload bytes and the
// checksum; the largest possible reply (L = 0xFF) is 130 bytes.
constexpr size_t kReplyHeaderLength = 2;
constexpr int32_t kReplyLengthBias = 125;
constexpr size_t kLargestReply = 0xFF - kReplyLengthBias;

// The presence probe: the command packet C2 00 00 03 0A (opcode 0x0A, no arguments), answered
// by the acknowledgement (opcode 0x0C).
constexpr uint8_t kProbeOpcodeAck = 0x0C;
constexpr uint8_t kProbeChecksumMask = 0x1F;   // XOR of 51 85 C2 00 00 03 0A
constexpr uint8_t kAckChecksumMask = 0x19;     // acknowledgement checksum from (address | 1)
constexpr int32_t kAckLength = 8;
constexpr size_t kProbeReplyCapacity = 9;
constexpr uint32_t kProbeSettleMs = 40;        // the chip's time to take the command
constexpr int kProbeReadAttempts = 20;
constexpr uint32_t kProbeDeferredWaitMs = 10;  // after the driver deferred the read
constexpr uint32_t kProbeShortReplyWaitMs = 30;  // after a null message: the chip is not ready

// The display connections the driver exposes for DisplayPort outputs.
constexpr uint32_t kFirstDeviceId = 0x0C;
constexpr uint32_t kLastDeviceId = 0x0F;
constexpr uint32_t kDeviceIdBeforeSearch = 11;

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
    : connector_(connector), clock_(clock) {}

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

int32_t GfxLibIntelSkylake::I2cWrite(uint32_t deviceId, uint32_t address, std::span<const uint8_t> data) {
    if (data.empty()) return gfx::kInvalidArgument;
    gfx::AuxRequest record;
    record.SetDeviceId(deviceId);
    while (!data.empty()) {
        const size_t piece = std::min(data.size(), gfx::kAuxMaxPayload);
        // The transaction stays open (MOT) until its last byte.
        const bool last = piece == data.size();
        PrepareTransfer(record, last ? gfx::kI2cWrite : gfx::kI2cWriteMot, piece, address);
        std::copy_n(data.begin(), piece, record.Data().begin());
        const int32_t result = DriverTransfer(record);
        if (result != gfx::kOk) return result;
        data = data.subspan(piece);
    }
    return gfx::kOk;
}

int32_t GfxLibIntelSkylake::I2cRead(uint32_t deviceId, uint32_t address, std::span<uint8_t> buffer, int32_t& count,
                                    WText&) {
    if (buffer.empty()) return gfx::kInvalidArgument;
    gfx::AuxRequest record;
    record.SetDeviceId(deviceId);
    PrepareTransfer(record, gfx::kI2cReadMot, kReplyHeaderLength, address);
    const int32_t headerResult = DriverTransfer(record);
    if (headerResult != gfx::kOk) return headerResult;

    std::array<uint8_t, kLargestReply> reply{};
    std::copy_n(record.Data().begin(), kReplyHeaderLength, reply.begin());
    const uint8_t lengthByte = reply[1];
    const int32_t total = static_cast<int32_t>(lengthByte) - kReplyLengthBias;
    const auto capacity = static_cast<int64_t>(buffer.size());
    if (capacity < total) return gfx::kInvalidArgument;
    if (total <= 0) return gfx::kMalformedReply;
    if (reply[0] != static_cast<uint8_t>(address)) return gfx::kMalformedReply;

    // The rest of the reply in pieces, the last one closing the transaction. A piece the
    // driver failed contributes its cleared data field; the frame's checksum, checked by
    // the command channel, rejects such a reply.
    size_t assembled = kReplyHeaderLength;
    const auto replyLength = static_cast<size_t>(total);
    while (assembled < replyLength) {
        const size_t piece = std::min(replyLength - assembled, gfx::kAuxMaxPayload);
        const bool last = assembled + piece == replyLength;
        PrepareTransfer(record, last ? gfx::kI2cRead : gfx::kI2cReadMot, piece, address);
        DriverTransfer(record);
        std::copy_n(record.Data().begin(), piece, reply.begin() + static_cast<ptrdiff_t>(assembled));
        assembled += piece;
    }
    // With L = 0x7E or 0x7F only the header came, whatever total says.
    count = static_cast<int32_t>(assembled);
    std::copy_n(reply.begin(), std::min(assembled, buffer.size()), buffer.begin());
    return gfx::kOk;
}

int32_t GfxLibIntelSkylake::NativeWrite(uint32_t deviceId, uint32_t dpcdAddress, std::span<const uint8_t> data) {
    if (data.empty()) return gfx::kInvalidArgument;
    gfx::AuxRequest record;
    record.SetDeviceId(deviceId);
    while (!data.empty()) {
        const size_t piece = std::min(data.size(), gfx::kAuxMaxPayload);
        PrepareTransfer(record, gfx::kNativeWrite, piece, dpcdAddress);
        std::copy_n(data.begin(), piece, record.Data().begin());
        const int32_t result = DriverTransfer(record);
        if (result != gfx::kOk) return result;
        data = data.subspan(piece);
        dpcdAddress += static_cast<uint32_t>(piece);
    }
    return gfx::kOk;
}

int32_t GfxLibIntelSkylake::NativeRead(uint32_t deviceId, uint32_t dpcdAddress, std::span<uint8_t> buffer) {
    if (buffer.empty()) return gfx::kInvalidArgument;
    gfx::AuxRequest record;
    record.SetDeviceId(deviceId);
    while (!buffer.empty()) {
        const size_t piece = std::min(buffer.size(), gfx::kAuxMaxPayload);
        PrepareTransfer(record, gfx::kNativeRead, piece, dpcdAddress);
        const int32_t result = DriverTransfer(record);
        if (result != gfx::kOk) return result;
        std::copy_n(record.Data().begin(), piece, buffer.begin());
        buffer = buffer.subspan(piece);
        dpcdAddress += static_cast<uint32_t>(piece);
    }
    return gfx::kOk;
}

int32_t GfxLibIntelSkylake::FindDevice(uint32_t& deviceId, uint32_t address, WText& log) {
    log.clear();
    deviceId = kDeviceIdBeforeSearch;
    for (uint32_t id = kFirstDeviceId; id <= kLastDeviceId; ++id) {
        deviceId = id;
        const int32_t result = ProbeDevice(address, id);
        log += FormatW(u"  Device ID: 0x%02X = ", {id});
        if (result == gfx::kNotSupported) {
            log = u"  Not Supported!\r\n";
            deviceId = 0;
            return gfx::kNotSupportedStop;
        }
        if (result == gfx::kOk) {
            log += u"OK\r\n";
            return gfx::kOk;
        }
        log += FormatW(static_cast<uint32_t>(result) < 0x100 ? u"N/A (0x%02X)\r\n" : u"N/A (0x%X)\r\n", {result});
    }
    log += u"  ==> No available connection was found!\r\n";
    deviceId = 0;
    return gfx::kNotSupported;
}

int32_t GfxLibIntelSkylake::ProbeDevice(uint32_t address, uint32_t deviceId) {
    const auto addressByte = static_cast<uint8_t>(address);
    const std::array<uint8_t, 8> request{0x51, 0x85, 0xC2, 0x00, 0x00, 0x03, 0x0A,
                                         static_cast<uint8_t>(addressByte ^ kProbeChecksumMask)};
    int32_t result = I2cWrite(deviceId, address, request);
    if (result != gfx::kOk) return result;
    clock_.Sleep(kProbeSettleMs);

    std::array<uint8_t, kProbeReplyCapacity> reply{};
    int32_t count = 0;
    WText diagnostic;
    for (int attempt = 0; attempt < kProbeReadAttempts; ++attempt) {
        result = I2cRead(deviceId, address, reply, count, diagnostic);
        if (result == gfx::kDeferred) {
            clock_.Sleep(kProbeDeferredWaitMs);
        } else if (result == gfx::kOk && count < kAckLength) {
            clock_.Sleep(kProbeShortReplyWaitMs);
        } else if (result == gfx::kOk) {
            break;
        }
    }
    const auto expectedChecksum = static_cast<uint8_t>((addressByte | 1) ^ kAckChecksumMask);
    if (result == gfx::kOk && count == kAckLength && reply[6] == kProbeOpcodeAck && reply[7] == expectedChecksum) {
        return gfx::kOk;
    }
    return gfx::kMalformedReply;
}

}  // namespace kdx
