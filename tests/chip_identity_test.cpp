#include "chip/chip_identity.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/chip_fixture.h"

namespace kdx {
namespace {

using testing::ChipReply;

// The branch identification block as the chip reports it at DPCD 0x503.
struct Block {
    std::string id;  // up to 6 bytes, zero-padded
    uint8_t hwRev, major, minor;
    uint8_t third = 0;

    std::vector<uint8_t> Bytes() const {
        std::vector<uint8_t> b(id.begin(), id.end());
        b.resize(6, 0);
        b.insert(b.end(), {hwRev, major, minor, third});
        return b;
    }
};

struct IdentityFixture : testing::ChipFixture {
    int32_t resultCode = 0;
    WText current, chip;
    // A check from a fresh start: the identity registers' replies in the order they are read.
    bool Check(std::initializer_list<uint16_t> registers, const Block& block, bool unreadable = false) {
        gfx.i2cReplies.clear();
        gfx.calls.clear();
        gfx.onNativeRead = nullptr;
        debug.messages.clear();
        resultCode = 99;
        current = chip = u"UNKNOWN";
        for (uint16_t v : registers) {
            const uint8_t payload[] = {0x00, 0x00, static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
            gfx.i2cReplies.push_back({0, ChipReply(0x06, payload), {}});
        }
        gfx.ServeReadsAt(0x503, block.Bytes());
        if (unreadable) gfx.AnswerReadsAt(0x503, 1);
        return CheckChip(context, resultCode, current, chip);
    }
};

// A Tarvik chip by its identification block: the 1.40 to be updated, the boot code, the
// internal ROM by its cut, version texts whose cut does not sit at character 30, and a
// block that cannot be read.
TEST_F(IdentityFixture, TarvikChipByItsBlock) {
    const struct {
        const char* name;
        Block block;
        bool passes;
        int32_t resultCode;
        const char16_t* current;
        const char16_t* chip;
        const char16_t* message;  // null: nothing on the debugger output
        bool unreadable = false;
    } cases[] = {
        {"Kx4610At140", {"KX4610", 0x22, 1, 40}, true, 99, u"1.40", u"2.2", nullptr},
        {"BootCode", {"TRVKBC", 0x23, 1, 0}, false, 30, nullptr, u"UNKNOWN", u"ERROR!! ChipID:1\r\n"},
        {"IromCut22", {"", 0x23, 1, 0}, true, 99, u"----", u"2.2", nullptr},
        {"IromCut21", {"", 0x22, 1, 0}, false, 30, u"----", u"2.1", u"ERROR!! Chip Version:2.1\r\n"},
        // The version text must be five characters for the cut to sit at character 30.
        {"OneDigitMinor", {"KX4610", 0x22, 1, 5}, false, 30, nullptr, u".2)", u"ERROR!! Chip Version:.2)\r\n"},
        {"ThreeDigitMinor", {"KX4610", 0x22, 1, 100}, false, 30, nullptr, u"t2.", u"ERROR!! Chip Version:t2.\r\n"},
        {"TwoDigitMajor", {"KX4610", 0x22, 10, 40}, false, 30, nullptr, u"t2.", u"ERROR!! Chip Version:t2.\r\n"},
        {"ThirdComponent", {"KX4610", 0x22, 1, 40, 1}, false, 30, nullptr, u"ut2", u"ERROR!! Chip Version:ut2\r\n"},
        // "Tarvik App: KX4610   (cut2.2)" is 29 characters.
        {"VersionZero", {"KX4610", 0x22, 0, 0}, false, 30, u" (cu", u"", u"ERROR!! Chip Version:\r\n"},
        {"Unreadable", {}, false, 30, u"", u"", u"ERROR!! Chip Version:\r\n", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Check({0x2800}, c.block, c.unreadable), c.passes);
        EXPECT_EQ(resultCode, c.resultCode);
        EXPECT_EQ(chip, c.chip);
        if (c.current != nullptr) {
            EXPECT_EQ(current, c.current);
        }
        EXPECT_EQ(debug.messages, c.message ? std::vector<WText>{c.message} : std::vector<WText>{});
        EXPECT_EQ(context.firmwareVersionValue == 0, c.unreadable || c.block.major + c.block.minor == 0) << c.name;
    }
}

// The register 0x8002 is read only when 0xC802 names neither Tarvik nor Zendra.
TEST_F(IdentityFixture, OtherFamiliesAndSilenceAreNotTargets) {
    const struct {
        std::initializer_list<uint16_t> registers;
        const char16_t* message;
        std::vector<uint16_t> read;
    } cases[] = {
        {{}, u"ERROR!! ChipID:-1\r\n", {0xC802}},  // no reply at all
        {{0x2600}, u"ERROR!! ChipID:5\r\n", {0xC802}},
        {{0x1100, 0x1264}, u"ERROR!! ChipID:6\r\n", {0xC802, 0x8002}},
        {{0x1100, 0x4300}, u"ERROR!! ChipID:4\r\n", {0xC802, 0x8002}},
        {{0x1100, 0x1200}, u"ERROR!! ChipID:255\r\n", {0xC802, 0x8002}},
    };
    for (const auto& c : cases) {
        EXPECT_FALSE(Check(c.registers, {"KX4610", 0x22, 1, 40}));
        EXPECT_EQ(resultCode, 30);
        EXPECT_EQ(debug.messages, std::vector<WText>{c.message});
        std::vector<uint16_t> read;
        for (const auto& w : gfx.CallsOf(testing::FakeCall::I2cWrite)) {
            read.push_back(static_cast<uint16_t>(w.data[7] << 8 | w.data[8]));
        }
        EXPECT_EQ(read, c.read);
    }
}

// The fallback to the chip's memory when the DPCD block read fails is run end to end
// (fault dpcd-block-fail), the request checked by the simulator's framing.
TEST_F(IdentityFixture, DescriptionLines) {
    const struct {
        ChipType typeIn;
        Block block;
        const char16_t* line;
        ChipType typeOut;
    } cases[] = {
        {kChipTarvik, {"KX4610", 0x22, 1, 40}, u"Tarvik App: KX4610 v1.40  (cut2.2)", kChipTarvik},
        {kChipTarvik, {"KX4630", 0x22, 1, 5, 2}, u"Tarvik App: KX4630 v1.5.2  (cut2.2)", kChipTarvikOther},
        {kChipTarvik, {"TRVKBC", 0x20, 1, 2}, u"Tarvik Boot-code: v1.2  (cut2.-1)", kChipTarvikOther},
        {kChipTarvik, {"", 0x23, 1, 0}, u"Tarvik iROM: v1.0  (cut2.2)", kChipTarvikIrom},
        // Olvane iROM: the version shifted right by 8, not masked to a byte.
        {kChipOlvane, {"OLVNGX", 0x10, 2, 3, 1}, u"Olvane iROM: v258.3", kChipOlvane},
        {kChipOlvane, {"OLVNBC", 0x10, 2, 3}, u"Olvane Boot-code: v2.3", kChipOlvane},
        // 0x4A65: bits 15-14 = 1, 13-5 = 83, 4-0 = 5.
        {kChipOlvane, {"OLV123", 0x1A, 0x4A, 0x65}, u"Olvane App: OLV123 v1.83.5  (HWver=0x1A)", kChipOlvane},
        {kChipDp2Vga, {"VGA001", 0x45, 1, 0x0A}, u"DP2VGA: VGA001 v1.0A  (cut0.0)", kChipDp2Vga},
        // Only a Tarvik version text shows the third component.
        {kChipZendra, {"ZN1234", 0x31, 3, 12, 1}, u"Zendra: ZN1234 v3.12  (cut3.0)", kChipZendra},
        {kChipUnknown, {"AB", 0x07, 0x2A, 0x3B, 0x01}, u"AB FW Ver=0x012A3B  (HWver=0x07)", kChipUnknown},
        {kChipUnreadable, {"KX4610", 0x22, 1, 40}, u"KX4610 FW Ver=0x000128  (HWver=0x22)", kChipUnreadable},
    };
    for (const auto& c : cases) {
        gfx.ServeReadsAt(0x503, c.block.Bytes());
        ChipType type = c.typeIn;
        WText line;
        DescribeChip(context, type, line);
        EXPECT_EQ(line, c.line);
        EXPECT_EQ(type, c.typeOut) << c.block.id;
    }
}

}  // namespace
}  // namespace kdx
