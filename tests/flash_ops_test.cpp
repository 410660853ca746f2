#include "chip/flash_ops.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "tests/support/chip_fixture.h"

namespace kdx {
namespace {

using testing::FakeCall;
using testing::MailboxModel;

struct FlashOpsTest : testing::ChipFixture {
    MailboxModel model{gfx};
    // Writes of the reply-buffer release (0 at 0x10000).
    size_t ReleaseWrites() const {
        size_t n = 0;
        for (const auto& w : Writes()) n += w.address == 0x10000 && w.data == std::vector<uint8_t>{0};
        return n;
    }
};

// The identifier's request is checked byte-exactly in the end-to-end trace.
TEST_F(FlashOpsTest, FlashIdFailuresAndTheirLimits) {
    const struct {
        std::vector<uint8_t> reply;
        int32_t readStatus;
        size_t polls;
        const char16_t* error;
        uint16_t id;
        size_t releases;
        int64_t elapsedMs;
    } cases[] = {
        // Byte 3 is 0: answered but never ready; 500 polls of 3 + 10 ms.
        {{0x05, 0x1C, 0x20, 0x00, 0x00}, 0, 500, u"Reading flash ID timed out!\r\n", 0x0020, 1, 500 * 13},
        // Wrong echo, not ready: the echo decides the text.
        {{0x05, 0x1D, 0x20, 0x00, 0x00}, 0, 500, u"Reading FlashId error! (reply cmd not correct!)\r\n", 0x0020, 1,
         500 * 13},
        // Bytes 2 and 3 set, but no length byte yet: never ready.
        {{0x00, 0x1C, 0xC2, 0x20, 0x00}, 0, 500, u"Reading flash ID timed out!\r\n", 0x20C2, 1, 500 * 13},
        // Byte 2 is 0: never ready.
        {{0x05, 0x1C, 0x00, 0x20, 0x00}, 0, 500, u"Reading flash ID timed out!\r\n", 0x2000, 1, 500 * 13},
        // Wrong echo, ready: any non-zero byte 2 counts.
        {{0x05, 0x1D, 0x01, 0x12, 0x00}, 0, 1, u"Reading FlashId error! (reply cmd not correct!)\r\n", 0x1201, 1, 3},
        // Every read failing: 3000 polls, identifier not stored, reply not released.
        {{}, 1002, 3000, u"Reading FlashId error! (1002)\r\n", 0xBEEF, 0, 3000 * 3},
    };
    for (const auto& c : cases) {
        gfx.calls.clear();
        progress.reports.clear();
        clock.SetCounter(0);
        model.flashIdReply = c.reply;
        if (c.readStatus != 0) {
            gfx.onNativeRead = [&](uint32_t, std::span<uint8_t>, int32_t& result) {
                result = c.readStatus;
                return true;
            };
        }
        uint16_t id = 0xBEEF;
        WText error = u"earlier text";
        EXPECT_FALSE(GetFlashId(context, id, error));
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(id, c.id);
        const size_t polls = std::count_if(gfx.calls.begin(), gfx.calls.end(), [](const FakeCall& call) {
            return call.kind == FakeCall::NativeRead && call.data.size() == 5;
        });
        EXPECT_EQ(polls, c.polls);
        EXPECT_EQ(ReleaseWrites(), c.releases);
        EXPECT_EQ(ElapsedMs(), c.elapsedMs);
        EXPECT_EQ(progress.reports.size(), c.polls);
        EXPECT_EQ(progress.reports.back().second, static_cast<int32_t>(c.polls == 1 ? 3000 : c.polls));
    }
    // A request that never got through (the reads still failing) is not waited for.
    gfx.calls.clear();
    gfx.onNativeWrite = [](uint32_t, std::span<const uint8_t>, int32_t& result) {
        result = 1002;
        return true;
    };
    uint16_t id = 0xBEEF;
    WText error;
    EXPECT_FALSE(GetFlashId(context, id, error));
    EXPECT_EQ(error, u"Sending GetFlashId cmd error!\r\n");
    EXPECT_EQ(id, 0xBEEF);
}

TEST_F(FlashOpsTest, EraseAcknowledgedOnTheLastPollSucceeds) {
    model.eraseAckOnPoll = 150;
    ASSERT_TRUE(EraseFlash(context));
    EXPECT_EQ(model.requests.back(), (std::vector<uint8_t>{0x05, 0x19, 0xFF, 0xA2, 0x41}));
    ASSERT_EQ(progress.reports.size(), 150u);
    for (int n = 1; n < 150; ++n) EXPECT_EQ(progress.reports[n - 1], std::make_pair(n, 150));
    EXPECT_EQ(progress.reports.back(), std::make_pair(150, 150));
    EXPECT_EQ(ReleaseWrites(), 1u);
    // 250 ms, 50 ms after each of 149 empty polls, 1 ms before the full read.
    EXPECT_EQ(ElapsedMs(), 250 + 149 * 50 + 1);
    // The long pauses sleep with the timer resolution raised, and restore it.
    EXPECT_EQ(clock.TimerPeriodRaises(), 150);
    EXPECT_EQ(clock.TimerPeriodDepth(), 0);
}

TEST_F(FlashOpsTest, EraseFailures) {
    model.eraseAckOnPoll = 151;  // never within the polls
    EXPECT_FALSE(EraseFlash(context));
    EXPECT_EQ(progress.reports.size(), 149u);
    EXPECT_EQ(ReleaseWrites(), 0u);

    progress.reports.clear();
    gfx.calls.clear();
    model.eraseAckOnPoll = 3;
    model.ack = {0x03, 0x0C, 0xF2};
    EXPECT_FALSE(EraseFlash(context));
    EXPECT_EQ(progress.reports.size(), 3u);  // ended at once on the wrong reply
}

TEST_F(FlashOpsTest, EndIspPostingTheDriverFailedIsMadeAgain) {
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
    const auto modelWrite = gfx.onNativeWrite;
    for (const auto& c : cases) {
        gfx.calls.clear();
        gfx.dpcd.clear();
        model.endIspCount = 0;
        model.Put(0x20000, {c.staleLength});
        clock.SetCounter(0);
        gfx.onNativeWrite = [&, n = 0](uint32_t address, std::span<const uint8_t> data, int32_t& result) mutable {
            if (address != 0x20001 || n++ >= c.failures) return modelWrite(address, data, result);
            result = gfx::kDeferred;
            return true;
        };
        EXPECT_EQ(EndIsp(context), c.result) << c.failures;
        const auto writes = Writes();
        EXPECT_EQ(std::count_if(writes.begin(), writes.end(), [](const FakeCall& w) { return w.address == 0x20001; }),
                  static_cast<std::ptrdiff_t>(c.bodies));
        EXPECT_EQ(model.endIspCount, c.result ? 1 : 0);
        EXPECT_EQ(ElapsedMs(), c.elapsedMs) << c.failures;
    }
}

TEST_F(FlashOpsTest, VersionReadBackByFamilyAndTopBlock) {
    std::copy_n(std::array<uint8_t, 3>{0x3A, 0x01, 0x07}.begin(), 3, model.flash.begin() + 524268);
    std::copy_n(std::array<uint8_t, 3>{0x39, 0x01, 0x00}.begin(), 3, model.flash.begin() + 516076);
    std::copy_n(std::array<uint8_t, 3>{0x11, 0x22, 0x33}.begin(), 3, model.flash.begin());
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
        std::vector<uint8_t> request{0x07, 0x1B, static_cast<uint8_t>(c.address >> 16),
                                     static_cast<uint8_t>(c.address >> 8), static_cast<uint8_t>(c.address), 0x03};
        uint8_t check = 0;
        for (uint8_t b : request) check ^= b;
        request.push_back(check);
        EXPECT_EQ(model.requests.back(), request);
        // All four reply packets are released afterwards.
        EXPECT_EQ(Writes().size(), 2u + 4u);
    }
}

TEST_F(FlashOpsTest, VersionReadFailures) {
    context.firmwareSize = 524288;
    context.FirmwareFamily = kFamilyTarvik;
    model.flash[524268] = 0x3A;
    // A reply for another count: fails, and the reply packets are still released.
    gfx.onNativeRead = [](uint32_t, std::span<uint8_t> buffer, int32_t& result) {
        if (buffer.size() < 3) return false;  // the release reads back what was cleared
        const std::vector<uint8_t> reply{0x06, 0x07, 0x1B, 1, 2, 3, 4, 0};
        std::copy_n(reply.begin(), std::min(reply.size(), buffer.size()), buffer.begin());
        result = 0;
        return true;
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
    gfx.dpcd.clear();
    gfx.onNativeWrite = [](uint32_t, std::span<const uint8_t>, int32_t& result) {
        result = 1002;
        return true;
    };
    EXPECT_EQ(ReadFirmwareVersion(context), 0u);
    EXPECT_EQ(Reads().size(), 1u);  // the length byte read back, nothing else
}

}  // namespace
}  // namespace kdx
