// A stand-in for Intel's Graphics Control Library (ControlLib.dll), for running the real
// KDX4610_update.exe under Wine against the simulated chip: installed as ControlLib.dll in
// the Wine prefix's system directory, it exports the five functions the updater calls and
// hands them to the simulated library of a chip simulator session (one adapter, four
// display outputs, the chip on the output --device-id names; every AUX access traced as
// the driver call with the command code it stands for).
//
// The session is configured as the fake COM driver's: a file of kdx4610-sim options named by
// the environment variable KDX_FAKE_CONTROLLIB_CFG, or else the DLL's path with ".cfg"
// (ControlLib.cfg beside an installed copy). The trace and the flash are saved when the
// process ends. With the fault no-controllib the DLL refuses to load, as if not installed.
#include <windows.h>

#include <algorithm>
#include <memory>

#include "platform/control_library.h"
#include "sim/comserver/fake_session.h"
#include "sim/options.h"

namespace {

namespace ctl = kdx::platform::ctl;

// The library's code when the simulator cannot be opened: the configuration is broken.
constexpr ctl::Result kNoSession = 0x40010002;

kdx::sim::fake::FakeSession g_session("kdx_fake_controllib", L"KDX_FAKE_CONTROLLIB_CFG");
using Locked = kdx::sim::fake::FakeSession::Locked;
std::unique_ptr<kdx::platform::ControlLibrary> g_library;

// With the lock held: the simulated library's functions, or null.
const ctl::Functions* FunctionsLocked() {
    if (g_library) return &g_library->Functions();
    kdx::sim::Session* session = g_session.GetLocked();
    if (!session) return nullptr;
    g_library = session->ControlLibrary().Load();
    return g_library ? &g_library->Functions() : nullptr;
}

template <typename... Args>
ctl::Result Call(ctl::Result (*ctl::Functions::*function)(Args...), Args... args) {
    const Locked lock(g_session);
    const ctl::Functions* functions = FunctionsLocked();
    return functions ? (functions->*function)(args...) : kNoSession;
}

// True when the configuration says the library is not installed.
bool ConfiguredAbsent() {
    std::vector<std::string> options;
    kdx::sim::SimOptions parsed;
    std::string error;
    return g_session.ReadOptions(options) && kdx::sim::ParseOptions(options, parsed, error) &&
           parsed.faults.noControlLibrary;
}

}  // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        g_session.SetModule(instance);
        DisableThreadLibraryCalls(instance);
        if (ConfiguredAbsent()) return FALSE;
    } else if (reason == DLL_PROCESS_DETACH) {
        // The updater frees the library when its run ends; the flash and the trace of the
        // whole run are saved here.
        {
            const Locked lock(g_session);
            g_library.reset();
        }
        g_session.Finish();
    }
    return TRUE;
}

ctl::Result ctlInit(ctl::InitArgs* args, ctl::ApiHandle* api) { return Call(&ctl::Functions::Init, args, api); }

ctl::Result ctlClose(ctl::ApiHandle api) { return Call(&ctl::Functions::Close, api); }

ctl::Result ctlEnumerateDevices(ctl::ApiHandle api, uint32_t* count, ctl::AdapterHandle* adapters) {
    return Call(&ctl::Functions::EnumerateDevices, api, count, adapters);
}

ctl::Result ctlEnumerateDisplayOutputs(ctl::AdapterHandle adapter, uint32_t* count, ctl::OutputHandle* outputs) {
    return Call(&ctl::Functions::EnumerateDisplayOutputs, adapter, count, outputs);
}

ctl::Result ctlAUXAccess(ctl::OutputHandle output, ctl::AuxAccessArgs* args) {
    return Call(&ctl::Functions::AuxAccess, output, args);
}

}  // extern "C"
