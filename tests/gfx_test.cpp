#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <vector>

#include "gfx/gfx_lib_intel_skylake.h"
#include "platform/resources.h"

namespace kdx {
namespace {

using platform::AuxRecord;
// (command, length, address) of each call to the driver.
using Transfers = std::vector<std::array<uint32_t, 3>>;

// What the scripted driver does with one call: its HRESULT, the status word it writes
// (none: the word is left alone) and the data bytes it puts into the record.
struct Answer {
    int32_t hr = 0;
    std::optional<uint32_t> status = 0;
    std::vector<uint8_t> data;
};

struct DriverCall {
    bool write;
    AuxRecord record;  // as handed to the driver
};

class ScriptedDriver final : public platform::DriverInterface {
public:
    std::vector<DriverCall> calls;
    using Responder = std::function<Answer(bool write, const gfx::AuxRequest&)>;
    Responder respond = [](bool, const gfx::AuxRequest&) { return Answer{}; };
    int releases = 0;
    bool scribbles = false;  // leaves bytes of its own in the record's reserved area

    int32_t CallRead(AuxRecord& record, uint32_t& status) override { return Call(false, record, status); }
    int32_t CallWrite(AuxRecord& record, uint32_t& status) override { return Call(true, record, status); }
    void Release() override { ++releases; }

    Transfers Sent() const {
        Transfers out;
        for (const auto& c : calls) {
            const gfx::AuxRequest r(c.record);
            out.push_back({r.Command(), r.Length(), r.Address()});
        }
        return out;
    }

private:
    int32_t Call(bool write, AuxRecord& record, uint32_t& status) {
        calls.push_back({write, record});
        if (scribbles) std::fill(record.begin() + 44, record.end(), uint8_t{0xA5});
        const Answer answer = respond(write, gfx::AuxRequest(record));
        if (answer.status) status = *answer.status;
        std::copy_n(answer.data.begin(), std::min<size_t>(answer.data.size(), 16),
                    record.begin() + gfx::AuxRequest::kDataOffset);
        return answer.hr;
    }
};

// A chip that sends `reply` on every I2C read transaction of device `id`: each read takes
// the next bytes, the closing read (code 1) starts the reply over. Other devices answer
// with the null message; writes succeed.
auto ChipOn(uint32_t id, std::vector<uint8_t> reply) {
    return [id, reply, at = size_t{0}](bool write, const gfx::AuxRequest& r) mutable -> Answer {
        if (write) return {};
        const std::vector<uint8_t> frame = r.DeviceId() == id ? reply : std::vector<uint8_t>{0x6E, 0x80, 0xBE};
        Answer answer;
        for (uint32_t i = 0; i < r.Length() && at + i < frame.size(); ++i) answer.data.push_back(frame[at + i]);
        at = r.Command() == gfx::kI2cRead ? 0 : at + r.Length();
        return answer;
    };
}

const std::vector<uint8_t> kAck{0x6E, 0x85, 0xC2, 0x00, 0x00, 0x03, 0x0C, 0x76};

// The search log when every probe failed with the same result text.
WText NoConnectionLog(const WText& failure) {
    WText log;
    for (char16_t id : std::u16string_view(u"CDEF"))
        log += u"  Device ID: 0x0" + WText(1, id) + u" = N/A (" + failure + u")\r\n";
    return log + u"  ==> No available connection was found!\r\n";
}

// Hands back its driver also with a failure, as a careless COM server may.
struct FakeConnector final : platform::DriverConnector {
    explicit FakeConnector(platform::DriverInterface* d, int32_t result = 0) : driver(d), hr(result) {}
    platform::DriverInterface* driver;
    int32_t hr;
    int32_t CreateInstance(platform::DriverInterface*& out) override {
        out = driver;
        return hr;
    }
};

struct BackendFixture : ::testing::Test {
    platform::VirtualClock clock;
    ScriptedDriver driver;
    FakeConnector connector{&driver};
    GfxLibIntelSkylake gfx{connector, clock};
    WText log;

