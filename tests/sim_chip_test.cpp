// The simulated driver and chip at the level of single request records: presence probe,
// DDC/CI framing over I2C-over-AUX, what the chip drops or refuses, the driver's statuses
// and faults, and the AUX timing. The identity registers, the branch identification block
// (from the DPCD and from chip memory), the faults of the driver and the connections and a
// chip in its internal ROM (also one booted from an incomplete flash) are seen through the
// updater's outcome in the end-to-end tests.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "sim/test_bench.h"
#include "sim/timing.h"

namespace kdx::sim {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using Bytes = std::vector<uint8_t>;

const Bytes kAck{0x6E, 0x85, 0xC2, 0x00, 0x00, 0x03, 0x0C, 0x76};
const Bytes kNull{0x6E, 0x80, 0xBE};

Bytes Reply(RecordClient& c) {
    Bytes reply;
    EXPECT_EQ(c.I2cReadReply(reply), 0u);
    return reply;
}

TEST(SimChip, ProbeIsAcknowledgedOnlyOnTheChipsConnectionAndOnlyOnce) {
    SimOptions options;
    options.deviceId = 0x0D;
    TestBench bench(options);
    ASSERT_TRUE(bench.sim) << bench.error;
    const Bytes probe = RecordClient::Command(0x0A);
    ASSERT_THAT(probe, ElementsAre(0x51, 0x85, 0xC2, 0x00, 0x00, 0x03, 0x0A, 0x71));

    RecordClient empty = bench.Client(0x0C);
    EXPECT_EQ(empty.I2cWrite(probe), SimDriver::kStatusAuxNack);

    RecordClient chip = bench.Client(0x0D);
    ASSERT_EQ(chip.I2cWrite(probe), 0u);
    EXPECT_EQ(Reply(chip), kNull);  // not ready within the chip's command latency
    bench.clock.AdvanceUs(1000);
    EXPECT_EQ(Reply(chip), kAck);
    EXPECT_EQ(Reply(chip), kNull);  // reading it consumed it
    EXPECT_TRUE(bench.sim->Record().Reached(Milestone::ProbeAcknowledged));
}

TEST(SimChip, WriteTransactionCountsOnlyWhenItsLastPieceEndsIt) {
    TestBench bench;
    RecordClient c = bench.Client();
    Bytes probe = RecordClient::Command(0x0A);
    // Every piece with the middle-of-transaction bit: the message never completes.
    EXPECT_EQ(c.Transfer(gfx::kI2cWriteMot, 0x6E, std::span(probe).first(5)), 0u);
    EXPECT_EQ(c.Transfer(gfx::kI2cWriteMot, 0x6E, std::span(probe).subspan(5)), 0u);
    bench.clock.AdvanceUs(5000);
    EXPECT_EQ(Reply(c), kNull);  // the read also dropped the unfinished message
    // Three pieces, the last one ending the transaction: one message.
    EXPECT_EQ(c.Transfer(gfx::kI2cWriteMot, 0x6E, std::span(probe).first(3)), 0u);
    EXPECT_EQ(c.Transfer(gfx::kI2cWriteMot, 0x6E, std::span(probe).subspan(3, 3)), 0u);
    EXPECT_EQ(c.Transfer(gfx::kI2cWrite, 0x6E, std::span(probe).subspan(6)), 0u);
    bench.clock.AdvanceUs(1000);
    EXPECT_EQ(Reply(c), kAck);
}

TEST(SimChip, MalformedMessagesAreDroppedWithoutReply) {
    TestBench bench;
    RecordClient c = bench.Client();
    Bytes badChecksum = RecordClient::Command(0x0A);
    badChecksum.back() ^= 1;
    Bytes badLength = RecordClient::Command(0x0A);
    badLength[1] = 0x86;
    Bytes badSource = RecordClient::Command(0x0A);
    badSource[0] = 0x50;
    for (const Bytes& m : {badChecksum, badLength, badSource}) {
        ASSERT_EQ(c.I2cWrite(m), 0u);
        bench.clock.AdvanceUs(2000);
        EXPECT_EQ(Reply(c), kNull);
    }
    Bytes other(8, 0);
    EXPECT_EQ(c.Transfer(gfx::kI2cWrite, 0x50, other), SimDriver::kStatusAuxNack);  // nothing at that I2C address
}

TEST(SimChip, MemoryReadAnswersAtMost122Bytes) {
    TestBench bench;
    RecordClient c = bench.Client();
    ASSERT_EQ(c.I2cWrite(RecordClient::Command(0x52, Bytes{0, 0, 0, 0, 0, 0, 0, 127})), 0u);
    bench.clock.AdvanceUs(1000);
    const Bytes reply = Reply(c);
    EXPECT_EQ(reply.size(), 130u);
    EXPECT_EQ(reply[1], 0xFF);
    EXPECT_EQ(reply[5], 125);
}

// --- The driver's statuses and the faults of the first stage ------------------------------

TEST(SimDriver, RefusesRecordsNoBackendSends) {
    TestBench bench;
    RecordClient c = bench.Client();
    Bytes none;
    Bytes seventeen(17, 0);
    Bytes one(1, 0);
    EXPECT_EQ(c.Transfer(gfx::kNativeRead, 0x503, none), SimDriver::kStatusInvalidRequest);
    EXPECT_EQ(c.Transfer(gfx::kNativeRead, 0x503, seventeen), SimDriver::kStatusInvalidRequest);
    EXPECT_EQ(c.Transfer(3, 0x6E, one), SimDriver::kStatusInvalidRequest);
    EXPECT_EQ(bench.Client(0x10).Transfer(gfx::kNativeRead, 0x503, one), SimDriver::kStatusInvalidRequest);
}

TEST(SimDriver, FaultsOfTheCommandPort) {
    SimOptions o;
    o.faults.badChecksum = true;
    o.faults.regsUnreadable = true;
    TestBench bench(o);
    RecordClient c = bench.Client();
    ASSERT_EQ(c.I2cWrite(RecordClient::Command(0x0A)), 0u);
    bench.clock.AdvanceUs(1000);
    Bytes ack = Reply(c);
    ASSERT_EQ(ack.size(), 8u);
    EXPECT_NE(ack[7], 0x76);
    ASSERT_EQ(c.I2cWrite(RecordClient::Command(0x06, Bytes{0xC8, 0x02})), 0u);
    bench.clock.AdvanceUs(50'000);
    EXPECT_EQ(Reply(c), kNull);
}

TEST(SimDriver, TraceHasOneLinePerCallWithTheBytesOnTheWire) {
    const std::string path = ::testing::TempDir() + "sim_trace.tsv";
    SimOptions o;
    o.tracePath = path;
    o.faults.deferCalls = 1;
    {
        TestBench bench(o);
        ASSERT_TRUE(bench.sim) << bench.error;
        RecordClient c = bench.Client();
        Bytes block(10);
        EXPECT_EQ(c.NativeRead(0x503, block), SimDriver::kStatusDeferred);
        EXPECT_EQ(c.NativeRead(0x503, block), 0u);
        EXPECT_EQ(c.I2cWrite(RecordClient::Command(0x0A)), 0u);
        bench.sim->Finish();
    }
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    const int64_t deferredUs = (kAuxRequestFramingBits + kAuxReplyFramingBits) + kDriverCallCostNs / 1000;
    const int64_t readUs = deferredUs + AuxWireTimeNs(10) / 1000 + kDriverCallCostNs / 1000;
    EXPECT_THAT(lines, ElementsAre("time_us\tmethod\tdevice\tcommand\taddress\tlength\tstatus\tdata",
                                   "0\tR\t0x0C\t9\t0x503\t10\t70\t",
                                   std::to_string(deferredUs) + "\tR\t0x0C\t9\t0x503\t10\t0\t4b5834363130220128" "00",
                                   std::to_string(readUs) + "\tW\t0x0C\t0\t0x6E\t8\t0\t5185c20000030a71"));
    std::remove(path.c_str());
}

}  // namespace
}  // namespace kdx::sim
