// The simulated chip's ISP side at the level of request records: how strict it is about
// what the host sends (the complete driver started at its base, the check byte of each
// request, the CRC of each block). Erase, EndIsp, the summary and the faults of the mailbox
// are run end to end through the updater and kdx4610-sim.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "sim/isp_mailbox.h"
#include "sim/test_bench.h"
#include "sim/timing.h"

namespace kdx::sim {
namespace {

using ::testing::ElementsAre;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kCmd = IspMailbox::kCmdBufferAddr;
constexpr uint32_t kReply = IspMailbox::kReplyBufferAddr;
constexpr size_t kChunk = 117;

// The host side of the ISP procedure, written out plainly over single records.
struct IspHost {
    explicit IspHost(TestBench& b) : bench(b), c(b.Client()) {}

    Bytes Reply() {
        Bytes r;
        EXPECT_EQ(c.I2cReadReply(r), 0u);
        return r;
    }
    bool Acked(uint8_t op, const Bytes& args = {}) {
        EXPECT_EQ(c.I2cWrite(RecordClient::Command(op, args)), 0u);
        bench.clock.AdvanceUs(1000);
        return Reply() == Bytes{0x6E, 0x85, 0xC2, 0x00, 0x00, 0x03, 0x0C, 0x76};
    }
    // Downloads the given code in 117-byte chunks at 0x1800, skipping chunk `skip`.
    bool Download(const Bytes& code, size_t skip = SIZE_MAX) {
        for (size_t at = 0, k = 0; at < code.size(); at += kChunk, ++k) {
            if (k == skip) continue;
            Bytes args{static_cast<uint8_t>((0x1800 + at) >> 8), static_cast<uint8_t>(0x1800 + at)};
            args.insert(args.end(), code.begin() + static_cast<ptrdiff_t>(at),
                        code.begin() + static_cast<ptrdiff_t>(std::min(code.size(), at + kChunk)));
            if (!Acked(0x13, args)) return false;
        }
        return true;
    }
    void EnterAndStart(const Bytes& code) {
        ASSERT_TRUE(Acked(0x09));
        ASSERT_TRUE(Acked(0x20, {0x00}));
        ASSERT_TRUE(Download(code));
        ASSERT_TRUE(Acked(0x1D, {0x18, 0x00}));
        bench.clock.AdvanceUs(20'000);
    }
    Bytes Read(uint32_t address, size_t n, uint32_t expectStatus = 0) {
        Bytes out(n);
        EXPECT_EQ(c.NativeRead(address, out), expectStatus);
        return out;
    }
    uint32_t Write(uint32_t address, const Bytes& data) { return c.NativeWrite(address, data); }
    // Body first, the length byte last.
    void Post(const Bytes& block) {
        ASSERT_EQ(Write(kCmd + 1, Bytes(block.begin() + 1, block.end())), 0u);
        ASSERT_EQ(Write(kCmd, {block[0]}), 0u);
    }
    // The reply's first `n` bytes after `waitUs`; the reply buffer is then released.
    Bytes Answer(size_t n, int64_t waitUs = 1000) {
        bench.clock.AdvanceUs(waitUs);
        const Bytes reply = Read(kReply, n);
        EXPECT_EQ(Write(kReply, {0}), 0u);
        return reply;
    }
    // One block through the halves and flags; returns the reply the driver gives.
    Bytes WriteBlock(uint32_t offset, const Bytes& data, uint8_t crcFlip = 0, uint16_t cmdSize = 512) {
        Post({0x03, 0x10, 0x13});
        const uint32_t address = IspMailbox::kFlashBase + offset;
        const uint32_t n = static_cast<uint32_t>(data.size());
        const uint32_t lowFlag = kCmd + cmdSize / 2 - 1, highFlag = kCmd + cmdSize - 1;
        EXPECT_EQ(Write(kCmd, {0x00, static_cast<uint8_t>(address >> 16), static_cast<uint8_t>(address >> 8),
                               static_cast<uint8_t>(address), static_cast<uint8_t>(n >> 24), static_cast<uint8_t>(n >> 16),
                               static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)}), 0u);
        EXPECT_EQ(Write(lowFlag, {8}), 0u);
        Bytes block = data;
        const uint16_t crc = BlockCrc16(data) ^ crcFlip;
        block.insert(block.end(), {0, 0, static_cast<uint8_t>(crc >> 8), static_cast<uint8_t>(crc)});
        const size_t upper = block.size() / 2;
        bench.clock.AdvanceUs(100);
        EXPECT_EQ(Read(highFlag, 1)[0], 0);
        EXPECT_EQ(Write(kCmd + cmdSize / 2, Bytes(block.begin(), block.begin() + static_cast<ptrdiff_t>(upper))), 0u);
        EXPECT_EQ(Write(highFlag, {static_cast<uint8_t>(upper)}), 0u);
        bench.clock.AdvanceUs(100);
        EXPECT_EQ(Read(lowFlag, 1)[0], 0);  // the header was taken
        EXPECT_EQ(Write(kCmd, Bytes(block.begin() + static_cast<ptrdiff_t>(upper), block.end())), 0u);
        EXPECT_EQ(Write(lowFlag, {static_cast<uint8_t>(block.size() - upper)}), 0u);
        return Answer(3, 10'000);
    }

    TestBench& bench;
    RecordClient c;
};

const Bytes kAck{0x03, 0x0C, 0xF1};
const Bytes kNak{0x03, 0x0E, 0xEF};

Bytes Pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 13);
    return b;
}

TEST(SimIsp, TheMailboxAppearsOnlyForTheCompleteDriverStartedAtItsBase) {
    TestBench bench;
    IspHost host(bench);
    const Bytes code = DriverCodeOf(bench.images.ispDriver);
    ASSERT_EQ(code.size(), 0x300u);
    EXPECT_THAT(host.Read(0x40C, 3), ElementsAre(0, 0, 0));
    host.EnterAndStart(code);
    EXPECT_THAT(host.Read(0x40C, 3), ElementsAre(0x00, 0x00, 0x03));
    EXPECT_THAT(host.Read(0x30000, 12), ElementsAre(0x00, 0x00, 0x02, 0x00, 0x00, 0x02, 0x00, 0x00, 0x01, 0x00, 0x80, 0x00));
    EXPECT_TRUE(bench.sim->Record().Reached(Milestone::WindowRead));
    // With the driver running, nobody serves the command port.
    ASSERT_EQ(host.c.I2cWrite(RecordClient::Command(0x0A)), 0u);
    bench.clock.AdvanceUs(5000);
    EXPECT_THAT(host.Reply(), ElementsAre(0x6E, 0x80, 0xBE));

    for (int variant = 0; variant < 3; ++variant) {
        TestBench other;
        IspHost h(other);
        ASSERT_TRUE(h.Acked(0x09));
        ASSERT_TRUE(h.Acked(0x20, {0x00}));
        // 0: a chunk missing; 1: the header sent along; 2: all well, but started elsewhere.
        const bool downloaded = variant == 0   ? h.Download(code, 3)
                                : variant == 1 ? h.Download(other.images.ispDriver)
                                               : h.Download(code);
        ASSERT_TRUE(downloaded);
        ASSERT_TRUE(h.Acked(0x1D, {0x18, variant == 2 ? uint8_t{0x01} : uint8_t{0x00}}));
        other.clock.AdvanceUs(20'000);
        EXPECT_THAT(h.Read(0x40C, 3), ElementsAre(0, 0, 0)) << variant;
        h.Read(kCmd, 1, SimDriver::kStatusAuxNack);
    }
}

TEST(SimIsp, RequestsAreCheckedByTheirCheckByte) {
    TestBench bench;
    IspHost host(bench);
    host.EnterAndStart(DriverCodeOf(bench.images.ispDriver));
    // GetFlashId as the host sends it: its check byte is the 8-bit sum.
    host.Post({0x09, 0x1C, 0xFF, 0x00, 0x00, 0x20, 0x00, 0x00, 0x44});
    EXPECT_THAT(host.Answer(5), ElementsAre(0x05, 0x1C, 0x46, 0x13, 0x86));
    host.Post({0x09, 0x1C, 0xFF, 0x00, 0x00, 0x20, 0x00, 0x00, 0xCA});  // the XOR instead
    EXPECT_EQ(host.Answer(3), kNak);
    host.Post({0x05, 0x19, 0xFF, 0xA2, 0x42});  // a wrong check byte
    EXPECT_EQ(host.Answer(3, 2'000'000), kNak);
    host.Post({0x04, 0x77, 0x01, 0x72});  // an unknown request
    EXPECT_EQ(host.Answer(3), kNak);
}

TEST(SimIsp, BlocksAreAcknowledgedOnlyWithTheirCrcAndProgramOnlyClearsBits) {
    TestBench bench;
    IspHost host(bench);
    host.EnterAndStart(DriverCodeOf(bench.images.ispDriver));
    const Bytes before(bench.sim->Chip().FlashMemory().Bytes().begin(), bench.sim->Chip().FlashMemory().Bytes().begin() + 9);
    const Bytes nine{'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(host.WriteBlock(0, nine, 0x01), kNak);
    EXPECT_EQ(Bytes(bench.sim->Chip().FlashMemory().Bytes().begin(), bench.sim->Chip().FlashMemory().Bytes().begin() + 9), before);
    // Without an erase, programming ANDs into what the flash held.
    EXPECT_EQ(host.WriteBlock(0, nine), kAck);
    for (size_t i = 0; i < nine.size(); ++i) EXPECT_EQ(bench.sim->Chip().FlashMemory().Bytes()[i], before[i] & nine[i]);
    // The last block of an odd length splits 65 / 66.
    EXPECT_EQ(host.WriteBlock(0x1000, Pattern(127, 5)), kAck);
    EXPECT_EQ(BlockCrc16(nine), 0x5E86);
}

}  // namespace
}  // namespace kdx::sim
