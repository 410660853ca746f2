#include "package/images.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "support/test_system.h"

// Allocations of at least this many bytes fail while a case asks for it: a notebook short of
// memory when the updater copies an image out of its resources.
namespace {
std::atomic<std::size_t> failAllocationsFrom{SIZE_MAX};
}  // namespace

// Kept out of line: inlined, the compiler would see memory from operator new handed to free.
[[gnu::noinline]] void* operator new(std::size_t size) {
    if (size >= failAllocationsFrom.load()) throw std::bad_alloc();
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace kdx {
namespace {

using Bytes = std::vector<uint8_t>;

// A firmware image of `size` bytes (erased flash, 0xFF) with a trailer: version bytes at
// end - 20, the tag at end - 16, and a marker at end - each of `markersAt`.
Bytes Firmware(size_t size, uint8_t minor, uint8_t major, const char* tag,
               std::initializer_list<size_t> markersAt = {}) {
    Bytes image(size, 0xFF);
    image[size - 20] = minor;
    image[size - 19] = major;
    image[size - 18] = 0x00;
    for (size_t i = 0; i < 4; ++i) image[size - 16 + i] = static_cast<uint8_t>(tag[i]);
    for (const size_t at : markersAt) image[size - at] = 0xBC;
    return image;
}

const Bytes kDriver = [] {
    Bytes d{0x00, 0x30, 0x00, 0x00};
    d.resize(0x3000 + 4 + 256, 0x90);
    return d;
}();

struct TrailerCase {
    const char* name;
    Bytes image;
    bool loads;
    const char16_t* message;  // null: none
    uint32_t imageVersion;
    int32_t family;
    uint16_t topBlockVersion = 0;
};

// Top-block images: version 1.58 lies 8,212 bytes below the end, the trailer's version
// bytes (0x34 0x12) are the top block's.
Bytes WithVersionBelowTopBlock(Bytes image, uint8_t high) {
    const size_t n = image.size();
    image[n - 8212] = 58;
    image[n - 8211] = 1;
    image[n - 8210] = high;
    return image;
}

struct TrailerTest : ::testing::TestWithParam<TrailerCase> {
    testing::TestSystem sys;
    ChipContext context{sys.system, sys.connector, sys.controlLibrary};
};

TEST_P(TrailerTest, LoadsAndChecksTheVersion) {
    const TrailerCase& c = GetParam();
    sys.resources.Add(kImageResourceType, kIspDriverResourceId, kDriver);
    sys.resources.Add(kImageResourceType, kFirmwareResourceId, c.image);
    int32_t resultCode = 0;  // shows that a failure writes 99
    WText versionText;
    EXPECT_EQ(LoadImages(context, resultCode, versionText), c.loads);
    EXPECT_EQ(resultCode, c.loads ? 0 : 99);
    EXPECT_EQ(sys.debug.messages, c.message == nullptr ? std::vector<WText>{} : std::vector<WText>{c.message});
    if (c.loads) {
        EXPECT_EQ(context.firmwareImage, c.image);
        EXPECT_EQ(context.ispDriverImage, kDriver);
    }
    if (c.message == nullptr || std::u16string_view(c.message) != u"FW image too short!\r\n") {
        EXPECT_EQ(context.imageVersion, c.imageVersion);
        EXPECT_EQ(context.FirmwareFamily, c.family);
        EXPECT_EQ(context.topBlockVersion, c.topBlockVersion);
    }
}

constexpr char16_t kUnexpect[] = u"Unexpect firmware version!\r\n";
constexpr char16_t kTooShort[] = u"FW image too short!\r\n";

const TrailerCase kTrailerCases[] = {
    {"Tarvik158", Firmware(4096, 58, 1, "TRVK"), true, nullptr, 0x13A, kFamilyTarvik},
    {"Tarvik157", Firmware(4096, 57, 1, "TRVK"), false, kUnexpect, 0x139, kFamilyTarvik},
    // "1.5\n": the line feed falls within the four characters compared.
    {"OneDigitMinor", Firmware(4096, 5, 1, "TRVK"), false, kUnexpect, 0x105, kFamilyTarvik},
    {"UnknownTag", Firmware(4096, 58, 1, "ABCD"), true, nullptr, 0x13A, kFamilyUnknown},
    {"ZendraIgnoresMarkers", Firmware(4096, 58, 1, "ZNDR", {10, 12}), true, nullptr, 0x13A, kFamilyZendra},
    {"TarvikTopBlock", WithVersionBelowTopBlock(Firmware(16384, 0x34, 0x12, "TRVK", {10}), 0x02),
     true, nullptr, 0x2013A, kFamilyTarvik, 0x1234},
    // The Olvane marker is at end - 12; its version below the top block has two bytes.
    {"OlvaneTopBlock", WithVersionBelowTopBlock(Firmware(16384, 0x34, 0x12, "OLVN", {12}), 0x02),
     true, nullptr, 0x13A, kFamilyOlvane, 0x1234},
    {"OlvaneIgnoresTarvikMarker", Firmware(4096, 58, 1, "OLVN", {10}), true, nullptr, 0x13A, kFamilyOlvane},
    {"ExactlyTheTopBlockAndTrailer", WithVersionBelowTopBlock(Firmware(8212, 0x34, 0x12, "TRVK", {10}), 0),
     true, nullptr, 0x13A, kFamilyTarvik, 0x1234},
    {"TopBlockMarkerTooShort", Firmware(8211, 58, 1, "TRVK", {10}), false, kTooShort, 0, -1},
    {"OlvaneExactlyTheTopBlockAndTrailer", WithVersionBelowTopBlock(Firmware(8212, 0x34, 0x12, "OLVN", {12}), 0),
     true, nullptr, 0x13A, kFamilyOlvane, 0x1234},
    {"OlvaneTopBlockMarkerTooShort", Firmware(8211, 58, 1, "OLVN", {12}), false, kTooShort, 0, -1},
    {"ExactlyTheTrailer", Firmware(20, 58, 1, "TRVK"), true, nullptr, 0x13A, kFamilyTarvik},
    {"ShorterThanTheTrailer", Bytes(19, 0x00), false, kTooShort, 0, -1},
};

INSTANTIATE_TEST_SUITE_P(Images, TrailerTest, ::testing::ValuesIn(kTrailerCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Resources whose chosen step fails for one resource id.
class FailingResources final : public platform::Resources {
public:
    enum Step { kFind, kLoad, kSize, kLock, kShortLock, kAllocation };
    FailingResources(platform::Resources& inner, uint16_t id, Step step) : inner_(inner), id_(id), step_(step) {}
    ~FailingResources() override { failAllocationsFrom = SIZE_MAX; }

    Handle Find(WTextView type, uint16_t id) override {
        current_ = id;
        return id == id_ && step_ == kFind ? nullptr : inner_.Find(type, id);
    }
    Loaded Load(Handle found) override { return current_ == id_ && step_ == kLoad ? nullptr : inner_.Load(found); }
    uint32_t Size(Handle found) override { return current_ == id_ && step_ == kSize ? 0 : inner_.Size(found); }
    std::span<const uint8_t> Lock(Loaded loaded, uint32_t size) override {
        // The copy of a resource this size is the next allocation that large.
        if (current_ == id_ && step_ == kAllocation) failAllocationsFrom = size;
        if (current_ != id_ || (step_ != kLock && step_ != kShortLock)) return inner_.Lock(loaded, size);
        // A section a byte shorter than the size announced.
        return step_ == kLock ? std::span<const uint8_t>{} : inner_.Lock(loaded, size).first(size - 1);
    }
    std::optional<platform::Sha256Digest> RecordedSha256(WTextView type, uint16_t id) override {
        return inner_.RecordedSha256(type, id);
    }

private:
    platform::Resources& inner_;
    uint16_t id_;
    Step step_;
    uint16_t current_ = 0;
};

// Each resource step has its own message, and each image is checked against the digest the
// build recorded, right after it is locked: a damaged image is never copied, and a damaged
// ISP driver stops loading before the firmware is looked at.
TEST(Images, EveryResourceStepAndEachChecksumHasItsOwnMessage) {
    const Bytes firmware = Firmware(4096, 58, 1, "TRVK");
    const auto damaged = [](Bytes b) {
        b[b.size() / 2] ^= 0x01;
        return b;
    };
    using enum FailingResources::Step;
    const struct {
        const char* name;
        Bytes driver;
        Bytes firmware;
        bool recorded;
        const char16_t* message;  // null: loads
        uint16_t failingId = 0;
        FailingResources::Step step = kFind;
    } cases[] = {
        {"intact", kDriver, firmware, true, nullptr},
        {"nothing recorded", damaged(kDriver), damaged(firmware), false, nullptr},
        {"damaged driver", damaged(kDriver), firmware, true, u"Checksum(ISP) failed!\r\n"},
        {"damaged firmware", kDriver, damaged(firmware), true, u"Checksum(FW) failed!\r\n"},
        {"find driver", kDriver, firmware, true, u"FindResource(ISP) failed!\r\n", 129, kFind},
        {"load driver", kDriver, firmware, true, u"LoadResource(ISP) failed!\r\n", 129, kLoad},
        {"size driver", kDriver, firmware, true, u"SizeofResource(ISP) failed!\r\n", 129, kSize},
        {"lock driver", kDriver, firmware, true, u"LockResource(ISP) failed!\r\n", 129, kLock},
        {"find firmware", kDriver, firmware, true, u"FindResource(FW) failed!\r\n", 130, kFind},
        {"load firmware", kDriver, firmware, true, u"LoadResource(FW) failed!\r\n", 130, kLoad},
        {"size firmware", kDriver, firmware, true, u"SizeofResource(FW) failed!\r\n", 130, kSize},
        {"lock firmware", kDriver, firmware, true, u"LockResource(FW) failed!\r\n", 130, kLock},
        {"short lock firmware", kDriver, firmware, true, u"LockResource(FW) failed!\r\n", 130, kShortLock},
        {"no memory for the driver", kDriver, firmware, true, u"ISP-Driver buffer allocation failed!\r\ncode=00001\r\n",
         129, kAllocation},
        {"no memory for the firmware", kDriver, firmware, true, u"FW buffer allocation failed!\r\ncode=00002\r\n", 130,
         kAllocation},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testing::TestSystem fresh;
        const auto digest = [&](const Bytes& intact) {
            return c.recorded ? platform::Sha256(intact) : std::nullopt;
        };
        fresh.resources.Add(kImageResourceType, kIspDriverResourceId, c.driver, digest(kDriver));
        fresh.resources.Add(kImageResourceType, kFirmwareResourceId, c.firmware, digest(firmware));
        FailingResources failing(fresh.resources, c.failingId, c.step);
        platform::System system{fresh.clock, fresh.debug, failing};
        ChipContext loaded(system, fresh.connector, fresh.controlLibrary);
        int32_t code = 0;
        WText text;
        EXPECT_EQ(LoadImages(loaded, code, text), c.message == nullptr);
        EXPECT_EQ(fresh.debug.messages, c.message == nullptr ? std::vector<WText>{} : std::vector<WText>{c.message});
        if (c.message == nullptr) {
            EXPECT_EQ(loaded.firmwareImage, c.firmware);
            continue;
        }
        EXPECT_EQ(code, 99);
        EXPECT_TRUE(loaded.firmwareImage.empty());
        EXPECT_EQ(loaded.ispDriverImage.empty(), c.driver != kDriver || c.failingId == 129);
        EXPECT_EQ(loaded.imageVersion, 0u);
    }
}

TEST(IspDriverCode, HeaderRule) {
    const auto image = [](std::initializer_list<uint8_t> header, size_t total) {
        Bytes b(header);
        b.resize(total, 0x90);
        return b;
    };
    const struct {
        const char* name;
        Bytes image;
        size_t start;
        size_t length;
        bool complete = true;
    } cases[] = {
        {"header honoured", image({0x00, 0x30, 0x00, 0x00}, 0x3104), 4, 0x3000},
        {"largest length", image({0x00, 0x40, 0x00, 0x00}, 0x4004), 4, 0x4000},
        {"first byte not 0", image({0x01, 0x30, 0x00, 0x00}, 0x3104), 0, 0x3104},
        {"length above 16 KiB", image({0x00, 0x41, 0x00, 0x00}, 0x5000), 0, 0x5000},
        {"byte 2 set", image({0x00, 0x30, 0x01, 0x00}, 0x3104), 0, 0x3104},
        {"byte 3 set", image({0x00, 0x30, 0x00, 0x01}, 0x3104), 0, 0x3104},
        {"shorter than the header", image({0x00, 0x30}, 2), 0, 2},
        {"length beyond the image", image({0x00, 0x30, 0x00, 0x00}, 0x2004), 4, 0x3000, false},
        {"the header alone", image({0x00, 0x00, 0x00, 0x00}, 4), 4, 0},
    };
    for (const auto& c : cases) {
        const IspDriverCode code = LocateIspDriverCode(c.image);
        EXPECT_EQ(code.start, c.start) << c.name;
        EXPECT_EQ(code.length, c.length) << c.name;
        EXPECT_EQ(code.complete, c.complete) << c.name;
    }
}

}  // namespace
}  // namespace kdx
