#include "chip/command_channel.h"

#include <gtest/gtest.h>

#include "support/fake_gfx_lib.h"

namespace kdx {
namespace {

using testing::AckReply;
using testing::ChipReply;
using testing::FakeCall;
using testing::FakeGfxLib;

struct ChannelFixture : ::testing::Test {
    platform::VirtualClock clock;
    platform::MemoryResources resources;
    struct NullDebug : platform::DebugOutput {
        void Write(WTextView) override {}
    } debug;
    platform::System system{clock, debug, resources};
    struct NoDriver : platform::DriverConnector {
        int32_t CreateInstance(platform::DriverInterface*& out) override {
            out = nullptr;
            return platform::kClassNotRegistered;
        }
    } connector;
    ChipContext context{system, connector};
    FakeGfxLib gfx;

    void SetUp() override { context.activeAdapter = &gfx; }
};

TEST_F(ChannelFixture, ReadRegister16SendsTheExactPacketAndTakesPayloadBytes2And3) {
    const uint8_t payload[] = {0xAA, 0xBB, 0x12, 0x34};
    gfx.i2cReplies.push_back({0, ChipReply(0x06, payload), {}});
    EXPECT_EQ(ReadRegister16(context, 0xC802), 0x1234u);
    const auto writes = gfx.CallsOf(FakeCall::I2cWrite);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].data, (std::vector<uint8_t>{0x51, 0x87, 0xC2, 0x00, 0x00, 0x05, 0x06, 0xC8, 0x02, 0xB3}));
    EXPECT_EQ(writes[0].address, 0x6Eu);
}

TEST_F(ChannelFixture, ReadAckAcceptsOnlyTheExactAcknowledgement) {
    gfx.i2cReplies.push_back({0, AckReply(), {}});
    EXPECT_TRUE(ReadAck(context));
    auto wrong = AckReply();
    wrong[7] ^= 1;
    gfx.i2cReplies.push_back({0, wrong, {}});
    EXPECT_FALSE(ReadAck(context));
    EXPECT_TRUE(gfx.i2cReplies.empty());
}

TEST_F(ChannelFixture, ReadReturnDataGivesUpAfterFiftyNullMessages) {
    EXPECT_FALSE(ReadRegister16(context, 0x8002) != kRegisterReadFailed);
    EXPECT_EQ(gfx.CallsOf(FakeCall::I2cRead).size(), 50u);
    // 40 ms before the first attempt, 10 ms after each null message.
    EXPECT_EQ(clock.NowUs(), (40 + 50 * 10) * 1000);
}

}  // namespace
}  // namespace kdx