    void SetUp() override { ASSERT_EQ(gfx.Initialize(log), 0); }
};

TEST_F(BackendFixture, I2cWriteSplitsIntoByteExactRecords) {
    // What the driver left in the record of an earlier operation is not handed back to it.
    driver.scribbles = true;
    std::array<uint8_t, 1> dpcd{};
    ASSERT_EQ(gfx.NativeRead(0x0C, 0, dpcd), 0);
    driver.scribbles = false;
    driver.calls.clear();

    std::vector<uint8_t> bytes(17);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(0xA0 + i);
    ASSERT_EQ(gfx.I2cWrite(0x0D, 0x6E, bytes), 0);
    ASSERT_EQ(driver.calls.size(), 2u);
    AuxRecord first{}, second{};
    first[0] = second[0] = 0x0D;
    first[16] = 4, first[20] = 16, first[24] = 0x6E;
    std::copy_n(bytes.begin(), 16, first.begin() + 28);
    second[16] = 0, second[20] = 1, second[24] = 0x6E, second[28] = 0xB0;  // rest of the data field cleared
    EXPECT_TRUE(driver.calls[0].write && driver.calls[1].write);
    EXPECT_EQ(driver.calls[0].record, first);
    EXPECT_EQ(driver.calls[1].record, second);

    driver.calls.clear();
    ASSERT_EQ(gfx.I2cWrite(0x0D, 0x6E, std::span(bytes).first(16)), 0);
    EXPECT_EQ(driver.Sent(), (Transfers{{0, 16, 0x6E}}));
}

TEST_F(BackendFixture, I2cReadChecksTheHeaderAndAssemblesTheReply) {
    std::vector<uint8_t> longReply{0x6E, 0xA8};
    longReply.resize(43, 0x5A);
    const struct {
        std::vector<uint8_t> reply;
        size_t capacity;
        int32_t result;
        int32_t count;
        Transfers transfers;
    } cases[] = {
        {kAck, 9, 0, 8, {{5, 2, 0x6E}, {1, 6, 0x6E}}},
        {kAck, 8, 0, 8, {{5, 2, 0x6E}, {1, 6, 0x6E}}},  // a reply that fills the buffer exactly
        {{0x6E, 0x80, 0xBE}, 9, 0, 3, {{5, 2, 0x6E}, {1, 1, 0x6E}}},
        {longReply, 131, 0, 43, {{5, 2, 0x6E}, {5, 16, 0x6E}, {5, 16, 0x6E}, {1, 9, 0x6E}}},
        {{0x6E, 0x7F}, 9, 0, 2, {{5, 2, 0x6E}}},
        {{0x6E, 0x7E}, 1, 0, 2, {{5, 2, 0x6E}}},
        {{0x6E, 0x7D}, 9, gfx::kMalformedReply, -7, {{5, 2, 0x6E}}},
        {{0x6F, 0x85}, 9, gfx::kMalformedReply, -7, {{5, 2, 0x6E}}},
        {{0x00, 0x86}, 8, gfx::kInvalidArgument, -7, {{5, 2, 0x6E}}},  // capacity is checked first
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reply[1]);
        driver.calls.clear();
        driver.respond = ChipOn(0x0C, c.reply);
        std::vector<uint8_t> buffer(c.capacity, 0xEE);
        int32_t count = -7;
        EXPECT_EQ(gfx.I2cRead(0x0C, 0x6E, buffer, count, log), c.result);
        EXPECT_EQ(count, c.count);
        EXPECT_EQ(driver.Sent(), c.transfers);
        if (c.result == 0) {
            const size_t copied = std::min(buffer.size(), static_cast<size_t>(c.count));
            EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + static_cast<ptrdiff_t>(copied), c.reply.begin()));
        }
    }
}

