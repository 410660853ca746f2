// The terminal dialog through every outcome, with scripted steps in place of the chip.
#include "app/console_dialog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <string>

#include "app/dialog_steps.h"
#include "app/ui_strings.h"
#include "support/test_system.h"

namespace kdx {
namespace {

struct ConsoleDialogFixture : ::testing::Test {
    testing::TestSystem sys;
    UpdateRun run{sys.system, sys.connector, sys.controlLibrary};

    // What the scripted steps do: the first failing step and the code it leaves.
    enum Stage { None, Load, Open, Check, Isp };
    Stage failAt = None;
    int32_t failCode = 0;
    int progressReports = 0;
    int ispRuns = 0;
    WText currentVersion = u"1.40\r\n";

    // Whether the script fails the step at `stage`: it then leaves failCode.
    bool FailsAt(Stage stage, UpdateRun& r) const {
        if (failAt == stage) r.resultCode = failCode;
        return failAt == stage;
    }

    DialogSteps Steps() {
        return {
            [this](UpdateRun& r) {
                if (failAt == Load) return false;
                r.newVersionText = u"1.58";
                return true;
            },
            [this](UpdateRun& r) { return !FailsAt(Open, r); },
            [this](UpdateRun& r) {
                r.chipVersionText = u"2.2";
                if (FailsAt(Check, r)) return false;
                r.currentVersionText = currentVersion;  // the version box drops the line end
                return true;
            },
            [this](UpdateRun& r) {
                ++ispRuns;
                r.resultCode = IspSetupFailed;
                for (int i = 0; i < progressReports; ++i) r.chip.ReportProgress(i, progressReports);
                if (FailsAt(Isp, r)) return false;
                r.resultCode = Success;
                return true;
            },
        };
    }

    std::string Run(const std::string& input, UiLanguage language = UiLanguage::English) {
        std::istringstream in(input);
        std::ostringstream out;
        RunConsoleDialog(run, in, out, language, Steps());
        EXPECT_EQ(run.chip.progressSink, nullptr);
        return out.str();
    }

    static size_t Count(const std::string& out, const std::string& text) {
        size_t n = 0;
        for (size_t at = out.find(text); at != std::string::npos; at = out.find(text, at + 1)) ++n;
        return n;
    }

