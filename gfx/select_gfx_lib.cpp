#include "gfx/select_gfx_lib.h"

#include <array>

#include "chip/chip_context.h"

namespace kdx {

namespace {

// The candidate libraries in the order they are tried. Only the Intel driver backend
// exists among the first four; the fourth reuses whatever adapter is already bound. The
// fifth, the Control Library, is tried only when none of them found the chip.
constexpr int kCandidateCount = 4;
constexpr int kIntelLsPconCandidate = 3;
constexpr std::array<const char16_t*, kCandidateCount> kCandidateLabels{
    u"NVIDIA: ",
    u"AMD: ",
    u"Intel (LS-PCON): ",
    u"Intel: ",
};
constexpr char16_t kControlLibraryLabel[] = u"Intel (Control Library): ";

WText DeviceIdText(uint32_t deviceId) { return FormatW(deviceId < 0x10 ? u"0x%02X" : u"0x%X", {deviceId}); }

enum class Attempt { NotStarted, Found, NotFound, Stop };

// Starts the bound adapter and searches for the chip's connection, adding the report
// lines and completing the description as every candidate does.
Attempt StartAndSearch(ChipContext& context, GfxLib& adapter, WText& report, bool& started) {
    WText step;
    if (adapter.Initialize(step) != gfx::kOk) {
        report += step;
        return Attempt::NotStarted;
    }
    report += step;
    started = true;
    const int32_t status = adapter.FindDevice(context.deviceId, context.i2cAddress, step);
    if (status == gfx::kOk) {
        context.adapterDescription += DeviceIdText(context.deviceId);
        return Attempt::Found;
    }
    report += step;
    if (status == gfx::kSearchFailure) {
        context.adapterDescription += u"failed";
        return Attempt::Stop;
    }
    return Attempt::NotFound;
}

}  // namespace

int32_t SelectGfxLib(ChipContext& context, WText& report) {
    report = FormatW(u"Gfx Selection = %d\r\n", {context.gfxSelection});
    bool started = false;
    for (int k = 1; k <= kCandidateCount; ++k) {
        context.adapterDescription = kCandidateLabels[static_cast<size_t>(k - 1)];
        if (k == kIntelLsPconCandidate) context.activeAdapter = &context.intelBackend;

        if (context.activeAdapter == nullptr) {
            report += FormatW(u"No available Gfx LIB! (%d)\r\n", {k});
            context.adapterDescription.clear();
            continue;
        }
        const Attempt attempt = StartAndSearch(context, *context.activeAdapter, report, started);
        if (attempt == Attempt::Found) return kSelectFound;
        if (attempt == Attempt::Stop) return kSelectStop;
        // The last candidate would only start the same driver backend again.
        if (attempt == Attempt::NotStarted && k == kIntelLsPconCandidate) k = kCandidateCount;
    }

    // The Control Library. Without a connection there, the adapter the first four left
    // bound stays active, so that the chip check talks to the driver exactly as before.
    GfxLib* const earlier = context.activeAdapter;
    context.adapterDescription = kControlLibraryLabel;
    context.activeAdapter = &context.controlLibraryBackend;
    const Attempt attempt = StartAndSearch(context, context.controlLibraryBackend, report, started);
    if (attempt == Attempt::Found) return kSelectFound;
    if (attempt == Attempt::Stop) return kSelectStop;
    context.activeAdapter = earlier;

    context.adapterDescription = u"N/A";
    return started ? kSelectNoConnection : kSelectNoLibrary;
}

}  // namespace kdx
