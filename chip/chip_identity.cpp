#include "chip/chip_identity.h"

#include <algorithm>
#include <span>

#include "chip/command_channel.h"

namespace kdx {

namespace {

// Identity registers.
constexpr uint16_t kFamilyRegister = 0xC802;
constexpr uint16_t kVariantRegister = 0x8002;
constexpr uint32_t kTarvikFamily = 0x28;
constexpr uint32_t kZendraFamily = 0x26;
constexpr uint32_t kDp2VgaVariant = 0x64;
constexpr uint32_t kOlvaneVariant = 0x43;

// The branch device identification registers and the byte after them.
constexpr uint32_t kBranchIdAddress = 0x503;
constexpr size_t kBranchIdSize = 10;

// The identification strings the chips report.
constexpr std::array<uint8_t, 6> kIdKx4610{'K', 'X', '4', '6', '1', '0'};
constexpr std::array<uint8_t, 6> kIdKx4630{'K', 'X', '4', '6', '3', '0'};
constexpr std::array<uint8_t, 6> kIdTarvikBoot{'T', 'R', 'V', 'K', 'B', 'C'};
constexpr std::array<uint8_t, 5> kIdOlvaneIrom{'O', 'L', 'V', 'N', 'G'};
constexpr std::array<uint8_t, 6> kIdOlvaneBoot{'O', 'L', 'V', 'N', 'B', 'C'};

// The texts cut out of the Tarvik lines: "Tarvik App: KX4610 v1.58  (cut2.2)" and
// "Tarvik iROM: v1.0  (cut2.2)". They hold only for a five-character version text and
// one-digit iROM versions, which is what a target chip reports.
constexpr size_t kAppCutPosition = 30;
constexpr size_t kAppVersionPosition = 20;
constexpr size_t kAppVersionLength = 4;
constexpr size_t kIromCutPosition = 23;
constexpr size_t kCutLength = 3;
constexpr char16_t kTargetCut[] = u"2.2";
constexpr char16_t kNoFirmwareVersion[] = u"----";
// The version this updater installs; a chip at it or above needs nothing.
constexpr double kInstalledVersion = 1.58;

constexpr int32_t kNotTarget = 30;
constexpr int32_t kUpToDate = 40;

template <size_t N>
bool StartsWith(const std::array<uint8_t, 6>& id, const std::array<uint8_t, N>& prefix) {
    return std::equal(prefix.begin(), prefix.end(), id.begin());
}

// The identification bytes as a text: up to 6 characters, ending early at a zero byte.
WText IdentificationText(const std::array<uint8_t, 6>& id) {
    WText text;
    for (uint8_t b : id) {
        if (b == 0) break;
        text.push_back(static_cast<char16_t>(b));
    }
    return text;
}

// Characters [position, position + length) of the line, cut at its end.
WText Cut(const WText& line, size_t position, size_t length) {
    if (position >= line.size()) return {};
    return line.substr(position, length);
}

int Major(uint32_t v) { return static_cast<int>((v >> 8) & 0xFF); }
int Minor(uint32_t v) { return static_cast<int>(v & 0xFF); }
int Third(uint32_t v) { return static_cast<int>((v >> 16) & 0xFF); }

}  // namespace

ChipType DetectChipType(ChipContext& context) {
    const uint32_t family = ReadRegister16(context, kFamilyRegister);
    if (family == kRegisterReadFailed) return kChipUnreadable;
    if ((family >> 8 & 0xFF) == kTarvikFamily) return kChipTarvik;
    if ((family >> 8 & 0xFF) == kZendraFamily) return kChipZendra;
    // A failed read of the second register gives all ones, which names no family.
    const uint32_t variant = ReadRegister16(context, kVariantRegister);
    if ((variant & 0xFF) == kDp2VgaVariant) return kChipDp2Vga;
    if ((variant >> 8 & 0xFF) == kOlvaneVariant) return kChipOlvane;
    return kChipUnknown;
}

bool ReadChipInfo(ChipContext& context, ChipInfo& info) {
    const auto block = std::span<uint8_t, kBranchIdSize>(context.packetBuffer.data(), kBranchIdSize);
    const bool nativeRead = context.activeAdapter != nullptr &&
                            context.activeAdapter->NativeRead(context.deviceId, kBranchIdAddress, block) == gfx::kOk;
    if (!nativeRead && !ReadVersionBlock(context, block)) return false;
    std::copy_n(block.begin(), info.identification.size(), info.identification.begin());
    info.hardwareRevision = block[6];
    info.versionValue = static_cast<uint32_t>(block[9]) << 16 | static_cast<uint32_t>(block[7]) << 8 | block[8];
    return true;
}

WText FormatVersion(uint32_t v, ChipType type) {
    if (v == 0) return {};
    if (type == kChipOlvane) {
        return FormatW(u"v%d.%d.%d",
                       {static_cast<int>((v >> 14) & 0x3), static_cast<int>((v >> 5) & 0x1FF), static_cast<int>(v & 0x1F)});
    }
    if (type == kChipDp2Vga) return FormatW(u"v%d.%02X", {Major(v), Minor(v)});
    const bool tarvik = type == kChipTarvik || type == kChipTarvikOther;
    if (tarvik && Third(v) != 0) {
        return Minor(v) < 10 ? FormatW(u"v%d.%0d.%d", {Major(v), Minor(v), Third(v)})
                             : FormatW(u"v%d.%d.%d", {Major(v), Minor(v), Third(v)});
    }
    return Minor(v) < 10 ? FormatW(u"v%d.%0d", {Major(v), Minor(v)}) : FormatW(u"v%d.%d", {Major(v), Minor(v)});
}

void DescribeChip(ChipContext& context, ChipType& type, WText& line) {
    ChipInfo info;
    if (!ReadChipInfo(context, info)) {
        context.firmwareVersionValue = 0;
        line = u"N/A";
        return;
    }
    const uint32_t v = info.versionValue;
    context.firmwareVersionValue = v;
    const WText id = IdentificationText(info.identification);
    const WText version = FormatVersion(v, type);
    // The nibbles print signed: a cut of L - 1 with L = 0 is -1.
    const int h = info.hardwareRevision >> 4;
    const int l = info.hardwareRevision & 0x0F;

    switch (type) {
        case kChipTarvik: {
            // The boot code and the iROM report the low nibble one above the cut.
            if (info.identification == kIdKx4610 || info.identification == kIdKx4630) {
                line = FormatW(u"Tarvik App: %s %s  %s", {id, version, FormatW(u"(cut%d.%d)", {h, l})});
                if (info.identification == kIdKx4630) type = kChipTarvikOther;
            } else if (info.identification == kIdTarvikBoot) {
                line = FormatW(u"Tarvik Boot-code: v%d.%d  %s", {Major(v), Minor(v), FormatW(u"(cut%d.%d)", {h, l - 1})});
                type = kChipTarvikOther;
            } else {
                line = FormatW(u"Tarvik iROM: v%d.%d  %s", {Major(v), Minor(v), FormatW(u"(cut%d.%d)", {h, l - 1})});
                type = kChipTarvikIrom;
            }
            return;
        }
        case kChipOlvane:
            if (StartsWith(info.identification, kIdOlvaneIrom)) {
                line = FormatW(u"Olvane iROM: v%d.%d", {static_cast<int>(v >> 8), Minor(v)});
            } else if (info.identification == kIdOlvaneBoot) {
                line = FormatW(u"Olvane Boot-code: v%d.%d", {Major(v), Minor(v)});
            } else {
                line = FormatW(u"Olvane App: %s %s  (HWver=0x%02X)", {id, version, static_cast<int>(info.hardwareRevision)});
            }
            return;
        case kChipDp2Vga:
            line = FormatW(u"DP2VGA: %s %s  (cut%d.%d)", {id, version, h - 4, l - 5});
            return;
        case kChipZendra:
            line = FormatW(u"Zendra: %s %s  (cut%d.%d)", {id, version, h, l - 1});
            return;
        default:
            line = FormatW(u"%s FW Ver=0x%06X  (HWver=0x%02X)",
                           {id, static_cast<unsigned>(v & 0xFFFFFF), static_cast<int>(info.hardwareRevision)});
            return;
    }
}

bool CheckChip(ChipContext& context, int32_t& resultCode, WText& currentVersionText, WText& chipVersionText) {
    ChipType type = DetectChipType(context);
    DescribeChip(context, type, currentVersionText);
    const WText line = currentVersionText;
    switch (type) {
        case kChipTarvikIrom:
            chipVersionText = Cut(line, kIromCutPosition, kCutLength);
            currentVersionText = kNoFirmwareVersion;
            break;
        case kChipTarvik:
            chipVersionText = Cut(line, kAppCutPosition, kCutLength);
            currentVersionText = Cut(line, kAppVersionPosition, kAppVersionLength);
            break;
        default:
            context.system.debug.Write(FormatW(u"ERROR!! ChipID:%d\r\n", {static_cast<int>(type)}));
            resultCode = kNotTarget;
            return false;
    }
    if (chipVersionText != kTargetCut) {
        context.system.debug.Write(FormatW(u"ERROR!! Chip Version:%s\r\n", {chipVersionText}));
        resultCode = kNotTarget;
        return false;
    }
    if (ParseLeadingDouble(currentVersionText) >= kInstalledVersion) {
        resultCode = kUpToDate;
        return false;
    }
    return true;
}

}  // namespace kdx
