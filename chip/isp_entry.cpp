#include "chip/isp_entry.h"

#include <algorithm>
#include <span>

#include "chip/command_channel.h"
#include "package/images.h"

namespace kdx {

CommandTable IspEntryCommand1{{8, 0x51, 0x85, 0xC2, 0x00, 0x00, 0x03, 0x09, 0x72}};
CommandTable IspEntryCommand2{{9, 0x51, 0x86, 0xC2, 0x00, 0x00, 0x04, 0x20, 0x00, 0x5F}};
CommandTable IspDriverStartCommand{{10, 0x51, 0x87, 0xC2, 0x00, 0x00, 0x05, 0x1D, 0x18, 0x00, 0x7A}};

namespace {

// A full chunk: 117 code bytes make a 127-byte packet, the most one command may carry.
constexpr size_t kChunkBytes = 117;
// The chip needs a moment between two full chunks.
constexpr uint16_t kChunkPauseMs = 1;
// A chunk whose acknowledgement does not come within three fast polls is lost.
constexpr int kChunkAckPolls = 3;

// Chip addresses are 16 bits: code that would wrap round past 0xFFFF would overwrite the
// start of the driver in chip memory.
bool FitsChipMemory(const ChipContext& context, size_t length) {
    return length <= size_t{0x10000} - context.ispLoadBase;
}

// One write-memory command (0x13) with the 16-bit chip address, then the code bytes. Its
// status is not examined: a lost packet shows as a missing acknowledgement.
void SendDriverChunk(ChipContext& context, uint16_t chipAddress, std::span<const uint8_t> code) {
    std::array<uint8_t, 2 + kChunkBytes> args{};
    args[0] = static_cast<uint8_t>(chipAddress >> 8);
    args[1] = static_cast<uint8_t>(chipAddress);
    std::copy(code.begin(), code.end(), args.begin() + 2);
    SendCommand(context, opcode::kWriteMemory, std::span<const uint8_t>(args.data(), 2 + code.size()));
}

bool AwaitChunkAck(ChipContext& context) {
    for (int poll = 0; poll < kChunkAckPolls; ++poll) {
        if (ReadAckFast(context)) return true;
    }
    return false;
}

}  // namespace

bool SendCommandTable(ChipContext& context, CommandTable& table) {
    const size_t n = table.bytes[0];
    if (n < 2 || n >= table.bytes.size() || context.activeAdapter == nullptr) return false;
    auto checksum = static_cast<uint8_t>(context.i2cAddress);
    for (size_t i = 1; i < n; ++i) checksum ^= table.bytes[i];
    table.bytes[n] = checksum;
    const auto packet = std::span<const uint8_t>(table.bytes.data() + 1, n);
    if (context.activeAdapter->I2cWrite(context.deviceId, context.i2cAddress, packet) != gfx::kOk) return false;
    return ReadAck(context);
}

bool DownloadIspDriver(ChipContext& context) {
    const std::span<const uint8_t> image(context.ispDriverImage);
    const IspDriverCode located = LocateIspDriverCode(image);
    if (!located.complete || !FitsChipMemory(context, located.length)) return false;
    context.ispDriverCodeStart = located.start;
    context.ispDriverLength = static_cast<int32_t>(located.length);

    const auto code = image.subspan(located.start, located.length);
    const auto total = static_cast<int32_t>(code.size());
    size_t pos = 0;
    while (code.size() - pos > kChunkBytes) {
        DelayMs(context, kChunkPauseMs);
        SendDriverChunk(context, static_cast<uint16_t>(context.ispLoadBase + pos), code.subspan(pos, kChunkBytes));
        if (!AwaitChunkAck(context)) return false;
        pos += kChunkBytes;
        context.ReportProgress(static_cast<int32_t>(pos), total);
    }
    SendDriverChunk(context, static_cast<uint16_t>(context.ispLoadBase + pos), code.subspan(pos));
    if (!AwaitChunkAck(context)) return false;
    context.ReportProgress(total, total);
    return true;
}

}  // namespace kdx
