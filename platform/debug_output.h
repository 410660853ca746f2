// The system debugger output (OutputDebugStringW). The stages of the update pass their one
// failure message here; nothing here is ever shown to the user.
#pragma once

#include "platform/wtext.h"

namespace kdx::platform {

class DebugOutput {
public:
    virtual ~DebugOutput() = default;
    virtual void Write(WTextView text) = 0;
};

// OutputDebugStringW on Windows; on Linux each message goes to standard error as one
// line beginning "debug: " (the text's own trailing CR LF is dropped).
DebugOutput& SystemDebugOutput();

}  // namespace kdx::platform
