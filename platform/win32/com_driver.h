// The graphics driver's external COM interface as the updater calls it. The interface has
// no published header: the updater knows only the positions of the three methods it calls
// in the interface's method table and their arguments.
#pragma once

#include <cstdint>

#include "platform/driver_interface.h"

namespace kdx::platform::win32 {

// Positions in the method table (0 is QueryInterface).
inline constexpr int kReleaseMethod = 2;
inline constexpr int kReadMethod = 43;
inline constexpr int kWriteMethod = 44;

// Class context of the driver's class: in-process, local or remote server.
inline constexpr uint32_t kDriverClassContext = 0x15;

// Takes over one reference of a COM object that implements the driver's interface and
// returns it as a DriverInterface; the object is released by the wrapper's Release().
// Returns null for a null object.
DriverInterface* WrapDriverObject(void* comObject);

}  // namespace kdx::platform::win32
