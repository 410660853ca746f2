#include "chip/command_channel.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "log/aux_log.h"
#include "tests/support/chip_fixture.h"

namespace kdx {
namespace {

using testing::AckReply;
using testing::ChipReply;
using testing::FakeCall;
using testing::kAckReply;
using testing::kNullReply;

struct ChannelFixture : testing::ChipFixture {};

// Polls: what each waits before the next attempt, on the virtual clock.
struct PollCase {
    const char* name;
    bool (*poll)(ChipContext&);
    std::vector<testing::I2cReply> replies;
    bool result;
    size_t attempts;
    int64_t elapsedMs;
};

// kData's body (ll, op and four payload bytes) fills this buffer exactly.
bool ReturnData(ChipContext& c) {
    std::array<uint8_t, 6> out{};
    size_t length = 0;
    return ReadReturnData(c, out, length);
}

const testing::I2cReply kBusy{1003, {}, {}};
const testing::I2cReply kData{0, ChipReply(0x06, std::vector<uint8_t>{1, 2, 3, 4}), {}};

std::vector<uint8_t> Flipped(std::vector<uint8_t> bytes, size_t at) {
    bytes[at] ^= 1;
    return bytes;
}

class PollTest : public ChannelFixture, public ::testing::WithParamInterface<PollCase> {};

TEST_P(PollTest, AttemptsAndPauses) {
    const PollCase& c = GetParam();
    gfx.i2cReplies.assign(c.replies.begin(), c.replies.end());
    EXPECT_EQ(c.poll(context), c.result);
    EXPECT_EQ(gfx.CallsOf(FakeCall::I2cRead).size(), c.attempts);
    EXPECT_EQ(clock.NowUs(), c.elapsedMs * 1000);
    EXPECT_EQ(clock.TimerPeriodDepth(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Channel, PollTest,
    ::testing::Values(
        PollCase{"AckAfterNull", ReadAck, {kNullReply, kAckReply}, true, 2, 40 + 30},
        PollCase{"AckFastAfterNull", ReadAckFast, {kNullReply, kAckReply}, true, 2, 5},
        PollCase{"DataAfterNull", ReturnData, {kNullReply, kData}, true, 2, 40 + 10},
        PollCase{"AckBusy", ReadAck, std::vector<testing::I2cReply>(20, kBusy), false, 20, 40 + 20 * 10},
        PollCase{"AckFastBusy", ReadAckFast, {kBusy, kAckReply}, true, 2, 5},
        PollCase{"DataBusy", ReturnData, {kBusy, kData}, true, 2, 40 + 10},
        PollCase{"AckNeverComes", ReadAck, {}, false, 20, 40 + 20 * 30},
        PollCase{"DataNeverComes", ReturnData, {}, false, 50, 40 + 50 * 10},
        PollCase{"AckFastNeverComes", ReadAckFast, {}, false, 50, 50 * 5},
        PollCase{"AckStatus2", ReadAck, {{2, {}, {}}, kAckReply}, false, 1, 40},
        PollCase{"AckFastStatus5", ReadAckFast, {{5, {}, {}}, kAckReply}, false, 1, 0},
        PollCase{"DataStatus5", ReturnData, {{5, {}, {}}, kData}, false, 1, 40},
        // Any other status is tried again at once.
        PollCase{"AckOtherStatus", ReadAck, {{15, {}, {}}, {-1, {}, {}}, kAckReply}, true, 3, 40},
        PollCase{"DataOtherStatus", ReturnData, {{1002, {}, {}}, kData}, true, 2, 40},
        // A wrong acknowledgement or data reply is not polled again.
        PollCase{"DataWrongMarker", ReturnData, {{0, Flipped(kData.bytes, 2), {}}, kData}, false, 1, 40},
        PollCase{"DataWrongChecksum", ReturnData, {{0, Flipped(kData.bytes, 11), {}}, kData}, false, 1, 40},
        PollCase{"AckWrongOpcode", ReadAck, {{0, ChipReply(0x0D, {}), {}}, kAckReply}, false, 1, 40},
        PollCase{"AckWrongChecksum", ReadAck, {{0, Flipped(AckReply(), 7), {}}, kAckReply}, false, 1, 40},
        // Four bytes are short for an acknowledgement but not a null message for a data poll.
        PollCase{"AckShortReply", ReadAck, {{0, {0x6E, 0x81, 0xC2, 0x00}, {}}, kAckReply}, true, 2, 40 + 30},
        PollCase{"AckSixByteReply", ReadAck, {{0, {0x6E, 0x83, 0xC2, 0x00, 0x00, 0x01}, {}}, kAckReply}, false, 1, 40},
        PollCase{"DataShortReply", ReturnData, {{0, {0x6E, 0x81, 0xC2, 0x00}, {}}, kData}, false, 1, 40}),
    [](const auto& info) { return std::string(info.param.name); });

// The register read: the exact packet, the value from payload bytes 2 and 3 of a reply with
// the read's own opcode; a failed write is not polled, for a register or chip memory.
TEST_F(ChannelFixture, RegisterReads) {
    const struct {
        uint16_t reg;
        std::vector<uint8_t> reply;
        uint32_t value;
        std::vector<uint8_t> packet;
    } cases[] = {
        {0xC802, ChipReply(0x06, std::vector<uint8_t>{0xAA, 0xBB, 0x12, 0x34}), 0x1234,
         {0x51, 0x87, 0xC2, 0x00, 0x00, 0x05, 0x06, 0xC8, 0x02, 0xB3}},
        {0x8002, ChipReply(0x07, std::vector<uint8_t>{0, 0, 0x12, 0x34}), kRegisterReadFailed,
         {0x51, 0x87, 0xC2, 0x00, 0x00, 0x05, 0x06, 0x80, 0x02, 0xFB}},
        {0x8002, ChipReply(0x06, std::vector<uint8_t>{0, 0, 0x12}), kRegisterReadFailed, {}},  // no byte 3
    };
    for (const auto& c : cases) {
        gfx.calls.clear();
        gfx.i2cReplies.assign(1, {0, c.reply, {}});
        EXPECT_EQ(ReadRegister16(context, c.reg), c.value);
        EXPECT_EQ(c.packet.empty() ? c.packet : gfx.calls[0].data, c.packet);
        EXPECT_EQ(gfx.calls[0].address, 0x6Eu);
    }
    gfx.i2cWriteResult = 1002;
    gfx.calls.clear();
    clock.SetCounter(0);
    EXPECT_EQ(ReadRegister16(context, 0xC802), kRegisterReadFailed);
    std::array<uint8_t, 10> out{};
    size_t copied = 99;
    EXPECT_FALSE(ReadChipMemory(context, 0x1B503, 10, out, copied));
    EXPECT_EQ(copied, 0u);
    EXPECT_TRUE(gfx.CallsOf(FakeCall::I2cRead).empty());
    EXPECT_EQ(clock.NowUs(), 0);
}

TEST_F(ChannelFixture, CommandsLongerThanTheFrameAreRefused) {
    std::vector<uint8_t> args(123, 0);
    EXPECT_FALSE(SendCommand(context, 0x13, args));
    EXPECT_TRUE(gfx.calls.empty());
    args.resize(122);
    EXPECT_TRUE(SendCommand(context, 0x13, args));
    ASSERT_EQ(gfx.calls.size(), 1u);
    EXPECT_EQ(gfx.calls[0].data.size(), 130u);
    EXPECT_EQ(gfx.calls[0].data[1], 0xFF);
}

// A chip memory read asks at most 127 bytes and takes as many as the reply's ll announces,
// none at all from a reply without payload.
TEST_F(ChannelFixture, ChipMemoryReadAsksAtMost127Bytes) {
    std::vector<uint8_t> payload(20);
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i + 1);
    gfx.i2cReplies = {{0, ChipReply(0x52, payload), {}}, {0, ChipReply(0x52, {}), {}}};
    std::array<uint8_t, 200> out{};
    size_t copied = 0;
    ASSERT_TRUE(ReadChipMemory(context, 0x81234567, 200, out, copied));
    EXPECT_EQ(gfx.calls[0].data, (std::vector<uint8_t>{0x51, 0x8D, 0xC2, 0x00, 0x00, 0x0B, 0x52, 0x81, 0x23, 0x45,
                                                       0x67, 0x00, 0x00, 0x00, 0x7F, 0xD6}));
    EXPECT_EQ(copied, 20u);
    EXPECT_TRUE(std::equal(payload.begin(), payload.end(), out.begin()));
    EXPECT_EQ(out[20], 0);
    EXPECT_TRUE(ReadChipMemory(context, 0x81234567, 0, out, copied));
    EXPECT_EQ(copied, 0u);
}

// The version block is one 10-byte read from 0x1B503; a reply with fewer bytes would leave
// stale bytes in the block and fails.
TEST_F(ChannelFixture, VersionBlockIsOneTenByteRead) {
    const std::vector<uint8_t> block{'K', 'X', '4', '6', '1', '0', 0x22, 1, 40, 0};
    gfx.i2cReplies = {{0, ChipReply(0x52, block), {}}, {0, ChipReply(0x52, std::span(block).first(9)), {}}};
    std::array<uint8_t, 10> out{};
    EXPECT_TRUE(ReadVersionBlock(context, out));
    EXPECT_EQ(gfx.calls[0].data, (std::vector<uint8_t>{0x51, 0x8D, 0xC2, 0x00, 0x00, 0x0B, 0x52, 0x00, 0x01, 0xB5,
                                                       0x03, 0x00, 0x00, 0x00, 0x0A, 0x94}));
    EXPECT_TRUE(std::equal(block.begin(), block.end(), out.begin()));
    EXPECT_FALSE(ReadVersionBlock(context, out));
}

// From 20 ms on a wait sleeps, with the timer resolution raised to 1 ms only around the
// sleep; a shorter one busy-waits, and 0 ms returns at once.
TEST_F(ChannelFixture, DelaysSleepFrom20Ms) {
    DelayMs(context, 0);
    EXPECT_EQ(clock.NowUs(), 0);
    DelayMs(context, 19);
    EXPECT_EQ(clock.SleepCalls(), 0);
    DelayMs(context, 20);
    EXPECT_EQ(clock.SleepCalls(), 1);
    EXPECT_EQ(clock.TimerPeriodRaises(), 1);
    EXPECT_EQ(clock.TimerPeriodDepth(), 0);
    EXPECT_EQ(clock.NowUs(), 39'000);
}

// Replies that would reach past a buffer, or that are not whole, fail without a byte
// written beyond the caller's buffer.
TEST_F(ChannelFixture, MalformedDataRepliesFail) {
    const std::vector<uint8_t> ten(10, 0xAB);
    const std::vector<uint8_t> good = ChipReply(0x52, ten);
    // The good reply with byte `at` set to `value`, its checksum made right again.
    const auto patched = [&good](size_t at, uint8_t value) {
        std::vector<uint8_t> r = good;
        r[at] = value;
        r.back() ^= good[at] ^ value;
        return r;
    };
    const struct {
        const char* name;
        std::vector<uint8_t> bytes;
    } cases[] = {
        {"more than the caller's buffer", ChipReply(0x52, std::vector<uint8_t>(11, 0xAB))},
        {"ll announces more than came", patched(5, 14)},
        {"ll below 3", patched(5, 2)},
        {"ll of 0", patched(5, 0)},
        {"wrong opcode", ChipReply(0x53, ten)},
        {"wrong marker", patched(2, 0xC3)},
        {"reserved byte 3 set", patched(3, 0x01)},
        {"reserved byte 4 set", patched(4, 0x01)},
        {"bad checksum", Flipped(good, good.size() - 1)},
        {"only a header", {0x6E, 0x85, 0xC2, 0x00, 0x00, 0x03, 0x52}},
    };
    for (const auto& c : cases) {
        gfx.i2cReplies.assign(1, {0, c.bytes, {}});
        std::array<uint8_t, 14> guarded{};
        size_t copied = 99;
        EXPECT_FALSE(ReadChipMemory(context, 0x1B503, 10, std::span<uint8_t>(guarded).first(10), copied)) << c.name;
        EXPECT_EQ(copied, 0u) << c.name;
        EXPECT_EQ(guarded[10] | guarded[11] | guarded[12] | guarded[13], 0) << c.name;
    }
    // A count one beyond the bytes that came fails also when the caller has room for it.
    gfx.i2cReplies.assign(1, {0, patched(5, 14), {}});
    std::array<uint8_t, 14> roomy{};
    size_t copied = 99;
    EXPECT_FALSE(ReadChipMemory(context, 0x1B503, 10, roomy, copied));
}

// The adapter stores at most MaxBlockLength (131) bytes of a reply but counts all of it. A
// reply of 132 bytes lacks its checksum in the buffer; a stale byte that happens to lie
// there from an earlier, longer use of the buffer must not complete it.
TEST_F(ChannelFixture, RepliesCountedBeyondTheCapacityFail) {
    const auto reply = ChipReply(0x52, std::vector<uint8_t>(124, 0xAB));
    ASSERT_EQ(reply.size(), 132u);
    context.scratch[131] = reply.back();
    gfx.i2cReplies.assign(1, {0, reply, {}});
    std::array<uint8_t, 127> out{};
    size_t copied = 0;
    EXPECT_FALSE(ReadChipMemory(context, 0, 124, out, copied));

    auto ack = AckReply();
    ack.resize(132, 0x00);
    gfx.i2cReplies.assign(1, {0, ack, {}});
    EXPECT_FALSE(ReadAck(context));

    // A backend of long blocks can count replies beyond what the caller's buffer holds: the
    // body of a reply (ll, op, payload) is never copied past it.
    gfx.MaxBlockLength = 512;
    gfx.i2cReplies.assign(1, {0, ChipReply(0x52, std::vector<uint8_t>(128, 0xAB)), {}});
    std::array<uint8_t, 200> wide{};
    EXPECT_FALSE(ReadChipMemory(context, 0, 127, wide, copied));
    gfx.i2cReplies.assign(1, {0, ChipReply(0x06, std::vector<uint8_t>(128, 0x12)), {}});
    EXPECT_EQ(ReadRegister16(context, 0xC802), kRegisterReadFailed);
    gfx.i2cReplies.assign(1, kData);
    std::array<uint8_t, 5> narrow{};
    size_t length = 9;
    EXPECT_FALSE(ReadReturnData(context, narrow, length));
    EXPECT_EQ(length, 0u);

    // The capacity handed to the adapter: its block length kept within the reply buffer,
    // none at all for a backend without a usable length.
    const std::pair<int32_t, size_t> capacities[] = {
        {131, 131}, {8, 8}, {1, 1}, {0, 0}, {-1, 0}, {4096, context.scratch.size()}};
    for (const auto& [maxBlock, capacity] : capacities) {
        gfx.MaxBlockLength = maxBlock;
        gfx.i2cReplies.assign(1, kAckReply);
        EXPECT_EQ(ReadAck(context), capacity >= 8) << maxBlock;
        EXPECT_EQ(gfx.CallsOf(FakeCall::I2cRead).back().capacity, capacity) << maxBlock;
    }
}

// The log file lands in the current directory: each test that writes one runs in a fresh
// directory of its own, left again (and removed) when the test ends.
class LogDirectory {
public:
    explicit LogDirectory(const std::string& name)
        : dir_(std::filesystem::temp_directory_path() /
               (name + std::to_string(::testing::UnitTest::GetInstance()->random_seed()))) {
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
        std::filesystem::current_path(dir_);
    }
    ~LogDirectory() {
        std::filesystem::current_path(previous_);
        std::filesystem::remove_all(dir_);
    }
    LogDirectory(const LogDirectory&) = delete;
    LogDirectory& operator=(const LogDirectory&) = delete;

    std::string Log() const {
        std::ifstream file(dir_ / "AuxISPTool.log", std::ios::binary);
        return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    }

private:
    std::filesystem::path previous_ = std::filesystem::current_path();
    std::filesystem::path dir_;
};

// Log lines go to AuxISPTool.log in the current directory, one per attempt that came with
// a diagnostic text.
TEST_F(ChannelFixture, DiagnosticTextsBecomeLogLines) {
    const LogDirectory dir("kdx_channel_log_");

    gfx.i2cReplies = {{1003, {}, u"busy"}, {0, {0x6E, 0x80, 0xBE}, u""}, {0, AckReply(), u"ack é"}};
    EXPECT_TRUE(ReadAck(context));
    gfx.i2cReplies = {{0, AckReply(), u"fast"}};
    EXPECT_TRUE(ReadAckFast(context));
    gfx.i2cReplies = {{0, ChipReply(0x06, std::vector<uint8_t>{0, 0, 1, 2}), u"data"}};
    EXPECT_EQ(ReadRegister16(context, 0xC802), 0x0102u);
    gfx.i2cReplies = {{0, AckReply(), u""}};
    EXPECT_TRUE(ReadAck(context));
    EXPECT_EQ(dir.Log(),
              "Read I2C Ack: busy\r\nRead I2C Ack: ack \xC3\xA9\r\nRead I2C Ack fast: fast\r\n"
              "Read return data: data\r\n");
}

// A log line and its terminating zero fill at most the 2,048-byte conversion buffer,
// counted in UTF-8 bytes: the longest line that fits is written whole, a longer one not at all.
TEST(AuxLog, ALineLongerThanTheBufferIsDroppedWhole) {
    const LogDirectory dir("kdx_log_bound_");

    const WText longest(kLogLineBufferSize - 1, u'a');
    AppendLogLine(longest);
    AppendLogLine(longest + u"b");
    AppendLogLine(WText(kLogLineBufferSize / 2, u'\u00E9'));  // 1,024 characters, 2,048 bytes
    EXPECT_EQ(dir.Log(), std::string(kLogLineBufferSize - 1, 'a'));
}

}  // namespace
}  // namespace kdx
