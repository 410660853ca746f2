// The simulated KDX4610 on one display connection: what it answers over the AUX channel
// in normal operation (the command port, the DPCD branch identification block), its ISP
// loader (entry commands, driver download into on-chip RAM, start), the ISP driver's
// mailbox once the downloaded driver runs, its flash, and its restarts: after EndIsp or a
// power cut the chip boots what the flash holds.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "sim/ddc_port.h"
#include "sim/faults.h"
#include "sim/flash.h"
#include "sim/run_record.h"

namespace kdx::sim {

class IspMailbox;

// How a transfer ended on the wire: the sink acknowledged it, answered NACK (nothing at
// that address), DEFER (not ready), or did not answer at all.
enum class AuxReply { Ack, Nack, Defer, Silent };

// What the chip reports in its branch identification block besides the version.
struct ChipIdentity {
    std::array<uint8_t, 6> id{};
    uint8_t hwRev = 0;
};

// The application firmware of the KDX4610 on this silicon.
inline constexpr ChipIdentity kApplicationIdentity{{'K', 'X', '4', '6', '1', '0'}, 0x22};
// The chip's internal ROM, run when the flash holds no complete image: an identification
// string that no firmware uses and the next revision nibble. Its version is 1.0.
inline constexpr ChipIdentity kIromIdentity{{0, 0, 0, 0, 0, 0}, 0x23};

// Whether an identification string is one that firmware in the flash reports (the Tarvik
// applications and the boot code); any other string means the chip runs its internal ROM.
bool IsFirmwareId(const std::array<uint8_t, 6>& id);

struct ChipConfig {
    ChipIdentity application = kApplicationIdentity;  // while the flash holds a complete image
    ChipIdentity irom = kIromIdentity;                // otherwise
    uint16_t regC802 = 0;
    uint16_t reg8002 = 0;
    std::vector<uint8_t> ispDriverCode;  // what the start command must find at the load base
    uint32_t imageSize = 0;              // size of the image the updater writes
    Faults faults;
};

struct FirmwareVersion {
    uint8_t major = 0, minor = 0, third = 0;
};

// The version a Tarvik image carries in its trailer: minor, major and third byte 20 bytes
// before its end, or 20 bytes below its 8 KiB top block when the top-block marker is set.
FirmwareVersion ImageVersion(std::span<const uint8_t> image);
// The same image with another version in its trailer.
std::vector<uint8_t> WithVersion(std::span<const uint8_t> image, FirmwareVersion version);

class SimChip final : private DdcPort::Handler {
public:
    static constexpr FirmwareVersion kIromVersion{1, 0, 0};

    static constexpr uint16_t kRegFamily = 0xC802;
    static constexpr uint16_t kRegVariant = 0x8002;
    // The branch identification block, in the DPCD and as a copy in chip memory.
    static constexpr uint32_t kDpcdBranchBlock = 0x503;
    static constexpr uint32_t kMemoryBranchBlock = 0x1B503;
    static constexpr uint32_t kBranchBlockSize = 10;
    // The DPCD window address register of the running ISP driver (3 bytes, little-endian).
    static constexpr uint32_t kDpcdWindowPointer = 0x40C;
    // The DPCD registers of the standard range; beyond it only the ISP mailbox answers.
    static constexpr uint32_t kDpcdStandardEnd = 0x1000;
    // On-chip RAM the ISP driver is downloaded into, and where it must start.
    static constexpr uint32_t kRamSize = 0x10000;
    static constexpr uint16_t kIspLoadBase = 0x1800;

    SimChip(ChipConfig config, RunRecord& record);
    ~SimChip();

    // A flash content that the boot code accepts as a complete image (the boot code's
    // integrity check is modelled as: the flash equals one of these).
    void AddWholeImage(std::span<const uint8_t> image);
    void LoadFlash(std::span<const uint8_t> content) { flash_.Load(content); }
    // Restarts the chip: RAM and ISP state are lost, the flash is kept and booted.
    void Boot();

    // Puts the chip where a complete ISP entry, driver download and start leave it: the ISP
    // driver runs and its mailbox answers from `upAtNs` on. The start command does this once
    // the driver is up; tests of the mailbox alone start here.
    void RunIspDriver(int64_t upAtNs);

