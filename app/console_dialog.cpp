#include "app/console_dialog.h"

#include <algorithm>
#include <cstdlib>
#include <istream>
#include <ostream>
#include <string>
#include <string_view>

#include "app/dialog_steps.h"
#include "app/ui_strings.h"

namespace kdx {

namespace {

constexpr char16_t kUnknownText[] = u"UNKNOWN";
constexpr int32_t kProgressSteps = 1024;
constexpr int kBarWidth = 40;

// The bar of the progress view, redrawn in place on one terminal line. Like the dialog's
// bar it moves one of its 1,024 steps per report, whatever the reporting step says.
class ConsoleProgress final : public ConsoleProgressView {
public:
    explicit ConsoleProgress(std::ostream& out) : out_(out) {}

    void ReportProgress(int32_t, int32_t) override {
        counter_ = std::min(counter_ + 1, kProgressSteps);
        const int percent = counter_ * 100 / kProgressSteps;
        if (percent == shownPercent_) return;
        shownPercent_ = percent;
        const int filled = counter_ * kBarWidth / kProgressSteps;
        out_ << '\r' << '[' << std::string(static_cast<size_t>(filled), '#')
             << std::string(static_cast<size_t>(kBarWidth - filled), '.') << "] " << percent << '%' << std::flush;
    }

    // Ends the bar's line, when one was drawn.
    void Finish() override {
        if (shownPercent_ >= 0) out_ << '\n';
    }

private:
    std::ostream& out_;
    int32_t counter_ = 0;
    int shownPercent_ = -1;
};

class Terminal {
public:
    Terminal(std::istream& in, std::ostream& out, UiLanguage language) : in_(in), out_(out), language_(language) {}

    void Line(WTextView text) { out_ << ToUtf8(text) << '\n'; }
    void Line() { out_ << '\n'; }
    WTextView String(int32_t id) const { return UiString(id, language_); }
    WTextView Control(int32_t id) const { return DialogControlText(id, language_); }

    // The version box: the text as the step formatted it, without a line end of its own.
    void Version(int32_t labelId, WTextView version) {
        while (!version.empty() && (version.back() == u'\n' || version.back() == u'\r')) version.remove_suffix(1);
        out_ << ToUtf8(Control(labelId)) << ": " << ToUtf8(version) << '\n';
    }

    // A question answered y or n: the dialog's OK/Cancel and Yes/No alike. Only an explicit
    // y goes on, since the answer may start a flash write; an empty line is asked again and
    // the end of the input counts as Cancel/No.
    bool Ask(WTextView question) {
        Line(question);
        for (;;) {
            out_ << "[y/n] " << std::flush;
            std::string answer;
            if (!std::getline(in_, answer)) {
                out_ << '\n';
                return false;
            }
            std::string word = ToUtf8(TrimW(FromUtf8(answer)));
            std::transform(word.begin(), word.end(), word.begin(),
                           [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
            if (word == "y" || word == "yes") return true;
            if (word == "n" || word == "no") return false;
        }
    }

    std::ostream& Out() { return out_; }

private:
    std::istream& in_;
    std::ostream& out_;
    UiLanguage language_;
};

}  // namespace

UiLanguage LanguageFromEnvironment() {
    // The first of these that is set and not empty names the messages' locale.
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(name);
        if (value == nullptr || *value == '\0') continue;
        return std::string_view(value).starts_with("ja") ? UiLanguage::Japanese : UiLanguage::English;
    }
    return UiLanguage::English;
}

void RunConsoleDialog(UpdateRun& run, std::istream& in, std::ostream& out, UiLanguage language) {
    RunConsoleDialog(run, in, out, language, UpdateSteps());
}

void RunConsoleDialog(UpdateRun& run, std::istream& in, std::ostream& out, UiLanguage language,
                      const DialogSteps& steps) {
    ConsoleProgress progress(out);
    RunConsoleDialog(run, in, out, language, steps, progress);
}

void RunConsoleDialog(UpdateRun& run, std::istream& in, std::ostream& out, UiLanguage language,
                      const DialogSteps& steps, ConsoleProgressView& progress) {
    Terminal terminal(in, out, language);

    terminal.Line(terminal.String(kIdsAppTitle));
    terminal.Line();

    run.resultCode = UnexpectedError;
    run.chip.progressSink = &progress;
    // The bar lives only as long as this dialog.
    struct SinkReset {
        ChipContext& chip;
        ~SinkReset() { chip.progressSink = nullptr; }
    } sinkReset{run.chip};

    // The steps before the update: each failure gives its one message and ends the run.
    run.newVersionText = kUnknownText;
    if (!steps.loadImages(run)) {
        terminal.Line(terminal.String(kIdsUnexpectedError));
        return;
    }
    if (!steps.openAdapter(run)) {
        terminal.Line(terminal.String(kIdsNotTarget));
        return;
    }
    run.currentVersionText = kUnknownText;
    run.chipVersionText = kUnknownText;
    if (!steps.checkChip(run)) {
        terminal.Line(terminal.String(run.resultCode == UpToDate ? kIdsUpToDate : kIdsNotTarget));
        return;
    }

    // The selection view.
    terminal.Version(kIdcCurrentVersionLabel, run.currentVersionText);
    terminal.Version(kIdcNewVersionLabel, run.newVersionText);
    terminal.Line();
    terminal.Line(terminal.Control(kIdcDescription));
    terminal.Line();
    // The prompt with OK and Cancel, then the confirmation with Yes and No: two answers
    // before the flash is touched, as in the dialog. Declining either leaves 99.
    if (!terminal.Ask(terminal.Control(kIdcPrompt))) {
        return;
    }
    terminal.Line();
    if (!terminal.Ask(terminal.String(kIdsConfirmUpdate))) {
        return;
    }

    // The progress view.
    terminal.Line();
    terminal.Line(terminal.Control(kIdcUpdatingLabel));
    const bool updated = steps.runIspProcedure(run);
    progress.Finish();

    if (updated) {
        terminal.Line(terminal.String(kIdsUpdateCompleted));
        return;
    }
    terminal.Out() << ToUtf8(terminal.String(kIdsUpdateFailed)) << run.resultCode << '\n';
}

}  // namespace kdx
