#include "app/posix/stage_progress.h"

#include <algorithm>
#include <array>

#include "app/posix/linux_texts.h"

namespace kdx::linux_app {

namespace {

// The typical length of each stage in milliseconds, as the simulator models the chip
// behind the kernel's framing: the ISP driver's download with the mode switch after it,
// the mailbox and flash ID with theirs, the erase, the write of the 512 KiB image; the
// version read back and the ISP exit come last.
constexpr std::array<int64_t, 4> kTypicalStageMs{3'000, 1'000, 1'000, 14'000};
constexpr int64_t kTypicalTailMs = 1'000;
// The pace of a stage is trusted once it has run this long and moved.
constexpr int64_t kPaceTrustedAfterMs = 2'000;

}  // namespace

int EstimateSecondsLeft(std::optional<ProgressStage> stage, int64_t stageElapsedMs, int32_t current, int32_t total) {
    const size_t running = stage ? static_cast<size_t>(*stage) : 0;
    int64_t leftMs = kTypicalTailMs;
    for (size_t later = running + 1; later < kTypicalStageMs.size(); ++later) leftMs += kTypicalStageMs[later];
    int64_t runningLeftMs = std::max<int64_t>(kTypicalStageMs[running] - stageElapsedMs, 0);
    if (stage && stageElapsedMs >= kPaceTrustedAfterMs && current > 0 && total > current) {
        runningLeftMs = stageElapsedMs * (total - current) / current;
    } else if (stage && total > 0 && current >= total) {
        runningLeftMs = 0;
    }
    leftMs += runningLeftMs;
    // Whole seconds, rounded up: "about 0 seconds" would promise too much.
    return static_cast<int>((leftMs + 999) / 1000);
}

StageProgress::StageProgress(std::ostream& out, platform::Clock& clock, bool terminal, UiLanguage language)
    : out_(out), clock_(clock), terminal_(terminal), language_(language), startMs_(NowMs()) {}

int64_t StageProgress::NowMs() const {
    const int64_t frequency = clock_.Frequency();
    return frequency > 0 ? clock_.Counter() / (frequency / 1000 > 0 ? frequency / 1000 : 1) : 0;
}

void StageProgress::BeginStage(ProgressStage stage) {
    std::lock_guard lock(mutex_);
    stage_ = stage;
    stageStartMs_ = NowMs();
    current_ = 0;
    total_ = 0;
    if (!terminal_) {
        out_ << StageName(stage, language_) << '\n' << std::flush;
        return;
    }
    dirty_ = true;
    Draw();
}

void StageProgress::ReportProgress(int32_t current, int32_t total) {
    std::lock_guard lock(mutex_);
    current_ = std::max(current, 0);
    total_ = std::max(total, 0);
    if (!terminal_) return;
    dirty_ = true;
    Draw();
}

void StageProgress::Finish() {
    std::lock_guard lock(mutex_);
    if (!terminal_ || !lastDrawMs_) return;
    // The last state is shown whatever the pace, then the line is ended.
    if (dirty_) {
        lastDrawMs_.reset();
        Draw();
    }
    out_ << '\n' << std::flush;
}

int StageProgress::SecondsLeft() {
    std::lock_guard lock(mutex_);
    return EstimateSecondsLeft(stage_, NowMs() - stageStartMs_, current_, total_);
}

std::string StageProgress::LineText() const {
    std::string line(stage_ ? StageName(*stage_, language_) : std::string_view());
    if (total_ <= 0) return line;
    const int32_t shown = std::min(current_, total_);
    const auto filled = static_cast<size_t>(int64_t{shown} * kBarWidth / total_);
    line += "  " + std::to_string(shown) + "/" + std::to_string(total_) + " [" + std::string(filled, '#') +
            std::string(kBarWidth - filled, '.') + "] " + std::to_string(int64_t{shown} * 100 / total_) + "%";
    return line;
}

// Only when something changed and the last redraw is at least kMinRedrawMs old: the chip
// reports every few milliseconds, and a terminal need not keep up with that.
void StageProgress::Draw() {
    const int64_t now = NowMs();
    if (!dirty_ || (lastDrawMs_ && now - *lastDrawMs_ < kMinRedrawMs)) return;
    const std::string line = LineText();
    // Blanks over what a longer earlier line left; the texts are counted in bytes, which
    // covers every character's width.
    const size_t clear = drawnWidth_ > line.size() ? drawnWidth_ - line.size() : 0;
    out_ << '\r' << line << std::string(clear, ' ') << std::flush;
    drawnWidth_ = line.size();
    lastDrawMs_ = now;
    dirty_ = false;
}

}  // namespace kdx::linux_app
