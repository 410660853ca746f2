// The simulated driver at the level of single request records and the simulated Linux kernel
// at the level of its system calls: the trace and its timing (the AUX transactions one
// I2C_RDWR and one pread make, line by line), the sysfs tree, the limits and the errno
// values the Linux backend meets. Message framing, the driver's statuses and faults, the
// identity registers, a chip in its internal ROM and whole runs over the kernel, every fault
// included, are seen through the updater's outcome in the end-to-end tests.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "gfx/gfx_lib.h"
#include "sim/test_bench.h"
#include "sim/timing.h"

namespace kdx::sim {
namespace {

using ::testing::ElementsAre;
using Bytes = std::vector<uint8_t>;
namespace errno_ = platform::linux_errno;

constexpr uint16_t kChip = 0x37;
constexpr char kTraceHeader[] = "time_us\tmethod\tdevice\tcommand\taddress\tlength\tstatus\tdata";

// The lines of the trace a bench with `o` writes while `calls` runs on it.
template <typename Calls>
std::vector<std::string> TraceOf(SimOptions o, Calls calls) {
    o.tracePath = ::testing::TempDir() + ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".tsv";
    {
        TestBench bench(o);
        EXPECT_TRUE(bench.sim) << bench.error;
        if (!bench.sim) return {};
        calls(bench);
        bench.sim->Finish();
    }
    std::ifstream in(o.tracePath);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    std::remove(o.tracePath.c_str());
    return lines;
}

TEST(SimDriver, TraceHasOneLinePerCallWithTheBytesOnTheWire) {
    SimOptions o;
    o.faults.deferCalls = 1;
    const auto trace = TraceOf(o, [](TestBench& bench) {
        RecordClient c = bench.Client();
        Bytes block(10);
        EXPECT_EQ(c.NativeRead(0x503, block), SimDriver::kStatusDeferred);
        EXPECT_EQ(c.NativeRead(0x503, block), 0u);
        EXPECT_EQ(c.I2cWrite(RecordClient::Command(0x0A)), 0u);
    });
    const int64_t deferredUs = (kAuxRequestFramingBits + kAuxReplyFramingBits) + kDriverCallCostNs / 1000;
    const int64_t readUs = deferredUs + AuxWireTimeNs(10) / 1000 + kDriverCallCostNs / 1000;
    EXPECT_THAT(trace, ElementsAre(kTraceHeader, "0\tR\t0x0C\t9\t0x503\t10\t70\t",
                                   std::to_string(deferredUs) + "\tR\t0x0C\t9\t0x503\t10\t0\t4b5834363130220128" "00",
                                   std::to_string(readUs) + "\tW\t0x0C\t0\t0x6E\t8\t0\t5185c20000030a71"));
}

TEST(SimKernel, OneI2cWriteOneI2cReadAndOnePreadAsTheChipSeesThem) {
    const auto trace = TraceOf(SimOptions{}, [](TestBench& bench) {
        platform::DpAuxSystem& kernel = bench.sim->DpAux();
        const int aux = kernel.Open("/dev/drm_dp_aux0");
        const int i2c = kernel.Open("/dev/i2c-5");
        ASSERT_GE(aux, 0);
        ASSERT_GE(i2c, 0);
        Bytes probe{0x51, 0x85, 0xC2, 0x00, 0x00, 0x03, 0x0A, 0x71};
        std::array<platform::I2cMessage, 1> write{{{kChip, false, probe}}};
        EXPECT_EQ(kernel.I2cTransfer(i2c, write), 1);
        bench.clock.AdvanceNs(2 * kNsPerMs);  // the chip's reply becomes ready
        Bytes reply(20);
        std::array<platform::I2cMessage, 1> read{{{kChip, true, reply}}};
        EXPECT_EQ(kernel.I2cTransfer(i2c, read), 1);
        EXPECT_EQ(reply, Bytes({0x6E, 0x85, 0xC2, 0x00, 0x00, 0x03, 0x0C, 0x76, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
        Bytes block(18);
        EXPECT_EQ(kernel.Pread(aux, block, 0x503), 18);
        kernel.Close(i2c);
        kernel.Close(aux);
        EXPECT_EQ(bench.sim->Kernel().OpenDescriptors(), 0u);
    });
    // Two opens and the ioctl, then each transaction's wire time and i915's share.
    int64_t now = 3 * kSyscallCostNs;
    const auto at = [&now](uint32_t dataBytes, const std::string& rest) {
        const std::string line = std::to_string(now / kNsPerUs) + "\t" + rest;
        now += AuxWireTimeNs(dataBytes) + kKernelTransferCostNs;
        return line;
    };
    std::vector<std::string> expected{kTraceHeader};
    expected.push_back(at(0, "W\t0x0C\t4\t0x37\t0\t0\t"));
    expected.push_back(at(8, "W\t0x0C\t4\t0x37\t8\t0\t5185c20000030a71"));
    expected.push_back(at(0, "W\t0x0C\t0\t0x37\t0\t0\t"));
    now += 2 * kNsPerMs + kSyscallCostNs;
    expected.push_back(at(0, "R\t0x0C\t5\t0x37\t0\t0\t"));
    expected.push_back(at(16, "R\t0x0C\t5\t0x37\t16\t0\t6e85c20000030c76ffffffffffffffff"));
    expected.push_back(at(4, "R\t0x0C\t5\t0x37\t4\t0\tffffffff"));
    expected.push_back(at(0, "R\t0x0C\t1\t0x37\t0\t0\t"));
    now += kSyscallCostNs;
    expected.push_back(at(1, "R\t0x0C\t9\t0x0\t1\t0\t00"));
    expected.push_back(at(16, "R\t0x0C\t9\t0x503\t16\t0\t4b583436313022012800000000000000"));
    expected.push_back(at(1, "R\t0x0C\t9\t0x0\t1\t0\t00"));
    expected.push_back(at(2, "R\t0x0C\t9\t0x513\t2\t0\t0000"));
    EXPECT_EQ(trace, expected);
}

TEST(SimKernel, SysfsPairsEachAuxNodeWithTheAdapterUnderTheSameConnector) {
    TestBench bench;
    ASSERT_TRUE(bench.sim) << bench.error;
    platform::DpAuxSystem& kernel = bench.sim->DpAux();
    EXPECT_THAT(kernel.ListDirectory("/sys/class/drm_dp_aux_dev"),
                ElementsAre("drm_dp_aux3", "drm_dp_aux2", "drm_dp_aux1", "drm_dp_aux0"));
    EXPECT_EQ(kernel.ListDirectory("/sys/class/i2c-dev").size(), 9u);  // five GMBUS adapters too
    const std::string connector = "/sys/devices/pci0000:00/0000:00:02.0/drm/card0/card0-DP-2";
    EXPECT_EQ(SimKernel::ConnectorPath(1), connector);
    EXPECT_EQ(kernel.ResolvePath("/sys/class/drm_dp_aux_dev/drm_dp_aux1/device"), connector);
    EXPECT_EQ(kernel.ResolvePath("/sys/class/i2c-dev/i2c-6/device"), connector + "/i2c-6");
    EXPECT_EQ(kernel.ResolvePath("/sys/class/i2c-dev/i2c-1/device"), "/sys/devices/pci0000:00/0000:00:02.0/i2c-1");
    EXPECT_EQ(kernel.ResolvePath("/sys/class/i2c-dev/i2c-6/device/../drm_dp_aux1/name"), connector + "/drm_dp_aux1/name");
    EXPECT_EQ(kernel.ResolvePath("/sys/class/i2c-dev/i2c-9/device"), std::nullopt);
    EXPECT_EQ(kernel.ReadAttribute("/sys/class/drm_dp_aux_dev/drm_dp_aux1/name"), "AUX C/DDI C/PHY C");
    EXPECT_EQ(kernel.ReadAttribute("/sys/class/i2c-dev/i2c-6/name"), "AUX C/DDI C/PHY C");
    EXPECT_EQ(kernel.ReadAttribute("/sys/class/i2c-dev/i2c-0/name"), "i915 gmbus ssc");

    SimOptions unloaded;
    unloaded.faults.noI2cDev = true;
    TestBench without(unloaded);
    ASSERT_TRUE(without.sim) << without.error;
    EXPECT_TRUE(without.sim->DpAux().ListDirectory("/sys/class/i2c-dev").empty());
    EXPECT_EQ(without.sim->DpAux().Open("/dev/i2c-5"), -errno_::kNoEntry);
    EXPECT_GE(without.sim->DpAux().Open("/dev/drm_dp_aux0"), 0);
}

TEST(SimKernel, LimitsAndErrnoValues) {
    TestBench bench;
    ASSERT_TRUE(bench.sim) << bench.error;
    platform::DpAuxSystem& kernel = bench.sim->DpAux();
    const int aux = kernel.Open("/dev/drm_dp_aux0");
    const int i2c = kernel.Open("/dev/i2c-5");
    for (const char* missing : {"/dev/drm_dp_aux4", "/dev/drm_dp_aux00", "/dev/i2c-9", "/dev/i2c-", "/dev/null"})
        EXPECT_EQ(kernel.Open(missing), -errno_::kNoEntry) << missing;

    Bytes one(1), big(platform::DpAuxSystem::kMaxI2cMessageLength + 1);
    std::vector<platform::I2cMessage> tooMany(platform::DpAuxSystem::kMaxI2cMessages + 1, {kChip, false, one});
    std::array<platform::I2cMessage, 1> tooLong{{{kChip, false, big}}};
    EXPECT_EQ(kernel.I2cTransfer(i2c, tooMany), -errno_::kInvalid);
    EXPECT_EQ(kernel.I2cTransfer(i2c, tooLong), -errno_::kInvalid);
    EXPECT_EQ(kernel.I2cTransfer(i2c, {}), -errno_::kInvalid);
    EXPECT_EQ(kernel.I2cTransfer(aux, tooLong), -25);  // ENOTTY
    EXPECT_EQ(kernel.Pread(i2c, one, 0), -29);         // ESPIPE
    EXPECT_EQ(kernel.Pread(99, one, 0), -9);           // EBADF

    // Nothing answers at another I2C address: EREMOTEIO, and the buffer keeps its bytes.
    Bytes reply(4, 0xAA);
    std::array<platform::I2cMessage, 1> elsewhere{{{0x38, true, reply}}};
    EXPECT_EQ(kernel.I2cTransfer(i2c, elsewhere), -errno_::kRemoteIo);
    EXPECT_EQ(reply, Bytes(4, 0xAA));

    // A later piece failing leaves the count of the pieces before it; a first one, EIO.
    Bytes across(32);
    EXPECT_EQ(kernel.Pread(aux, across, 0xFF0), 16);
    EXPECT_EQ(kernel.Pread(aux, across, 0x1000), -errno_::kIo);
    EXPECT_EQ(kernel.Pread(aux, one, SimKernel::kAuxMaxOffset), 0);
    // A connector with nothing on it: i915 times out.
    const int empty = kernel.Open("/dev/drm_dp_aux1");
    EXPECT_EQ(kernel.Pwrite(empty, one, 0x100), -errno_::kTimedOut);

    SimOptions rootOnly;
    rootOnly.faults.nodesRootOnly = true;
    TestBench user(rootOnly);
    ASSERT_TRUE(user.sim) << user.error;
    EXPECT_EQ(user.sim->DpAux().Open("/dev/drm_dp_aux0"), -errno_::kAccess);
    EXPECT_EQ(user.sim->DpAux().Open("/dev/i2c-5"), -errno_::kAccess);
}

// Past the end of the null message: 0xFF in the kernel's framing (opened by a bare
// address), 0x00 in the Windows drivers' (opened with data), as before the kernel's came.
TEST(SimKernel, PastTheEndOfTheStreamEachFramingReadsWhatItAlwaysRead) {
    TestBench bench;
    ASSERT_TRUE(bench.sim) << bench.error;
    RecordClient c = bench.Client();
    Bytes windows(8);
    EXPECT_EQ(c.Transfer(gfx::kI2cRead, 0x6E, windows), 0u);
    EXPECT_EQ(windows, Bytes({0x6E, 0x80, 0xBE, 0, 0, 0, 0, 0}));

    platform::DpAuxSystem& kernel = bench.sim->DpAux();
    Bytes kernelRead(8);
    std::array<platform::I2cMessage, 1> read{{{kChip, true, kernelRead}}};
    EXPECT_EQ(kernel.I2cTransfer(kernel.Open("/dev/i2c-5"), read), 1);
    EXPECT_EQ(kernelRead, Bytes({0x6E, 0x80, 0xBE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
}

// Chaos draws one action per transaction, bare addresses included: a flipped bit or a short
// reply there has no data to act on.
TEST(SimKernel, ChaosOnEveryTransactionTouchesNoByteOutsideIt) {
    SimOptions o;
    o.chaos = true;
    o.chaosRate = 1;
    for (uint64_t seed = 1; seed <= 40; ++seed) {
        o.chaosSeed = seed;
        TestBench bench(o);
        ASSERT_TRUE(bench.sim) << bench.error;
        platform::DpAuxSystem& kernel = bench.sim->DpAux();
        const int i2c = kernel.Open("/dev/i2c-5");
        Bytes reply(20, 0xAA);
        std::array<platform::I2cMessage, 1> read{{{kChip, true, reply}}};
        const int result = kernel.I2cTransfer(i2c, read);
        EXPECT_TRUE(result == 1 || result < 0) << seed;
        if (result < 0) {
            EXPECT_EQ(reply, Bytes(20, 0xAA)) << seed;
        }
    }
}

}  // namespace
}  // namespace kdx::sim
