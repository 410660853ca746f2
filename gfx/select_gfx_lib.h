// Choice of the adapter backend and search for the chip's display connection.
#pragma once

#include <cstdint>
#include <span>

#include "platform/wtext.h"

namespace kdx {

class ChipContext;
class GfxLib;

// Status of the selection: a connection was found, a library started but nothing
// answered, no library could be started, or a search failure that stops the run.
enum SelectStatus : int32_t {
    kSelectFound = 0,
    kSelectNoConnection = 1,
    kSelectNoLibrary = 2,
    kSelectStop = 3,
};

// One candidate library of the selection, numbered by its place in the table.
struct GfxCandidate {
    const char16_t* label;  // put into adapterDescription
    // The backend the candidate binds as the active adapter; none: it uses whatever adapter
    // an earlier candidate bound, and is "not available" while there is none.
    GfxLib* (*bind)(ChipContext& context);
    // When this candidate's backend does not start, the next candidate (which would only
    // start the same backend again) is passed over.
    bool passNextWhenNotStarted;
    // When no connection is found here, the adapter bound before this candidate is bound
    // again, so that the chip check talks to the earlier backend as it would have.
    bool rebindEarlierWhenNotFound;
};

// On Windows: the four of the graphics vendors' order (only the Intel driver backend
// exists among them), then the Intel Graphics Control Library.
std::span<const GfxCandidate> WindowsGfxCandidates();
// On Linux: the kernel's DisplayPort AUX interfaces.
std::span<const GfxCandidate> LinuxGfxCandidates();

// Tries the context's candidates in order (context.gfxCandidates).
int32_t SelectGfxLib(ChipContext& context, WText& report);

}  // namespace kdx
