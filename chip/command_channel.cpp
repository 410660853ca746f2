#include "chip/command_channel.h"

#include <algorithm>
#include <array>

#include "log/aux_log.h"
#include "platform/busy_wait.h"

namespace kdx {

namespace {

// DDC/CI framing.
constexpr uint8_t kSourceByte = 0x51;
constexpr uint8_t kLengthFlag = 0x80;
constexpr uint8_t kCommandMarker = 0xC2;
constexpr uint8_t kReplyChecksumSeed = 0x50;
constexpr size_t kMaxLl = 127;
// The length byte carries n = ll + 2 in its low 7 bits: a larger n would not fit and
// would frame the packet with a wrong length.
constexpr size_t kMaxCommandLl = 0x7F - 2;
constexpr size_t kNullMessageLength = 3;

// I2cRead results on which a poll gives up at once.
bool IsFatalReadStatus(int32_t status) { return status == gfx::kNotSupportedStop || status == gfx::kNotSupported; }

// One poll's timing (the three polls share one shape).
struct PollTiming {
    uint16_t initialWaitMs;
    int attempts;
    uint16_t busyWaitMs;   // after status 1003
    uint16_t shortWaitMs;  // after a short reply
    const char16_t* logFormat;
};

// ReadAck: 40 ms, then up to 20 attempts; 30 ms after a reply shorter than 6 bytes.
constexpr PollTiming kAckTiming{40, 20, 10, 30, u"Read I2C Ack: %s\r\n"};
// ReadAckFast: the driver download acknowledges quickly; no initial wait, 5 ms pauses.
constexpr PollTiming kAckFastTiming{0, 50, 5, 5, u"Read I2C Ack fast: %s\r\n"};
// ReadReturnData: 40 ms, then up to 50 attempts; 10 ms after a null message.
constexpr PollTiming kReturnDataTiming{40, 50, 10, 10, u"Read return data: %s\r\n"};

// An acknowledgement is at least 6 bytes; anything shorter is polled again.
constexpr int32_t kAckShortReply = 6;
// Bytes 2..6 of the acknowledgement: C2 00 00 03 0C.
constexpr std::array<uint8_t, 5> kAckBody{kCommandMarker, 0x00, 0x00, 0x03, opcode::kAck};

struct PollOutcome {
    bool gaveUp = false;    // status 2 or 5, or (data polls) attempts ran out
    bool gotReply = false;  // an attempt returned status 0 with a usable reply
    int32_t count = 0;      // byte count of the latest attempt that returned status 0
    size_t capacity = 0;    // the reply capacity handed to I2cRead
};

// The reply capacity: the adapter's block length, kept within the reply buffer.
size_t ReplyCapacity(const ChipContext& context, const GfxLib& gfx) {
    if (gfx.MaxBlockLength <= 0) return 0;
    return std::min<size_t>(static_cast<size_t>(gfx.MaxBlockLength), context.scratch.size());
}

// A reply counted beyond the capacity was not all stored: its tail in the buffer is
// stale, so it is never checked or copied.
bool FitsCapacity(int32_t count, size_t capacity) { return count >= 0 && static_cast<size_t>(count) <= capacity; }

// Clears the reply buffer, waits, then reads until a usable reply came or the attempts run
// out. `isShort` tells whether a reply of status 0 is to be polled again.
template <typename IsShort>
PollOutcome Poll(ChipContext& context, const PollTiming& timing, IsShort isShort) {
    PollOutcome outcome;
    if (context.activeAdapter == nullptr) {
        outcome.gaveUp = true;
        return outcome;
    }
    GfxLib& gfx = *context.activeAdapter;
    const size_t capacity = ReplyCapacity(context, gfx);
    outcome.capacity = capacity;
    std::fill_n(context.scratch.begin(), capacity, uint8_t{0});
    if (timing.initialWaitMs != 0) DelayMs(context, timing.initialWaitMs);
    for (int attempt = 0; attempt < timing.attempts; ++attempt) {
        int32_t count = 0;
        WText diagnostic;
        const int32_t status = gfx.I2cRead(context.deviceId, context.i2cAddress,
                                           std::span<uint8_t>(context.scratch.data(), capacity), count, diagnostic);
        if (!diagnostic.empty()) AppendLogLine(FormatW(timing.logFormat, {diagnostic}));
        if (IsFatalReadStatus(status)) {
            outcome.gaveUp = true;
            return outcome;
        }
        if (status == gfx::kDeferred) {
            DelayMs(context, timing.busyWaitMs);
            continue;
        }
        if (status != gfx::kOk) continue;
        outcome.count = count;
        if (isShort(count)) {
            DelayMs(context, timing.shortWaitMs);
            continue;
        }
        outcome.gotReply = true;
        return outcome;
    }
    return outcome;
}

// The acknowledgement check: checksum over the count bytes and the fixed body.
bool CheckAck(const ChipContext& context, int32_t count, size_t capacity) {
    if (count < 8 || !FitsCapacity(count, capacity)) return false;
    const auto reply = std::span<const uint8_t>(context.scratch.data(), static_cast<size_t>(count));
    uint8_t checksum = kReplyChecksumSeed;
    for (size_t i = 0; i + 1 < reply.size(); ++i) checksum ^= reply[i];
    if (checksum != reply.back()) return false;
    return std::equal(kAckBody.begin(), kAckBody.end(), reply.begin() + 2);
}

bool ReadAckWith(ChipContext& context, const PollTiming& timing) {
    const PollOutcome outcome = Poll(context, timing, [](int32_t count) { return count < kAckShortReply; });
    if (outcome.gaveUp) return false;
    // When the attempts run out the buffer is checked as last filled.
    return CheckAck(context, outcome.count, outcome.capacity);
}

}  // namespace

void DelayMs(ChipContext& context, uint16_t ms) {
    // From 20 ms on a sleep is precise enough once the timer resolution is raised to 1 ms.
    constexpr uint16_t kSleepThresholdMs = 20;
    platform::Clock& clock = context.system.clock;
    if (ms >= kSleepThresholdMs) {
        clock.BeginTimerPeriod(1);
        clock.Sleep(ms);
        clock.EndTimerPeriod(1);
        return;
    }
    const auto ticks = static_cast<int64_t>(static_cast<double>(clock.Frequency()) * ms / 1000.0);
    platform::BusyWaitTicks(clock, ticks);
}

bool SendCommand(ChipContext& context, uint8_t op, std::span<const uint8_t> args) {
    const size_t ll = args.size() + 3;
    if (ll > kMaxCommandLl || context.activeAdapter == nullptr) return false;
    std::array<uint8_t, kMaxLl + 5> packet{};
    packet[0] = kSourceByte;
    packet[1] = static_cast<uint8_t>(kLengthFlag | (ll + 2));
    packet[2] = kCommandMarker;
    packet[3] = 0x00;
    packet[4] = 0x00;
    packet[5] = static_cast<uint8_t>(ll);
    packet[6] = op;
    std::copy(args.begin(), args.end(), packet.begin() + 7);
    const size_t length = ll + 5;
    auto checksum = static_cast<uint8_t>(context.i2cAddress);
    for (size_t i = 0; i + 1 < length; ++i) checksum ^= packet[i];
    packet[length - 1] = checksum;
    return context.activeAdapter->I2cWrite(context.deviceId, context.i2cAddress,
                                           std::span<const uint8_t>(packet.data(), length)) == gfx::kOk;
}

bool ReadAck(ChipContext& context) { return ReadAckWith(context, kAckTiming); }

bool ReadAckFast(ChipContext& context) { return ReadAckWith(context, kAckFastTiming); }

bool ReadReturnData(ChipContext& context, std::span<uint8_t> out, size_t& length) {
    length = 0;
    const PollOutcome outcome = Poll(context, kReturnDataTiming,
                                     [](int32_t count) { return count == static_cast<int32_t>(kNullMessageLength); });
    if (!outcome.gotReply) return false;
    // A reply needs its header (bytes 0..6) and checksum, all of it within the capacity.
    const int32_t count = outcome.count;
    if (count < 8 || !FitsCapacity(count, outcome.capacity)) return false;
    const auto reply = std::span<const uint8_t>(context.scratch.data(), static_cast<size_t>(count));
    if (reply[2] != kCommandMarker || reply[3] != 0x00 || reply[4] != 0x00) return false;
    const auto body = reply.subspan(5, reply.size() - 6);  // ll, op, payload
    if (body.size() > out.size()) return false;
    std::copy(body.begin(), body.end(), out.begin());
    auto checksum = static_cast<uint8_t>(kReplyChecksumSeed ^ static_cast<uint8_t>(context.i2cAddress) ^
                                         static_cast<uint8_t>(kLengthFlag | (count - 3)));
    for (size_t i = 2; i + 1 < reply.size(); ++i) checksum ^= reply[i];
    if (checksum != reply.back()) return false;
    length = body.size();
    return true;
}

uint32_t ReadRegister16(ChipContext& context, uint16_t address) {
    const std::array<uint8_t, 2> args{static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address)};
    if (!SendCommand(context, opcode::kReadRegister, args)) return kRegisterReadFailed;
    std::array<uint8_t, kMaxLl + 2> reply{};
    size_t length = 0;
    if (!ReadReturnData(context, reply, length)) return kRegisterReadFailed;
    // ll, op, then a payload of at least 4 bytes whose bytes 2 and 3 are the value.
    if (length < 6 || reply[1] != opcode::kReadRegister) return kRegisterReadFailed;
    return static_cast<uint32_t>(reply[4]) << 8 | reply[5];
}

