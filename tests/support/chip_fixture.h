// A ChipContext on the virtual clock with a FakeGfxLib, and a bench that puts the simulated
// chip with its running ISP driver behind the fake's native transfers.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "chip/chip_context.h"
#include "sim/test_bench.h"
#include "tests/support/fake_gfx_lib.h"
#include "tests/support/test_system.h"

namespace kdx::testing {

struct ProgressLog : TarvikControlDelegate {
    std::vector<std::pair<int32_t, int32_t>> reports;
    void ReportProgress(int32_t current, int32_t total) override { reports.emplace_back(current, total); }
};

// The simulated chip with its ISP driver running, behind the fake's native transfers: each
// goes through the simulated driver in records of 16 bytes, as the COM backend sends it, and
// ends with the status that backend makes of the driver's. The simulator runs on a clock of
// its own that follows the bench's waits, so that the AUX time of the transfers stays out of
// the timings the tests check while the chip still sees time pass on the wire.
class SimulatedChip {
public:
    SimulatedChip(FakeGfxLib& gfx, platform::VirtualClock& benchClock, std::vector<std::string_view> faults,
                  bool driverRunning = true)
        : benchClock_(benchClock), bench_(WithFaults(faults)), client_(bench_.Client()) {
        bench_.sim->BeginRun(1);
        bench_.sim->Chip().FlashMemory().EraseAll();
        if (driverRunning) bench_.sim->Chip().RunIspDriver(bench_.clock.NowNs());
        gfx.onNativeWrite = [this](uint32_t address, std::span<const uint8_t> data, int32_t& result) {
            Follow();
            result = Status(client_.NativeWrite(address, data));
        };
        gfx.onNativeRead = [this](uint32_t address, std::span<uint8_t> buffer, int32_t& result) {
            Follow();
            result = Status(client_.NativeRead(address, buffer));
        };
    }

    // A write the updater does not make (the fake does not record it).
    uint32_t Poke(uint32_t address, std::vector<uint8_t> bytes) { return client_.NativeWrite(address, bytes); }
    std::span<const uint8_t> Flash() const { return bench_.sim->Chip().FlashMemory().Bytes(); }
    sim::Flash& FlashMemory() { return bench_.sim->Chip().FlashMemory(); }
    const sim::RunRecord& Record() const { return bench_.sim->Record(); }

private:
    static sim::SimOptions WithFaults(std::vector<std::string_view> faults) {
        sim::SimOptions options;
        std::string error;
        for (const std::string_view fault : faults) EXPECT_TRUE(sim::ParseFault(fault, options.faults, error)) << error;
        return options;
    }
    static int32_t Status(uint32_t driverStatus) {
        return driverStatus == sim::SimDriver::kStatusDeferred ? gfx::kDeferred : static_cast<int32_t>(driverStatus);
    }
    void Follow() {
        const int64_t now = benchClock_.NowNs();
        if (now > benchNs_) bench_.clock.AdvanceNs(now - benchNs_);
        benchNs_ = now;
    }

    platform::VirtualClock& benchClock_;
    int64_t benchNs_ = 0;
    sim::TestBench bench_;
    sim::RecordClient client_;
};

// (address, length) of native transfers, in order.
using Spans = std::vector<std::pair<uint32_t, size_t>>;

// The context and its surroundings; usable on its own where one test needs several.
struct ChipBench {
    TestSystem sys;
    platform::VirtualClock& clock = sys.clock;
    RecordingDebugOutput& debug = sys.debug;
    ChipContext context{sys.system, sys.connector, sys.controlLibrary};
    FakeGfxLib gfx;
    ProgressLog progress;

    ChipBench() {
        context.activeAdapter = &gfx;
        context.progressSink = &progress;
    }

    std::vector<FakeCall> Writes() const { return gfx.CallsOf(FakeCall::NativeWrite); }
    std::vector<FakeCall> Reads() const { return gfx.CallsOf(FakeCall::NativeRead); }
    int64_t ElapsedMs() const { return clock.NowUs() / 1000; }
    static Spans SpansOf(const std::vector<FakeCall>& calls) {
        Spans spans;
        for (const auto& c : calls) spans.emplace_back(c.address, c.data.size());
        return spans;
    }
};

struct ChipFixture : ::testing::Test, ChipBench {};

// The bench with the simulated chip behind it, under the given faults.
struct SimBench : ChipBench {
    explicit SimBench(std::vector<std::string_view> faults = {}, bool driverRunning = true)
        : sim(gfx, clock, faults, driverRunning) {}

    // The blocks as the host sent them: each header, and the counts it announced for the
    // upper and then the lower half.
    struct SentBlock {
        std::vector<uint8_t> header;
        uint8_t upper = 0;
        uint8_t lower = 0;
    };
    std::vector<SentBlock> SentBlocks() const {
        const MailboxWindow& w = context.mailbox;
        std::vector<SentBlock> blocks;
        int lowFlagWrites = 0;
        for (const FakeCall& c : Writes()) {
            // Eight bytes of a lower half while its count is awaited are data, not a header.
            const bool awaitingLower = !blocks.empty() && lowFlagWrites < 2;
            if (c.address == w.cmdBufferAddr && c.data.size() == 8 && !awaitingLower) {
                blocks.push_back({c.data});
                lowFlagWrites = 0;
            } else if (blocks.empty() || c.data.size() != 1) {
                continue;
            } else if (c.address == w.highFlagAddr) {
                blocks.back().upper = c.data[0];
            } else if (c.address == w.lowFlagAddr && ++lowFlagWrites == 2) {
                blocks.back().lower = c.data[0];
            }
        }
        return blocks;
    }

    SimulatedChip sim;
};

struct SimFixture : ::testing::Test, SimBench {};

}  // namespace kdx::testing
