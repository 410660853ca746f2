// The running ISP driver's mailbox in the chip's DPCD address space.
//
// DPCD 0x40C points at a 12-byte window descriptor (command buffer address and size,
// reply buffer address and size, little-endian). The host posts a request block at the
// start of the command buffer and writes its length byte last; the driver picks it up,
// checks its check byte, and answers in the reply buffer. Block data go through the two
// halves of the command buffer, each announced by the count in its last byte (the flag),
// which the driver clears when it has taken the bytes.
//
// Replies carry a check byte that makes the sum of all their bytes 0 mod 256:
//   acknowledgement 03 0C F1, negative acknowledgement 03 0E EF,
//   flash identifier 05 1C idLow idHigh check,
//   ReadFlash data: count-prefixed packets of at most 15 bytes at 16-byte strides, holding
//   R (= bytes wanted + 3), 1B, the data and the check byte.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "sim/run_record.h"

namespace kdx::sim {

class SimChip;

class IspMailbox {
public:
    static constexpr uint32_t kWindowAddress = 0x30000;
    static constexpr uint32_t kDescriptorSize = 12;
    static constexpr uint32_t kCmdBufferAddr = 0x20000;
    static constexpr uint16_t kCmdBufferSize = 512;
    static constexpr uint32_t kReplyBufferAddr = 0x10000;
    static constexpr uint16_t kReplyBufferSize = 128;
    // Flash address of flash offset 0 in block headers.
    static constexpr uint32_t kFlashBase = 0x400000;
    static constexpr uint16_t kFlashId = 0x1346;
    static constexpr uint8_t kStuckFlag = 0xFF;

    static constexpr uint8_t kCodeWriteBlock = 0x10;
    static constexpr uint8_t kCodeEraseFlash = 0x19;
    static constexpr uint8_t kCodeReadFlash = 0x1B;
    static constexpr uint8_t kCodeGetFlashId = 0x1C;
    static constexpr uint8_t kCodeEndIsp = 0x20;
    static constexpr uint8_t kCodeAck = 0x0C;
    static constexpr uint8_t kCodeNak = 0x0E;

    explicit IspMailbox(SimChip& chip);

    // Lets the driver work through everything due up to now.
    void Service(int64_t nowNs);
    // Whether any byte of the range lies in the mailbox, and whether all do.
    bool Touches(uint32_t address, uint32_t length) const;
    bool Maps(uint32_t address, uint32_t length) const;
    void Read(uint32_t address, std::span<uint8_t> out, int64_t nowNs);
    void Write(uint32_t address, std::span<const uint8_t> data, int64_t nowNs);

    enum class Exit { None, EndIsp, PowerCut };
    // Set when the driver ends the ISP mode or the power fails: the chip restarts.
    Exit PendingExit() const { return exit_; }
    int64_t ExitNs() const { return exitNs_; }

    uint16_t CmdBufferSize() const { return cmdSize_; }

private:
    enum class State { Idle, AwaitHeader, AwaitUpper, AwaitLower, EndingIsp };
    // Work that takes time: at doneAt the flash operation is carried out and the reply
    // appears.
    struct Work {
        int64_t doneAtNs = 0;
        bool eraseAll = false;
        bool program = false;
        uint32_t offset = 0;
        std::vector<uint8_t> data;
        std::vector<uint8_t> reply;
        bool packets = false;
        bool isAck = false;
        bool powerCut = false;  // the power fails half way through the operation
        std::optional<Milestone> reached;
        bool latest = false;  // the milestone keeps the latest time, not the first
    };
    struct Block {
        uint32_t offset = 0;
        uint32_t length = 0;
        std::vector<uint8_t> bytes;  // upper half, then lower half: data and CRC field
    };

    bool Mapped(uint32_t address) const;
    uint8_t* Byte(uint32_t address);
    bool InCmdBuffer(uint32_t address) const;
    uint8_t FlagValue(int64_t flagOffset) const;
    bool FlagStuck(int64_t flagOffset) const;
    void ClearFlag(int64_t flagOffset);

    void TakeRequest(int64_t atNs);
    void TakeHeader(int64_t atNs);
    void TakeUpperHalf(int64_t atNs);
    void TakeLowerHalf(int64_t atNs);
    void Erase(int64_t atNs);
    void ReadFlash(uint32_t address, uint8_t count, int64_t atNs);
    void GetFlashId(int64_t atNs);
    void Finish(Work& work);
    void Answer(int64_t atNs, std::vector<uint8_t> reply, bool isAck);
    void Nak(int64_t atNs);
    void PutReply(std::span<const uint8_t> reply, bool packets);

    SimChip& chip_;
    uint16_t cmdSize_;
    std::vector<uint8_t> descriptor_;
    std::vector<uint8_t> cmd_;
    std::vector<uint8_t> reply_;
    int64_t lowFlagOffset_;   // may lie outside the buffer with a tiny command buffer
    int64_t highFlagOffset_;

    State state_ = State::Idle;
    std::optional<Work> work_;
    bool requestPosted_ = false;
    int64_t requestAtNs_ = 0;
    int64_t lowFlagAtNs_ = 0;
    int64_t highFlagAtNs_ = 0;
    Block block_;
    uint32_t nextOffset_ = 0;  // where the next block would follow the last one sent
    int64_t driverNs_ = 0;     // when the driver finished its last action
    uint32_t blockNumber_ = 0;  // of the block in progress, counted over the session
    uint32_t blockLength_ = 0;  // data bytes of the first block: the host's block size
    int64_t endDeadlineNs_ = 0;
    std::optional<int64_t> releasedAtNs_;
    Exit exit_ = Exit::None;
    int64_t exitNs_ = 0;
};

// Whether a native write is the body of the EndIsp request (20 01 25 after the length
// byte) at the default or the simulated command buffer.
bool IsEndIspBody(uint32_t address, std::span<const uint8_t> data);

}  // namespace kdx::sim
