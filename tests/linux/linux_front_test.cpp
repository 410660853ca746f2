// The pieces of kdx4610-update around the core: its command line, its progress view, the
// update lock and the held stop signals.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <sstream>
#include <thread>

#include "app/posix/stage_progress.h"
#include "app/posix/update_options.h"
#include "platform/clock.h"
#include "platform/posix/held_signals.h"
#include "platform/posix/update_lock.h"

namespace kdx::linux_app {
namespace {

TEST(UpdateOptions, EachCommandLineGivesItsMode) {
    const std::pair<Mode, std::vector<std::vector<std::string_view>>> cases[] = {
        {Mode::Dialog, {{}}},
        // "/s /x": the Windows rule, only the first switch counts.
        {Mode::Silent, {{"-s"}, {"--silent"}, {"/s"}, {"/s", "/x"}, {"-s", "--silent"}}},
        {Mode::Check, {{"--check"}}},
        {Mode::List, {{"--list"}}},
        {Mode::Help, {{"-h"}, {"--help"}}},
        {Mode::Version, {{"-V"}, {"--version"}}},
        {Mode::Invalid, {{"/x"}, {"/S"}, {"-x"}, {"--checks"}, {"check"}, {"-s", "--check"}, {"--list", "--check"}}},
    };
    for (const auto& [mode, commandLines] : cases) {
        for (const auto& words : commandLines) {
            const Options options = ParseOptions(words);
            EXPECT_EQ(options.mode, mode) << testing::PrintToString(words);
            EXPECT_EQ(options.error.empty(), mode != Mode::Invalid) << testing::PrintToString(words);
            EXPECT_EQ(options.error.find('\n'), std::string::npos);
        }
    }
    EXPECT_EQ(ParseOptions(std::vector<std::string_view>{"--frobnicate"}).error, "unknown option '--frobnicate'");
}

struct ProgressBench {
    platform::VirtualClock clock;
    std::ostringstream out;
    void AdvanceMs(int ms) { clock.Sleep(static_cast<uint32_t>(ms)); }
};

TEST(StageProgress, OnATerminalOneLineRedrawnAtMostTenTimesASecond) {
    ProgressBench b;
    StageProgress progress(b.out, b.clock, true, UiLanguage::English);
    progress.BeginStage(ProgressStage::WriteFirmware);
    // A report every millisecond for two seconds.
    for (int i = 1; i <= 2000; ++i) {
        b.AdvanceMs(1);
        progress.ReportProgress(i, 2000);
    }
    progress.Finish();
    const std::string text = b.out.str();
    const auto draws = std::count(text.begin(), text.end(), '\r');
    // The stage's first line, then one every 100 ms, then the last state at the end.
    EXPECT_GE(draws, 20);
    EXPECT_LE(draws, 22);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1);
    const std::string last = text.substr(text.rfind('\r') + 1);
    EXPECT_EQ(last, "Writing the firmware  2000/2000 [##############################] 100%\n");
}

TEST(StageProgress, OnATerminalAShorterLineBlanksWhatTheLongerOneLeft) {
    ProgressBench b;
    StageProgress progress(b.out, b.clock, true, UiLanguage::English);
    progress.BeginStage(ProgressStage::ReadFlashId);
    b.AdvanceMs(200);
    progress.ReportProgress(3, 10);
    b.AdvanceMs(200);
    progress.BeginStage(ProgressStage::EraseFlash);
    const std::string text = b.out.str();
    const std::string longer = "Reading the flash ID  3/10 [#########.....................] 30%";
    EXPECT_NE(text.find('\r' + longer), std::string::npos);
    EXPECT_TRUE(text.ends_with("\rErasing the flash" + std::string(longer.size() - 17, ' '))) << text;
}

TEST(StageProgress, ElsewhereOneLinePerStageWithoutControlCharacters) {
    ProgressBench b;
    StageProgress progress(b.out, b.clock, false, UiLanguage::Japanese);
    for (ProgressStage stage : {ProgressStage::DownloadIspDriver, ProgressStage::ReadFlashId,
                                ProgressStage::EraseFlash, ProgressStage::WriteFirmware}) {
        progress.BeginStage(stage);
        for (int i = 0; i <= 50; ++i) {
            b.AdvanceMs(150);
            progress.ReportProgress(i, 50);
        }
    }
    progress.Finish();
    EXPECT_EQ(b.out.str(), "ISPドライバを転送中\nフラッシュIDを読み出し中\nフラッシュを消去中\nファームウェアを書き込み中\n");
}

TEST(StageProgress, SecondsLeftFromTheStageAndItsPace) {
    const struct {
        std::optional<ProgressStage> stage;
        int64_t elapsedMs;
        int32_t current, total;
        int seconds;
    } cases[] = {
        // Before the first stage: every stage at its typical length, and the tail.
        {std::nullopt, 0, 0, 0, 20},
        {ProgressStage::DownloadIspDriver, 1'000, 10, 100, 19},
        // The write's own pace, once it has gone on long enough: a quarter in 5 s.
        {ProgressStage::WriteFirmware, 5'000, 25, 100, 16},
        // Too early to tell: its typical length less what has passed.
        {ProgressStage::WriteFirmware, 1'000, 1, 100, 14},
        {ProgressStage::WriteFirmware, 50'000, 100, 100, 1},
        // Slower than typical: never less than the stages after it.
        {ProgressStage::EraseFlash, 9'000, 0, 0, 15},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(EstimateSecondsLeft(c.stage, c.elapsedMs, c.current, c.total), c.seconds)
            << c.elapsedMs << " " << c.current << "/" << c.total;
    }
}

struct LockDir : testing::Test {
    std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                ("kdx_lock_test_" + std::to_string(getpid()) + "_" +
                                 testing::UnitTest::GetInstance()->current_test_info()->name());
    std::string path = (dir / "kdx4610-update.lock").string();
    using Outcome = platform::UpdateLock::Outcome;
    LockDir() { std::filesystem::create_directories(dir); }
    ~LockDir() override { std::filesystem::remove_all(dir); }
};

// The lock ends with its holder, not with a process refused it.
TEST_F(LockDir, ASecondHolderIsRefusedAndToldWhoHoldsItUntilTheFirstEnds) {
    std::string detail;
    {
        platform::UpdateLock first;
        ASSERT_EQ(first.Take(path, detail), Outcome::Taken) << detail;
        platform::UpdateLock second;
        EXPECT_EQ(second.Take(path, detail), Outcome::Busy);
        EXPECT_TRUE(detail.starts_with("process " + std::to_string(getpid()) + " (")) << detail;
    }
    platform::UpdateLock later;
    EXPECT_EQ(later.Take(path, detail), Outcome::Taken) << detail;
}

TEST_F(LockDir, ALinkOrADirectoryInItsPlaceIsNotFollowed) {
    const std::string target = (dir / "target").string();
    std::filesystem::create_symlink(target, path);
    std::string detail;
    platform::UpdateLock lock;
    EXPECT_EQ(lock.Take(path, detail), Outcome::Failed);
    EXPECT_FALSE(std::filesystem::exists(target));
    std::filesystem::remove(path);
    std::filesystem::create_directory(path);
    EXPECT_EQ(lock.Take(path, detail), Outcome::Failed);
}

TEST(HeldSignals, StopSignalsAreHeldAnsweredOnceAndLeftUnheldAfterwards) {
    int answers = 0;
    platform::HeldSignals held([&] {
        ++answers;
        return std::string();
    });
    held.Hold();
    kill(getpid(), SIGTERM);
    // Signals pending together are taken lowest number first: the first one alone.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    kill(getpid(), SIGINT);
    kill(getpid(), SIGHUP);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    held.Release();
    EXPECT_EQ(held.Received(), SIGTERM);
    EXPECT_EQ(answers, 1);
    // Released: the signals reach the process as before.
    sigset_t mask;
    pthread_sigmask(SIG_SETMASK, nullptr, &mask);
    EXPECT_FALSE(sigismember(&mask, SIGTERM));
    struct sigaction tstp{};
    sigaction(SIGTSTP, nullptr, &tstp);
    EXPECT_EQ(tstp.sa_handler, SIG_DFL);
}

}  // namespace
}  // namespace kdx::linux_app
