// The Control Library backend against a scripted library (how it starts, searches and
// makes results of its own of the library's), and the selection's fifth candidate against the
// simulated driver and library. What it hands the library byte by byte is compared with what
// the COM backend sends in the end-to-end tests.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "chip/chip_context.h"
#include "gfx/gfx_lib_control_library.h"
#include "gfx/select_gfx_lib.h"
#include "sim/test_bench.h"
#include "support/test_system.h"

namespace kdx {
namespace {

namespace ctl = platform::ctl;

// Adapters and outputs are numbered handles; the functions reach the one scripted library.
struct ScriptedLibrary;
ScriptedLibrary* g_script = nullptr;

struct ScriptedLibrary final : platform::ControlLibraryLoader {
    std::vector<uint32_t> outputsPerAdapter{4};
    uint32_t adapterCountAsked = 0;  // first enumeration's answer, when not 0
    ctl::Result devicesResult = ctl::kSuccess;  // of the first enumeration, which may leave the count unwritten
    bool countWritten = true;
    uint32_t adaptersFilled = 0;  // when not 0, the second enumeration fills only this many
    ctl::Result lastAdapterOutputsResult = ctl::kSuccess;  // the last adapter's output listing
    ctl::Result initResult = ctl::kSuccess;
    std::function<ctl::Result(uint32_t output, ctl::AuxAccessArgs&)> respond = [](uint32_t, ctl::AuxAccessArgs&) {
        return ctl::kSuccess;
    };
    ctl::InitArgs initArgs{};
    int loads = 0, unloads = 0, closes = 0;
    std::string events;  // "L" per load, "U" per unload, in order

    ScriptedLibrary() { g_script = this; }
    ~ScriptedLibrary() override { g_script = nullptr; }

    struct Loaded final : platform::ControlLibrary {
        const ctl::Functions& Functions() const override { return kFunctions; }
        ~Loaded() override { ++g_script->unloads, g_script->events += 'U'; }
    };
    std::unique_ptr<platform::ControlLibrary> Load() override {
        ++loads, events += 'L';
        return std::make_unique<Loaded>();
    }

