#include "chip/mailbox.h"

#include <algorithm>
#include <array>

#include "chip/command_channel.h"
#include "chip/mailbox_io.h"

namespace kdx {

namespace mailbox_io {

int32_t Read(ChipContext& context, uint32_t address, size_t length) {
    if (context.activeAdapter == nullptr) return gfx::kNoInterface;
    if (length == 0 || length > context.scratch.size()) return gfx::kInvalidArgument;
    return context.activeAdapter->NativeRead(context.deviceId, address,
                                             std::span<uint8_t>(context.scratch.data(), length));
}

int32_t Write(ChipContext& context, uint32_t address, std::span<const uint8_t> data) {
    if (context.activeAdapter == nullptr) return gfx::kNoInterface;
    return context.activeAdapter->NativeWrite(context.deviceId, address, data);
}

void Pause(ChipContext& context, uint16_t ms) {
    if (ms != 0) DelayMs(context, ms);
}

}  // namespace mailbox_io

namespace {

using mailbox_io::Pause;
using mailbox_io::Read;
using mailbox_io::Write;

// The driver fills in its descriptor only after it has started; a short settle time.
constexpr uint16_t kDescriptorPauseMs = 2;

// SendRequest: reads of the length byte to learn whether a request got through.
constexpr int kLengthCheckReads = 100;

// The acknowledgement reply: 03 0C F1.
constexpr uint8_t kAckLength = 3;
constexpr std::array<uint8_t, 3> kAckReply{0x03, 0x0C, 0xF1};

// ReleaseReply: clearing writes, then reads until byte 0 reads back 0.
constexpr int kReleaseWrites = 100;
constexpr int kReleaseReads = 100;
// ReleaseReplyPackets: byte 0 of the first four 16-byte packets.
constexpr uint32_t kReplyPacketStride = 16;
constexpr int kReplyPackets = 4;

// ReadReplyData: polls for the first packet, 10 ms after an empty one.
constexpr int kDataReplyPolls = 100;
constexpr uint16_t kDataReplyEmptyPauseMs = 10;
constexpr uint8_t kReadFlashCode = 0x1B;
// A data reply carries R = count + 3 payload bytes in packets of at most 15, each behind
// a count byte; R is one byte.
constexpr size_t kReplyPacketPayload = 15;
constexpr size_t kMaxReplyPayload = 255;
constexpr size_t kReplyOverhead = 3;

uint32_t LittleEndian(std::span<const uint8_t> bytes) {
    uint32_t value = 0;
    for (size_t i = bytes.size(); i-- > 0;) value = value << 8 | bytes[i];
    return value;
}

// One poll of the reply buffer's first byte; a 3 is followed by the full read of the
// acknowledgement. The value 0 stands for "nothing there (yet)".
uint8_t PollReplyByte(ChipContext& context, const AckWaitParameters& parameters) {
    const uint32_t reply = context.mailbox.replyBufferAddr;
    if (Read(context, reply, 1) != gfx::kOk) {
        Pause(context, parameters.failedReadPauseMs);
        return 0;
    }
    const uint8_t value = context.scratch[0];
    if (value == 0) {
        Pause(context, parameters.emptyReplyPauseMs);
        return 0;
    }
    if (value != kAckLength) return value;
    Pause(context, parameters.fullReadPauseMs);
    // The bytes after byte 0 may still hold an earlier acknowledgement: a full read that
    // fails reads as "nothing there", so those are never compared.
    if (Read(context, reply, kAckReply.size()) != gfx::kOk) {
        Pause(context, parameters.failedReadPauseMs);
        return 0;
    }
    return context.scratch[0];
}

bool ReleaseReplyAt(ChipContext& context, uint32_t address) {
    bool cleared = false;
    for (int attempt = 0; attempt < kReleaseWrites && !cleared; ++attempt) {
        context.scratch[0] = 0;
        cleared = Write(context, address, std::span<const uint8_t>(context.scratch.data(), 1)) == gfx::kOk;
    }
    if (!cleared) return false;
    for (int attempt = 0; attempt < kReleaseReads; ++attempt) {
        if (Read(context, address, 1) == gfx::kOk && context.scratch[0] == 0) return true;
    }
    return false;
}

// Packet 0 is P0, R, 0x1B and P0 - 2 data bytes; every further packet a count byte and
// that many data bytes. Every position comes from the reply, so each is checked against
// the bytes actually read.
bool UnpackReplyPackets(std::span<const uint8_t> reply, std::span<uint8_t> destination) {
    const size_t firstCount = reply[0];
    if (firstCount < 2) return false;
    size_t pos = kReplyOverhead;
    size_t packetEnd = 1 + firstCount;
    size_t held = 0;
    while (held < destination.size()) {
        // Bytes beyond the count are not looked at, so only the bytes actually taken are
        // held against what was read: a count byte or data byte past the end fails.
        if (pos == packetEnd) {
            if (packetEnd >= reply.size()) return false;
            pos = packetEnd + 1;
            packetEnd = pos + reply[packetEnd];
            continue;
        }
        if (pos >= reply.size()) return false;
        destination[held++] = reply[pos++];
    }
    return true;
}

}  // namespace

bool GetDpcdBufferAddr(ChipContext& context, WText& errorText) {
    int32_t status = Read(context, mailbox::kWindowPointerAddr, 3);
    if (status != gfx::kOk) {
        errorText = FormatW(u"Sending Native-Read 0x40C cmd error! (%d)\r\n", {status});
        return false;
    }
    MailboxWindow& window = context.mailbox;
    window.windowAddress = LittleEndian(std::span<const uint8_t>(context.scratch.data(), 3));
    if (window.windowAddress == 0) {
        errorText = u"DPCD window addr = 0";
        return false;
    }
    DelayMs(context, kDescriptorPauseMs);
    status = Read(context, window.windowAddress, mailbox::kDescriptorBytes);
    if (status != gfx::kOk) {
        errorText = FormatW(u"Sending Native-Read WinAddr cmd error! (%d)", {status});
        return false;
    }
    const std::span<const uint8_t> descriptor(context.scratch.data(), mailbox::kDescriptorBytes);
    window.cmdBufferAddr = LittleEndian(descriptor.subspan(0, 4));
    window.cmdBufferSize = static_cast<uint16_t>(LittleEndian(descriptor.subspan(4, 2)));
    window.replyBufferAddr = LittleEndian(descriptor.subspan(6, 4));
    window.replyBufferSize = static_cast<uint16_t>(LittleEndian(descriptor.subspan(10, 2)));
    window.lowFlagAddr = window.cmdBufferAddr + window.cmdBufferSize / 2 - 1;
    window.highFlagAddr = window.cmdBufferAddr + window.cmdBufferSize - 1;
    if (window.cmdBufferSize == 0 || window.replyBufferSize == 0) {
        errorText = u"DPCD buffer size = 0";
        return false;
    }
    // A command buffer this small cannot carry a request and a block header below the lower
    // flag; refusing it here keeps the flash from being erased with no way to write it.
    if (window.cmdBufferSize < mailbox::kMinCmdBufferSize) {
        errorText = u"DPCD buffer size too small";
        return false;
    }
    return true;
}

bool SendRequest(ChipContext& context, std::span<const uint8_t> block) {
    if (block.empty()) return false;
    const uint8_t length = block[0];
    if (length < 2 || length > block.size()) return false;
    const uint32_t address = context.mailbox.cmdBufferAddr;
    if (Write(context, address + 1, block.subspan(1, length - 1u)) == gfx::kOk &&
        Write(context, address, block.first(1)) == gfx::kOk) {
        return true;
    }
    // A write may report an error and still have arrived: the length byte in place is
    // what tells. The block is not written a second time.
    for (int attempt = 0; attempt < kLengthCheckReads; ++attempt) {
        context.scratch[0] = static_cast<uint8_t>(length + 1);
        if (Read(context, address, 1) == gfx::kOk) return context.scratch[0] == length;
    }
    return false;
}

bool WaitForAck(ChipContext& context, const AckWaitParameters& parameters) {
    Pause(context, parameters.initialPauseMs);
    uint8_t value = 0;
    for (int poll = 1; poll <= parameters.polls && value != kAckLength; ++poll) {
        value = PollReplyByte(context, parameters);
        if (parameters.reportProgress && poll < parameters.polls) context.ReportProgress(poll, parameters.polls);
    }
    if (value != kAckLength) return parameters.successWhenPollsRunOut;
    return std::equal(kAckReply.begin(), kAckReply.end(), context.scratch.begin());
}

// After a block's data: the driver acknowledges once the block is programmed; a missing
// acknowledgement is tolerated.
constexpr AckWaitParameters kWriteAckWait{0, 2000, 0, 3, 1, true, false};

bool WaitWriteAck(ChipContext& context) { return WaitForAck(context, kWriteAckWait); }

bool ReleaseReply(ChipContext& context) { return ReleaseReplyAt(context, context.mailbox.replyBufferAddr); }

bool ReleaseReplyPackets(ChipContext& context) {
    for (int packet = 0; packet < kReplyPackets; ++packet) {
        if (!ReleaseReplyAt(context, context.mailbox.replyBufferAddr + packet * kReplyPacketStride)) return false;
    }
    return true;
}

bool ReadReplyData(ChipContext& context, std::span<uint8_t> destination) {
    if (destination.size() + kReplyOverhead > kMaxReplyPayload) return false;
    const uint32_t address = context.mailbox.replyBufferAddr;
    bool present = false;
    for (int poll = 0; poll < kDataReplyPolls && !present; ++poll) {
        if (Read(context, address, kReplyOverhead) != gfx::kOk) continue;
        present = context.scratch[0] != 0;
        if (!present) DelayMs(context, kDataReplyEmptyPauseMs);
    }
    if (!present) return false;
    const size_t payload = context.scratch[1];
    if (payload != destination.size() + kReplyOverhead || context.scratch[2] != kReadFlashCode) return false;
    const size_t total = payload + (payload + kReplyPacketPayload - 1) / kReplyPacketPayload;
    if (Read(context, address, total) != gfx::kOk) return false;
    // The full read must still show the reply that the first poll saw.
    if (context.scratch[1] != payload || context.scratch[2] != kReadFlashCode) return false;
    return UnpackReplyPackets(std::span<const uint8_t>(context.scratch.data(), total), destination);
}

}  // namespace kdx
