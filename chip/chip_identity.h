// Which chip sits behind the DisplayPort output, in which silicon revision, and with which
// firmware: the identity registers 0xC802 and 0x8002 (through the command channel) and the
// branch identification block at DPCD 0x503..0x50C:
//   0x503-0x508  device identification string, 6 bytes, not terminated
//   0x509        hardware revision: high nibble H, low nibble L (the silicon cut)
//   0x50A 0x50B  firmware major, minor
//   0x50C        third version component
#pragma once

#include <array>
#include <cstdint>

#include "chip/chip_context.h"
#include "platform/wtext.h"

namespace kdx {

enum ChipType : int32_t {
    kChipUnreadable = -1,   // the first identity register did not answer
    kChipTarvik = 0,        // Tarvik family; with a readable block: "KX4610" application firmware
    kChipTarvikOther = 1,   // "KX4630" application firmware, or the "TRVKBC" boot code
    kChipTarvikIrom = 2,    // any other string: the chip runs its internal ROM
    kChipOlvane = 4,
    kChipZendra = 5,
    kChipDp2Vga = 6,
    kChipUnknown = 255,
};

// The family from the identity registers: -1, 0, 4, 5, 6 or 255.
ChipType DetectChipType(ChipContext& context);

struct ChipInfo {
    std::array<uint8_t, 6> identification{};
    uint16_t hardwareRevision = 0;
    uint32_t versionValue = 0;  // third << 16 | major << 8 | minor
};

// The branch identification block, read natively into the first 10 bytes of packetBuffer,
// or, when that fails, from chip memory at 0x1B503 (the same bytes).
bool ReadChipInfo(ChipContext& context, ChipInfo& info);

// The version text of a chip: "v1.58" for a Tarvik chip at 1.58; empty for version 0.
WText FormatVersion(uint32_t versionValue, ChipType type);

// One line that describes the chip; refines a Tarvik type 0 to 1 or 2 from the block.
// Sets firmwareVersionValue (0 when the block was not readable; the line is then "N/A").
void DescribeChip(ChipContext& context, ChipType& type, WText& line);

// True when the chip is a KDX4610 of revision 2.2 with firmware older than 1.58.
// Otherwise result code 30 with "ERROR!! ChipID:%d\r\n" or "ERROR!! Chip Version:%s\r\n"
// on the debugger output, or 40 (already current) with nothing there.
bool CheckChip(ChipContext& context, int32_t& resultCode, WText& currentVersionText, WText& chipVersionText);

}  // namespace kdx
