// The update dialog in a terminal, in place of the Windows dialog on Linux: the same steps
// and texts (English or Japanese by the locale), both versions, the prompt and then the
// confirmation (each answered y or n), a progress bar, the final message. The outcome is in run.resultCode.
#pragma once

#include <iosfwd>

#include "app/update_run.h"

namespace kdx {

enum class UiLanguage { English, Japanese };

// English or Japanese from the locale variables (LC_ALL, LC_MESSAGES, LANG): ja* is Japanese.
UiLanguage LanguageFromEnvironment();

void RunConsoleDialog(UpdateRun& run, std::istream& in, std::ostream& out, UiLanguage language);

// What draws the progress view: it gets the chip's reports while the ISP procedure runs
// and is told when the view ends, before the final message.
class ConsoleProgressView : public TarvikControlDelegate {
public:
    virtual void Finish() = 0;

protected:
    ~ConsoleProgressView() = default;
};

}  // namespace kdx
