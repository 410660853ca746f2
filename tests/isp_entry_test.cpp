#include "chip/isp_entry.h"

#include <gtest/gtest.h>

#include "tests/support/chip_fixture.h"

namespace kdx {
namespace {

using testing::kAckReply;
using testing::FakeCall;

struct IspEntryTest : testing::ChipFixture {
    // Code bytes that differ from packet to packet.
    static std::vector<uint8_t> DriverImage(std::vector<uint8_t> header, size_t codeBytes, size_t trailing = 0) {
        for (size_t i = 0; i < codeBytes + trailing; ++i) header.push_back(static_cast<uint8_t>(i * 7 + 3));
        return header;
    }
    std::vector<FakeCall> Packets() const { return gfx.CallsOf(FakeCall::I2cWrite); }
};

// The tables as sent at address byte 0x6E are checked byte-exactly end to end
// (SimEndToEnd.DefaultRunWritesTheImageByteExactAndEndsWithOneEndIsp).
TEST_F(IspEntryTest, CommandTablesTakeTheAddressByteAndWaitForTheAcknowledgement) {
    // Another address byte changes only the checksum; the slot keeps what was sent.
    context.i2cAddress = 0x6F;
    EXPECT_FALSE(SendCommandTable(context, IspEntryCommand1));  // only null messages
    EXPECT_EQ(Packets()[0].data.back(), 0x73);
    EXPECT_EQ(IspEntryCommand1.bytes[8], 0x73);
    // A write the driver refused fails without a poll.
    gfx.calls.clear();
    gfx.i2cWriteResult = 1002;
    gfx.i2cReplies.push_back(kAckReply);
    EXPECT_FALSE(SendCommandTable(context, IspEntryCommand2));
    EXPECT_TRUE(gfx.CallsOf(FakeCall::I2cRead).empty());
    gfx.i2cWriteResult = 0;
    context.i2cAddress = 0x6E;
    gfx.i2cReplies.assign(1, kAckReply);
    EXPECT_TRUE(SendCommandTable(context, IspEntryCommand1));
    EXPECT_EQ(IspEntryCommand1.bytes[8], 0x72);
    // A table whose count leaves no slot for its checksum is refused unsent.
    CommandTable full{{11, 0x51, 0x88, 0xC2, 0x00, 0x00, 0x06, 0x13, 0x18, 0x00, 0x00}};
    gfx.calls.clear();
    EXPECT_FALSE(SendCommandTable(context, full));
    EXPECT_TRUE(gfx.calls.empty());
}

TEST_F(IspEntryTest, HeaderRuleDecidesWhatIsSent) {
    const struct {
        std::vector<uint8_t> image;
        std::vector<size_t> packetSizes;
        int64_t pauseUs;
        size_t codeStart;
        std::pair<int32_t, int32_t> lastReport;
    } cases[] = {
        // First byte not 0: the whole image, header included.
        {DriverImage({0x01, 0x00, 0x00, 0x00}, 20), {34}, 0, 0, {24, 24}},
        // L above 16 KiB: the whole image; 118 bytes make a full packet and one of 1 byte.
        {DriverImage({0x00, 0x41, 0x00, 0x00}, 114), {127, 11}, 1000, 0, {118, 118}},
        // Exactly 117 bytes: one packet through the last-chunk path, no pause.
        {DriverImage({0x75, 0x00, 0x00, 0x00}, 113), {127}, 0, 0, {117, 117}},
        // L = 0: one packet without code bytes.
        {DriverImage({0x00, 0x00, 0x00, 0x00}, 0, 8), {10}, 0, 4, {0, 0}},
        // L = 256 of a longer image: 117 + 117 + 22, the rest not sent.
        {DriverImage({0x00, 0x01, 0x00, 0x00}, 256, 40), {127, 127, 32}, 2000, 4, {256, 256}},
    };
    for (const auto& c : cases) {
        gfx.calls.clear();
        progress.reports.clear();
        clock.SetCounter(0);
        gfx.i2cDefaultReply = kAckReply;
        context.ispDriverImage = c.image;
        ASSERT_TRUE(DownloadIspDriver(context));
        std::vector<size_t> sizes;
        for (const auto& p : Packets()) sizes.push_back(p.data.size());
        EXPECT_EQ(sizes, c.packetSizes);
        EXPECT_EQ(clock.NowUs(), c.pauseUs);
        EXPECT_EQ(context.ispDriverCodeStart, c.codeStart);
        EXPECT_EQ(progress.reports.back(), c.lastReport);
    }
    EXPECT_EQ(Packets()[0].data[1], 0xFC);
    // L = 0 gives the empty packet 51 87 C2 00 00 05 13 18 00 checksum.
    context.ispDriverImage = {0x00, 0x00, 0x00, 0x00};
    gfx.calls.clear();
    ASSERT_TRUE(DownloadIspDriver(context));
    EXPECT_EQ(Packets()[0].data, (std::vector<uint8_t>{0x51, 0x87, 0xC2, 0x00, 0x00, 0x05, 0x13, 0x18, 0x00,
                                                       static_cast<uint8_t>(0x6E ^ 0x51 ^ 0x87 ^ 0xC2 ^ 0x05 ^ 0x13 ^ 0x18)}));
}

TEST_F(IspEntryTest, DamagedOrOversizedDriverIsRefusedBeforeAnythingIsSent) {
    // The header promises 256 bytes, the image holds 100.
    context.ispDriverImage = DriverImage({0x00, 0x01, 0x00, 0x00}, 100);
    EXPECT_FALSE(DownloadIspDriver(context));
    // Whole-image code that would wrap past chip address 0xFFFF.
    context.ispDriverImage = DriverImage({0x01}, 0x10000 - 0x1800);
    EXPECT_FALSE(DownloadIspDriver(context));
    EXPECT_TRUE(gfx.calls.empty());
    // Code whose last byte lands at 0xFFFF itself still fits.
    gfx.i2cDefaultReply = kAckReply;
    context.ispDriverImage = DriverImage({0x01}, 0x10000 - 0x1800 - 1);
    EXPECT_TRUE(DownloadIspDriver(context));
}

TEST_F(IspEntryTest, ChunkWithoutAcknowledgementEndsTheDownloadAfterThreeFastPolls) {
    context.ispDriverImage = DriverImage({0x00, 0x30, 0x00, 0x00}, 12288);
    // Acknowledged chunks before the one left unacknowledged: a full chunk, then the last.
    for (const size_t acked : {49u, 105u}) {
        gfx.calls.clear();
        progress.reports.clear();
        for (size_t i = 0; i < acked; ++i) gfx.i2cReplies.push_back(kAckReply);
        EXPECT_FALSE(DownloadIspDriver(context));
        EXPECT_EQ(Packets().size(), acked + 1);
        // The acknowledged polls, then three polls of 50 null messages each.
        EXPECT_EQ(gfx.CallsOf(FakeCall::I2cRead).size(), acked + 3 * 50);
        ASSERT_EQ(progress.reports.size(), acked);
        EXPECT_EQ(progress.reports.back(), std::make_pair(static_cast<int32_t>(acked * 117), 12288));
    }
}

}  // namespace
}  // namespace kdx
