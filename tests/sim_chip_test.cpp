// The simulated driver at the level of single request records: the trace and its timing.
// Message framing (a malformed message gets no reply), the driver's statuses and faults, the
// identity registers, the branch identification block and a chip in its internal ROM are
// seen through the updater's outcome in the end-to-end tests.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "sim/test_bench.h"
#include "sim/timing.h"

namespace kdx::sim {
namespace {

using ::testing::ElementsAre;
using Bytes = std::vector<uint8_t>;

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
