// Arbitrary image bytes against the trailer parser, the ISP driver header rule and image
// loading: no read outside the image, and only a 1.58 image is ever accepted.
#include <cstddef>
#include <cstdint>
#include <span>

#include "package/images.h"
#include "platform/system.h"
#include "support/test_system.h"

namespace {

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    // The first byte splits the rest into a driver image and a firmware image.
    const auto rest = std::span<const uint8_t>(data + 1, size - 1);
    const size_t split = rest.size() * data[0] / 255;
    const auto driver = rest.first(split);
    const auto firmware = rest.subspan(split);

    const kdx::IspDriverCode code = kdx::LocateIspDriverCode(driver);
    if (code.complete && code.start + code.length > driver.size()) __builtin_trap();

    kdx::FirmwareTrailer trailer;
    const bool parsed = kdx::ParseFirmwareTrailer(firmware, trailer);
    if (parsed && firmware.size() < 20) __builtin_trap();

    kdx::testing::TestSystem sys;
    sys.resources.Add(kdx::kImageResourceType, kdx::kIspDriverResourceId, driver);
    sys.resources.Add(kdx::kImageResourceType, kdx::kFirmwareResourceId, firmware);
    kdx::ChipContext context(sys.system, sys.connector, sys.controlLibrary);
    int32_t resultCode = 0;
    kdx::WText version;
    const bool loaded = kdx::LoadImages(context, resultCode, version);
    if (loaded && (version != u"1.58" || !parsed || (context.imageVersion & 0xFFFF) != 0x013A)) __builtin_trap();
    if (!loaded && resultCode != 99) __builtin_trap();
    return 0;
}
