// A stand-in for the graphics driver's external COM interface ("Igfxext.CUIExternal"),
// for running the real KDX4610_update.exe under Wine against the simulated chip.
//
// The object's method table has IUnknown at 0 to 2, methods 3 to 42 that this driver does
// not implement, and the two AUX transfer methods at 43 (read) and 44 (write), each taking
// (request selector, record size 160, record, status word). Every record goes to one chip
// simulator session per process, configured by a file of kdx4610-sim options: the path in
// the environment variable KDX_FAKE_GFX_DRIVER_CFG, or else kdx_fake_gfx_driver.cfg beside
// this DLL. The session writes its trace as kdx4610-sim does and saves the flash when the
// process ends.
#include <windows.h>

#include <olectl.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/driver_interface.h"
#include "sim/comserver/fake_session.h"

namespace {

// {6E1F4B2C-3A57-4D0B-9C8E-52A7D41F0B63}: this test driver's class. The updater never
// names it: it finds it through the ProgID.
constexpr CLSID kFakeDriverClsid = {0x6e1f4b2c, 0x3a57, 0x4d0b, {0x9c, 0x8e, 0x52, 0xa7, 0xd4, 0x1f, 0x0b, 0x63}};
// The driver interface the updater asks for.
constexpr IID kDriverInterfaceIid = {0xf932c038, 0x6484, 0x45ca, {0x8f, 0xa1, 0x7c, 0x8c, 0x27, 0x9f, 0x7a, 0xee}};
// The selector that names the AUX request service as the first argument of 43 and 44.
constexpr GUID kAuxRequestSelector = {0xc3e437b6, 0x53f9, 0x42aa, {0xa5, 0x40, 0x87, 0x1f, 0x1e, 0x10, 0x7d, 0xfd}};

constexpr wchar_t kProgId[] = L"Igfxext.CUIExternal";
constexpr wchar_t kClsidText[] = L"{6E1F4B2C-3A57-4D0B-9C8E-52A7D41F0B63}";
constexpr wchar_t kConfigVariable[] = L"KDX_FAKE_GFX_DRIVER_CFG";

// Driver status for a call whose arguments the driver refuses (wrong selector or size).
constexpr ULONG kStatusInvalidParameter = ERROR_INVALID_PARAMETER;

kdx::sim::fake::FakeSession g_session("kdx_fake_gfx_driver", kConfigVariable);
using Locked = kdx::sim::fake::FakeSession::Locked;

LONG g_objects = 0;
LONG g_serverLocks = 0;

// ---- The driver object -------------------------------------------------------------------

struct FakeDriver;

constexpr int kFirstFillerMethod = 3;
constexpr int kReadMethod = 43;
constexpr int kWriteMethod = 44;

using FillerMethod = HRESULT(STDMETHODCALLTYPE*)(FakeDriver*);
using TransferMethod = HRESULT(STDMETHODCALLTYPE*)(FakeDriver*, const GUID*, ULONG, BYTE*, ULONG*);

struct FakeDriverVtbl {
    HRESULT(STDMETHODCALLTYPE* QueryInterface)(FakeDriver*, REFIID, void**);
    ULONG(STDMETHODCALLTYPE* AddRef)(FakeDriver*);
    ULONG(STDMETHODCALLTYPE* Release)(FakeDriver*);
    FillerMethod unimplemented[kReadMethod - kFirstFillerMethod];
    TransferMethod Read;
    TransferMethod Write;
};
static_assert(offsetof(FakeDriverVtbl, Read) == kReadMethod * sizeof(void*));
static_assert(offsetof(FakeDriverVtbl, Write) == kWriteMethod * sizeof(void*));

struct FakeDriver {
    const FakeDriverVtbl* vtbl;
    LONG references;
    kdx::platform::DriverInterface* chip;  // the simulator's side of this connection
};

HRESULT STDMETHODCALLTYPE DriverQueryInterface(FakeDriver* self, REFIID iid, void** out) {
    if (!out) return E_POINTER;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, kDriverInterfaceIid)) {
        *out = nullptr;
        return E_NOINTERFACE;
    }
    InterlockedIncrement(&self->references);
    *out = self;
    return S_OK;
}

ULONG STDMETHODCALLTYPE DriverAddRef(FakeDriver* self) { return InterlockedIncrement(&self->references); }

ULONG STDMETHODCALLTYPE DriverRelease(FakeDriver* self) {
    const LONG left = InterlockedDecrement(&self->references);
    if (left != 0) return left;
    {
        const Locked lock(g_session);
        if (self->chip) self->chip->Release();
    }
    delete self;
    InterlockedDecrement(&g_objects);
    return 0;
}

HRESULT STDMETHODCALLTYPE DriverNotImplemented(FakeDriver*) { return E_NOTIMPL; }

HRESULT Transfer(FakeDriver* self, bool isRead, const GUID* selector, ULONG size, BYTE* record, ULONG* status) {
    if (!record || !status) return E_POINTER;
    if (!selector || !IsEqualGUID(*selector, kAuxRequestSelector) || size != kdx::platform::kAuxRecordSize) {
        *status = kStatusInvalidParameter;
        return E_INVALIDARG;
    }
    kdx::platform::AuxRecord copy;
    std::copy_n(record, copy.size(), copy.begin());
    uint32_t chipStatus = 0;
    HRESULT hr;
    {
        const Locked lock(g_session);
        hr = isRead ? self->chip->CallRead(copy, chipStatus) : self->chip->CallWrite(copy, chipStatus);
    }
    std::copy(copy.begin(), copy.end(), record);
    *status = chipStatus;
    return hr;
}

