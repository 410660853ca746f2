// PLACEHOLDER: replaced by the real image loading.
#include "package/images.h"

namespace kdx {

bool LoadImages(ChipContext&, int32_t& resultCode, WText&) {
    resultCode = 99;
    return false;
}
bool ParseFirmwareTrailer(std::span<const uint8_t>, FirmwareTrailer&) { return false; }
WText FormatImageVersionText(uint32_t) { return {}; }
IspDriverCode LocateIspDriverCode(std::span<const uint8_t> image) { return {0, image.size()}; }

}  // namespace kdx
