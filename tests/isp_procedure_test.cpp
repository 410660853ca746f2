#include "chip/isp_procedure.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/dialog_isp_guard.h"
#include "chip/result_code.h"
#include "tests/support/chip_fixture.h"

namespace kdx {
namespace {

using testing::FakeCall;
using testing::kAckReply;
using testing::kNullReply;

// Where the ISP span begins and ends, as the number of adapter calls made by then.
struct RecordingGuard final : platform::IspGuard {
    explicit RecordingGuard(const testing::FakeGfxLib& lib) : gfx(lib) {}
    void Begin() override { begunAt.push_back(gfx.calls.size()); }
    void End(bool success) override { ended.push_back({gfx.calls.size(), success}); }
    const testing::FakeGfxLib& gfx;
    std::vector<size_t> begunAt;
    std::vector<std::pair<size_t, bool>> ended;
};

// The I2C side of the chip is scripted in the fake; its mailbox is the simulated chip's, its
// ISP driver running from the start (or, with `driverRunning` false, never).
struct IspBench : testing::SimBench {
    RecordingGuard guard{gfx};

    explicit IspBench(std::vector<std::string_view> faults = {}, bool driverRunning = true)
        : SimBench(std::move(faults), driverRunning) {
        sys.system.ispGuard = &guard;
        // A 256-byte driver: three chunks.
        context.ispDriverImage = {0x00, 0x01, 0x00, 0x00};
        context.ispDriverImage.resize(4 + 256, 0x90);
        // A 2 KiB image with blank stretches and its version 1.58 at end - 20.
        context.firmwareImage.assign(2048, 0xFF);
        for (size_t i = 0; i < 600; ++i) context.firmwareImage[i] = static_cast<uint8_t>(i * 3);
        std::copy_n(std::array<uint8_t, 3>{0x3A, 0x01, 0x00}.begin(), 3, context.firmwareImage.end() - 20);
        context.firmwareSize = 2048;
        context.imageVersion = 0x13A;
        context.FirmwareFamily = kFamilyTarvik;
        gfx.i2cDefaultReply = kAckReply;
    }
    // Plain sleeps are those made without raising the timer resolution.
    int PlainSleeps() const { return clock.SleepCalls() - clock.TimerPeriodRaises(); }
    // The first `acks` I2C reads acknowledged, every later one a null message; with kAllAcked
    // (the construction's script) every read is acknowledged.
    void AcknowledgeOnly(int acks) {
        if (acks == kAllAcked) return;
        gfx.i2cReplies.assign(static_cast<size_t>(acks), kAckReply);
        gfx.i2cDefaultReply = kNullReply;
    }
    static constexpr int kAllAcked = -1;
};

struct IspProcedureTest : ::testing::Test, IspBench {};

// Each step's code, message and EndIsp are checked end to end against the simulator; here,
// that the sequence stops at the failing step (no command after it, no sleep skipped before
// it) and that EndIsp goes to the command buffer in force, the construction values here.
TEST_F(IspProcedureTest, EachFailingStepStopsTheSequenceThereAndEndsIsp) {
    const struct {
        const char* what;
        std::vector<std::string_view> chipFaults;
        int acks;
        int32_t code;
        size_t i2cWrites;
        int plainSleeps;
    } cases[] = {
        {"entry 1 unacknowledged", {}, 0, IspSetupFailed, 1, 0},
        {"entry 2 unacknowledged", {}, 1, IspSetupFailed, 2, 1},
        {"driver chunk unacknowledged", {}, 3, IspSetupFailed, 4, 1},
        {"no mailbox window", {"window-zero"}, IspBench::kAllAcked, IspSetupFailed, 6, 2},
        {"erase not acknowledged", {"erase-timeout"}, IspBench::kAllAcked, FlashProgramFailed, 6, 2},
    };
    for (const auto& c : cases) {
        IspBench t(c.chipFaults);
        t.AcknowledgeOnly(c.acks);
        int32_t resultCode = 99;
        EXPECT_FALSE(RunIspProcedure(t.context, resultCode)) << c.what;
        EXPECT_EQ(resultCode, c.code) << c.what;
        EXPECT_EQ(t.debug.messages.size(), 1u) << c.what;
        EXPECT_EQ(t.gfx.CallsOf(FakeCall::I2cWrite).size(), c.i2cWrites) << c.what;
        EXPECT_EQ(t.PlainSleeps(), c.plainSleeps) << c.what;
        EXPECT_EQ(t.sim.Record().endIspPosted, 1u) << c.what;
        EXPECT_EQ(t.gfx.calls.back().address, 0x10000u) << c.what;
        // The span covers every ISP command, EndIsp's included.
        EXPECT_EQ(t.guard.begunAt, std::vector<size_t>{0}) << c.what;
        EXPECT_EQ(t.guard.ended, (std::vector<std::pair<size_t, bool>>{{t.gfx.calls.size(), false}})) << c.what;
    }
}

// A whole run, flash contents and trace, is checked end to end against the simulator.
TEST_F(IspProcedureTest, EndIspPostingFailingEveryTimeLeavesTheResult) {
    gfx.onNativeWrite = [chipWrite = gfx.onNativeWrite](uint32_t a, std::span<const uint8_t> d, int32_t& r) {
        if (a != 0x20001 || d[0] != 0x20) return chipWrite(a, d, r);
        r = gfx::kDeferred;
    };
    int32_t resultCode = 99;
    EXPECT_TRUE(RunIspProcedure(context, resultCode));
    EXPECT_EQ(resultCode, Success);
    EXPECT_TRUE(std::equal(context.firmwareImage.begin(), context.firmwareImage.end(), sim.Flash().begin()));
    EXPECT_EQ(sim.Record().endIspPosted, 0u);
    EXPECT_TRUE(debug.messages.empty());
    EXPECT_EQ(guard.ended, (std::vector<std::pair<size_t, bool>>{{gfx.calls.size(), true}}));
}

// A stage-by-stage view gets each stage once, in order, before that stage's reports.
TEST_F(IspProcedureTest, StagesBeginInOrderBeforeTheirReports) {
    struct StageLog final : TarvikControlDelegate {
        void ReportProgress(int32_t, int32_t) override { ++reportsSinceStage.back(); }
        void BeginStage(ProgressStage stage) override {
            stages.push_back(stage);
            reportsSinceStage.push_back(0);
        }
        std::vector<ProgressStage> stages;
        std::vector<int> reportsSinceStage{0};
    } log;
    context.progressSink = &log;
    int32_t resultCode = 99;
    EXPECT_TRUE(RunIspProcedure(context, resultCode));
    EXPECT_EQ(log.stages, (std::vector<ProgressStage>{ProgressStage::DownloadIspDriver, ProgressStage::ReadFlashId,
                                                      ProgressStage::EraseFlash, ProgressStage::WriteFirmware}));
    // Nothing is reported before the first stage; each stage reports.
    ASSERT_EQ(log.reportsSinceStage.size(), 5u);
    EXPECT_EQ(log.reportsSinceStage[0], 0);
    for (size_t i = 1; i < log.reportsSinceStage.size(); ++i) EXPECT_GT(log.reportsSinceStage[i], 0) << i;
}

TEST(IspProcedureTiming, EntryOnTheVirtualClock) {
    // Entry 1 acknowledged after 40 ms, 1 ms, entry 2 after 40 ms, 800 ms, then a download
    // that fails at once: three fast polls of 50 null messages, 5 ms after each.
    IspBench t({}, false);
    t.AcknowledgeOnly(2);
    int32_t resultCode = 99;
    EXPECT_FALSE(RunIspProcedure(t.context, resultCode));
    // 1 ms before the first (full) chunk; EndIsp meets no driver, only NACKs: three postings
    // 60 ms apart, 250 ms, and ten polls that fail without a pause.
    EXPECT_EQ(t.ElapsedMs(), 40 + 1 + 40 + 800 + 1 + 3 * 50 * 5 + 2 * 60 + 250);
}

// What the dialog's guard tells the power guard and the taskbar, each call with the number
// of adapter calls made by then.
struct IndicatorLog final : platform::IspGuard, platform::TaskbarProgress, TarvikControlDelegate {
    explicit IndicatorLog(const testing::FakeGfxLib& lib) : gfx(lib) {}
    void Begin() override { Add("power on"); }
    void End(bool success) override { Add(success ? "power off, flashed" : "power off, failed"); }
    void SetProgress(uint32_t done, uint32_t total) override {
        if (done == 0) Add("taskbar 0/" + std::to_string(total));
        else ++progressCalls;
    }
    void SetError() override { Add("taskbar error"); }
    void Clear() override { Add("taskbar clear"); }
    // The dialog's bar: one step a report, told to the guard.
    void ReportProgress(int32_t, int32_t) override {
        if (guard != nullptr) guard->Progress(++steps);
    }
    void Add(const std::string& what) { events.push_back({what, gfx.calls.size()}); }