TEST_F(BackendFixture, DeferralIsRetriedSixTimesWithFiveMillisecondSpins) {
    driver.respond = [](bool, const gfx::AuxRequest&) { return Answer{0, 70, {}}; };
    std::array<uint8_t, 4> bytes{};
    int32_t count = 0;
    EXPECT_EQ(gfx.I2cRead(0x0C, 0x6E, bytes, count, log), gfx::kDeferred);
    EXPECT_EQ(driver.calls.size(), 6u);
    EXPECT_EQ(clock.NowUs(), 6 * 5000);
    EXPECT_EQ(clock.SleepCalls(), 0);

    driver.calls.clear();
    EXPECT_EQ(gfx.NativeWrite(0x0C, 0x20000, bytes), gfx::kDeferred);
    EXPECT_EQ(driver.calls.size(), 1u);
    EXPECT_EQ(clock.NowUs(), 7 * 5000);
    driver.calls.clear();
    EXPECT_EQ(gfx.NativeWrite(0x0C, 0x20001, bytes), gfx::kDeferred);
    EXPECT_EQ(driver.calls.size(), 6u);
}

TEST_F(BackendFixture, DriverFailuresBecomeResults) {
    const std::pair<Answer, int32_t> cases[] = {
        {{0, 5, {}}, 5},
        {{0, 0x1234, {}}, 0x1234},
        {{-1, 7, {}}, 7},
        {{-1, std::nullopt, {}}, gfx::kDriverCallFailed},
        {{-1, 0, {}}, gfx::kDriverCallFailed},  // "done" from a failed call is no success
    };
    std::array<uint8_t, 2> bytes{};
    for (const auto& [answer, result] : cases) {
        driver.respond = [&](bool, const gfx::AuxRequest&) { return answer; };
        EXPECT_EQ(gfx.NativeRead(0x0C, 0x503, bytes), result);
    }
    // Each request code reaches the driver's method of its direction (even codes write);
    // 3, 7 and the codes past 9 name no AUX request and never leave.
    driver.respond = [](bool, const gfx::AuxRequest&) { return Answer{}; };
    for (uint32_t code = 0; code < 16; ++code) {
        gfx::AuxRequest record;
        record.SetCommand(code);
        driver.calls.clear();
        const bool known = code <= 9 && code != 3 && code != 7;
        EXPECT_EQ(gfx.DriverTransfer(record), known ? gfx::kOk : gfx::kDriverCallFailed) << code;
        ASSERT_EQ(driver.calls.size(), known ? 1u : 0u) << code;
        if (!known) continue;
        EXPECT_EQ(driver.calls[0].write, code % 2 == 0) << code;
    }
    driver.calls.clear();
    // Empty transfers are refused before the driver sees them.
    int32_t count = 0;
    EXPECT_EQ(gfx.NativeRead(0x0C, 0x100, {}), gfx::kInvalidArgument);
    EXPECT_EQ(gfx.NativeWrite(0x0C, 0x100, {}), gfx::kInvalidArgument);
    EXPECT_EQ(gfx.I2cWrite(0x0C, 0x6E, {}), gfx::kInvalidArgument);
    EXPECT_EQ(gfx.I2cRead(0x0C, 0x6E, {}, count, log), gfx::kInvalidArgument);
    EXPECT_TRUE(driver.calls.empty());
}

