// Choice of the adapter backend and search for the chip's display connection.
#pragma once

#include <cstdint>

#include "platform/wtext.h"

namespace kdx {

class ChipContext;

// Status of the selection: a connection was found, a library started but nothing
// answered, no library could be started, or a search failure that stops the run.
enum SelectStatus : int32_t {
    kSelectFound = 0,
    kSelectNoConnection = 1,
    kSelectNoLibrary = 2,
    kSelectStop = 3,
};

int32_t SelectGfxLib(ChipContext& context, WText& report);

}  // namespace kdx
