// The run mode from the command-line text that follows the program name.
#pragma once

#include "platform/wtext.h"

namespace kdx {

// Trim the text; take its first "/"-delimited token; trim that; silent mode exactly when
// the token is "s". Everything else, the empty line included, is dialog mode.
bool IsSilentCommandLine(WTextView commandLine);

}  // namespace kdx
