// Arbitrary chip replies against the command channel and chip identification: whatever
// the adapter hands back, nothing is read or written outside a buffer and every poll ends.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "chip/chip_identity.h"
#include "chip/command_channel.h"
#include "platform/system.h"
#include "tests/support/fake_gfx_lib.h"
#include "tests/support/test_system.h"

namespace {

class Input {
public:
    explicit Input(std::span<const uint8_t> data) : data_(data) {}
    bool Empty() const { return pos_ >= data_.size(); }
    uint8_t Byte() { return Empty() ? 0 : data_[pos_++]; }
    std::vector<uint8_t> Bytes(size_t n) {
        std::vector<uint8_t> out;
        while (n-- > 0 && !Empty()) out.push_back(data_[pos_++]);
        return out;
    }

private:
    std::span<const uint8_t> data_;
    size_t pos_ = 0;
};

// The statuses an adapter may return, weighted towards success.
int32_t Status(uint8_t selector) {
    static constexpr int32_t kStatuses[] = {0, 0, 0, 0, 0, 1003, 2, 5, 15, 13, -1, 1002};
    return kStatuses[selector % std::size(kStatuses)];
}

// Replies: a status selector, a length, then that many bytes. Some are framed properly
// (with a fuzzed opcode and payload) so that the checks past the checksum are reached.
void ScriptReplies(Input& in, kdx::testing::FakeGfxLib& gfx) {
    while (!in.Empty() && gfx.i2cReplies.size() < 256) {
        const uint8_t kind = in.Byte();
        const uint8_t length = in.Byte();
        kdx::testing::I2cReply reply;
        reply.status = Status(kind);
        if (kind & 0x80) {
            const uint8_t op = in.Byte();
            reply.bytes = kdx::testing::ChipReply(op, in.Bytes(length % 130));
        } else {
            reply.bytes = in.Bytes(length);
        }
        gfx.i2cReplies.push_back(std::move(reply));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(std::span<const uint8_t>(data, size));
    kdx::testing::TestSystem sys;
    kdx::ChipContext context(sys.system, sys.connector, sys.controlLibrary);
    kdx::testing::FakeGfxLib gfx;
    context.activeAdapter = &gfx;

    const uint8_t selector = in.Byte();
    const uint8_t addressByte = in.Byte();
    const uint8_t lengthByte = in.Byte();
    // The DPCD block and whether its native read fails.
    const bool nativeFails = in.Byte() & 1;
    gfx.ServeReadsAt(0x503, in.Bytes(10));
    if (nativeFails) gfx.onNativeRead = [](uint32_t, std::span<uint8_t>, int32_t& result) { result = 1; };
    // The empty queue answers with null messages; a fuzzed default exercises the rest.
    if (selector & 0x10) gfx.i2cDefaultReply = {Status(addressByte), in.Bytes(lengthByte), {}};
    ScriptReplies(in, gfx);

    switch (selector % 6) {
        case 0:
            (void)kdx::ReadRegister16(context, static_cast<uint16_t>(addressByte << 8 | lengthByte));
            break;
        case 1: {
            std::vector<uint8_t> out(lengthByte % 128);
            size_t copied = 0;
            if (kdx::ReadChipMemory(context, addressByte, lengthByte, out, copied) && copied > out.size()) __builtin_trap();
            break;
        }
        case 2: {
            std::array<uint8_t, 10> out{};
            (void)kdx::ReadVersionBlock(context, out);
            break;
        }
        case 3:
            (void)kdx::ReadAck(context);
            (void)kdx::ReadAckFast(context);
            break;
        default: {
            int32_t resultCode = 99;
            kdx::WText current;
            kdx::WText chip;
            const bool passes = kdx::CheckChip(context, resultCode, current, chip);
            // Only a KX4610 of cut 2.2 below 1.58, or its iROM, may go on.
            if (passes && (resultCode != 99 || chip != u"2.2")) __builtin_trap();
            if (!passes && resultCode != 30 && resultCode != 40) __builtin_trap();
            break;
        }
    }
    return 0;
}
