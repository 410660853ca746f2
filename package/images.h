// The two embedded images: the ISP driver (resource "BIN" 129) and the firmware image
// (resource "BIN" 130), copied into the ChipContext, with the firmware trailer's fields.
//
// Firmware trailer, counted back from the end of the image (end - k):
//   end-20..end-18  version: minor, major, high byte (with a top block: topBlockVersion)
//   end-16          family tag, 4 ASCII bytes ("TRVK", "OLVN", "ZNDR")
//   end-12          top-block marker of the Olvane family (0xBC)
//   end-10          top-block marker of the Tarvik family (0xBC)
//   end-8212        version below the 8 KiB top block, when the marker is present
#pragma once

#include <cstdint>
#include <span>

#include "chip/chip_context.h"
#include "platform/wtext.h"

namespace kdx {

inline constexpr uint16_t kIspDriverResourceId = 129;
inline constexpr uint16_t kFirmwareResourceId = 130;
inline constexpr char16_t kImageResourceType[] = u"BIN";
// The version this updater installs.
inline constexpr char16_t kExpectedFirmwareVersion[] = u"1.58";

// Checks each image against the digest the build recorded for it (right after it is locked),
// copies both into the context, extracts the trailer and checks the version text.
// On failure: the stage's message on the debugger output, resultCode 99, false.
bool LoadImages(ChipContext& context, int32_t& resultCode, WText& newVersionText);

// The trailer fields of a firmware image.
struct FirmwareTrailer {
    uint32_t imageVersion = 0;
    int32_t family = kFamilyNotLoaded;
    uint16_t topBlockVersion = 0;
};

// False for an image too short to hold its trailer (20 bytes, or 8,212 with a top block);
// LoadImages then refuses it with "FW image too short!\r\n".
bool ParseFirmwareTrailer(std::span<const uint8_t> image, FirmwareTrailer& trailer);

// "%d.%d\n" with the major and minor byte of the version value.
WText FormatImageVersionText(uint32_t imageVersion);

// Where the ISP driver code lies in its image: the header rule (first byte 0 and
// L <= 16,384: L bytes from offset 4), otherwise the whole image. A header that announces
// more code than follows it marks a truncated driver (`complete` false): neither the
// announced code nor the image with its header is a program the chip can run, and the
// download refuses it.
struct IspDriverCode {
    size_t start = 0;
    size_t length = 0;
    bool complete = true;
};
IspDriverCode LocateIspDriverCode(std::span<const uint8_t> image);

}  // namespace kdx
