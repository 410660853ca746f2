// Arbitrary mailbox memory and replies, as a damaged or hostile chip might give them, fed
// to the operations that read the mailbox: the window descriptor, the flash identifier,
// packetised data replies, and the block write through an arbitrary window descriptor.
// Every one of them must end, within its buffers, whatever the chip answers.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

#include "chip/chip_context.h"
#include "chip/firmware_write.h"
#include "chip/flash_ops.h"
#include "chip/mailbox.h"
#include "support/test_system.h"

namespace {

using namespace kdx;

// Every native read is answered from the fuzz input, with an occasional failure status;
// once the input is used up, reads fail, so that every poll ends at its limit quickly.
class FuzzedAdapter final : public GfxLib {
public:
    explicit FuzzedAdapter(FuzzedDataProvider& data) : data_(data) {}

    int32_t Initialize(WText&) override { return 0; }
    int32_t FindDevice(uint32_t& deviceId, uint32_t, WText&) override {
        deviceId = 0;
        return 0;
    }
    int32_t I2cWrite(uint32_t, uint32_t, std::span<const uint8_t>) override { return 0; }
    int32_t I2cRead(uint32_t, uint32_t, std::span<uint8_t>, int32_t& count, WText&) override {
        count = 0;
        return gfx::kNotSupported;
    }
    int32_t NativeWrite(uint32_t, uint32_t, std::span<const uint8_t> data) override {
        if (data.empty()) return gfx::kInvalidArgument;
        return data_.remaining_bytes() == 0 ? 0 : Status();
    }
    int32_t NativeRead(uint32_t, uint32_t, std::span<uint8_t> buffer) override {
        if (buffer.empty()) return gfx::kInvalidArgument;
        if (data_.remaining_bytes() == 0) return gfx::kDriverCallFailed;
        const int32_t status = Status();
        const auto bytes = data_.ConsumeBytes<uint8_t>(buffer.size());
        std::copy(bytes.begin(), bytes.end(), buffer.begin());
        return status;
    }

private:
    int32_t Status() { return data_.ConsumeIntegralInRange<uint8_t>(0, 15) == 0 ? gfx::kDriverCallFailed : 0; }
    FuzzedDataProvider& data_;
};

struct Sink final : TarvikControlDelegate {
    void ReportProgress(int32_t, int32_t) override {}
};

void WriteThroughWindow(ChipContext& context, FuzzedDataProvider& data) {
    MailboxWindow& window = context.mailbox;
    window.cmdBufferAddr = data.ConsumeIntegral<uint32_t>();
    window.cmdBufferSize = data.ConsumeIntegral<uint16_t>();
    window.replyBufferAddr = data.ConsumeIntegral<uint32_t>();
    window.replyBufferSize = data.ConsumeIntegral<uint16_t>();
    window.lowFlagAddr = window.cmdBufferAddr + window.cmdBufferSize / 2 - 1;
    window.highFlagAddr = window.cmdBufferAddr + window.cmdBufferSize - 1;
    // A small image with a blank stretch, so that both kinds of block occur.
    const size_t size = data.ConsumeIntegralInRange<size_t>(0, 1500);
    context.firmwareImage.assign(size, 0xFF);
    for (size_t i = 0; i < size / 2; ++i) context.firmwareImage[i] = static_cast<uint8_t>(i);
    context.firmwareSize = static_cast<int32_t>(size);
    WriteFirmware(context);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    FuzzedDataProvider data(bytes, size);
    testing::TestSystem sys;
    ChipContext context(sys.system, sys.connector, sys.controlLibrary);
    FuzzedAdapter adapter(data);
    Sink sink;
    context.activeAdapter = &adapter;
    context.progressSink = data.ConsumeBool() ? &sink : nullptr;
    context.firmwareSize = data.ConsumeIntegralInRange<int32_t>(-4, 0x80000);
    context.topBlockVersion = data.ConsumeIntegral<uint16_t>();
    context.FirmwareFamily = data.ConsumeIntegralInRange<int32_t>(-1, 5);

    WText error;
    switch (data.ConsumeIntegralInRange<int>(0, 4)) {
        case 0:
            GetDpcdBufferAddr(context, error);
            break;
        case 1:
            GetFlashId(context, context.flashId, error);
            break;
        case 2: {
            std::vector<uint8_t> out(data.ConsumeIntegralInRange<size_t>(0, 300));
            ReadReplyData(context, out);
            break;
        }
        case 3:
            ReadFirmwareVersion(context);
            break;
        default:
            WriteThroughWindow(context, data);
            break;
    }
    return 0;
}
