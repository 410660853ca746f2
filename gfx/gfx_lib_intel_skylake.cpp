// PLACEHOLDER: replaced by the real backend.
#include "gfx/gfx_lib_intel_skylake.h"

namespace kdx {

GfxLibIntelSkylake::GfxLibIntelSkylake(platform::DriverConnector& connector, platform::Clock& clock)
    : connector_(connector), clock_(clock) {}
GfxLibIntelSkylake::~GfxLibIntelSkylake() = default;
int32_t GfxLibIntelSkylake::Initialize(WText&) { return gfx::kInitFailed; }
int32_t GfxLibIntelSkylake::FindDevice(uint32_t& deviceId, uint32_t, WText&) {
    deviceId = 0;
    return gfx::kNotSupported;
}
int32_t GfxLibIntelSkylake::I2cWrite(uint32_t, uint32_t, std::span<const uint8_t>) { return gfx::kNoInterface; }
int32_t GfxLibIntelSkylake::I2cRead(uint32_t, uint32_t, std::span<uint8_t>, int32_t&, WText&) {
    return gfx::kNoInterface;
}
int32_t GfxLibIntelSkylake::NativeWrite(uint32_t, uint32_t, std::span<const uint8_t>) { return gfx::kNoInterface; }
int32_t GfxLibIntelSkylake::NativeRead(uint32_t, uint32_t, std::span<uint8_t>) { return gfx::kNoInterface; }
int32_t GfxLibIntelSkylake::ProbeDevice(uint32_t, uint32_t) { return gfx::kMalformedReply; }
int32_t GfxLibIntelSkylake::DriverTransfer(gfx::AuxRequest&) { return gfx::kNoInterface; }
void GfxLibIntelSkylake::SpinWait5ms() {}

}  // namespace kdx
