// A simulated KDX4610 behind a simulated graphics driver, configured by the options of
// kdx4610-sim (--chip-id, --hw-rev, --fw-version, --reg-c802, --reg-8002, --device-id,
// --flash-in, --flash-out, --fault NAME[=VALUE], --chaos SEED[:RATE], --trace FILE, ...).
// kdx4610-sim runs the updater's workflow in-process against one; the Windows test driver
// (a COM server standing in for the graphics driver) hands each request record to one, the
// Windows test library (standing in for ControlLib.dll) each AUX access, and a Linux test
// library each open, pread, pwrite, ioctl and close of the device nodes.
#pragma once

#include <memory>
#include <span>
#include <string>

#include "platform/clock.h"
#include "platform/control_library.h"
#include "platform/dp_aux_system.h"
#include "platform/driver_interface.h"

namespace kdx::sim {

class Session {
public:
    virtual ~Session() = default;
    // The simulated driver, as the updater's backend connects to it.
    virtual platform::DriverConnector& Connector() = 0;
    // The simulated Control Library, as the updater's other backend loads it.
    virtual platform::ControlLibraryLoader& ControlLibrary() = 0;
    // The simulated Linux kernel's DP AUX and I2C nodes and their sysfs tree, as the
    // updater's Linux backend reaches them.
    virtual platform::DpAuxSystem& DpAux() = 0;
    // Ends the session: writes --flash-out and closes the trace.
    virtual void Finish() = 0;
};

// `clock` is the clock the updater runs on. With a VirtualClock the simulator moves it on
// by the modelled duration of every AUX transaction and flash operation; with the real
// clock it only reads it, so the chip becomes ready when real time has passed.
// Returns null and sets `error` for options it does not know or cannot use.
std::unique_ptr<Session> OpenSession(std::span<const std::string> options, platform::Clock& clock,
                                     platform::VirtualClock* virtualClock, std::string& error);

}  // namespace kdx::sim
