#include "chip/mailbox.h"

#include <gtest/gtest.h>

#include "chip/mailbox_io.h"
#include "tests/support/chip_fixture.h"

namespace kdx {
namespace {

using testing::FakeCall;
using testing::SimBench;

// The waits of the closing request and of the erase.
constexpr AckWaitParameters kEndIspAckWait{250, 10, 0, 10, 0, false, false};
constexpr AckWaitParameters kEraseAckWait{250, 150, 50, 50, 1, false, true};

using MailboxTest = testing::SimFixture;

constexpr uint32_t kWindowAddr = 0x30000;

// The window descriptor: command buffer address and size, reply buffer address and size.
std::vector<uint8_t> Descriptor(uint32_t cmdAddr, uint16_t cmdSize, uint32_t replyAddr, uint16_t replySize) {
    std::vector<uint8_t> d;
    for (const auto& [value, bytes] : {std::pair<uint32_t, int>{cmdAddr, 4}, {cmdSize, 2}, {replyAddr, 4}, {replySize, 2}})
        for (int i = 0; i < bytes; ++i) d.push_back(static_cast<uint8_t>(value >> (8 * i)));
    return d;
}

TEST_F(MailboxTest, WindowDescriptorIsReadAndTheFlagsDerived) {
    context.scratch.fill(0xAA);  // left behind by earlier reads: only the bytes read count
    gfx.ServeReadsAt(kWindowAddr, Descriptor(0x21000, 511, 0x11000, 64));
    WText error = u"untouched";
    ASSERT_TRUE(GetDpcdBufferAddr(context, error));
    EXPECT_EQ(error, u"untouched");
    const MailboxWindow& w = context.mailbox;
    EXPECT_EQ(w.windowAddress, kWindowAddr);
    EXPECT_EQ(w.cmdBufferAddr, 0x21000u);
    EXPECT_EQ(w.cmdBufferSize, 511);
    EXPECT_EQ(w.replyBufferAddr, 0x11000u);
    EXPECT_EQ(w.replyBufferSize, 64);
    EXPECT_EQ(w.lowFlagAddr, 0x21000u + 254);
    EXPECT_EQ(w.highFlagAddr, 0x21000u + 510);
    EXPECT_EQ(SpansOf(Reads()), (testing::Spans{{0x40C, 3}, {kWindowAddr, 12}}));
    EXPECT_EQ(clock.NowUs(), 2000);
}

TEST_F(MailboxTest, WindowFailuresCarryTheirDetailText) {
    gfx.AnswerReadsAt(0x40C, 1002);
    WText error;
    EXPECT_FALSE(GetDpcdBufferAddr(context, error));
    EXPECT_EQ(error, u"Sending Native-Read 0x40C cmd error! (1002)\r\n");
    SimBench noWindow{{"window-zero"}};
    EXPECT_FALSE(GetDpcdBufferAddr(noWindow.context, error));
    EXPECT_EQ(error, u"DPCD window addr = 0");
    EXPECT_EQ(noWindow.Reads().size(), 1u);
    SimBench unreadable;
    unreadable.gfx.AnswerReadsAt(kWindowAddr, -1);
    EXPECT_FALSE(GetDpcdBufferAddr(unreadable.context, error));
    EXPECT_EQ(error, u"Sending Native-Read WinAddr cmd error! (-1)");
}

TEST_F(MailboxTest, UnusableBufferSizesFailButTheValuesReadStayInForce) {
    const struct {
        uint16_t cmdSize;
        uint16_t replySize;
        std::u16string_view error;  // empty: the window is usable
    } cases[] = {
        {512, 0, u"DPCD buffer size = 0"},
        {0, 128, u"DPCD buffer size = 0"},
        {19, 128, u"DPCD buffer size too small"},
        {20, 1, u""},
    };
    for (const auto& c : cases) {
        gfx.ServeReadsAt(kWindowAddr, Descriptor(0x22000, c.cmdSize, 0x10000, c.replySize));
        WText error;
        EXPECT_EQ(GetDpcdBufferAddr(context, error), c.error.empty()) << c.cmdSize;
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(context.mailbox.cmdBufferAddr, 0x22000u);
        EXPECT_EQ(context.mailbox.cmdBufferSize, c.cmdSize);
    }
}

TEST_F(MailboxTest, RequestBodyGoesFirstThenTheLengthByte) {
    const std::vector<uint8_t> block{0x04, 0x20, 0x01, 0x25};
    ASSERT_TRUE(SendRequest(context, block));
    ASSERT_EQ(SpansOf(Writes()), (testing::Spans{{0x20001, 3}, {0x20000, 1}}));
    EXPECT_EQ(Writes()[0].data, (std::vector<uint8_t>{0x20, 0x01, 0x25}));
    EXPECT_EQ(Writes()[1].data, (std::vector<uint8_t>{0x04}));
    // A length byte beyond the block is refused without any traffic.
    gfx.calls.clear();
    EXPECT_FALSE(SendRequest(context, std::vector<uint8_t>{0x05, 0x20, 0x01}));
    // So are a length byte that leaves no body, and no block at all.
    EXPECT_FALSE(SendRequest(context, std::vector<uint8_t>{0x01, 0x20}));
    EXPECT_FALSE(SendRequest(context, std::span<const uint8_t>{}));
    EXPECT_TRUE(gfx.calls.empty());
    // The shortest request: the length byte and one byte of body.
    ASSERT_TRUE(SendRequest(context, std::vector<uint8_t>{0x02, 0x1C, 0xEE}));
    EXPECT_EQ(SpansOf(Writes()), (testing::Spans{{0x20001, 1}, {0x20000, 1}}));
}

TEST_F(MailboxTest, RequestWithWriteErrorsIsJudgedByTheLengthByteReadBack) {
    const std::vector<uint8_t> block{0x03, 0x10, 0x13};
    gfx.FailWritesAt(0x20001, 1002);
    sim.Poke(0x20000, {0x03});  // it arrived all the same
    EXPECT_TRUE(SendRequest(context, block));
    EXPECT_EQ(Writes().size(), 1u);  // not written again
    EXPECT_EQ(SpansOf(Reads()), (testing::Spans{{0x20000, 1}}));
    sim.Poke(0x20000, {0x00});
    EXPECT_FALSE(SendRequest(context, block));
    // Every read failing: 100 reads, then false.
    gfx.calls.clear();
    gfx.AnswerReadsAt(0x20000, 1002);
    EXPECT_FALSE(SendRequest(context, block));
    EXPECT_EQ(Reads().size(), 100u);
}

TEST_F(MailboxTest, WriteAckToleratesSilenceButNotAWrongReply) {
    // Nothing ever: 2000 polls, 3 ms after each empty one, then success.
    EXPECT_TRUE(WaitWriteAck(context));
    EXPECT_EQ(Reads().size(), 2000u);
    EXPECT_EQ(clock.NowUs(), 2000 * 3000);

    gfx.ServeReadsAt(0x10000, {0x03, 0x0C, 0xF0});
    gfx.calls.clear();
    EXPECT_FALSE(WaitWriteAck(context));
    // The poll of byte 0 and the full read, nothing more.
    EXPECT_EQ(SpansOf(Reads()), (testing::Spans{{0x10000, 1}, {0x10000, 3}}));

    gfx.ServeReadsAt(0x10000, {0x03, 0x0C, 0xF1});
    gfx.calls.clear();
    clock.SetCounter(0);
    EXPECT_TRUE(WaitWriteAck(context));
    EXPECT_EQ(clock.NowUs(), 1000);  // 1 ms before the full read

    // Polls whose reads fail follow each other without a pause.
    SimBench unreadable;
    unreadable.gfx.AnswerReadsAt(0x10000, 1002);
    EXPECT_TRUE(WaitWriteAck(unreadable.context));
    EXPECT_EQ(unreadable.Reads().size(), 2000u);
    EXPECT_EQ(unreadable.clock.NowUs(), 0);
}

TEST_F(MailboxTest, FailedFullReadDoesNotPassAnEarlierAcknowledgementOff) {
    context.scratch[1] = 0x0C;  // left behind by an earlier reply
    context.scratch[2] = 0xF1;
    gfx.onNativeRead = [](uint32_t, std::span<uint8_t> buffer, int32_t& result) {
        if (buffer.size() == 3) result = 1002;
        else buffer[0] = 0x03;
    };
    EXPECT_FALSE(WaitForAck(context, kEndIspAckWait));
    EXPECT_EQ(Reads().size(), 20u);  // ten polls, each with its failed full read

    // A failed full read is paced as a failed poll: the erase wait keeps its whole span.
    gfx.calls.clear();
    clock.SetCounter(0);
    EXPECT_FALSE(WaitForAck(context, kEraseAckWait));
    EXPECT_EQ(Reads().size(), 300u);
    EXPECT_EQ(clock.NowUs(), (250 + 150 * (1 + 50)) * 1000);
}

TEST_F(MailboxTest, ReleaseClearsByteZeroOfEachReplyPacket) {
    for (uint32_t offset : {0u, 16u, 32u, 48u}) sim.Poke(0x10000 + offset, {0x07});
    ASSERT_TRUE(ReleaseReplyPackets(context));
    EXPECT_EQ(SpansOf(Writes()), (testing::Spans{{0x10000, 1}, {0x10010, 1}, {0x10020, 1}, {0x10030, 1}}));
    for (const auto& w : Writes()) EXPECT_EQ(w.data, std::vector<uint8_t>{0x00});

    // A packet that cannot be cleared ends the release there.
    gfx.calls.clear();
    gfx.FailWritesAt(0x10010, 1002);
    EXPECT_FALSE(ReleaseReplyPackets(context));
    EXPECT_EQ(Writes().back().address, 0x10010u);

    gfx.calls.clear();
    gfx.FailWritesAt(0x10000, 1002);
    EXPECT_FALSE(ReleaseReply(context));
    EXPECT_EQ(Writes().size(), 100u);
    EXPECT_TRUE(Reads().empty());
}

// After the clearing write, byte 0 is read back until it holds 0: a driver that is slow to
// take the write gets 100 reads, the last of which may be the one that finds it cleared.
TEST_F(MailboxTest, ReleaseReadsByteZeroBackAtMostAHundredTimes) {
    for (const int busyReads : {99, 100}) {
        gfx.calls.clear();
        int reads = 0;
        gfx.onNativeRead = [&](uint32_t, std::span<uint8_t> buffer, int32_t&) {
            buffer[0] = ++reads <= busyReads ? 0x03 : 0x00;
        };
        EXPECT_EQ(ReleaseReply(context), busyReads < 100) << busyReads;
        EXPECT_EQ(Writes().size(), 1u) << busyReads;
        EXPECT_EQ(SpansOf(Reads()), testing::Spans(100, {0x10000, 1})) << busyReads;
    }
}

// Every read lands in the front of the scratch buffer, so none may be longer than it (the
// command buffer is as long).
TEST_F(MailboxTest, ReadsFitTheScratchBuffer) {
    EXPECT_EQ(mailbox_io::Read(context, 0x20000, context.scratch.size()), gfx::kOk);
    EXPECT_EQ(mailbox_io::Read(context, 0x20000, context.scratch.size() + 1), gfx::kInvalidArgument);
    EXPECT_EQ(mailbox_io::Read(context, 0x20000, 0), gfx::kInvalidArgument);
    EXPECT_EQ(SpansOf(Reads()), (testing::Spans{{0x20000, context.scratch.size()}}));
}

// R = count + 3 bytes in packets of 15 behind their count bytes: the full read takes them
// all (R = 16 needs a second packet for its last byte), and the reply stays in place.
TEST(MailboxDataReply, IsUnpackedAcrossPackets) {
    for (const uint8_t count : {1, 12, 13, 20, 28}) {
        SimBench b;
        std::vector<uint8_t> data(count);
        for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(0xA0 + i);
        b.sim.FlashMemory().Load(data);
        // ReadFlash: 07 1B, the 24-bit address, the count, the XOR of them all.
        const uint8_t request[] = {0x07, 0x1B, 0x00, 0x00, 0x00, count, static_cast<uint8_t>(0x07 ^ 0x1B ^ count)};
        ASSERT_TRUE(SendRequest(b.context, request));
        b.gfx.calls.clear();
        std::vector<uint8_t> out(count);
        ASSERT_TRUE(ReadReplyData(b.context, out)) << int{count};
        EXPECT_EQ(out, data);
        EXPECT_EQ(b.Reads().back().data.size(), count + 3u + (count + 3 + 14) / 15) << int{count};
        EXPECT_TRUE(b.Writes().empty());
    }
}

TEST_F(MailboxTest, MalformedDataRepliesFailWithinTheBytesRead) {
    const struct {
        const char* what;
        std::vector<uint8_t> reply;
        bool taken = false;
    } cases[] = {
        {"length not count + 3", {0x06, 0x07, 0x1B, 1, 2, 3, 0}},
        {"code not echoed", {0x06, 0x06, 0x1A, 1, 2, 3, 0}},
        {"first packet too short", {0x01, 0x06, 0x1B, 1, 2, 3, 0}},
        {"packets beyond the bytes read", {0x02, 0x06, 0x1B, 0x01, 0x11, 0x02, 0x22}},
        {"empty packets until the end", {0x02, 0x06, 0x1B, 0, 0, 0, 0}},
        // Other packet cuts are fine as long as the bytes taken lie within the bytes read,
        // even when a packet's count claims more than follows it.
        {"no data in the first packet", {0x02, 0x06, 0x1B, 0x03, 0x11, 0x22, 0x33}, true},
        {"one data byte in the first packet", {0x03, 0x06, 0x1B, 0x11, 0x02, 0x22, 0x33}, true},
        {"a count claiming more than follows", {0x0F, 0x06, 0x1B, 0x11, 0x22, 0x33, 0xEE}, true},
    };
    for (const auto& c : cases) {
        gfx.ServeReadsAt(0x10000, c.reply);
        std::array<uint8_t, 3> out{};
        EXPECT_EQ(ReadReplyData(context, out), c.taken) << c.what;
        EXPECT_LE(Reads().back().data.size(), 7u) << c.what;
        if (c.taken) {
            EXPECT_EQ(out, (std::array<uint8_t, 3>{0x11, 0x22, 0x33})) << c.what;
        }
    }
}

// The full read must succeed and still show the reply the poll saw, in both its bytes.
TEST_F(MailboxTest, DataReplyFullReadMustSucceedAndAgreeWithThePoll) {
    const std::vector<uint8_t> reply{0x05, 0x06, 0x1B, 0x11, 0x22, 0x33, 0x00};
    const struct {
        const char* what;
        int32_t status;
        uint8_t byte1, byte2;
    } cases[] = {
        {"read fails", 1002, 0x06, 0x1B},
        {"length changed", 0, 0x07, 0x1B},
        {"code changed", 0, 0x06, 0x1A},
    };
    for (const auto& c : cases) {
        gfx.onNativeRead = [&](uint32_t, std::span<uint8_t> buffer, int32_t& result) {
            std::copy_n(reply.begin(), std::min(buffer.size(), reply.size()), buffer.begin());
            if (buffer.size() > 3) {
                buffer[1] = c.byte1;
                buffer[2] = c.byte2;
                result = c.status;
            }
        };
        std::array<uint8_t, 3> out{};
        EXPECT_FALSE(ReadReplyData(context, out)) << c.what;
    }
}

TEST_F(MailboxTest, DataReplyPollsRunOut) {
    std::array<uint8_t, 3> out{};
    // A released reply keeps its bytes after byte 0: only byte 0 tells a reply is there.
    gfx.ServeReadsAt(0x10000, {0x00, 0x06, 0x1B, 0x11, 0x22, 0x33, 0x00});
    EXPECT_FALSE(ReadReplyData(context, out));
    EXPECT_EQ(Reads().size(), 100u);
    EXPECT_EQ(clock.NowUs(), 100 * 10 * 1000);
    EXPECT_EQ(out, (std::array<uint8_t, 3>{}));
    // A destination that no reply length byte can announce is refused before any read.
    gfx.calls.clear();
    std::array<uint8_t, 253> tooLarge{};
    EXPECT_FALSE(ReadReplyData(context, tooLarge));
    EXPECT_TRUE(gfx.calls.empty());
    EXPECT_FALSE(ReadReplyData(context, std::span(tooLarge).first(252)));
    EXPECT_FALSE(gfx.calls.empty());
}

}  // namespace
}  // namespace kdx
