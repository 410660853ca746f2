#include "chip/result_code.h"

namespace kdx {

const char* ResultCodeName(int32_t code) {
    switch (code) {
        case Success:
            return "Success";
        case IspSetupFailed:
            return "IspSetupFailed";
        case FlashProgramFailed:
            return "FlashProgramFailed";
        case NotTarget:
            return "NotTarget";
        case UpToDate:
            return "UpToDate";
        case UnexpectedError:
            return "UnexpectedError";
        default:
            return "Unknown";
    }
}

}  // namespace kdx
