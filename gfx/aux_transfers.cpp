#include "gfx/aux_transfers.h"

#include <algorithm>
#include <array>

namespace kdx::gfx {

namespace {

// DDC/CI framing of the I2C-over-AUX reply: address byte, 0x80 | payload length, payload,
// checksum. total = L - 125 counts the two header bytes, L - 0x80 payload bytes and the
// checksum; the largest possible reply (L = 0xFF) is 130 bytes.
constexpr int32_t kReplyLengthBias = 125;

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

// Sends `data` in pieces of at most 16 bytes; `command(last)` gives each piece's code and
// `step` how far the address moves on after it. Stops at the first failing piece.
template <typename Command>
int32_t WritePieces(AuxChannel& channel, uint32_t address, std::span<const uint8_t> data, uint32_t step,
                    Command command) {
    if (data.empty()) return kInvalidArgument;
    std::array<uint8_t, kAuxMaxPayload> piece{};
    while (!data.empty()) {
        const size_t length = std::min(data.size(), kAuxMaxPayload);
        std::copy_n(data.begin(), length, piece.begin());
        const int32_t result = channel.Transfer(command(length == data.size()), address, std::span(piece).first(length));
        if (result != kOk) return result;
        data = data.subspan(length);
        address += step == 0 ? 0 : static_cast<uint32_t>(length);
    }
    return kOk;
}

}  // namespace

int32_t CheckReplyHeader(std::span<const uint8_t, kReplyHeaderLength> header, uint32_t address, size_t capacity,
                         size_t& replyLength) {
    const int32_t total = static_cast<int32_t>(header[1]) - kReplyLengthBias;
    if (static_cast<int64_t>(capacity) < total) return kInvalidArgument;
    if (total <= 0) return kMalformedReply;
    if (header[0] != static_cast<uint8_t>(address)) return kMalformedReply;
    replyLength = static_cast<size_t>(total);
    return kOk;
}

int32_t WriteI2c(AuxChannel& channel, uint32_t address, std::span<const uint8_t> data) {
    // The transaction stays open (MOT) until its last byte.
    return WritePieces(channel, address, data, 0, [](bool last) { return last ? kI2cWrite : kI2cWriteMot; });
}

int32_t WriteNative(AuxChannel& channel, uint32_t dpcdAddress, std::span<const uint8_t> data) {
    return WritePieces(channel, dpcdAddress, data, 1, [](bool) { return kNativeWrite; });
}

int32_t ReadNative(AuxChannel& channel, uint32_t dpcdAddress, std::span<uint8_t> buffer) {
    if (buffer.empty()) return kInvalidArgument;
    std::array<uint8_t, kAuxMaxPayload> piece{};
    while (!buffer.empty()) {
        const size_t length = std::min(buffer.size(), kAuxMaxPayload);
        const int32_t result = channel.Transfer(kNativeRead, dpcdAddress, std::span(piece).first(length));
        if (result != kOk) return result;
        std::copy_n(piece.begin(), length, buffer.begin());
        buffer = buffer.subspan(length);
        dpcdAddress += static_cast<uint32_t>(length);
    }
    return kOk;
}

int32_t ReadI2c(AuxChannel& channel, uint32_t address, std::span<uint8_t> buffer, int32_t& count) {
    if (buffer.empty()) return kInvalidArgument;
    std::array<uint8_t, kLargestReply> reply{};
    const int32_t headerResult = channel.Transfer(kI2cReadMot, address, std::span(reply).first(kReplyHeaderLength));
    if (headerResult != kOk) return headerResult;

    size_t replyLength = 0;
    if (const int32_t check = CheckReplyHeader(std::span(reply).first<kReplyHeaderLength>(), address, buffer.size(),
                                               replyLength);
        check != kOk) {
        return check;
    }

    // The rest of the reply in pieces, the last one closing the transaction. A piece the
    // driver failed contributes its cleared data area; the frame's checksum, checked by
    // the command channel, rejects such a reply.
    size_t assembled = kReplyHeaderLength;
    while (assembled < replyLength) {
        const size_t piece = std::min(replyLength - assembled, kAuxMaxPayload);
        const bool last = assembled + piece == replyLength;
        channel.Transfer(last ? kI2cRead : kI2cReadMot, address, std::span(reply).subspan(assembled, piece));
        assembled += piece;
    }
    // With L = 0x7E or 0x7F only the header came, whatever total says.
    count = static_cast<int32_t>(assembled);
    std::copy_n(reply.begin(), std::min(assembled, buffer.size()), buffer.begin());
    return kOk;
}

int32_t ProbeConnection(GfxLib& lib, platform::Clock& clock, uint32_t deviceId, uint32_t address) {
    const auto addressByte = static_cast<uint8_t>(address);
    const std::array<uint8_t, 8> request{0x51, 0x85, 0xC2, 0x00, 0x00, 0x03, 0x0A,
                                         static_cast<uint8_t>(addressByte ^ kProbeChecksumMask)};
    int32_t result = lib.I2cWrite(deviceId, address, request);
    if (result != kOk) return result;
    clock.Sleep(kProbeSettleMs);

    std::array<uint8_t, kProbeReplyCapacity> reply{};
    int32_t count = 0;
    WText diagnostic;
    for (int attempt = 0; attempt < kProbeReadAttempts; ++attempt) {
        result = lib.I2cRead(deviceId, address, reply, count, diagnostic);
        if (result == kDeferred) {
            clock.Sleep(kProbeDeferredWaitMs);
        } else if (result == kOk && count < kAckLength) {
            clock.Sleep(kProbeShortReplyWaitMs);
        } else if (result == kOk) {
            break;
        }
    }
    const auto expectedChecksum = static_cast<uint8_t>((addressByte | 1) ^ kAckChecksumMask);
    if (result == kOk && count == kAckLength && reply[6] == kProbeOpcodeAck && reply[7] == expectedChecksum) {
        return kOk;
    }
    return kMalformedReply;
}

WText ProbeFailureText(int32_t result) {
    return FormatW(static_cast<uint32_t>(result) < 0x100 ? u"N/A (0x%02X)\r\n" : u"N/A (0x%X)\r\n", {result});
}

}  // namespace kdx::gfx
