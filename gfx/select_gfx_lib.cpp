#include "gfx/select_gfx_lib.h"

#include <array>

#include "chip/chip_context.h"

namespace kdx {

namespace {

// The candidate libraries in the order they are tried. Only the Intel driver backend
// exists in this program; the last candidate reuses whatever adapter is already bound.
constexpr int kCandidateCount = 4;
constexpr int kIntelLsPconCandidate = 3;
constexpr std::array<const char16_t*, kCandidateCount> kCandidateLabels{
    u"NVIDIA: ",
    u"AMD: ",
    u"Intel (LS-PCON): ",
    u"Intel: ",
};

WText DeviceIdText(uint32_t deviceId) { return FormatW(deviceId < 0x10 ? u"0x%02X" : u"0x%X", {deviceId}); }

}  // namespace

int32_t SelectGfxLib(ChipContext& context, WText& report) {
    report = FormatW(u"Gfx Selection = %d\r\n", {context.gfxSelection});
    bool started = false;
    WText step;
    for (int k = 1; k <= kCandidateCount; ++k) {
        context.adapterDescription = kCandidateLabels[static_cast<size_t>(k - 1)];
        if (k == kIntelLsPconCandidate) context.activeAdapter = &context.intelBackend;

        if (context.activeAdapter == nullptr) {
            step = FormatW(u"No available Gfx LIB! (%d)\r\n", {k});
            context.adapterDescription.clear();
            report += step;
            continue;
        }
        GfxLib& adapter = *context.activeAdapter;
        if (adapter.Initialize(step) != gfx::kOk) {
            // The last candidate would only start the same driver backend again.
            if (k == kIntelLsPconCandidate) k = kCandidateCount;
            report += step;
            continue;
        }
        report += step;
        started = true;
        const int32_t status = adapter.FindDevice(context.deviceId, context.i2cAddress, step);
        if (status == gfx::kOk) {
            context.adapterDescription += DeviceIdText(context.deviceId);
            return kSelectFound;
        }
        report += step;
        if (status == gfx::kSearchFailure) {
            context.adapterDescription += u"failed";
            return kSelectStop;
        }
    }
    context.adapterDescription = u"N/A";
    return started ? kSelectNoConnection : kSelectNoLibrary;
}

}  // namespace kdx
