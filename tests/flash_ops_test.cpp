#include "chip/flash_ops.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string_view>

#include "tests/support/chip_fixture.h"

namespace kdx {
namespace {

using testing::FakeCall;
using testing::SimBench;

// Writes of the reply-buffer release (0 at 0x10000).
size_t ReleaseWrites(const SimBench& b) {
    return std::ranges::count_if(
        b.Writes(), [](const FakeCall& w) { return w.address == 0x10000 && w.data == std::vector<uint8_t>{0}; });
}

using FlashOpsTest = testing::SimFixture;

// The identifier's request is checked byte-exactly in the end-to-end trace. The simulated
// identifier is 0x1346; where no fault of the chip gives a reply, the reply is scripted.
TEST(FlashOps, FlashIdFailuresAndTheirLimits) {
    const struct {
        std::vector<std::string_view> faults;
        std::vector<uint8_t> reply;
        int32_t readStatus;
        size_t polls;
        const char16_t* error;
        uint16_t id;
        size_t releases;
        int64_t elapsedMs;
    } cases[] = {
        // Byte 3 is 0: answered but never ready; 500 polls of 3 + 10 ms.
        {{"flash-id-timeout"}, {}, 0, 500, u"Reading flash ID timed out!\r\n", 0x0046, 1, 500 * 13},
        // Wrong echo, not ready: the echo decides the text.
        {{"flash-id-timeout", "flash-id-bad-code"}, {}, 0, 500, u"Reading FlashId error! (reply cmd not correct!)\r\n",
         0x0046, 1, 500 * 13},
        // Bytes 2 and 3 set, but no length byte yet: never ready.
        {{}, {0x00, 0x1C, 0xC2, 0x20, 0x00}, 0, 500, u"Reading flash ID timed out!\r\n", 0x20C2, 1, 500 * 13},
        // Byte 2 is 0: never ready.
        {{}, {0x05, 0x1C, 0x00, 0x20, 0x00}, 0, 500, u"Reading flash ID timed out!\r\n", 0x2000, 1, 500 * 13},
        // Wrong echo, ready.
        {{"flash-id-bad-code"}, {}, 0, 1, u"Reading FlashId error! (reply cmd not correct!)\r\n", 0x1346, 1, 3},
        // Any non-zero byte 2 counts.
        {{}, {0x05, 0x1D, 0x01, 0x12, 0x00}, 0, 1, u"Reading FlashId error! (reply cmd not correct!)\r\n", 0x1201, 1, 3},
        // Every read failing: 3000 polls, identifier not stored, reply not released.
        {{}, {}, 1002, 3000, u"Reading FlashId error! (1002)\r\n", 0xBEEF, 0, 3000 * 3},
    };
    for (const auto& c : cases) {
        SimBench b(c.faults);
        if (!c.reply.empty()) b.gfx.ServeReadsAt(0x10000, c.reply);
        if (c.readStatus != 0) b.gfx.AnswerReadsAt(0x10000, c.readStatus);
        uint16_t id = 0xBEEF;
        WText error = u"earlier text";
        EXPECT_FALSE(GetFlashId(b.context, id, error));
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(id, c.id);
        EXPECT_EQ(std::ranges::count_if(b.Reads(), [](const FakeCall& r) { return r.data.size() == 5; }),
                  static_cast<std::ptrdiff_t>(c.polls));
        EXPECT_EQ(ReleaseWrites(b), c.releases);
        EXPECT_EQ(b.ElapsedMs(), c.elapsedMs);
        EXPECT_EQ(b.progress.reports.size(), c.polls);
        EXPECT_EQ(b.progress.reports.back().second, static_cast<int32_t>(c.polls == 1 ? 3000 : c.polls));
    }
    // A request that never got through (the reads failing) is not waited for.
    SimBench b;
    b.gfx.AnswerReadsAt(0x10000, 1002);
    b.gfx.FailWritesAt(0x20001, 1002);
    uint16_t id = 0xBEEF;
    WText error;
    EXPECT_FALSE(GetFlashId(b.context, id, error));
    EXPECT_EQ(error, u"Sending GetFlashId cmd error!\r\n");
    EXPECT_EQ(id, 0xBEEF);
}

// The polls come at 250 ms and then every 50 ms: an erase of 7.69 s ends between the
// 149th and the 150th, the AUX time of the polls included. (The chip refuses any request
// but 05 19 FF A2 41, and a ReadFlash request with a wrong check byte.)
TEST(FlashOps, EraseAcknowledgedOnTheLastPollSucceeds) {
    SimBench b{{"erase-ms=7690"}};
    ASSERT_TRUE(EraseFlash(b.context));
    ASSERT_EQ(b.progress.reports.size(), 150u);
    for (int n = 1; n <= 150; ++n) EXPECT_EQ(b.progress.reports[n - 1], std::make_pair(n, 150));
    EXPECT_EQ(ReleaseWrites(b), 1u);
    // 250 ms, 50 ms after each of 149 empty polls, 1 ms before the full read.
    EXPECT_EQ(b.ElapsedMs(), 250 + 149 * 50 + 1);
    // The long pauses sleep with the timer resolution raised, and restore it.
    EXPECT_EQ(b.clock.TimerPeriodRaises(), 150);
    EXPECT_EQ(b.clock.TimerPeriodDepth(), 0);
}

TEST(FlashOps, EraseFailures) {
    SimBench slow{{"erase-timeout"}};  // never within the polls
    EXPECT_FALSE(EraseFlash(slow.context));
    EXPECT_EQ(slow.progress.reports.size(), 149u);
    EXPECT_EQ(ReleaseWrites(slow), 0u);

    SimBench refused{{"erase-ms=200"}};  // acknowledged in time, with a wrong check byte
    refused.gfx.ServeReadsAt(0x10000, {0x03, 0x0C, 0xF2});
    EXPECT_FALSE(EraseFlash(refused.context));
    EXPECT_EQ(refused.progress.reports.size(), 1u);  // ended at once on the wrong reply
    SimBench nak{{"erase-nak"}};
    EXPECT_FALSE(EraseFlash(nak.context));
    EXPECT_EQ(nak.progress.reports.size(), 1u);
    // A poll whose read fails waits as long as an empty one, so a driver that refuses reads
    // for a while does not shorten the erase wait.
    SimBench unreadable;
    unreadable.gfx.AnswerReadsAt(0x10000, 1002);
    EXPECT_FALSE(EraseFlash(unreadable.context));
    EXPECT_EQ(SimBench::SpansOf(unreadable.Reads()), testing::Spans(150, {0x10000, 1}));
    EXPECT_EQ(unreadable.clock.NowUs(), (250 + 150 * 50) * 1000);
}

TEST(FlashOps, EndIspPostingTheDriverFailedIsMadeAgain) {
    const struct {
        int failures;        // postings whose body write the driver fails
        uint8_t staleLength;  // what the command buffer's length byte reads meanwhile
        size_t bodies;
        bool result;
        int64_t elapsedMs;
    } cases[] = {
        {2, 0, 3, true, 2 * 60 + 250},
        // Three failed postings: no fourth; the acknowledgement wait still runs.
        {3, 0, 3, false, 2 * 60 + 250 + 10 * 10},
        // A length byte that reads back 4 counts as delivered: not posted again.
        {1, 4, 1, false, 250 + 10 * 10},
    };
    for (const auto& c : cases) {
        SimBench b;
        if (c.staleLength != 0) b.gfx.AnswerReadsAt(0x20000, 0, c.staleLength);
        b.gfx.FailWritesAt(0x20001, gfx::kDeferred, c.failures);
        EXPECT_EQ(EndIsp(b.context), c.result) << c.failures;
        EXPECT_EQ(std::ranges::count(b.Writes(), 0x20001u, &FakeCall::address), static_cast<std::ptrdiff_t>(c.bodies));
        EXPECT_EQ(b.sim.Record().endIspPosted, c.result ? 1u : 0u);
        EXPECT_EQ(b.ElapsedMs(), c.elapsedMs) << c.failures;
    }
}

TEST_F(FlashOpsTest, VersionReadBackByFamilyAndTopBlock) {
    std::vector<uint8_t> flash(524288, 0xFF);
    std::copy_n(std::array<uint8_t, 3>{0x3A, 0x01, 0x07}.begin(), 3, flash.begin() + 524268);
    std::copy_n(std::array<uint8_t, 3>{0x39, 0x01, 0x00}.begin(), 3, flash.begin() + 516076);
    std::copy_n(std::array<uint8_t, 3>{0x11, 0x22, 0x33}.begin(), 3, flash.begin());
    sim.FlashMemory().Load(flash);
    const struct {
        int32_t family;
        uint16_t topBlockVersion;
        int32_t size;
        uint32_t address;
        uint32_t version;
    } cases[] = {
        {kFamilyTarvik, 0, 524288, 524268, 0x07013A},
        {kFamilyOlvane, 0, 524288, 524268, 0x013A},
        {kFamilyTarvik, 0x0142, 524288, 516076, 0x0139},
        // The shortest image that holds its version keeps it in its first bytes.
        {kFamilyTarvik, 0, 20, 0, 0x332211},
    };
    for (const auto& c : cases) {
        context.firmwareSize = c.size;
        context.FirmwareFamily = c.family;
        context.topBlockVersion = c.topBlockVersion;
        gfx.calls.clear();
        EXPECT_EQ(ReadFirmwareVersion(context), c.version);
        // All four reply packets are released afterwards.
        EXPECT_EQ(Writes().size(), 2u + 4u);
    }
}

TEST_F(FlashOpsTest, VersionReadFailures) {
    context.firmwareSize = 524288;
    context.FirmwareFamily = kFamilyTarvik;
    // A reply for another count: fails, and the reply packets are still released.
    gfx.onNativeRead = [](uint32_t, std::span<uint8_t> buffer, int32_t&) {
        const std::vector<uint8_t> reply{0x06, 0x07, 0x1B, 1, 2, 3, 4, 0};
        if (buffer.size() >= 3) std::copy_n(reply.begin(), std::min(reply.size(), buffer.size()), buffer.begin());
        else std::ranges::fill(buffer, 0);  // the release reads back what was cleared
    };
    EXPECT_EQ(ReadFirmwareVersion(context), 0u);
    EXPECT_EQ(Writes().size(), 2u + 4u);
    // An image too short to hold its version: nothing is asked.
    gfx.calls.clear();
    context.firmwareSize = 19;
    EXPECT_EQ(ReadFirmwareVersion(context), 0u);
    EXPECT_TRUE(gfx.calls.empty());
    // A request that never got through reads nothing: not the bytes an earlier block left.
    context.firmwareSize = 524288;
    std::copy_n(std::array<uint8_t, 3>{0x3A, 0x01, 0x07}.begin(), 3, context.packetBuffer.begin());
    gfx.onNativeRead = nullptr;
    gfx.onNativeWrite = [](uint32_t, std::span<const uint8_t>, int32_t& result) { result = 1002; };
    EXPECT_EQ(ReadFirmwareVersion(context), 0u);
    EXPECT_EQ(Reads().size(), 1u);  // the length byte read back, nothing else
}

}  // namespace
}  // namespace kdx