    static std::string Text(int32_t id, UiLanguage language = UiLanguage::English) {
        return ToUtf8(UiString(id, language));
    }
};

TEST_F(ConsoleDialogFixture, EachOutcomeGivesItsCodeAndItsOneMessage) {
    const struct {
        const char* name;
        Stage failAt;
        int32_t failCode;
        const char* input;
        int32_t expectedCode;
        std::optional<int32_t> message;  // the last message shown; none when the user declined
        std::string suffix;
        size_t questions;  // prompts and confirmations, each asked again until yes or no
        bool confirmationShown;
    } cases[] = {
        {"images", Load, 0, "y\ny\n", UnexpectedError, kIdsUnexpectedError, "", 0, false},
        {"adapter", Open, NotTarget, "y\ny\n", NotTarget, kIdsNotTarget, "", 0, false},
        {"not target", Check, NotTarget, "y\ny\n", NotTarget, kIdsNotTarget, "", 0, false},
        {"up to date", Check, UpToDate, "y\ny\n", UpToDate, kIdsUpToDate, "", 0, false},
        {"updated", None, 0, "y\ny\n", Success, kIdsUpdateCompleted, "", 2, true},
        {"yes spelled out", None, 0, " YES \nYes\n", Success, kIdsUpdateCompleted, "", 2, true},
        {"download fault", Isp, IspSetupFailed, "y\ny\n", IspSetupFailed, kIdsUpdateFailed, "10", 2, true},
        {"erase fault", Isp, FlashProgramFailed, "yes\nyes\n", FlashProgramFailed, kIdsUpdateFailed, "20", 2, true},
        {"cancelled at the prompt", None, 0, "n\ny\n", UnexpectedError, std::nullopt, "", 1, false},
        {"declined at the confirmation", None, 0, "y\nn\n", UnexpectedError, std::nullopt, "", 2, true},
        {"only the prompt answered", None, 0, "y\n", UnexpectedError, std::nullopt, "", 2, true},
        {"end of input", None, 0, "", UnexpectedError, std::nullopt, "", 1, false},
        {"prompt asked again", None, 0, "maybe\n\nno\n", UnexpectedError, std::nullopt, "", 3, false},
        {"empty lines to the end", None, 0, "\n\n\n", UnexpectedError, std::nullopt, "", 4, false},
        {"confirmation asked again", None, 0, "y\n\nok\nno\n", UnexpectedError, std::nullopt, "", 4, true},
        {"both asked again", None, 0, "\ny\n\ny\n", Success, kIdsUpdateCompleted, "", 4, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        run.resultCode = Success;
        run.newVersionText.clear();
        run.currentVersionText.clear();
        failAt = c.failAt;
        failCode = c.failCode;
        ispRuns = 0;
        const std::string out = Run(c.input);
        EXPECT_EQ(run.resultCode, c.expectedCode);
        EXPECT_TRUE(out.starts_with("KDX4610 Update v1.58\n\n")) << out;
        const bool reachedSelection = c.failAt == None || c.failAt == Isp;
        EXPECT_EQ(ispRuns, reachedSelection && c.expectedCode != UnexpectedError ? 1 : 0);
        if (c.message) {
            EXPECT_TRUE(out.ends_with(Text(*c.message) + c.suffix + "\n")) << out;
        } else {
            // No further message after the question: the output ends at the prompt.
            EXPECT_TRUE(out.ends_with("[y/n] ") || out.ends_with("[y/n] \n")) << out;
        }
        EXPECT_EQ(Count(out, "[y/n] "), c.questions);
        EXPECT_EQ(Count(out, Text(kIdsConfirmUpdate)), c.confirmationShown ? 1u : 0u);
    }
}

TEST_F(ConsoleDialogFixture, ShowsVersionsDescriptionPromptThenConfirmationInEitherLanguage) {
    failAt = Isp;
    failCode = FlashProgramFailed;
    const std::pair<UiLanguage, std::vector<std::string>> cases[] = {
        {UiLanguage::English,
         {"Current firmware version: 1.40\n", "New firmware version: 1.58\n",
          "This program updates the firmware of HDMI output chip.\n", "Update the firmware?\n[y/n] ",
          Text(kIdsConfirmUpdate) + "\n[y/n] ", "Error code : 20\n"}},
        {UiLanguage::Japanese,
         {"現在のファームウェアのバージョン: 1.40\n", "アップデートを実行しますか？\n",
          Text(kIdsConfirmUpdate, UiLanguage::Japanese), "ファームウェアをアップデート中です…\n", "エラーコード： 20\n"}},
    };
    for (const auto& [language, inOrder] : cases) {
        const std::string out = Run("y\ny\n", language);
        size_t at = 0;
        for (const std::string& text : inOrder) {
            at = out.find(text, at);
            ASSERT_NE(at, std::string::npos) << text << "\n" << out;
        }
        EXPECT_EQ(at + inOrder.back().size(), out.size());
    }
}

// The whole screen of an update, byte for byte: a blank line sets off the title, the
// description and each answer from what follows.
TEST_F(ConsoleDialogFixture, AnUpdateScreenReadsLineForLine) {
    for (const char16_t* version : {u"1.40\r\n", u"1.40\n", u"1.40\r", u"1.40"}) {
        currentVersion = version;
        EXPECT_NE(Run("y\ny\n").find("Current firmware version: 1.40\nNew"), std::string::npos);
    }
    // A bar that got as far as its first step still ends its line before the last message.
    progressReports = 1;
    EXPECT_TRUE(Run("y\ny\n").ends_with("] 0%\n" + Text(kIdsUpdateCompleted) + "\n"));
    progressReports = 0;
    EXPECT_EQ(Run("y\ny\n"),
              "KDX4610 Update v1.58\n\n"
              "Current firmware version: 1.40\nNew firmware version: 1.58\n\n"
              "This program updates the firmware of HDMI output chip.\n\n"
              "Update the firmware?\n[y/n] \n" +
                  Text(kIdsConfirmUpdate) + "\n[y/n] \n" + ToUtf8(DialogControlText(kIdcUpdatingLabel, UiLanguage::English)) +
                  "\n" + Text(kIdsUpdateCompleted) + "\n");
}

TEST_F(ConsoleDialogFixture, ProgressBarMovesOneStepPerReportAndStopsFull) {
    const std::pair<int, const char*> cases[] = {
        {0, nullptr},
        {10, "\r[........................................] 0%"},
        {11, "\r[........................................] 1%"},
        {512, "\r[####################....................] 50%"},
        {1024, "\r[########################################] 100%"},
        {5000, "\r[########################################] 100%"},
    };
    for (const auto& [reports, lastDrawn] : cases) {
        SCOPED_TRACE(reports);
        progressReports = reports;
        const std::string out = Run("y\ny\n");
        const size_t last = out.rfind('\r');
        ASSERT_EQ(last == std::string::npos, lastDrawn == nullptr);
        if (lastDrawn == nullptr) continue;
        EXPECT_EQ(out.substr(last, out.find('\n', last) - last), lastDrawn);
        // Redrawn only when the percentage moves: 0 % to 100 %, whatever the count.
        EXPECT_LE(std::count(out.begin(), out.end(), '\r'), 101);
        EXPECT_EQ(out.find("100%", out.find("100%") + 1), std::string::npos);
    }
}

// Sets a variable; null removes it (as an empty value does on Windows).
void SetVariable(const char* name, const char* value) {
#ifdef _WIN32
    _putenv_s(name, value == nullptr ? "" : value);
#else
    value == nullptr ? unsetenv(name) : setenv(name, value, 1);
#endif
}

TEST(ConsoleDialogLanguage, FollowsTheFirstLocaleVariableThatIsSet) {
    const char* names[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
    // The value of each (null: not set), and the language they give.
    const std::pair<std::array<const char*, 3>, UiLanguage> cases[] = {
        {{nullptr, nullptr, nullptr}, UiLanguage::English},
        {{nullptr, nullptr, "ja_JP.UTF-8"}, UiLanguage::Japanese},
        {{"", nullptr, "ja_JP.UTF-8"}, UiLanguage::Japanese},
        {{"C", nullptr, "ja_JP.UTF-8"}, UiLanguage::English},
        {{nullptr, "ja_JP.eucJP", "en_US.UTF-8"}, UiLanguage::Japanese},
        {{nullptr, nullptr, "en_GB.UTF-8"}, UiLanguage::English},
    };
    std::optional<std::string> saved[3];
    for (int i = 0; i < 3; ++i) {
        if (const char* v = std::getenv(names[i])) saved[i] = v;
    }
    for (const auto& [values, expected] : cases) {
        for (int i = 0; i < 3; ++i) SetVariable(names[i], values[i]);
        EXPECT_EQ(LanguageFromEnvironment(), expected);
    }
    for (int i = 0; i < 3; ++i) SetVariable(names[i], saved[i] ? saved[i]->c_str() : nullptr);
}

}  // namespace
}  // namespace kdx
