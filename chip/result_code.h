// The result of one update run. It starts at 99, moves only forward through the run, and
// becomes the process exit code.
#pragma once

#include <cstdint>

namespace kdx {

enum ResultCode : int32_t {
    Success = 0,
    IspSetupFailed = 10,      // before the flash was identified: the flash is untouched
    FlashProgramFailed = 20,  // erase, write or the version comparison failed
    NotTarget = 30,
    UpToDate = 40,
    UnexpectedError = 99,
};

// "Success", "IspSetupFailed", ... ; "Unknown" for any other value.
const char* ResultCodeName(int32_t code);

}  // namespace kdx
