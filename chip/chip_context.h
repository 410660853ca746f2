// ChipContext: the per-run object that holds the active adapter and all chip-side state.
// One is embedded in the update dialog object and lives exactly as long as it.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "gfx/gfx_lib.h"
#include "gfx/gfx_lib_control_library.h"
#include "gfx/gfx_lib_intel_skylake.h"
#include "gfx/gfx_lib_linux_dp_aux.h"
#include "gfx/select_gfx_lib.h"
#include "platform/control_library.h"
#include "platform/dp_aux_system.h"
#include "platform/system.h"
#include "platform/wtext.h"

namespace kdx {

// The long stages of the ISP procedure, in their order.
enum class ProgressStage { DownloadIspDriver, ReadFlashId, EraseFlash, WriteFirmware };

// Progress of the long chip operations (driver download, flash ID and erase polling,
// block write). The update dialog implements it; silent mode has none.
class TarvikControlDelegate {
public:
    virtual void ReportProgress(int32_t current, int32_t total) = 0;
    // A stage begins; the reports that follow are its own. A view that shows one bar for
    // the whole procedure has nothing to do here.
    virtual void BeginStage(ProgressStage stage) { (void)stage; }

protected:
    ~TarvikControlDelegate() = default;
};

// Where the running ISP driver exposes its mailbox in the DPCD address space.
struct MailboxWindow {
    static constexpr uint32_t kDefaultCmdBufferAddr = 0x20000;
    static constexpr uint16_t kDefaultCmdBufferSize = 512;
    static constexpr uint32_t kDefaultReplyBufferAddr = 0x10000;
    static constexpr uint16_t kDefaultReplyBufferSize = 128;

    uint32_t windowAddress = 0;
    uint32_t cmdBufferAddr = kDefaultCmdBufferAddr;
    uint16_t cmdBufferSize = kDefaultCmdBufferSize;
    uint32_t replyBufferAddr = kDefaultReplyBufferAddr;
    uint16_t replyBufferSize = kDefaultReplyBufferSize;
    uint32_t lowFlagAddr = kDefaultCmdBufferAddr + kDefaultCmdBufferSize / 2 - 1;
    uint32_t highFlagAddr = kDefaultCmdBufferAddr + kDefaultCmdBufferSize - 1;
};

// Firmware families by the tag in the image trailer.
enum FirmwareFamilyCode : int32_t {
    kFamilyNotLoaded = -1,
    kFamilyTarvik = 0,
    kFamilyOlvane = 4,
    kFamilyZendra = 5,
    kFamilyUnknown = 254,
};

class ChipContext {
public:
    static constexpr size_t kScratchSize = 512;
    static constexpr size_t kPacketBufferSize = 528;
    static constexpr uint32_t kI2cAddress = 0x6E;
    static constexpr uint32_t kFlashBase = 0x400000;
    static constexpr uint16_t kIspLoadBase = 0x1800;
    static constexpr uint16_t kIspEntryAddress = 0x1800;

    ChipContext(platform::System& sys, platform::DriverConnector& connector,
                platform::ControlLibraryLoader& controlLibrary, platform::DpAuxSystem& dpAux = platform::SystemDpAux())
        : system(sys),
          intelBackend(connector, sys.clock),
          controlLibraryBackend(controlLibrary, sys.clock),
          linuxBackend(dpAux, sys.clock) {}
    ChipContext(const ChipContext&) = delete;
    ChipContext& operator=(const ChipContext&) = delete;

    platform::System& system;

    GfxLib* activeAdapter = nullptr;          // non-owning; bound by SelectGfxLib
    GfxLibIntelSkylake intelBackend;
    GfxLibControlLibrary controlLibraryBackend;  // tried when the driver backend finds no chip
    GfxLibLinuxDpAux linuxBackend;               // the kernel's AUX interfaces, on Linux
    // The libraries the selection tries, in order: the Windows program's unless a Linux
    // front end names the Linux one.
    std::span<const GfxCandidate> gfxCandidates = WindowsGfxCandidates();
    TarvikControlDelegate* progressSink = nullptr;  // non-owning; empty in silent mode

    std::array<uint8_t, kScratchSize> scratch{};
    std::array<uint8_t, kPacketBufferSize> packetBuffer{};

    // Images copied from the program's resources.
    std::vector<uint8_t> ispDriverImage;
    int32_t ispDriverLength = 0;
    size_t ispDriverCodeStart = 0;
    std::vector<uint8_t> firmwareImage;
    int32_t firmwareSize = 0;

    MailboxWindow mailbox;
    uint32_t imageVersion = 0;

    uint32_t gfxSelection = 0;
    uint32_t deviceId = 0;
    uint32_t i2cAddress = kI2cAddress;

    uint32_t flashBase = kFlashBase;
    uint16_t ispLoadBase = kIspLoadBase;
    uint16_t ispEntryAddress = kIspEntryAddress;

    uint32_t firmwareVersionValue = 0;

    int32_t FirmwareFamily = kFamilyNotLoaded;
    uint16_t topBlockVersion = 0;

    WText adapterDescription;
    uint16_t flashId = 0;

    // Reports progress to the sink, when there is one.
    void ReportProgress(int32_t current, int32_t total) {
        if (progressSink != nullptr) progressSink->ReportProgress(current, total);
    }
    void BeginStage(ProgressStage stage) {
        if (progressSink != nullptr) progressSink->BeginStage(stage);
    }
};

}  // namespace kdx
