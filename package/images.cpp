#include "package/images.h"

#include <algorithm>
#include <new>
#include <vector>

#include "platform/resources.h"
#include "platform/sha256.h"

namespace kdx {

namespace {

// The trailer lies at the end of the image; the top block is the image's last 8 KiB.
constexpr size_t kTrailerSize = 20;
constexpr size_t kTopBlockSize = 0x2000;
constexpr size_t kBelowTopBlock = kTopBlockSize + kTrailerSize;  // end - 8,212
constexpr size_t kVersionOffset = 20;                            // end - 20
constexpr size_t kTagOffset = 16;                                // end - 16
constexpr size_t kOlvaneMarkerOffset = 12;                       // end - 12
constexpr size_t kTarvikMarkerOffset = 10;                       // end - 10
constexpr uint8_t kTopBlockMarker = 0xBC;
constexpr size_t kVersionTextLength = 4;

// The ISP driver's length header.
constexpr size_t kIspHeaderSize = 4;
constexpr uint32_t kIspMaxCodeLength = 0x4000;

// The messages of one image's resource steps.
struct ResourceMessages {
    const char16_t* find;
    const char16_t* load;
    const char16_t* size;
    const char16_t* lock;
    const char16_t* checksum;
    const char16_t* allocation;
};

constexpr ResourceMessages kIspMessages{
    u"FindResource(ISP) failed!\r\n", u"LoadResource(ISP) failed!\r\n", u"SizeofResource(ISP) failed!\r\n",
    u"LockResource(ISP) failed!\r\n", u"Checksum(ISP) failed!\r\n",
    u"ISP-Driver buffer allocation failed!\r\ncode=00001\r\n"};
constexpr ResourceMessages kFirmwareMessages{
    u"FindResource(FW) failed!\r\n", u"LoadResource(FW) failed!\r\n", u"SizeofResource(FW) failed!\r\n",
    u"LockResource(FW) failed!\r\n", u"Checksum(FW) failed!\r\n", u"FW buffer allocation failed!\r\ncode=00002\r\n"};
constexpr char16_t kUnexpectedVersionMessage[] = u"Unexpect firmware version!\r\n";
constexpr char16_t kImageTooShortMessage[] = u"FW image too short!\r\n";

uint8_t ByteFromEnd(std::span<const uint8_t> image, size_t k) { return image[image.size() - k]; }

// Three version bytes from end - k: minor, major, high byte.
uint32_t Version24At(std::span<const uint8_t> image, size_t k) {
    return ByteFromEnd(image, k) | static_cast<uint32_t>(ByteFromEnd(image, k - 1)) << 8 |
           static_cast<uint32_t>(ByteFromEnd(image, k - 2)) << 16;
}

uint16_t Version16At(std::span<const uint8_t> image, size_t k) {
    return static_cast<uint16_t>(ByteFromEnd(image, k) | ByteFromEnd(image, k - 1) << 8);
}

bool TagIs(std::span<const uint8_t> image, const char (&tag)[5]) {
    const auto bytes = image.subspan(image.size() - kTagOffset, 4);
    return std::equal(bytes.begin(), bytes.end(), tag, tag + 4,
                      [](uint8_t b, char c) { return b == static_cast<uint8_t>(c); });
}

// The resource's bytes against the digest the build recorded for them. An image damaged in
// the program file (a bad download, a disk error, a resource edit) would otherwise be
// written to the flash with freshly computed, matching block CRCs, and the chip would
// accept it. A digest that cannot be computed vouches for nothing.
bool MatchesRecordedDigest(platform::Resources& resources, uint16_t id, std::span<const uint8_t> bytes) {
    const auto recorded = resources.RecordedSha256(kImageResourceType, id);
    if (!recorded) return true;
    const auto digest = platform::Sha256(bytes);
    return digest && *digest == *recorded;
}

// Find, load, size, lock and check one resource and copy its bytes into `buffer`, which is
// freed first. The copy is owned by the context: the resource section stays read-only.
bool CopyResource(platform::Resources& resources, uint16_t id, const ResourceMessages& messages,
                  std::vector<uint8_t>& buffer, WText& message) {
    const auto found = resources.Find(kImageResourceType, id);
    if (found == nullptr) {
        message = messages.find;
        return false;
    }
    const auto loaded = resources.Load(found);
    if (loaded == nullptr) {
        message = messages.load;
        return false;
    }
    const uint32_t size = resources.Size(found);
    if (size == 0) {
        message = messages.size;
        return false;
    }
    const auto bytes = resources.Lock(loaded, size);
    // Fewer bytes than the size announced would be read past the resource's end.
    if (bytes.data() == nullptr || bytes.size() < size) {
        message = messages.lock;
        return false;
    }
    if (!MatchesRecordedDigest(resources, id, bytes.first(size))) {
        message = messages.checksum;
        return false;
    }
    std::vector<uint8_t>().swap(buffer);
    try {
        buffer.assign(bytes.begin(), bytes.begin() + size);
    } catch (const std::bad_alloc&) {
        std::vector<uint8_t>().swap(buffer);
        message = messages.allocation;
        return false;
    }
    return true;
}

bool CopyImages(ChipContext& context, WText& newVersionText, WText& message) {
    platform::Resources& resources = context.system.resources;
    if (!CopyResource(resources, kIspDriverResourceId, kIspMessages, context.ispDriverImage, message)) return false;
    context.ispDriverLength = static_cast<int32_t>(context.ispDriverImage.size());
    context.ispDriverCodeStart = 0;

    if (!CopyResource(resources, kFirmwareResourceId, kFirmwareMessages, context.firmwareImage, message)) return false;
    context.firmwareSize = static_cast<int32_t>(context.firmwareImage.size());

    FirmwareTrailer trailer;
    if (!ParseFirmwareTrailer(context.firmwareImage, trailer)) {
        message = kImageTooShortMessage;
        return false;
    }
    context.imageVersion = trailer.imageVersion;
    context.FirmwareFamily = trailer.family;
    context.topBlockVersion = trailer.topBlockVersion;

    // Only the first four characters count: a one-digit minor brings the line feed into
    // them, so such a version never matches.
    const WText versionText = FormatImageVersionText(trailer.imageVersion);
    newVersionText = versionText.substr(0, std::min(versionText.size(), kVersionTextLength));
    if (newVersionText != kExpectedFirmwareVersion) {
        message = kUnexpectedVersionMessage;
        return false;
    }
    return true;
}

}  // namespace

bool LoadImages(ChipContext& context, int32_t& resultCode, WText& newVersionText) {
    constexpr int32_t kUnexpectedError = 99;
    WText message;
    if (CopyImages(context, newVersionText, message)) return true;
    context.system.debug.Write(message);
    resultCode = kUnexpectedError;
    return false;
}

bool ParseFirmwareTrailer(std::span<const uint8_t> image, FirmwareTrailer& trailer) {
    if (image.size() < kTrailerSize) return false;
    FirmwareTrailer parsed;
    parsed.imageVersion = Version24At(image, kVersionOffset);
    // With a top block, the version below it is read; the trailer's own version bytes are
    // then the top block's version.
    bool hasTopBlock = false;
    if (TagIs(image, "OLVN")) {
        parsed.family = kFamilyOlvane;
        hasTopBlock = ByteFromEnd(image, kOlvaneMarkerOffset) == kTopBlockMarker;
        if (hasTopBlock) {
            if (image.size() < kBelowTopBlock) return false;
            parsed.imageVersion = Version16At(image, kBelowTopBlock);
        }
    } else if (TagIs(image, "TRVK")) {
        parsed.family = kFamilyTarvik;
        hasTopBlock = ByteFromEnd(image, kTarvikMarkerOffset) == kTopBlockMarker;
        if (hasTopBlock) {
            if (image.size() < kBelowTopBlock) return false;
            parsed.imageVersion = Version24At(image, kBelowTopBlock);
        }
    } else if (TagIs(image, "ZNDR")) {
        parsed.family = kFamilyZendra;
    } else {
        parsed.family = kFamilyUnknown;
    }
    if (hasTopBlock) parsed.topBlockVersion = Version16At(image, kVersionOffset);
    trailer = parsed;
    return true;
}

WText FormatImageVersionText(uint32_t imageVersion) {
    return FormatW(u"%d.%d\n", {static_cast<int>((imageVersion >> 8) & 0xFF), static_cast<int>(imageVersion & 0xFF)});
}

IspDriverCode LocateIspDriverCode(std::span<const uint8_t> image) {
    const IspDriverCode whole{0, image.size()};
    if (image.size() < kIspHeaderSize || image[0] != 0) return whole;
    const uint32_t length = image[0] | static_cast<uint32_t>(image[1]) << 8 | static_cast<uint32_t>(image[2]) << 16 |
                            static_cast<uint32_t>(image[3]) << 24;
    if (length > kIspMaxCodeLength) return whole;
    return {kIspHeaderSize, length, length <= image.size() - kIspHeaderSize};
}

}  // namespace kdx