    static ctl::Result Init(ctl::InitArgs* args, ctl::ApiHandle* api) {
        g_script->initArgs = *args;
        *api = reinterpret_cast<ctl::ApiHandle>(uintptr_t{0xA11});
        return g_script->initResult;
    }
    static ctl::Result Close(ctl::ApiHandle) { return ++g_script->closes, ctl::kSuccess; }
    static ctl::Result Devices(ctl::ApiHandle, uint32_t* count, ctl::AdapterHandle* adapters) {
        const auto n = static_cast<uint32_t>(g_script->outputsPerAdapter.size());
        if (!adapters && g_script->countWritten) *count = g_script->adapterCountAsked ? g_script->adapterCountAsked : n;
        if (adapters && g_script->adaptersFilled) *count = g_script->adaptersFilled;
        for (uint32_t i = 0; adapters && i < *count; ++i) adapters[i] = reinterpret_cast<ctl::AdapterHandle>(uintptr_t{i});
        return adapters ? ctl::kSuccess : g_script->devicesResult;
    }
    static ctl::Result Outputs(ctl::AdapterHandle adapter, uint32_t* count, ctl::OutputHandle* outputs) {
        const auto a = reinterpret_cast<uintptr_t>(adapter);
        if (a + 1 == g_script->outputsPerAdapter.size() && g_script->lastAdapterOutputsResult) {
            return g_script->lastAdapterOutputsResult;
        }
        if (!outputs) *count = a < g_script->outputsPerAdapter.size() ? g_script->outputsPerAdapter[a] : 0;
        for (uint32_t i = 0; outputs && i < *count; ++i) outputs[i] = reinterpret_cast<ctl::OutputHandle>(a << 8 | i);
        return ctl::kSuccess;
    }
    static ctl::Result Aux(ctl::OutputHandle output, ctl::AuxAccessArgs* args) {
        return g_script->respond(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(output)), *args);
    }
    static constexpr ctl::Functions kFunctions{Init, Close, Devices, Outputs, Aux};
};

// The chip on `output` (adapter << 8 | index): it acknowledges the probe; other outputs NACK.
auto ChipOnOutput(uint32_t output) {
    return [output, at = size_t{0}](uint32_t o, ctl::AuxAccessArgs& a) mutable -> ctl::Result {
        static const std::vector<uint8_t> kAck{0x6E, 0x85, 0xC2, 0x00, 0x00, 0x03, 0x0C, 0x76};
        if (o != output) return 0x40010018;
        if (a.OpType == ctl::kAuxWrite) return ctl::kSuccess;
        for (uint32_t i = 0; i < a.DataSize; ++i) a.Data[i] = kAck[(at + i) % kAck.size()];
        at = a.Flags & ctl::kAuxFlagMiddleOfTransaction ? at + a.DataSize : 0;
        return ctl::kSuccess;
    };
}

struct ControlLibraryFixture : ::testing::Test {
    platform::VirtualClock clock;
    ScriptedLibrary library;
    GfxLibControlLibrary gfx{library, clock};
    WText log;
    uint32_t deviceId = 0;
};

TEST_F(ControlLibraryFixture, LibraryResultsBecomeResultsOfTheirOwn) {
    std::array<uint8_t, 2> bytes{};
    EXPECT_EQ(gfx.NativeRead(1, 0x503, bytes), gfx::kNoInterface);  // not started
    ASSERT_EQ(gfx.Initialize(log), gfx::kOk);
    EXPECT_EQ(log, u"Graphics adapter initialization - Intel (Control Library): done!\r\n");
    EXPECT_EQ(library.initArgs.Size, 36u);
    EXPECT_EQ(library.initArgs.AppVersion, 0x10001u);
    EXPECT_EQ(library.initArgs.Version + library.initArgs.flags, 0u);
    ASSERT_EQ(gfx.FindDevice(deviceId, 0x6E, log), gfx::kNotSupported);  // no chip: outputs listed
    const struct {
        uint32_t deviceId;
        ctl::Result library;
        int32_t result;
    } cases[] = {
        {1, ctl::kSuccess, gfx::kOk},
        {4, 0x40010018, gfx::kLibraryCallFailed},
        {2, ctl::kInsufficientPermissions, gfx::kNotElevated},
        {0, ctl::kSuccess, gfx::kInvalidArgument},
        {5, ctl::kSuccess, gfx::kInvalidArgument},
    };
    for (const auto& c : cases) {
        library.respond = [&](uint32_t, ctl::AuxAccessArgs&) { return c.library; };
        EXPECT_EQ(gfx.NativeWrite(c.deviceId, 0x100, bytes), c.result);
        if (c.library != ctl::kSuccess) {
            EXPECT_EQ(gfx.LastLibraryResult(), c.library);
        }
    }
}

TEST_F(ControlLibraryFixture, StartFailuresAndRelease) {
    library.initResult = 0x40010001;
    EXPECT_EQ(gfx.Initialize(log), gfx::kInitFailed);
    EXPECT_EQ(library.unloads, 1);
    library.initResult = ctl::kSuccess;
    {
        GfxLibControlLibrary other(library, clock);
        ASSERT_EQ(other.Initialize(log), gfx::kOk);
        ASSERT_EQ(other.Initialize(log), gfx::kOk);  // the first handle closed, the library reloaded
        EXPECT_EQ(library.closes, 1);
    }
    EXPECT_EQ(library.closes, 2);
    EXPECT_EQ(library.unloads, 3);
    // A restart lets go of the earlier library before it loads the next, so the library's
    // process-wide state starts afresh.
    EXPECT_EQ(library.events, "LULULU");
}

// The output handles belong to the library they were listed from: after a restart a device
// number of the earlier search reaches nothing until the outputs are listed again.
TEST_F(ControlLibraryFixture, ARestartForgetsTheOutputsOfTheEarlierLibrary) {
    library.respond = ChipOnOutput(1);
    ASSERT_EQ(gfx.Initialize(log), gfx::kOk);
    ASSERT_EQ(gfx.FindDevice(deviceId, 0x6E, log), gfx::kOk);
    ASSERT_EQ(deviceId, 2u);
    ASSERT_EQ(gfx.Initialize(log), gfx::kOk);
    int reached = 0;
    library.respond = [&](uint32_t, ctl::AuxAccessArgs&) { return ++reached, ctl::kSuccess; };
    std::array<uint8_t, 1> byte{};
    EXPECT_EQ(gfx.NativeRead(deviceId, 0x000, byte), gfx::kInvalidArgument);
    EXPECT_EQ(reached, 0);
}

// What the library lists is taken as it says: fewer adapters filled in than announced, an
// adapter whose outputs cannot be listed (its result kept), and a search run again lists
// every output once. Before a start there is nothing to search, and the device number says so.
// A shrinking output list and a library without administrator rights are run end to end.
TEST_F(ControlLibraryFixture, FindDeviceProbesEveryOutputOfEveryAdapterInOrder) {
    const WText none = u"  ==> No available connection was found!\r\n";
    deviceId = 7;
    EXPECT_EQ(gfx.FindDevice(deviceId, 0x6E, log), gfx::kNotSupported);
    EXPECT_EQ(deviceId, 0u);
    EXPECT_EQ(log, none);
    const struct {
        std::vector<uint32_t> outputs;
        uint32_t adapterCountAsked;
        std::function<ctl::Result(uint32_t, ctl::AuxAccessArgs&)> respond;
        int32_t result;
        uint32_t deviceId;
        WText log;
        ctl::Result devices = ctl::kSuccess;
        bool countWritten = true;
        uint32_t adaptersFilled = 0;
        ctl::Result lastAdapterOutputs = ctl::kSuccess;
    } cases[] = {
        {{1, 2}, 0, ChipOnOutput(1 << 8 | 1), gfx::kOk, 3,
         u"  Output 1 = N/A (0x40010018)\r\n  Output 2 = N/A (0x40010018)\r\n  Output 3 = OK\r\n"},
        // No acknowledgement from a connection that takes the probe.
        {{1}, 0, [](uint32_t, ctl::AuxAccessArgs&) { return ctl::kSuccess; }, gfx::kNotSupported, 0,
         u"  Output 1 = N/A (0x0F)\r\n" + none},
        // Counts beyond reason are capped.
        {std::vector<uint32_t>(16, 0), 0xFFFFFFFF, ChipOnOutput(0), gfx::kNotSupported, 0, none},
        // No adapter list, or one whose count the library did not write: no output to probe.
        {{1}, 0, ChipOnOutput(0), gfx::kNotSupported, 0, u"  Adapters: N/A (0x40010018)\r\n" + none, 0x40010018},
        {{1}, 0, ChipOnOutput(0), gfx::kNotSupported, 0, none, ctl::kSuccess, false},
        {{1, 1, 1}, 0, ChipOnOutput(1 << 8), gfx::kNotSupported, 0, u"  Output 1 = N/A (0x40010018)\r\n" + none,
         ctl::kSuccess, true, 1},
        {{1, 1, 1}, 0, ChipOnOutput(0), gfx::kOk, 1, u"  Output 1 = OK\r\n", ctl::kSuccess, true, 0, 0x40010019},
    };
    for (const auto& c : cases) {
        library.outputsPerAdapter = c.outputs;
        library.adapterCountAsked = c.adapterCountAsked;
        library.devicesResult = c.devices;
        library.countWritten = c.countWritten;
        library.adaptersFilled = c.adaptersFilled;
        library.lastAdapterOutputsResult = c.lastAdapterOutputs;
        library.respond = c.respond;
        ASSERT_EQ(gfx.Initialize(log), gfx::kOk);
        for (int search = 0; search < 2; ++search) {
            deviceId = 99;
            EXPECT_EQ(gfx.FindDevice(deviceId, 0x6E, log), c.result);
            EXPECT_EQ(deviceId, c.deviceId);
            EXPECT_EQ(log, c.log);
        }
        if (c.lastAdapterOutputs != ctl::kSuccess) {
            EXPECT_EQ(gfx.LastLibraryResult(), c.lastAdapterOutputs);
        }
    }
}

// The selection on a simulated PC: a COM class or not, a Control Library or not. With a
// library that refuses the probe, the report is checked end to end.
TEST(SelectGfxLib, ReportsEachCandidateAndTheOneFound) {
    const WText head = u"Gfx Selection = 0\r\nNo available Gfx LIB! (1)\r\nNo available Gfx LIB! (2)\r\n";
    const WText comMissing = u"Graphics adapter initialization - Intel (LS-PCON): failed! (-2147221164)\r\n";
    const WText comDone = u"Graphics adapter initialization - Intel (LS-PCON): done!\r\n";
    const WText libDone = u"Graphics adapter initialization - Intel (Control Library): done!\r\n";
    const WText libMissing = u"Graphics adapter initialization - Intel (Control Library): ControlLib.dll not available!\r\n";
    const WText noDevice =
        u"  Device ID: 0x0C = N/A (0x18)\r\n  Device ID: 0x0D = N/A (0x18)\r\n  Device ID: 0x0E = N/A (0x18)\r\n"
        u"  Device ID: 0x0F = N/A (0x18)\r\n  ==> No available connection was found!\r\n";
    const struct {
        std::string fault;
        bool comClass, library;
        int32_t status;
        WText report, description;
        bool controlLibraryActive;
    } cases[] = {
        {"", true, true, kSelectFound, head + comDone, u"Intel (LS-PCON): 0x0C", false},
        {"", false, false, kSelectNoLibrary, head + comMissing + libMissing, u"N/A", false},
        // Candidate 4 starts the driver backend a second time.
        {"no-chip", true, false, kSelectNoConnection, head + comDone + noDevice + comDone + noDevice + libMissing,
         u"N/A", false},
        {"", false, true, kSelectFound, head + comMissing + libDone, u"Intel (Control Library): 0x01", true},
        {"controllib-init-fails", false, true, kSelectNoLibrary,
         head + comMissing + u"Graphics adapter initialization - Intel (Control Library): failed! (0x40010001)\r\n",
         u"N/A", false},
        {"no-chip", false, true, kSelectNoConnection,
         head + comMissing + libDone +
             u"  Output 1 = N/A (0x40010018)\r\n  Output 2 = N/A (0x40010018)\r\n  Output 3 = N/A (0x40010018)\r\n"
             u"  Output 4 = N/A (0x40010018)\r\n  ==> No available connection was found!\r\n",
         u"N/A", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault + (c.comClass ? " com" : "") + (c.library ? " library" : ""));
        sim::SimOptions options;
        std::string error;
        if (!c.fault.empty()) {
            ASSERT_TRUE(sim::ParseFault(c.fault, options.faults, error));
        }
        sim::TestBench bench(options);
        testing::TestSystem sys;
        platform::System system{bench.clock, sys.debug, sys.resources};
        ChipContext context(system, c.comClass ? bench.sim->Connector() : sys.connector,
                            c.library ? bench.sim->ControlLibrary() : sys.controlLibrary);
        WText report;
        EXPECT_EQ(SelectGfxLib(context, report), c.status);
        EXPECT_EQ(report, c.report);
        EXPECT_EQ(context.adapterDescription, c.description);
        // Without a connection there, the driver backend stays the active adapter.
        EXPECT_EQ(context.activeAdapter, c.controlLibraryActive ? static_cast<GfxLib*>(&context.controlLibraryBackend)
                                                                : &context.intelBackend);
    }
}

}  // namespace
}  // namespace kdx