bool ReadChipMemory(ChipContext& context, uint32_t address, uint32_t length, std::span<uint8_t> out,
                    size_t& copied) {
    constexpr uint32_t kMaxRead = 127;
    copied = 0;
    length = std::min(length, kMaxRead);
    const std::array<uint8_t, 8> args{
        static_cast<uint8_t>(address >> 24), static_cast<uint8_t>(address >> 16), static_cast<uint8_t>(address >> 8),
        static_cast<uint8_t>(address),       static_cast<uint8_t>(length >> 24),  static_cast<uint8_t>(length >> 16),
        static_cast<uint8_t>(length >> 8),   static_cast<uint8_t>(length)};
    if (!SendCommand(context, opcode::kReadMemory, args)) return false;
    std::array<uint8_t, kMaxLl + 2> reply{};
    size_t replyLength = 0;
    if (!ReadReturnData(context, reply, replyLength)) return false;
    if (replyLength < 2 || reply[1] != opcode::kReadMemory) return false;
    // The count comes from the reply's ll, which must agree with the bytes that came and
    // must fit the caller's buffer.
    const size_t ll = reply[0];
    if (ll < 3 || ll - 3 + 2 > replyLength || ll - 3 > out.size()) return false;
    copied = ll - 3;
    std::copy_n(reply.begin() + 2, copied, out.begin());
    return true;
}

bool ReadVersionBlock(ChipContext& context, std::span<uint8_t, 10> out) {
    constexpr uint32_t kBegin = 0x1B503;
    constexpr uint32_t kEnd = kBegin + 10;
    constexpr uint32_t kMaxPiece = 96;
    constexpr uint32_t kBoundary = 0x10000;
    uint32_t address = kBegin;
    while (address < kEnd) {
        uint32_t piece = std::min(kEnd - address, kMaxPiece);
        const uint32_t toBoundary = kBoundary - (address % kBoundary);
        piece = std::min(piece, toBoundary);
        const size_t offset = address - kBegin;
        size_t copied = 0;
        if (!ReadChipMemory(context, address, piece, out.subspan(offset, piece), copied)) return false;
        // A shorter reply would leave old bytes in the block, read as the chip's identity.
        if (copied != piece) return false;
        address += piece;
    }
    return true;
}

}  // namespace kdx
