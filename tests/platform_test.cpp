// The operating-system layer of the build under test: on Linux the POSIX one, in the
// cross build the Windows one under Wine (FindResourceW, CreateFileW, COM).
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/busy_wait.h"
#include "platform/clock.h"
#include "platform/driver_interface.h"
#include "platform/file.h"
#include "platform/resources.h"
#include "platform/sha256.h"

#ifdef _WIN32
#include <windows.h>

#include "platform/win32/com_driver.h"
#endif

namespace kdx {
namespace {

std::string Hex(std::span<const uint8_t> bytes) {
    std::string out;
    char digits[3];
    for (uint8_t b : bytes) {
        std::snprintf(digits, sizeof digits, "%02x", b);
        out += digits;
    }
    return out;
}

struct EmbeddedImage {
    uint16_t id;
    uint32_t size;
    const char* head;
    const char* tail;
    const char* sha256;  // as the build computed it from the image file
};

// The system's hash (libcrypto, or CNG under Wine) on the standard's own examples.
TEST(Sha256, KnownDigests) {
    EXPECT_EQ(Hex(platform::Sha256({}).value()), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    const uint8_t abc[] = {'a', 'b', 'c'};
    EXPECT_EQ(Hex(platform::Sha256(abc).value()), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(ProgramResources, ServeBothImagesWholeByTypeAndIdWithTheirDigests) {
    const EmbeddedImage images[] = {
        {129, KDX_ISP_DRIVER_IMAGE_SIZE, KDX_ISP_DRIVER_IMAGE_HEAD, KDX_ISP_DRIVER_IMAGE_TAIL, KDX_ISP_DRIVER_IMAGE_SHA256},
        {130, KDX_FIRMWARE_IMAGE_SIZE, KDX_FIRMWARE_IMAGE_HEAD, KDX_FIRMWARE_IMAGE_TAIL, KDX_FIRMWARE_IMAGE_SHA256},
    };
    platform::Resources& resources = platform::ProgramResources();
    for (const auto& image : images) {
        SCOPED_TRACE(image.id);
        const auto found = resources.Find(u"BIN", image.id);
        ASSERT_NE(found, nullptr);
        const auto loaded = resources.Load(found);
        ASSERT_NE(loaded, nullptr);
        ASSERT_EQ(resources.Size(found), image.size);
        const auto bytes = resources.Lock(loaded, image.size);
        ASSERT_EQ(bytes.size(), image.size);
        EXPECT_EQ(Hex(bytes.first(4)), image.head);
        EXPECT_EQ(Hex(bytes.last(4)), image.tail);
        EXPECT_EQ(Hex(platform::Sha256(bytes).value()), image.sha256);
        EXPECT_EQ(Hex(resources.RecordedSha256(u"BIN", image.id).value()), image.sha256);
    }
    EXPECT_FALSE(resources.RecordedSha256(u"BIN", 131));
    EXPECT_FALSE(resources.RecordedSha256(u"IMG", 129));
}

TEST(ProgramResources, MissingResourceFailsAtEveryStep) {
    platform::Resources& resources = platform::ProgramResources();
    EXPECT_EQ(resources.Find(u"BIN", 131), nullptr);
    EXPECT_EQ(resources.Find(u"IMG", 129), nullptr);
    EXPECT_EQ(resources.Load(nullptr), nullptr);
    EXPECT_EQ(resources.Size(nullptr), 0u);
    EXPECT_TRUE(resources.Lock(nullptr, 16).empty());
}

std::string ReadWhole(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::span<const uint8_t> Bytes(std::string_view text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

TEST(AppendToFile, CreatesThenAppendsUnderAWideName) {
    const WText name = u"kdx_platform_\u00e9\u3042.log";
    const std::filesystem::path path(name);
    std::filesystem::remove(path);

    EXPECT_TRUE(platform::AppendToFile(name, Bytes("Read I2C Ack: one\r\n")));
    EXPECT_TRUE(platform::AppendToFile(name, Bytes("Read I2C Ack: \xc3\xa9\r\n")));
    EXPECT_EQ(ReadWhole(path), "Read I2C Ack: one\r\nRead I2C Ack: \xc3\xa9\r\n");
    std::filesystem::remove(path);
}

TEST(AppendToFile, ReportsAFileThatCannotBeOpened) {
    EXPECT_FALSE(platform::AppendToFile(u"kdx_no_such_folder/AuxISPTool.log", Bytes("x\r\n")));
}

TEST(SystemClock, BusyWaitOnTheRealCounterLastsAtLeastItsTicks) {
    platform::Clock& clock = platform::SystemClock();
    ASSERT_GT(clock.Frequency(), 0);
    const int64_t ticks = platform::TicksForMicroseconds(clock, 200);
    const int64_t start = clock.Counter();
    platform::BusyWaitTicks(clock, ticks);
    EXPECT_GE(clock.Counter() - start, ticks);
}

// Without the graphics driver the interface cannot be created: a negative HRESULT and no
// interface (the driver is registered only in the end-to-end tests' own Wine prefix).
TEST(SystemDriverConnector, FailsWithAnHResultWhenNoDriverIsRegistered) {
    platform::DriverInterface* driver = reinterpret_cast<platform::DriverInterface*>(1);
    const int32_t hr = platform::SystemDriverConnector().CreateInstance(driver);
    EXPECT_LT(hr, 0);
    EXPECT_EQ(driver, nullptr);
}

#ifdef _WIN32
// A stand-in for the driver's COM object: a method table of 45 entries in which only
// Release and the two transfer methods do something.
struct FakeDriverObject {
    static constexpr int kMethods = 45;
    void* const* vtable;
    int releases = 0;
    int lastMethod = -1;
    GUID selector{};
    ULONG recordSize = 0;
    BYTE* record = nullptr;
    ULONG statusIn = 0;
};

template <int Index>
HRESULT STDMETHODCALLTYPE FakeTransfer(FakeDriverObject* self, const GUID* selector, ULONG size, BYTE* record,
                                       ULONG* status) {
    self->lastMethod = Index;
    self->selector = *selector;
    self->recordSize = size;
    self->record = record;
    self->statusIn = *status;
    record[28] = static_cast<BYTE>(Index);
    *status = 70;
    return S_FALSE;
}

ULONG STDMETHODCALLTYPE FakeRelease(FakeDriverObject* self) { return static_cast<ULONG>(++self->releases); }

TEST(ComDriverInterface, CallsMethods43And44WithTheSelectorAndReleasesThroughEntry2) {
    static void* table[FakeDriverObject::kMethods] = {};
    table[platform::win32::kReleaseMethod] = reinterpret_cast<void*>(&FakeRelease);
    table[platform::win32::kReadMethod] = reinterpret_cast<void*>(&FakeTransfer<43>);
    table[platform::win32::kWriteMethod] = reinterpret_cast<void*>(&FakeTransfer<44>);
    FakeDriverObject object{table};
    const GUID expectedSelector = {0xC3E437B6, 0x53F9, 0x42AA, {0xA5, 0x40, 0x87, 0x1F, 0x1E, 0x10, 0x7D, 0xFD}};

    platform::DriverInterface* driver = platform::win32::WrapDriverObject(&object);
    ASSERT_NE(driver, nullptr);
    platform::AuxRecord record{};
    for (const int method : {43, 44}) {
        SCOPED_TRACE(method);
        uint32_t status = 0xDEAD;
        const int32_t hr = method == 43 ? driver->CallRead(record, status) : driver->CallWrite(record, status);
        EXPECT_EQ(hr, S_FALSE);
        EXPECT_EQ(object.lastMethod, method);
        EXPECT_TRUE(IsEqualGUID(object.selector, expectedSelector));
        EXPECT_EQ(object.recordSize, 160u);
        EXPECT_EQ(object.record, record.data());
        EXPECT_EQ(object.statusIn, 0xDEADu);
        EXPECT_EQ(status, 70u);
        EXPECT_EQ(record[28], method);
    }
    EXPECT_EQ(object.releases, 0);
    driver->Release();
    EXPECT_EQ(object.releases, 1);
    EXPECT_EQ(platform::win32::WrapDriverObject(nullptr), nullptr);
}
#endif

}  // namespace
}  // namespace kdx
