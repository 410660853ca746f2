// The progress view of kdx4610-update: the ISP procedure's stage by name, its count and a
// bar. On a terminal one line redrawn in place, at most ten times a second; elsewhere (a
// pipe, a file) one plain line as each stage begins, without control characters.
//
// It also keeps where the procedure stands, so that a stop signal, answered from another
// thread, can be told about how long the update has left.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>

#include "app/console_dialog.h"
#include "platform/clock.h"

namespace kdx::linux_app {

class StageProgress final : public ConsoleProgressView {
public:
    static constexpr int64_t kMinRedrawMs = 100;
    static constexpr int kBarWidth = 30;

    StageProgress(std::ostream& out, platform::Clock& clock, bool terminal, UiLanguage language);

    void BeginStage(ProgressStage stage) override;
    void ReportProgress(int32_t current, int32_t total) override;
    void Finish() override;

    // About how many seconds the ISP procedure has left, from where it stands now.
    int SecondsLeft();

private:
    int64_t NowMs() const;
    std::string LineText() const;
    void Draw();

    std::ostream& out_;
    platform::Clock& clock_;
    const bool terminal_;
    const UiLanguage language_;

    std::mutex mutex_;  // the state below is read by the signal watcher's thread
    int64_t startMs_ = 0;
    std::optional<ProgressStage> stage_;
    int64_t stageStartMs_ = 0;
    int32_t current_ = 0;
    int32_t total_ = 0;

    std::optional<int64_t> lastDrawMs_;
    bool dirty_ = false;
    size_t drawnWidth_ = 0;
};

// About how long the ISP procedure has left, in seconds: the stages still to come at their
// typical length, and the running one at the pace it has shown once it has gone on long
// enough to tell, else at its typical length.
int EstimateSecondsLeft(std::optional<ProgressStage> stage, int64_t stageElapsedMs, int32_t current, int32_t total);

}  // namespace kdx::linux_app
