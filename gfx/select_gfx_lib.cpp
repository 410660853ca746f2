#include "gfx/select_gfx_lib.h"

#include <array>

#include "chip/chip_context.h"

namespace kdx {

namespace {

GfxLib* BindIntelDriver(ChipContext& context) { return &context.intelBackend; }
GfxLib* BindControlLibrary(ChipContext& context) { return &context.controlLibraryBackend; }
GfxLib* BindLinuxDpAux(ChipContext& context) { return &context.linuxBackend; }

constexpr std::array<GfxCandidate, 5> kWindowsCandidates{{
    {u"NVIDIA: ", nullptr, false, false},
    {u"AMD: ", nullptr, false, false},
    {u"Intel (LS-PCON): ", BindIntelDriver, true, false},
    {u"Intel: ", nullptr, false, false},
    // Tried only when none of the first four found the chip.
    {u"Intel (Control Library): ", BindControlLibrary, false, true},
}};

constexpr std::array<GfxCandidate, 1> kLinuxCandidates{{
    {u"Linux (DP AUX): ", BindLinuxDpAux, false, false},
}};

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

std::span<const GfxCandidate> WindowsGfxCandidates() { return kWindowsCandidates; }
std::span<const GfxCandidate> LinuxGfxCandidates() { return kLinuxCandidates; }

int32_t SelectGfxLib(ChipContext& context, WText& report) {
    report = FormatW(u"Gfx Selection = %d\r\n", {context.gfxSelection});
    bool started = false;
    const std::span<const GfxCandidate> candidates = context.gfxCandidates;
    for (size_t k = 0; k < candidates.size(); ++k) {
        const GfxCandidate& candidate = candidates[k];
        context.adapterDescription = candidate.label;
        GfxLib* const earlier = context.activeAdapter;
        if (candidate.bind != nullptr) context.activeAdapter = candidate.bind(context);

        if (context.activeAdapter == nullptr) {
            report += FormatW(u"No available Gfx LIB! (%d)\r\n", {static_cast<uint32_t>(k + 1)});
            context.adapterDescription.clear();
            continue;
        }
        const Attempt attempt = StartAndSearch(context, *context.activeAdapter, report, started);
        if (attempt == Attempt::Found) return kSelectFound;
        if (attempt == Attempt::Stop) return kSelectStop;
        if (candidate.rebindEarlierWhenNotFound) context.activeAdapter = earlier;
        if (attempt == Attempt::NotStarted && candidate.passNextWhenNotStarted) ++k;
    }
    context.adapterDescription = u"N/A";
    return started ? kSelectNoConnection : kSelectNoLibrary;
}

}  // namespace kdx
