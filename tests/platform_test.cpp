// The operating-system layer of the build under test: on Linux the POSIX one, in the
// cross build the Windows one under Wine (FindResourceW, CreateFileW, COM). The driver's
// COM methods are called end to end against the fake driver in the Wine suite.
#include <gtest/gtest.h>

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

namespace kdx {
namespace {

std::string Hex(std::span<const uint8_t> bytes) {
    constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    for (uint8_t b : bytes) out += {kDigits[b >> 4], kDigits[b & 0x0F]};
    return out;
}

// The system's hash (libcrypto, or CNG under Wine) on the standard's own examples.
TEST(Sha256, KnownDigests) {
    EXPECT_EQ(Hex(platform::Sha256({}).value()), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    const uint8_t abc[] = {'a', 'b', 'c'};
    EXPECT_EQ(Hex(platform::Sha256(abc).value()), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(ProgramResources, ServeBothImagesWholeByTypeAndIdWithTheirDigestsAndNothingElse) {
    const struct {
        uint16_t id;
        uint32_t size;
        const char* head;
        const char* tail;
        const char* sha256;  // as the build computed it from the image file
    } images[] = {
        {129, KDX_ISP_DRIVER_IMAGE_SIZE, KDX_ISP_DRIVER_IMAGE_HEAD, KDX_ISP_DRIVER_IMAGE_TAIL, KDX_ISP_DRIVER_IMAGE_SHA256},
        {130, KDX_FIRMWARE_IMAGE_SIZE, KDX_FIRMWARE_IMAGE_HEAD, KDX_FIRMWARE_IMAGE_TAIL, KDX_FIRMWARE_IMAGE_SHA256},
    };
    platform::Resources& resources = platform::ProgramResources();
    // A resource that is not there fails at every step.
    EXPECT_FALSE(resources.RecordedSha256(u"BIN", 131));
    EXPECT_FALSE(resources.RecordedSha256(u"IMG", 129));
    EXPECT_EQ(resources.Find(u"BIN", 131), nullptr);
    EXPECT_EQ(resources.Find(u"IMG", 129), nullptr);
    EXPECT_EQ(resources.Load(nullptr), nullptr);
    EXPECT_EQ(resources.Size(nullptr), 0u);
    EXPECT_TRUE(resources.Lock(nullptr, 16).empty());
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
}

// Tests and the simulator put other images in place of the embedded ones: an image added
// again replaces the first, and a removed one is gone while the others stay.
TEST(MemoryResources, AddReplacesAndRemoveForgetsOnlyItsOwnEntry) {
    platform::MemoryResources table;
    const uint8_t first[] = {1}, second[] = {2}, third[] = {3};
    const auto bytesOf = [&](uint16_t id) {
        const auto found = table.Find(u"BIN", id);
        return table.Lock(table.Load(found), table.Size(found)).data();
    };
    table.Add(u"BIN", 129, first);
    table.Add(u"BIN", 130, second);
    table.Add(u"BIN", 129, third);
    EXPECT_EQ(bytesOf(129), third);
    table.Remove(u"BIN", 129);
    EXPECT_EQ(bytesOf(129), nullptr);
    table.Add(u"BIN", 129, first);
    EXPECT_EQ(bytesOf(130), second);
}

std::string ReadWhole(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::span<const uint8_t> Bytes(std::string_view text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

TEST(AppendToFile, CreatesThenAppendsUnderAWideNameAndReportsAFileThatCannotBeOpened) {
    const WText name = u"kdx_platform_\u00e9\u3042.log";
    const std::filesystem::path path(name);
    std::filesystem::remove(path);

    EXPECT_TRUE(platform::AppendToFile(name, Bytes("Read I2C Ack: one\r\n")));
    EXPECT_TRUE(platform::AppendToFile(name, Bytes("Read I2C Ack: \xc3\xa9\r\n")));
    EXPECT_EQ(ReadWhole(path), "Read I2C Ack: one\r\nRead I2C Ack: \xc3\xa9\r\n");
    std::filesystem::remove(path);
    EXPECT_FALSE(platform::AppendToFile(u"kdx_no_such_folder/AuxISPTool.log", Bytes("x\r\n")));
}

TEST(BusyWait, LastsAtLeastItsTicksEvenASingleOne) {
    platform::Clock& clock = platform::SystemClock();
    ASSERT_GT(clock.Frequency(), 0);
    const int64_t ticks = platform::TicksForMicroseconds(clock, 200);
    const int64_t start = clock.Counter();
    platform::BusyWaitTicks(clock, ticks);
    EXPECT_GE(clock.Counter() - start, ticks);
    // The shortest wait is a wait too (the virtual clock moves only when it is spun).
    platform::VirtualClock virtualClock;
    platform::BusyWaitTicks(virtualClock, 1);
    EXPECT_EQ(virtualClock.Counter(), 1);
}

// Without the graphics driver the interface cannot be created: a negative HRESULT and no
// interface (the driver is registered only in the end-to-end tests' own Wine prefix).
TEST(SystemDriverConnector, FailsWithAnHResultWhenNoDriverIsRegistered) {
    platform::DriverInterface* driver = reinterpret_cast<platform::DriverInterface*>(1);
    const int32_t hr = platform::SystemDriverConnector().CreateInstance(driver);
    EXPECT_LT(hr, 0);
    EXPECT_EQ(driver, nullptr);
}

}  // namespace
}  // namespace kdx