    // Lets the ISP driver work through what is due by now and carries out a restart it
    // asks for. Every transfer does this first; between runs the simulator does it alone.
    void Service(int64_t nowNs);

    AuxReply I2cWrite(uint32_t address, std::span<const uint8_t> data, bool endsTransaction, int64_t nowNs);
    // `count` is how many bytes an acknowledged read delivers: fewer than asked when the
    // read runs past the end of the pending reply and the chip answers that part short.
    AuxReply I2cRead(uint32_t address, std::span<uint8_t> out, bool endsTransaction, int64_t nowNs, size_t& count);
    AuxReply NativeWrite(uint32_t address, std::span<const uint8_t> data, int64_t nowNs);
    AuxReply NativeRead(uint32_t address, std::span<uint8_t> out, int64_t nowNs);

    // The next acknowledgement the chip or its ISP driver gives is lost (chaos).
    void DropNextAck() { dropNextAck_ = true; }
    bool TakeDroppedAck();

    const Flash& FlashMemory() const { return flash_; }
    Flash& FlashMemory() { return flash_; }
    const Faults& ChipFaults() const { return config_.faults; }
    RunRecord& Record() { return record_; }
    uint32_t ImageSize() const { return config_.imageSize; }
    // Blocks sent over the whole session, counting this one (faults that name the K-th).
    uint32_t CountBlockSent() { return ++sessionBlocksSent_; }
    // True exactly once when power-cut-at-erase is set.
    bool TakePowerCutAtErase();

    // What the chip executes now: what it booted (its application or internal ROM) or, in
    // ISP mode, its ISP loader, the downloaded ISP driver, or stray code after a start
    // command that found no complete driver.
    enum class Running { Application, InternalRom, IspLoader, IspDriver, StrayCode };
    Running NowRunning() const;
    static const char* RunningText(Running running);
    // Only a restart (EndIsp taken by the ISP driver, or a power cycle) leaves ISP mode.
    bool InIspMode() const;
    // Whether a restart now would boot the application: the flash holds a complete image.
    bool FlashBootsApplication() const;

    // What the chip booted at its last restart; its identification block reports that.
    bool RunsApplication() const { return runsApplication_; }
    FirmwareVersion Version() const { return version_; }
    std::array<uint8_t, kBranchBlockSize> BranchBlock() const;

private:
    enum class Stage { Normal, EntryArmed, IspLoader, DriverRunning, Hung };
    struct WholeImage {
        std::vector<uint8_t> flash;
        FirmwareVersion version;
    };

    const WholeImage* BootableImage() const;
    void OnCommand(uint8_t opcode, std::span<const uint8_t> args, int64_t nowNs) override;
    void PostAck(int64_t readyAtNs, bool dropped);
    void Post(uint8_t opcode, std::span<const uint8_t> payload, int64_t readyAtNs);
    void StoreChunk(uint16_t address, std::span<const uint8_t> code, int64_t nowNs);
    void StartDriver(uint16_t address, int64_t nowNs);
    bool DriverInRam() const;
    uint8_t MemoryByte(uint32_t address) const;
    uint16_t Register(uint16_t address) const;
    bool MailboxUp(int64_t nowNs) const;

    ChipConfig config_;
    RunRecord& record_;
    DdcPort port_;
    Flash flash_;
    std::vector<WholeImage> wholeImages_;

    bool runsApplication_ = false;
    FirmwareVersion version_;
    Stage stage_ = Stage::Normal;
    std::vector<uint8_t> ram_;
    std::vector<uint8_t> ramWritten_;
    uint32_t ramWrittenCount_ = 0;
    uint32_t chunksThisDownload_ = 0;
    int64_t lastChunkNs_ = 0;
    std::unique_ptr<IspMailbox> mailbox_;
    int64_t mailboxUpNs_ = 0;

    bool dropNextAck_ = false;
    uint32_t sessionBlocksSent_ = 0;
    bool powerCutAtEraseDone_ = false;
};

}  // namespace kdx::sim
