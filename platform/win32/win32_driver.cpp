// The graphics driver's external interface over COM: the class registered under the
// ProgID "Igfxext.CUIExternal", and the two methods that each carry one AUX transfer.
#include <windows.h>
#include <objbase.h>

#include "platform/driver_interface.h"
#include "platform/win32/com_driver.h"

namespace kdx::platform {

namespace {

// The interface the driver's class is asked for.
constexpr IID kDriverInterfaceId = {0xF932C038, 0x6484, 0x45CA, {0x8F, 0xA1, 0x7C, 0x8C, 0x27, 0x9F, 0x7A, 0xEE}};
// First argument of both transfer methods: selects the AUX request among the driver's
// many request kinds.
constexpr GUID kAuxRequestSelector = {0xC3E437B6, 0x53F9, 0x42AA, {0xA5, 0x40, 0x87, 0x1F, 0x1E, 0x10, 0x7D, 0xFD}};

using TransferMethod = HRESULT(STDMETHODCALLTYPE*)(void* self, const GUID* selector, ULONG recordSize,
                                                   BYTE* record, ULONG* status);
using ReleaseMethod = ULONG(STDMETHODCALLTYPE*)(void* self);

class ComDriverInterface final : public DriverInterface {
public:
    explicit ComDriverInterface(void* object) : object_(object) {}

    int32_t CallRead(AuxRecord& record, uint32_t& status) override {
        return Transfer(win32::kReadMethod, record, status);
    }
    int32_t CallWrite(AuxRecord& record, uint32_t& status) override {
        return Transfer(win32::kWriteMethod, record, status);
    }
    void Release() override {
        reinterpret_cast<ReleaseMethod>(Method(win32::kReleaseMethod))(object_);
        delete this;
    }

private:
    ~ComDriverInterface() = default;

    void* Method(int index) const { return (*static_cast<void* const* const*>(object_))[index]; }

    int32_t Transfer(int index, AuxRecord& record, uint32_t& status) {
        static_assert(sizeof(ULONG) == sizeof(uint32_t));
        ULONG word = status;
        const HRESULT hr = reinterpret_cast<TransferMethod>(Method(index))(
            object_, &kAuxRequestSelector, static_cast<ULONG>(record.size()), record.data(), &word);
        status = word;
        return hr;
    }

    void* object_;
};

class ComDriverConnector final : public DriverConnector {
public:
    // COM is initialised on every start and never uninitialised: the interface lives until
    // the process ends. A ProgID that is not registered fails here with its own HRESULT.
    int32_t CreateInstance(DriverInterface*& out) override {
        out = nullptr;
        CoInitialize(nullptr);
        CLSID clsid{};
        const HRESULT lookup = CLSIDFromProgID(L"Igfxext.CUIExternal", &clsid);
        if (FAILED(lookup)) return lookup;
        void* object = nullptr;
        const HRESULT hr = CoCreateInstance(clsid, nullptr, win32::kDriverClassContext, kDriverInterfaceId, &object);
        if (FAILED(hr)) return hr;
        out = win32::WrapDriverObject(object);
        return hr;
    }
};

}  // namespace

DriverInterface* win32::WrapDriverObject(void* comObject) {
    if (comObject == nullptr) return nullptr;
    return new ComDriverInterface(comObject);
}

DriverConnector& SystemDriverConnector() {
    static ComDriverConnector connector;
    return connector;
}

}  // namespace kdx::platform
