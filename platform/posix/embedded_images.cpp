// The two images, linked into the program at build time (see embedded_images.S), served
// as the program's resources of type "BIN" with the digests the build recorded.
#include <cstdint>
#include <span>

#include "kdx_image_digests.h"
#include "platform/resources.h"

extern "C" {
extern const uint8_t kdx_isp_driver_image_begin[];
extern const uint8_t kdx_isp_driver_image_end[];
extern const uint8_t kdx_firmware_image_begin[];
extern const uint8_t kdx_firmware_image_end[];
}

namespace kdx::platform {

Resources& ProgramResources() {
    static MemoryResources resources = [] {
        MemoryResources r;
        r.Add(u"BIN", 129,
              std::span<const uint8_t>(kdx_isp_driver_image_begin,
                                       static_cast<size_t>(kdx_isp_driver_image_end - kdx_isp_driver_image_begin)),
              kEmbeddedIspDriverSha256);
        r.Add(u"BIN", 130,
              std::span<const uint8_t>(kdx_firmware_image_begin,
                                       static_cast<size_t>(kdx_firmware_image_end - kdx_firmware_image_begin)),
              kEmbeddedFirmwareSha256);
        return r;
    }();
    return resources;
}

}  // namespace kdx::platform