HRESULT STDMETHODCALLTYPE DriverRead(FakeDriver* self, const GUID* selector, ULONG size, BYTE* record,
                                     ULONG* status) {
    return Transfer(self, true, selector, size, record, status);
}

HRESULT STDMETHODCALLTYPE DriverWrite(FakeDriver* self, const GUID* selector, ULONG size, BYTE* record,
                                      ULONG* status) {
    return Transfer(self, false, selector, size, record, status);
}

constexpr FakeDriverVtbl MakeDriverVtbl() {
    FakeDriverVtbl v{};
    v.QueryInterface = DriverQueryInterface;
    v.AddRef = DriverAddRef;
    v.Release = DriverRelease;
    for (auto& method : v.unimplemented) method = DriverNotImplemented;
    v.Read = DriverRead;
    v.Write = DriverWrite;
    return v;
}
constexpr FakeDriverVtbl kDriverVtbl = MakeDriverVtbl();

HRESULT CreateDriver(REFIID iid, void** out) {
    *out = nullptr;
    kdx::platform::DriverInterface* chip = nullptr;
    {
        const Locked lock(g_session);
        kdx::sim::Session* session = g_session.GetLocked();
        if (!session) return E_FAIL;
        // The simulator answers as the driver would, including a refusal (a fault such as
        // no-driver), which goes back to the updater as CoCreateInstance's result.
        const int32_t hr = session->Connector().CreateInstance(chip);
        if (hr < 0 || !chip) return hr < 0 ? static_cast<HRESULT>(hr) : E_FAIL;
    }
    auto* driver = new (std::nothrow) FakeDriver{&kDriverVtbl, 1, chip};
    if (!driver) {
        const Locked lock(g_session);
        chip->Release();
        return E_OUTOFMEMORY;
    }
    InterlockedIncrement(&g_objects);
    const HRESULT hr = DriverQueryInterface(driver, iid, out);
    DriverRelease(driver);
    return hr;
}

// ---- The class factory -------------------------------------------------------------------

class ClassFactory final : public IClassFactory {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IClassFactory)) {
            *out = nullptr;
            return E_NOINTERFACE;
        }
        *out = static_cast<IClassFactory*>(this);
        return S_OK;
    }
    // One static factory: its references do not own it.
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        return CreateDriver(iid, out);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        if (lock) InterlockedIncrement(&g_serverLocks);
        else InterlockedDecrement(&g_serverLocks);
        return S_OK;
    }
};
ClassFactory g_factory;

// ---- Registration --------------------------------------------------------------------------

bool SetKeyValue(HKEY root, const std::wstring& key, const wchar_t* name, const std::wstring& value) {
    HKEY handle = nullptr;
    if (RegCreateKeyExW(root, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &handle, nullptr) != ERROR_SUCCESS)
        return false;
    const LONG r = RegSetValueExW(handle, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                  static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(handle);
    return r == ERROR_SUCCESS;
}

}  // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        g_session.SetModule(instance);
        DisableThreadLibraryCalls(instance);
    } else if (reason == DLL_PROCESS_DETACH) {
        // The updater releases the driver when its run ends but never uninitialises COM,
        // so this DLL stays loaded to the end of the process: the flash and the trace of
        // the whole run are saved here.
        g_session.Finish();
    }
    return TRUE;
}

HRESULT WINAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!IsEqualCLSID(clsid, kFakeDriverClsid)) return CLASS_E_CLASSNOTAVAILABLE;
    return g_factory.QueryInterface(iid, out);
}

// The simulated chip must outlive every connection (see g_session), so the DLL is never
// unloaded before the process ends.
HRESULT WINAPI DllCanUnloadNow() { return S_FALSE; }

// Registers the class for all users (HKEY_CLASSES_ROOT), in-process, usable from any
// apartment, so that the updater's CoCreateInstance loads it without marshalling.
HRESULT WINAPI DllRegisterServer() {
    const std::wstring clsidKey = std::wstring(L"CLSID\\") + kClsidText;
    const bool ok = SetKeyValue(HKEY_CLASSES_ROOT, kProgId, nullptr, L"Simulated KDX4610 graphics driver") &&
                    SetKeyValue(HKEY_CLASSES_ROOT, std::wstring(kProgId) + L"\\CLSID", nullptr, kClsidText) &&
                    SetKeyValue(HKEY_CLASSES_ROOT, clsidKey, nullptr, L"Simulated KDX4610 graphics driver") &&
                    SetKeyValue(HKEY_CLASSES_ROOT, clsidKey + L"\\ProgID", nullptr, kProgId) &&
                    SetKeyValue(HKEY_CLASSES_ROOT, clsidKey + L"\\InprocServer32", nullptr, g_session.ModulePath()) &&
                    SetKeyValue(HKEY_CLASSES_ROOT, clsidKey + L"\\InprocServer32", L"ThreadingModel", L"Both");
    return ok ? S_OK : SELFREG_E_CLASS;
}

HRESULT WINAPI DllUnregisterServer() {
    const std::wstring clsidKey = std::wstring(L"CLSID\\") + kClsidText;
    RegDeleteTreeW(HKEY_CLASSES_ROOT, kProgId);
    RegDeleteTreeW(HKEY_CLASSES_ROOT, clsidKey.c_str());
    return S_OK;
}

}  // extern "C"
