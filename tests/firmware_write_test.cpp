#include "chip/firmware_write.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string_view>

#include "chip/mailbox.h"
#include "tests/support/chip_fixture.h"

namespace kdx {
namespace {

using testing::FakeCall;
using testing::SimBench;

constexpr size_t kImageSize = 524288;

std::vector<uint8_t> Bytes(std::string_view text) { return {text.begin(), text.end()}; }

void LoadImage(ChipContext& context, std::vector<uint8_t> image) {
    context.firmwareSize = static_cast<int32_t>(image.size());
    context.firmwareImage = std::move(image);
}
std::vector<uint8_t> PatternImage() {
    std::vector<uint8_t> image(kImageSize);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 131 + (i >> 9));
    return image;
}
// The window as GetDpcdBufferAddr leaves it for a command buffer of `cmdSize` bytes.
void UseWindow(ChipContext& context, uint16_t cmdSize) {
    context.mailbox.cmdBufferSize = cmdSize;
    context.mailbox.lowFlagAddr = context.mailbox.cmdBufferAddr + cmdSize / 2 - 1;
    context.mailbox.highFlagAddr = context.mailbox.cmdBufferAddr + cmdSize - 1;
}

std::string_view FlashText(const SimBench& b, size_t n) {
    return {reinterpret_cast<const char*>(b.sim.Flash().data()), n};
}

struct FirmwareWriteTest : testing::SimFixture {
    int32_t done = 0;  // what WriteRegion counts as written
};

TEST_F(FirmwareWriteTest, BlockTrafficInOrderWithHalvesInWritesOf131) {
    LoadImage(context, PatternImage());
    std::vector<uint8_t> first(504);
    std::copy_n(context.firmwareImage.begin(), 504, first.begin());
    ASSERT_TRUE(WriteRegion(context, first, 0, done, 504));
    EXPECT_EQ(SpansOf(Writes()), (testing::Spans{
        {0x20001, 2}, {0x20000, 1},                   // WriteBlock request 03 10 13
        {0x20000, 8}, {0x200FF, 1},                   // header, announced with 8
        {0x20100, 131}, {0x20183, 123}, {0x201FF, 1},  // upper half, 254 bytes, flag
        {0x20000, 131}, {0x20083, 123}, {0x200FF, 1},  // lower half, 254 bytes, flag
        {0x10000, 1},                                  // reply released
    }));
    EXPECT_EQ(Writes()[1].data, std::vector<uint8_t>{0x03});
    // The reply buffer before the header, then each flag, one byte each.
    const auto reads = SpansOf(Reads());
    ASSERT_GE(reads.size(), 4u);
    EXPECT_EQ(testing::Spans(reads.begin(), reads.begin() + 4),
              (testing::Spans{{0x10000, 1}, {0x200FF, 1}, {0x201FF, 1}, {0x200FF, 1}}));
    EXPECT_EQ(Writes()[3].data, std::vector<uint8_t>{0x08});
    EXPECT_EQ(Writes()[6].data, std::vector<uint8_t>{254});
    // 15 ms at the start, 10 ms before the acknowledgement, 1 ms before its full read.
    EXPECT_EQ(ElapsedMs(), 15 + 10 + 1);
}

TEST_F(FirmwareWriteTest, OddBlockAndTextBlock) {
    const struct {
        std::vector<uint8_t> data;
        uint8_t upper, lower;
    } cases[] = {
        {std::vector<uint8_t>(127, 0x5A), 65, 66},
        {Bytes("123456789"), 6, 7},
    };
    // The chip takes each block only with the right CRC field ("123456789": 00 00 5E 86).
    for (const auto& c : cases) {
        SimBench b;
        done = 0;
        ASSERT_TRUE(WriteRegion(b.context, c.data, 0, done, 1000));
        const auto blocks = b.SentBlocks();
        ASSERT_EQ(blocks.size(), 1u);
        EXPECT_EQ(blocks[0].upper, c.upper);
        EXPECT_EQ(blocks[0].lower, c.lower);
        EXPECT_EQ(blocks[0].header[7], c.data.size());
        EXPECT_EQ(done, static_cast<int32_t>(c.data.size()));
        EXPECT_TRUE(std::equal(c.data.begin(), c.data.end(), b.sim.Flash().begin()));
    }
    // A region may end at the end of the 24-bit flash address space, not beyond it (the
    // chip's flash ends far below: it refuses the block).
    WriteRegion(context, Bytes("12"), 0xFFFFFE - 0x400000, done, 2);
    EXPECT_EQ(SentBlocks().back().header, (std::vector<uint8_t>{0x00, 0xFF, 0xFF, 0xFE, 0x00, 0x00, 0x00, 0x02}));
    gfx.calls.clear();
    EXPECT_FALSE(WriteRegion(context, Bytes("12"), 0xFFFFFF - 0x400000, done, 2));
    EXPECT_TRUE(SentBlocks().empty());
    // The smallest image, one byte, is written.
    SimBench b;
    LoadImage(b.context, {0x5A});
    EXPECT_TRUE(WriteFirmware(b.context));
    EXPECT_EQ(b.sim.Flash()[0], 0x5A);
}

// A backend that moves one byte per write (or names no usable length) gets each half in
// writes of one byte, each at the next address.
TEST_F(FirmwareWriteTest, OneByteBackendGetsTheHalvesByteByByte) {
    for (const int32_t maxBlock : {1, 0}) {
        gfx.MaxBlockLength = maxBlock;
        gfx.calls.clear();
        ASSERT_TRUE(WriteRegion(context, Bytes("123456789"), 0, done, 9)) << maxBlock;
        testing::Spans upper;
        for (const auto& w : Writes()) {
            if (w.address >= 0x20100 && w.address < 0x201FF) upper.emplace_back(w.address, w.data.size());
        }
        EXPECT_EQ(upper, (testing::Spans{{0x20100, 1}, {0x20101, 1}, {0x20102, 1}, {0x20103, 1}, {0x20104, 1}, {0x20105, 1}}));
        EXPECT_EQ(FlashText(*this, 9), "123456789");
    }
}

// Each half is filled up to its flag, never onto it: an even window takes a block of
// cmdBufferSize - 2 bytes, an odd one of that length would put the lower half on its flag.
// (The driver refuses a block that long, which WriteRegion never sends: the halves count.)
TEST_F(FirmwareWriteTest, BlockDataFillsEachHalfUpToItsFlag) {
    SimBench b({"cmd-buffer-size=20"});
    UseWindow(b.context, 20);
    const PreparedBlock block = PrepareBlock(b.context, std::vector<uint8_t>(14, 0x42));
    ASSERT_EQ(block.length, 18u);
    ASSERT_TRUE(SendRequest(b.context, std::vector<uint8_t>{0x03, 0x10, 0x13}));
    ASSERT_TRUE(SendBlockHeader(b.context, MakeBlockHeader(0x400000, 14)));
    WriteBlockData(b.context, block.length);
    EXPECT_EQ(b.SentBlocks().back().upper, 9);
    EXPECT_EQ(b.SentBlocks().back().lower, 9);
    // The packet buffer takes the largest block's data and CRC field to its last byte.
    EXPECT_EQ(PrepareBlock(context, std::vector<uint8_t>(ChipContext::kPacketBufferSize - 4, 0x42)).length,
              ChipContext::kPacketBufferSize);
    // Refused without traffic: an odd window's full length, a window too small for the header
    // below the lower flag, a block of nothing but its CRC field.
    for (const auto& [cmdSize, length] : {std::pair<uint16_t, size_t>{21, 19}, {10, 8}, {512, 4}}) {
        UseWindow(context, cmdSize);
        gfx.calls.clear();
        EXPECT_FALSE(WriteBlockData(context, length)) << cmdSize;
        EXPECT_TRUE(gfx.calls.empty()) << cmdSize;
    }
}

TEST_F(FirmwareWriteTest, BlankImageSendsNothingAndFails) {
    // A size of nothing, or beyond the image held, is refused before any pause or traffic.
    for (const int32_t size : {0, -1, 9}) {
        context.firmwareImage.assign(8, 0x11);
        context.firmwareSize = size;
        EXPECT_FALSE(WriteFirmware(context)) << size;
    }
    EXPECT_EQ(ElapsedMs(), 0);
    LoadImage(context, std::vector<uint8_t>(3 * 504, 0xFF));
    EXPECT_FALSE(WriteFirmware(context));
    EXPECT_TRUE(gfx.calls.empty());
    EXPECT_EQ(progress.reports, (std::vector<std::pair<int32_t, int32_t>>{{504, 1512}, {1008, 1512}, {1512, 1512}}));
}

TEST_F(FirmwareWriteTest, WindowSizesCapOrRefuseTheBlock) {
    // Too small to hold a header below the lower flag: refused without traffic.
    UseWindow(context, 19);
    LoadImage(context, PatternImage());
    EXPECT_FALSE(WriteFirmware(context));
    EXPECT_TRUE(gfx.calls.empty());
    EXPECT_EQ(BlockDataLimit(context), 0u);

    const struct {
        uint16_t cmdSize;
        std::string_view fault;
        size_t limit;
        uint8_t upper, lower;
    } cases[] = {
        {20, "cmd-buffer-size=20", 12, 8, 8},
        {1024, "cmd-buffer-size=1024", 506, 255, 255},  // capped: each half's count must fit its flag
    };
    for (const auto& c : cases) {
        SimBench b({c.fault});
        UseWindow(b.context, c.cmdSize);
        EXPECT_EQ(BlockDataLimit(b.context), c.limit);
        std::vector<uint8_t> data(2 * c.limit + 1, 0x11);
        ASSERT_TRUE(WriteRegion(b.context, data, 0, done, 0)) << c.cmdSize;
        const auto blocks = b.SentBlocks();
        ASSERT_EQ(blocks.size(), 3u);
        EXPECT_EQ(blocks[0].upper, c.upper);
        EXPECT_EQ(blocks[0].lower, c.lower);
        EXPECT_EQ(b.sim.Flash()[2 * c.limit], 0x11);
    }
}

TEST_F(FirmwareWriteTest, StuckFlagsFailTheBlockAndTheWrite) {
    // Each flag is read 100 times before the block fails.
    const struct {
        uint32_t flag;
        int32_t status;
        uint8_t value;
        int64_t elapsedMs;
    } cases[] = {
        {0x200FF, 0, 8, 15 + 100 * 30},     // lower flag never free before the header: 30 ms after each read
        {0x200FF, 1002, 0, 15 + 100 * 10},  // lower flag unreadable: 10 ms after each read
        {0x201FF, 0, 1, 15 + 10},           // upper flag never free: no pause between the reads
    };
    const auto chipRead = gfx.onNativeRead;
    LoadImage(context, PatternImage());
    for (const auto& c : cases) {
        gfx.calls.clear();
        clock.SetCounter(0);
        gfx.onNativeRead = chipRead;
        gfx.AnswerReadsAt(c.flag, c.status, c.value);
        EXPECT_FALSE(WriteFirmware(context)) << c.status;
        EXPECT_EQ(ElapsedMs(), c.elapsedMs) << c.status;
        EXPECT_EQ(std::ranges::count(Reads(), c.flag, &FakeCall::address), 100) << c.status;
        EXPECT_TRUE(progress.reports.empty()) << c.status;
    }
}

TEST_F(FirmwareWriteTest, DataWriteErrorsAreRetriedUpToTheHundredth) {
    const std::vector<uint8_t> data(100, 0x42);
    gfx.FailWritesAt(0x20100, 1002, 99);
    ASSERT_TRUE(WriteRegion(context, data, 0, done, 100));
    EXPECT_EQ(ElapsedMs(), 15 + 99 * 10 + 10 + 1);
    EXPECT_EQ(sim.Flash()[99], 0x42);

    gfx.FailWritesAt(0x20100, 1002, 100);
    EXPECT_FALSE(WriteRegion(context, data, 0, done, 100));

    // The upper flag refusing its count: 100 writes, and the lower half is not posted (on a
    // chip whose driver took the header, so that the lower half would find its flag free).
    SimBench flagRefused;
    flagRefused.gfx.FailWritesAt(0x201FF, 1002, 100);
    EXPECT_FALSE(WriteRegion(flagRefused.context, data, 0, done, 100));
    EXPECT_EQ(std::ranges::count(flagRefused.Writes(), 0x201FFu, &FakeCall::address), 100);
    EXPECT_EQ(flagRefused.Writes().back().address, 0x201FFu);
    // A WriteBlock request that does not get through fails the block.
    SimBench requestLost;
    requestLost.gfx.FailWritesAt(0x20001, 1002, 1);
    EXPECT_FALSE(WriteRegion(requestLost.context, data, 0, done, 100));
}

TEST_F(FirmwareWriteTest, HeaderWithWriteErrorIsAnnouncedWhenItReadsBackIntact) {
    // The write reports an error yet arrives: the header reads back intact and the lower
    // flag still announces it, so the driver takes it before the data reach the half.
    auto chipWrite = gfx.onNativeWrite;
    gfx.onNativeWrite = [=](uint32_t a, std::span<const uint8_t> d, int32_t& result) {
        chipWrite(a, d, result);
        if (a == 0x20000 && d.size() == 8) result = 1002;
    };
    BlockHeader header = MakeBlockHeader(0x400000, 9);
    EXPECT_TRUE(SendBlockHeader(context, header));
    EXPECT_EQ(Reads().size(), 1u);  // one read-back told
    EXPECT_EQ(Writes().back().address, 0x200FFu);
    EXPECT_EQ(Writes().back().data, std::vector<uint8_t>{0x08});
    sim.Poke(0x200FF, {0});  // no block was under way for the driver to take it

    ASSERT_TRUE(WriteRegion(context, Bytes("123456789"), 0, done, 9));
    EXPECT_EQ(SentBlocks().back().header, std::vector<uint8_t>(header.begin(), header.end()));
    EXPECT_EQ(FlashText(*this, 9), "123456789");

    // No read-back getting through either: 100 of them, and the header counts as not sent.
    gfx.calls.clear();
    gfx.onNativeRead = [](uint32_t, std::span<uint8_t>, int32_t& result) { result = 1002; };
    EXPECT_FALSE(SendBlockHeader(context, header));
    EXPECT_EQ(Reads().size(), 100u);
}

TEST_F(FirmwareWriteTest, HeaderAnnouncementIsMadeOnceEvenWhenItsWriteReportsAnError) {
    // The flag write reports an error yet arrives. Announcing the header a second time
    // would hand its bytes to the driver as the start of the block's data.
    auto chipWrite = gfx.onNativeWrite;
    int flagErrors = 0;
    gfx.onNativeWrite = [&, chipWrite](uint32_t a, std::span<const uint8_t> d, int32_t& result) {
        chipWrite(a, d, result);
        if (a == 0x200FF && d.size() == 1 && d[0] == 0x08 && flagErrors++ == 0) result = 1002;
    };
    ASSERT_TRUE(WriteRegion(context, Bytes("123456789"), 0, done, 9));
    EXPECT_EQ(std::ranges::count_if(Writes(), [](const FakeCall& c) { return c.data.size() == 8; }), 1);
    EXPECT_EQ(FlashText(*this, 9), "123456789");
}

TEST_F(FirmwareWriteTest, HeaderThatNeverGetsThroughEndsTheWrite) {
    gfx.onNativeWrite = [](uint32_t a, std::span<const uint8_t> d, int32_t& result) {
        if (a == 0x20000 && d.size() == 8) result = 1002;
    };
    EXPECT_FALSE(WriteRegion(context, Bytes("123456789"), 0, done, 9));
    // 100 attempts, each with its read-back, 10 ms after each.
    EXPECT_EQ(std::ranges::count_if(Writes(), [](const FakeCall& c) { return c.data.size() == 8; }), 100);
    EXPECT_EQ(ElapsedMs(), 15 + 100 * 10);
}

}  // namespace
}  // namespace kdx
