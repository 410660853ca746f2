// Intel's Graphics Control Library (ControlLib.dll), as far as the updater uses it: five
// exported C functions that start the library, list the graphics adapters and their
// display outputs, and carry one DisplayPort AUX access each. All return a 32-bit result,
// 0 for success; handles are opaque pointers. The records below are laid out as the
// library's x86-64 C interface has them (natural alignment).
//
// On Windows the loader loads the DLL from the system directory only. On Linux there is
// no such library: the system loader always fails. The chip simulator provides a loader
// of its own whose functions drive the simulated chip.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace kdx::platform {

namespace ctl {

using Result = uint32_t;
using ApiHandle = struct ApiObject*;
using AdapterHandle = struct AdapterObject*;
using OutputHandle = struct OutputObject*;

inline constexpr Result kSuccess = 0;
// The library lets only administrators write to the AUX channel.
inline constexpr Result kInsufficientPermissions = 0x40000006;

// API version 1.1 in the form the library takes it: major << 16 | minor.
inline constexpr uint32_t kApiVersion = (1u << 16) | 1u;

struct InitArgs {
    uint32_t Size;
    uint8_t Version;
    uint32_t AppVersion;
    uint32_t flags;
    uint32_t SupportedVersion;  // written by the library
    uint8_t ApplicationUID[16];
};
static_assert(sizeof(InitArgs) == 36);
static_assert(offsetof(InitArgs, AppVersion) == 8 && offsetof(InitArgs, SupportedVersion) == 16 &&
              offsetof(InitArgs, ApplicationUID) == 20);

inline constexpr int32_t kAuxRead = 1;
inline constexpr int32_t kAuxWrite = 2;
inline constexpr uint32_t kAuxFlagNative = 1u << 0;
inline constexpr uint32_t kAuxFlagI2c = 1u << 1;
inline constexpr uint32_t kAuxFlagMiddleOfTransaction = 1u << 2;
inline constexpr size_t kAuxDataCapacity = 132;

struct AuxAccessArgs {
    uint32_t Size;
    uint8_t Version;
    int32_t OpType;
    uint32_t Flags;
    uint32_t Address;
    uint64_t RAD;  // relative address of a branch device: 0, the output's own sink
    uint32_t PortID;
    uint32_t DataSize;
    uint8_t Data[kAuxDataCapacity];
};
static_assert(sizeof(AuxAccessArgs) == 176);
static_assert(offsetof(AuxAccessArgs, OpType) == 8 && offsetof(AuxAccessArgs, Address) == 16 &&
              offsetof(AuxAccessArgs, RAD) == 24 && offsetof(AuxAccessArgs, PortID) == 32 &&
              offsetof(AuxAccessArgs, DataSize) == 36 && offsetof(AuxAccessArgs, Data) == 40);

// The five exports, with the library's C calling convention (the only one on x86-64
// Windows). The enumerations take a null array to report the count.
struct Functions {
    Result (*Init)(InitArgs* args, ApiHandle* api);
    Result (*Close)(ApiHandle api);
    Result (*EnumerateDevices)(ApiHandle api, uint32_t* count, AdapterHandle* adapters);
    Result (*EnumerateDisplayOutputs)(AdapterHandle adapter, uint32_t* count, OutputHandle* outputs);
    Result (*AuxAccess)(OutputHandle output, AuxAccessArgs* args);
};

// Export names, in the order of Functions.
inline constexpr const char* kExportNames[] = {"ctlInit", "ctlClose", "ctlEnumerateDevices",
                                               "ctlEnumerateDisplayOutputs", "ctlAUXAccess"};

}  // namespace ctl

// A loaded library: its functions stay callable while the object lives; destroying it
// unloads the library.
class ControlLibrary {
public:
    virtual ~ControlLibrary() = default;
    virtual const ctl::Functions& Functions() const = 0;
};

class ControlLibraryLoader {
public:
    virtual ~ControlLibraryLoader() = default;
    // Null when the library or one of its five exports is missing.
    virtual std::unique_ptr<ControlLibrary> Load() = 0;
};

// ControlLib.dll from the system directory (Windows); never found on Linux.
ControlLibraryLoader& SystemControlLibraryLoader();

}  // namespace kdx::platform