TEST_F(BackendFixture, FindDeviceReportsEveryConnection) {
    uint32_t deviceId = 99;
    driver.respond = ChipOn(0x0D, kAck);
    EXPECT_EQ(gfx.FindDevice(deviceId, 0x6E, log), 0);
    EXPECT_EQ(log, u"  Device ID: 0x0C = N/A (0x0F)\r\n  Device ID: 0x0D = OK\r\n");
    EXPECT_EQ(deviceId, 0x0Du);
    const gfx::AuxRequest probe(driver.calls[0].record);
    EXPECT_EQ(std::vector<uint8_t>(probe.Data().begin(), probe.Data().begin() + 8),
              (std::vector<uint8_t>{0x51, 0x85, 0xC2, 0x00, 0x00, 0x03, 0x0A, 0x71}));
    // 0x0C: 40 ms, then 20 null messages each followed by 30 ms; 0x0D: 40 ms.
    EXPECT_EQ(clock.NowUs(), (40 + 20 * 30 + 40) * 1000);

    driver.respond = [](bool write, const gfx::AuxRequest&) { return Answer{0, write ? 0u : 0x1Fu, {}}; };
    EXPECT_EQ(gfx.FindDevice(deviceId, 0x6E, log), gfx::kNotSupported);
    EXPECT_EQ(log, NoConnectionLog(u"0x0F"));
    EXPECT_EQ(deviceId, 0u);

    driver.calls.clear();
    driver.respond = [](bool write, const gfx::AuxRequest&) { return Answer{0, write ? 5u : 0u, {}}; };
    EXPECT_EQ(gfx.FindDevice(deviceId, 0x6E, log), gfx::kNotSupportedStop);
    EXPECT_EQ(log, u"  Not Supported!\r\n");
    EXPECT_EQ(deviceId, 0u);
    EXPECT_EQ(driver.calls.size(), 1u);
}

// A reply too long for the probe's 9 bytes ends no read: the probe's write, 20 header reads.
TEST_F(BackendFixture, AProbeReplyBeyondNineBytesIsReadTwentyTimes) {
    driver.respond = ChipOn(0x0C, {0x6E, 0x87, 0xC2, 0x00, 0x00, 0x03, 0x0C, 0x76, 0x00, 0x00});
    EXPECT_EQ(gfx.ProbeDevice(0x6E, 0x0C), gfx::kMalformedReply);
    Transfers expected(21, {5, 2, 0x6E});
    expected[0] = {0, 8, 0x6E};
    EXPECT_EQ(driver.Sent(), expected);
}

// A probe read the driver kept deferring is tried again 10 ms later.
TEST_F(BackendFixture, DeferredProbeReadIsTriedAgainAfterTenMilliseconds) {
    driver.respond = [chip = ChipOn(0x0C, kAck), deferrals = 6](bool write, const gfx::AuxRequest& r) mutable {
        return !write && deferrals-- > 0 ? Answer{0, 70, {}} : chip(write, r);
    };
    uint32_t deviceId = 0;
    EXPECT_EQ(gfx.FindDevice(deviceId, 0x6E, log), 0);
    EXPECT_EQ(deviceId, 0x0Cu);
    EXPECT_EQ(clock.NowUs(), (40 + 6 * 5 + 10) * 1000);
}

TEST(GfxBackend, InterfaceLifetimeAndFailures) {
    platform::VirtualClock clock;
    ScriptedDriver driver;
    FakeConnector connector{&driver, platform::kClassNotRegistered};
    WText log;
    {
        GfxLibIntelSkylake gfx(connector, clock);
        EXPECT_EQ(gfx.Initialize(log), gfx::kInitFailed);
        EXPECT_EQ(log, u"Graphics adapter initialization - Intel (LS-PCON): failed! (-2147221164)\r\n");
        EXPECT_EQ(driver.releases, 1);  // what the failed creation left behind
        uint32_t deviceId = 0;
        EXPECT_EQ(gfx.FindDevice(deviceId, 0x6E, log), gfx::kNotSupported);
        EXPECT_EQ(log, NoConnectionLog(u"0xFFFFFFFF"));

        connector.hr = 0;
        EXPECT_EQ(gfx.Initialize(log), 0);
        EXPECT_EQ(gfx.Initialize(log), 0);
        EXPECT_EQ(driver.releases, 2);  // the second replaced the first
    }
    EXPECT_EQ(driver.releases, 3);
}

}  // namespace
}  // namespace kdx
