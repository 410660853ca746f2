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
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/driver_interface.h"
#include "sim/comserver/driver_config.h"
#include "sim/session.h"
#include "sim/timing.h"

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

// Offset of the record's length field (data bytes of the transfer).
constexpr size_t kLengthOffset = 20;
constexpr uint32_t kMaxTransferBytes = 16;

// Driver status for a call whose arguments the driver refuses (wrong selector or size).
constexpr ULONG kStatusInvalidParameter = ERROR_INVALID_PARAMETER;

HMODULE g_module = nullptr;
SRWLOCK g_lock = SRWLOCK_INIT;
// The simulated chip lives as long as the process: the updater may connect more than once
// in one run (two adapter candidates share this driver), and the chip keeps its ISP mode
// and its flash across connections as the hardware does.
std::unique_ptr<kdx::sim::Session> g_session;
bool g_sessionFailed = false;

class Locked {
public:
    Locked() { AcquireSRWLockExclusive(&g_lock); }
    ~Locked() { ReleaseSRWLockExclusive(&g_lock); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;
};

void ReportError(const std::string& text) {
    // Standard error reaches the terminal under Wine; the debugger output is kept for the
    // updater's own messages, which the tests count.
    std::fprintf(stderr, "kdx_fake_gfx_driver: %s\n", text.c_str());
    std::fflush(stderr);
}

std::wstring ModulePath() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(g_module, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) return {};
        if (n < path.size()) {
            path.resize(n);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

std::wstring ConfigPath() {
    std::wstring fromEnvironment(32768, L'\0');
    const DWORD n = GetEnvironmentVariableW(kConfigVariable, fromEnvironment.data(),
                                            static_cast<DWORD>(fromEnvironment.size()));
    if (n > 0 && n < fromEnvironment.size()) {
        fromEnvironment.resize(n);
        return fromEnvironment;
    }
    std::wstring path = ModulePath();
    const size_t dot = path.find_last_of(L".\\/");
    if (dot != std::wstring::npos && path[dot] == L'.') path.resize(dot);
    return path + L".cfg";
}

std::string Narrow(const std::wstring& text) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0,
                                      nullptr, nullptr);
    std::string out(n > 0 ? n : 0, '\0');
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), out.data(), n, nullptr,
                                   nullptr);
    return out;
}

bool ReadFileBytes(const std::wstring& path, std::string& bytes) {
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    bytes.clear();
    char chunk[4096];
    DWORD got = 0;
    bool ok = true;
    while ((ok = ReadFile(file, chunk, sizeof chunk, &got, nullptr)) && got > 0) bytes.append(chunk, got);
    CloseHandle(file);
    return ok;
}

// Called with g_lock held.
kdx::sim::Session* SessionLocked() {
    if (g_session || g_sessionFailed) return g_session.get();
    g_sessionFailed = true;

    const std::wstring path = ConfigPath();
    std::string text;
    if (!ReadFileBytes(path, text)) {
        ReportError("cannot read the configuration " + Narrow(path));
        return nullptr;
    }
    const std::vector<std::string> options = kdx::sim::ParseDriverConfig(text);
    std::string error;
    // The updater paces the chip with the real performance counter and real sleeps, so the
    // simulated chip runs on real time too.
    g_session = kdx::sim::OpenSession(options, kdx::platform::SystemClock(), nullptr, error);
    if (!g_session) {
        ReportError(Narrow(path) + ": " + error);
        return nullptr;
    }
    g_sessionFailed = false;
    return g_session.get();
}

void FinishSession() {
    const Locked lock;
    if (!g_session) return;
    g_session->Finish();
    g_session.reset();
}

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
        const Locked lock;
        if (self->chip) self->chip->Release();
    }
    delete self;
    InterlockedDecrement(&g_objects);
    return 0;
}

HRESULT STDMETHODCALLTYPE DriverNotImplemented(FakeDriver*) { return E_NOTIMPL; }

// A real driver's call returns only when its AUX transaction is over. The simulator on the
// real clock models the chip's own latencies but not the channel, so the call is held here
// for the modelled time on the wire and the driver's own cost; without it the updater's
// polls, counted rather than timed, would run out long before the chip could answer.
class AuxTransactionTime {
public:
    explicit AuxTransactionTime(const BYTE* record) {
        uint32_t length = 0;
        std::memcpy(&length, record + kLengthOffset, sizeof length);
        durationNs_ = kdx::sim::AuxWireTimeNs(std::min(length, kMaxTransferBytes)) + kdx::sim::kDriverCallCostNs;
        QueryPerformanceCounter(&start_);
    }
    ~AuxTransactionTime() {
        LARGE_INTEGER frequency, now;
        QueryPerformanceFrequency(&frequency);
        const int64_t ticks = durationNs_ * frequency.QuadPart / 1'000'000'000;
        do {
            QueryPerformanceCounter(&now);
        } while (now.QuadPart - start_.QuadPart < ticks);
    }
    AuxTransactionTime(const AuxTransactionTime&) = delete;
    AuxTransactionTime& operator=(const AuxTransactionTime&) = delete;

private:
    int64_t durationNs_;
    LARGE_INTEGER start_;
};

HRESULT Transfer(FakeDriver* self, bool isRead, const GUID* selector, ULONG size, BYTE* record, ULONG* status) {
    if (!record || !status) return E_POINTER;
    if (!selector || !IsEqualGUID(*selector, kAuxRequestSelector) || size != kdx::platform::kAuxRecordSize) {
        *status = kStatusInvalidParameter;
        return E_INVALIDARG;
    }
    const AuxTransactionTime onTheWire(record);
    kdx::platform::AuxRecord copy;
    std::copy_n(record, copy.size(), copy.begin());
    uint32_t chipStatus = 0;
    HRESULT hr;
    {
        const Locked lock;
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
        const Locked lock;
        kdx::sim::Session* session = SessionLocked();
        if (!session) return E_FAIL;
        // The simulator answers as the driver would, including a refusal (a fault such as
        // no-driver), which goes back to the updater as CoCreateInstance's result.
        const int32_t hr = session->Connector().CreateInstance(chip);
        if (hr < 0 || !chip) return hr < 0 ? static_cast<HRESULT>(hr) : E_FAIL;
    }
    auto* driver = new (std::nothrow) FakeDriver{&kDriverVtbl, 1, chip};
    if (!driver) {
        const Locked lock;
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
        g_module = instance;
        DisableThreadLibraryCalls(instance);
    } else if (reason == DLL_PROCESS_DETACH) {
        // The updater releases the driver when its run ends but never uninitialises COM,
        // so this DLL stays loaded to the end of the process: the flash and the trace of
        // the whole run are saved here.
        FinishSession();
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
                    SetKeyValue(HKEY_CLASSES_ROOT, clsidKey + L"\\InprocServer32", nullptr, ModulePath()) &&
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
