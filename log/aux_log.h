// The diagnostic log file "AuxISPTool.log" in the current directory: UTF-8 lines fed only
// by the command channel's reply polls with the adapter's diagnostic text.
#pragma once

#include "platform/wtext.h"

namespace kdx {

inline constexpr char16_t kLogFileName[] = u"AuxISPTool.log";
inline constexpr size_t kLogLineBufferSize = 2048;

// Converts the line (CR LF included) to UTF-8 and appends it in one write. A line whose
// UTF-8 form with its terminating zero needs more than 2048 bytes is dropped whole, as is
// a line whose file cannot be opened. Reports nothing.
void AppendLogLine(WTextView line);

}  // namespace kdx
