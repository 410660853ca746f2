// The graphics driver's external interface, as far as the updater uses it: a COM object
// (ProgID "Igfxext.CUIExternal") with a read method and a write method that each carry one
// elementary AUX transfer as a 160-byte request record, and Release.
//
// On Windows the connector is COM (CoInitialize, CLSIDFromProgID, CoCreateInstance) and
// the methods are entries 43 and 44 of the interface's method table. On Linux there is no
// such driver: the system connector fails as a missing COM class does. The chip simulator
// provides a connector of its own.
#pragma once

#include <array>
#include <cstdint>

namespace kdx::platform {

inline constexpr uint32_t kAuxRecordSize = 160;
using AuxRecord = std::array<uint8_t, kAuxRecordSize>;

// HRESULT of a missing COM class (REGDB_E_CLASSNOTREG).
inline constexpr int32_t kClassNotRegistered = static_cast<int32_t>(0x80040154u);

class DriverInterface {
public:
    // Each returns an HRESULT and writes the driver's status word (0 done, 70 deferred,
    // 5 not supported, anything else the driver's own failure).
    virtual int32_t CallRead(AuxRecord& record, uint32_t& status) = 0;   // method 43
    virtual int32_t CallWrite(AuxRecord& record, uint32_t& status) = 0;  // method 44
    virtual void Release() = 0;

protected:
    ~DriverInterface() = default;
};

class DriverConnector {
public:
    virtual ~DriverConnector() = default;
    // CoInitialize, CLSIDFromProgID, CoCreateInstance: an HRESULT, and the interface in
    // `out` when it is not negative (null otherwise).
    virtual int32_t CreateInstance(DriverInterface*& out) = 0;
};

DriverConnector& SystemDriverConnector();

}  // namespace kdx::platform
