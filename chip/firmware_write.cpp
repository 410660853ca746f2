#include "chip/firmware_write.h"

#include <algorithm>

#include "chip/command_channel.h"
#include "chip/mailbox.h"
#include "chip/mailbox_io.h"

namespace kdx {

namespace {

using mailbox_io::Read;
using mailbox_io::Write;

constexpr std::array<uint8_t, 3> kWriteBlockRequest{0x03, 0x10, 0x13};

constexpr uint16_t kCrcPolynomial = 0x1021;
constexpr uint16_t kCrcInitial = 0x1021;
// Prepared block: data, then 00 00 CRC-high CRC-low.
constexpr size_t kCrcFieldBytes = 4;
constexpr uint8_t kErasedByte = 0xFF;

// The command buffer carries the 8-byte header in front of the block's data.
constexpr size_t kBlockHeaderBytes = 8;
// A flag holds its half's byte count in 8 bits.
constexpr size_t kMaxFlagCount = 255;
// Block headers carry 24-bit flash addresses.
constexpr uint64_t kFlashAddressSpace = 0x1000000;

// The driver needs a moment after the erase acknowledgement before the first block.
constexpr uint16_t kWriteStartPauseMs = 15;
// Lower flag free before the header: the driver may still be programming the last block.
constexpr int kLowFlagFreeReads = 100;
constexpr uint16_t kLowFlagBusyPauseMs = 30;
constexpr uint16_t kLowFlagReadErrorPauseMs = 10;
// Header attempts.
constexpr int kHeaderAttempts = 100;
constexpr uint16_t kHeaderRetryPauseMs = 10;
constexpr int kHeaderReadBacks = 100;
// Halves: flag free, data writes, the flag itself.
constexpr int kHalfFlagFreeReads = 100;
constexpr int kHalfWriteErrors = 100;
constexpr uint16_t kHalfWriteErrorPauseMs = 10;
constexpr int kHalfFlagWrites = 100;
// Before the acknowledgement wait: the driver starts programming once the lower flag is set.
constexpr uint16_t kBeforeAckPauseMs = 10;

// Both halves end in their flag; their data must stay below it.
size_t LowerHalfCapacity(const MailboxWindow& window) { return window.cmdBufferSize / 2u - 1u; }
size_t UpperHalfCapacity(const MailboxWindow& window) {
    return window.cmdBufferSize - window.cmdBufferSize / 2u - 1u;
}

bool HalvesFit(const ChipContext& context, size_t length) {
    const MailboxWindow& window = context.mailbox;
    if (window.cmdBufferSize < mailbox::kMinCmdBufferSize) return false;
    const size_t upper = length / 2;
    const size_t lower = length - upper;
    return lower <= kMaxFlagCount && lower <= LowerHalfCapacity(window) && upper <= UpperHalfCapacity(window);
}

bool WriteByte(ChipContext& context, uint32_t address, uint8_t value) {
    const std::array<uint8_t, 1> byte{value};
    return Write(context, address, byte) == gfx::kOk;
}

bool AwaitFlagFree(ChipContext& context, uint32_t flagAddress) {
    for (int attempt = 0; attempt < kHalfFlagFreeReads; ++attempt) {
        if (Read(context, flagAddress, 1) == gfx::kOk && context.scratch[0] == 0) return true;
    }
    return false;
}

bool AwaitLowFlagFreeForHeader(ChipContext& context) {
    for (int attempt = 0; attempt < kLowFlagFreeReads; ++attempt) {
        if (Read(context, context.mailbox.lowFlagAddr, 1) != gfx::kOk) {
            DelayMs(context, kLowFlagReadErrorPauseMs);
        } else if (context.scratch[0] != 0) {
            DelayMs(context, kLowFlagBusyPauseMs);
        } else {
            return true;
        }
    }
    return false;
}

// The half's bytes in writes of at most MaxBlockLength, each at the next address.
bool WriteHalfData(ChipContext& context, std::span<const uint8_t> data, uint32_t address) {
    const auto piece = static_cast<size_t>(std::max(context.activeAdapter->MaxBlockLength, int32_t{1}));
    int errors = 0;
    size_t pos = 0;
    while (pos < data.size()) {
        const size_t n = std::min(piece, data.size() - pos);
        if (Write(context, address + static_cast<uint32_t>(pos), data.subspan(pos, n)) == gfx::kOk) {
            pos += n;
            continue;
        }
        if (++errors >= kHalfWriteErrors) return false;
        DelayMs(context, kHalfWriteErrorPauseMs);
    }
    return true;
}

bool WriteHalfFlag(ChipContext& context, uint32_t flagAddress, uint8_t count) {
    for (int attempt = 0; attempt < kHalfFlagWrites; ++attempt) {
        if (WriteByte(context, flagAddress, count)) return true;
    }
    return false;
}

// One half: wait until the driver has taken what was there, post the bytes, then the count.
bool PostHalf(ChipContext& context, std::span<const uint8_t> data, uint32_t address, uint32_t flagAddress) {
    return AwaitFlagFree(context, flagAddress) && WriteHalfData(context, data, address) &&
           WriteHalfFlag(context, flagAddress, static_cast<uint8_t>(data.size()));
}

bool SendBlockHeaderWithRetries(ChipContext& context, const BlockHeader& header) {
    for (int attempt = 0; attempt < kHeaderAttempts; ++attempt) {
        if (SendBlockHeader(context, header)) return true;
        DelayMs(context, kHeaderRetryPauseMs);
    }
    return false;
}

bool WriteBlock(ChipContext& context, const BlockHeader& header, size_t length) {
    if (!SendRequest(context, kWriteBlockRequest)) return false;
    // The driver may already have put something in the reply buffer; nothing depends on it.
    Read(context, context.mailbox.replyBufferAddr, 1);
    if (!AwaitLowFlagFreeForHeader(context)) return false;
    if (!SendBlockHeaderWithRetries(context, header)) return false;
    return WriteBlockData(context, length);
}

}  // namespace

uint16_t BlockCrc16(std::span<const uint8_t> data) {
    uint16_t crc = kCrcInitial;
    for (const uint8_t byte : data) {
        for (int bit = 7; bit >= 0; --bit) {
            const bool dataBit = (byte >> bit & 1) != 0;
            const bool topBit = (crc & 0x8000) != 0;
            crc = static_cast<uint16_t>(crc << 1);
            if (dataBit != topBit) crc ^= kCrcPolynomial;
        }
    }
    return crc;
}

size_t BlockDataLimit(const ChipContext& context) {
    const MailboxWindow& window = context.mailbox;
    if (window.cmdBufferSize < mailbox::kMinCmdBufferSize) return 0;
    // The lower half carries the larger part, L - L/2, which its flag must count.
    constexpr size_t kFlagLimit = 2 * kMaxFlagCount - kCrcFieldBytes;
    constexpr size_t kBufferLimit = ChipContext::kPacketBufferSize - kCrcFieldBytes;
    return std::min({window.cmdBufferSize - kBlockHeaderBytes, kFlagLimit, kBufferLimit});
}

PreparedBlock PrepareBlock(ChipContext& context, std::span<const uint8_t> data) {
    if (data.size() + kCrcFieldBytes > context.packetBuffer.size()) return {};
    auto out = std::copy(data.begin(), data.end(), context.packetBuffer.begin());
    const uint16_t crc = BlockCrc16(data);
    *out++ = 0x00;
    *out++ = 0x00;
    *out++ = static_cast<uint8_t>(crc >> 8);
    *out++ = static_cast<uint8_t>(crc);
    const bool blank = std::all_of(data.begin(), data.end(), [](uint8_t b) { return b == kErasedByte; });
    return {data.size() + kCrcFieldBytes, blank};
}

BlockHeader MakeBlockHeader(uint32_t flashAddress, uint32_t dataLength) {
    return {0x00,
            static_cast<uint8_t>(flashAddress >> 16),
            static_cast<uint8_t>(flashAddress >> 8),
            static_cast<uint8_t>(flashAddress),
            static_cast<uint8_t>(dataLength >> 24),
            static_cast<uint8_t>(dataLength >> 16),
            static_cast<uint8_t>(dataLength >> 8),
            static_cast<uint8_t>(dataLength)};
}

bool SendBlockHeader(ChipContext& context, const BlockHeader& header) {
    const MailboxWindow& window = context.mailbox;
    if (Write(context, window.cmdBufferAddr, header) != gfx::kOk) {
        // The write may have arrived all the same: the header as read back decides.
        bool readBack = false;
        for (int attempt = 0; attempt < kHeaderReadBacks && !readBack; ++attempt) {
            readBack = Read(context, window.cmdBufferAddr, header.size()) == gfx::kOk;
        }
        if (!readBack || !std::equal(header.begin(), header.end(), context.scratch.begin())) return false;
    }
    // Only the count in the lower flag makes the driver take the header. Unannounced, it
    // would be overwritten by the block's lower half while the driver waits for it, so the
    // announcement is made on either path. It is made once, whatever the write reports:
    // a write that reports an error may still have arrived, and by the time the flag
    // could be read back the driver may have taken the header and cleared it again, so a
    // second header would reach the driver as the start of the block's data.
    WriteByte(context, window.lowFlagAddr, static_cast<uint8_t>(kBlockHeaderBytes));
    return true;
}

bool WriteBlockData(ChipContext& context, size_t length) {
    const MailboxWindow& window = context.mailbox;
    if (length <= kCrcFieldBytes || length + 2 > window.cmdBufferSize || length > context.packetBuffer.size() ||
        !HalvesFit(context, length)) {
        return false;
    }
    const std::span<const uint8_t> block(context.packetBuffer.data(), length);
    const size_t upper = length / 2;
    // The lower half's flag wait is also the wait for the driver to have taken the header,
    // which lies in the same half.
    const bool posted =
        PostHalf(context, block.first(upper), window.cmdBufferAddr + window.cmdBufferSize / 2u, window.highFlagAddr) &&
        PostHalf(context, block.subspan(upper), window.cmdBufferAddr, window.lowFlagAddr);
    DelayMs(context, kBeforeAckPauseMs);
    if (!posted) return false;
    if (!WaitWriteAck(context)) return false;
    // A block counts as written only once the reply buffer is free for the next one.
    return ReleaseReply(context);
}

bool WriteRegion(ChipContext& context, std::span<const uint8_t> source, uint32_t start, int32_t& done,
                 int32_t total) {
    const size_t limit = BlockDataLimit(context);
    if (limit == 0 || context.activeAdapter == nullptr) return false;
    if (uint64_t{context.flashBase} + start + source.size() > kFlashAddressSpace) return false;
    DelayMs(context, kWriteStartPauseMs);
    bool result = false;
    size_t offset = 0;
    while (offset < source.size()) {
        const size_t n = std::min(source.size() - offset, limit);
        const PreparedBlock block = PrepareBlock(context, source.subspan(offset, n));
        const BlockHeader header =
            MakeBlockHeader(context.flashBase + start + static_cast<uint32_t>(offset), static_cast<uint32_t>(n));
        if (!block.blank) {
            if (!WriteBlock(context, header, block.length)) return false;
            result = true;
        }
        offset += n;
        done += static_cast<int32_t>(n);
        context.ReportProgress(done, total);
    }
    return result;
}

bool WriteFirmware(ChipContext& context) {
    if (context.firmwareSize <= 0 || static_cast<size_t>(context.firmwareSize) > context.firmwareImage.size()) {
        return false;
    }
    const std::span<const uint8_t> image(context.firmwareImage.data(), static_cast<size_t>(context.firmwareSize));
    int32_t done = 0;
    return WriteRegion(context, image, 0, done, context.firmwareSize);
}

}  // namespace kdx