    const testing::FakeGfxLib& gfx;
    DialogIspGuard* guard = nullptr;
    uint32_t steps = 0;
    int progressCalls = 0;
    std::vector<std::pair<std::string, size_t>> events;
};

// The machine is held and the taskbar shows progress from before the first ISP command;
// both let go after EndIsp, the taskbar in the error state when the flash does not hold the
// image, and the taskbar is cleared only when the final box appears.
TEST(DialogIspGuardTest, PowerAndTaskbarAroundTheIspProcedureInEveryOutcome) {
    using Events = std::vector<std::pair<std::string, size_t>>;
    const struct {
        const char* what;
        std::vector<std::string_view> chipFaults;
        int acks;
        bool flashed;
    } cases[] = {
        {"flashed", {}, IspBench::kAllAcked, true},
        {"entry 1 unacknowledged", {}, 0, false},
        {"no mailbox window", {"window-zero"}, IspBench::kAllAcked, false},
        {"erase not acknowledged", {"erase-timeout"}, IspBench::kAllAcked, false},
    };
    for (const auto& c : cases) {
        IspBench t(c.chipFaults);
        t.AcknowledgeOnly(c.acks);
        IndicatorLog log(t.gfx);
        DialogIspGuard guard(&log, log, 1024);
        log.guard = &guard;
        t.sys.system.ispGuard = &guard;
        t.context.progressSink = &log;
        guard.Progress(5);  // before the span: nothing shown
        int32_t resultCode = 99;
        EXPECT_EQ(RunIspProcedure(t.context, resultCode), c.flashed) << c.what;
        const size_t endIspDone = t.gfx.calls.size();
        guard.Finish();
        guard.Finish();  // a second box clears nothing twice
        Events expected{{"power on", 0}, {"taskbar 0/1024", 0},
                        {c.flashed ? "power off, flashed" : "power off, failed", endIspDone}};
        if (!c.flashed) expected.push_back({"taskbar error", endIspDone});
        expected.push_back({"taskbar clear", endIspDone});
        EXPECT_EQ(log.events, expected) << c.what;
        EXPECT_EQ(log.progressCalls, static_cast<int>(log.steps)) << c.what;
    }
}

}  // namespace
}  // namespace kdx
