#include "sim/isp_mailbox.h"

#include <algorithm>

#include "sim/chip.h"
#include "sim/timing.h"

namespace kdx::sim {

namespace {

void PutLe(std::vector<uint8_t>& out, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// Appends the check byte that makes the sum of all bytes of a reply 0 mod 256.
std::vector<uint8_t> WithCheck(std::vector<uint8_t> reply) {
    uint8_t sum = 0;
    for (uint8_t b : reply) sum = static_cast<uint8_t>(sum + b);
    reply.push_back(static_cast<uint8_t>(0x100 - sum));
    return reply;
}

const std::vector<uint8_t> kAck = WithCheck({0x03, IspMailbox::kCodeAck});
const std::vector<uint8_t> kNak = WithCheck({0x03, IspMailbox::kCodeNak});

constexpr uint8_t kEraseWholeChip[] = {0xFF, 0xA2};
constexpr uint8_t kEndIspParameter = 0x01;
constexpr uint32_t kPacketStride = 16;
constexpr uint32_t kPacketPayload = 15;
constexpr uint8_t kHeaderCount = 8;

}  // namespace

bool IsEndIspBody(uint32_t address, std::span<const uint8_t> data) {
    return address == IspMailbox::kCmdBufferAddr + 1 && data.size() == 3 && data[0] == IspMailbox::kCodeEndIsp &&
           data[1] == kEndIspParameter && data[2] == 0x25;
}

IspMailbox::IspMailbox(SimChip& chip)
    : chip_(chip),
      cmdSize_(chip.ChipFaults().cmdBufferSizeSet ? chip.ChipFaults().cmdBufferSize : kCmdBufferSize),
      cmd_(cmdSize_, 0),
      reply_(kReplyBufferSize, 0),
      lowFlagOffset_(static_cast<int64_t>(cmdSize_ / 2) - 1),
      highFlagOffset_(static_cast<int64_t>(cmdSize_) - 1) {
    PutLe(descriptor_, kCmdBufferAddr, 4);
    PutLe(descriptor_, cmdSize_, 2);
    PutLe(descriptor_, kReplyBufferAddr, 4);
    PutLe(descriptor_, chip.ChipFaults().replySizeZero ? 0 : kReplyBufferSize, 2);
}

bool IspMailbox::Mapped(uint32_t address) const {
    return (address >= kWindowAddress && address - kWindowAddress < descriptor_.size()) || InCmdBuffer(address) ||
           (address >= kReplyBufferAddr && address - kReplyBufferAddr < reply_.size());
}

uint8_t* IspMailbox::Byte(uint32_t address) {
    if (address >= kWindowAddress && address - kWindowAddress < descriptor_.size())
        return &descriptor_[address - kWindowAddress];
    if (InCmdBuffer(address)) return &cmd_[address - kCmdBufferAddr];
    if (address >= kReplyBufferAddr && address - kReplyBufferAddr < reply_.size())
        return &reply_[address - kReplyBufferAddr];
    return nullptr;
}

bool IspMailbox::Touches(uint32_t address, uint32_t length) const {
    for (uint32_t i = 0; i < length; ++i)
        if (Mapped(address + i)) return true;
    return false;
}

bool IspMailbox::Maps(uint32_t address, uint32_t length) const {
    for (uint32_t i = 0; i < length; ++i)
        if (!Mapped(address + i)) return false;
    return true;
}

bool IspMailbox::InCmdBuffer(uint32_t address) const {
    return address >= kCmdBufferAddr && address - kCmdBufferAddr < cmd_.size();
}

bool IspMailbox::FlagStuck(int64_t flagOffset) const {
    const Faults& f = chip_.ChipFaults();
    return (f.flagStuckLow && flagOffset == lowFlagOffset_) || (f.flagStuckHigh && flagOffset == highFlagOffset_);
}

uint8_t IspMailbox::FlagValue(int64_t flagOffset) const {
    if (flagOffset < 0 || static_cast<size_t>(flagOffset) >= cmd_.size()) return 0;
    return FlagStuck(flagOffset) ? kStuckFlag : cmd_[static_cast<size_t>(flagOffset)];
}

void IspMailbox::ClearFlag(int64_t flagOffset) {
    if (flagOffset >= 0 && static_cast<size_t>(flagOffset) < cmd_.size()) cmd_[static_cast<size_t>(flagOffset)] = 0;
}

void IspMailbox::Read(uint32_t address, std::span<uint8_t> out, int64_t nowNs) {
    for (uint32_t i = 0; i < out.size(); ++i) {
        const uint32_t a = address + i;
        const uint8_t* b = Byte(a);
        if (b == nullptr) out[i] = 0;
        else out[i] = InCmdBuffer(a) && FlagStuck(a - kCmdBufferAddr) ? kStuckFlag : *b;
    }
    if (address < kWindowAddress + kDescriptorSize && address + out.size() > kWindowAddress)
        chip_.Record().Reach(Milestone::WindowRead, nowNs);
}

void IspMailbox::Write(uint32_t address, std::span<const uint8_t> data, int64_t nowNs) {
    for (uint32_t i = 0; i < data.size(); ++i) {
        const uint32_t a = address + i;
        uint8_t* b = Byte(a);
        if (b == nullptr || (InCmdBuffer(a) && FlagStuck(a - kCmdBufferAddr))) continue;
        *b = data[i];
        if (InCmdBuffer(a)) {
            const int64_t offset = a - kCmdBufferAddr;
            // The length byte of a request, written last, posts it; while a block is under
            // way the same byte carries block data and posts nothing.
            if (offset == 0 && data[i] != 0 && state_ == State::Idle) {
                requestPosted_ = true;
                requestAtNs_ = nowNs;
            }
            if (offset == lowFlagOffset_ && data[i] != 0) lowFlagAtNs_ = nowNs;
            if (offset == highFlagOffset_ && data[i] != 0) highFlagAtNs_ = nowNs;
        } else if (a == kReplyBufferAddr && data[i] == 0 && state_ == State::EndingIsp) {
            releasedAtNs_ = nowNs;
        }
    }
}

void IspMailbox::Service(int64_t nowNs) {
    for (;;) {
        if (exit_ != Exit::None) return;
        if (work_) {
            if (nowNs < work_->doneAtNs) return;
            Work work = std::move(*work_);
            work_.reset();
            Finish(work);
            continue;
        }
        const auto due = [&](int64_t eventNs) { return std::max(eventNs + kMailboxPickupNs, driverNs_); };
        switch (state_) {
            case State::Idle:
                if (!requestPosted_ || nowNs < due(requestAtNs_)) return;
                requestPosted_ = false;
                TakeRequest(due(requestAtNs_));
                continue;
            case State::AwaitHeader:
                if (FlagValue(lowFlagOffset_) == 0 || FlagStuck(lowFlagOffset_) || nowNs < due(lowFlagAtNs_)) return;
                TakeHeader(due(lowFlagAtNs_));
                continue;
            case State::AwaitUpper:
                if (FlagValue(highFlagOffset_) == 0 || FlagStuck(highFlagOffset_) || nowNs < due(highFlagAtNs_))
                    return;
                TakeUpperHalf(due(highFlagAtNs_));
                continue;
            case State::AwaitLower:
                if (FlagValue(lowFlagOffset_) == 0 || FlagStuck(lowFlagOffset_) || nowNs < due(lowFlagAtNs_)) return;
                TakeLowerHalf(due(lowFlagAtNs_));
                continue;
            case State::EndingIsp: {
                const int64_t resetNs =
                    releasedAtNs_ ? std::min(*releasedAtNs_ + kEndIspResetDelayNs, endDeadlineNs_) : endDeadlineNs_;
                if (nowNs < resetNs) return;
                exit_ = Exit::EndIsp;
                exitNs_ = resetNs;
                return;
            }
        }
    }
}

void IspMailbox::TakeRequest(int64_t atNs) {
    driverNs_ = atNs;
    const size_t length = cmd_.empty() ? 0 : cmd_[0];
    if (length < 3 || length > cmd_.size()) return Nak(atNs);
    const std::span<const uint8_t> block(cmd_.data(), length);
    const uint8_t code = block[1];
    uint8_t xorCheck = 0;
    uint8_t sumCheck = 0;
    for (size_t i = 0; i + 1 < length; ++i) {
        xorCheck ^= block[i];
        sumCheck = static_cast<uint8_t>(sumCheck + block[i]);
    }
    // The driver checks the GetFlashId block by the 8-bit sum of its bytes and every other
    // block by their XOR; the host's fixed GetFlashId block 09 1C FF 00 00 20 00 00 44
    // carries the sum.
    if (block[length - 1] != (code == kCodeGetFlashId ? sumCheck : xorCheck)) return Nak(atNs);

    switch (code) {
        case kCodeWriteBlock:
            if (length != 3) return Nak(atNs);
            state_ = State::AwaitHeader;
            return;
        case kCodeEraseFlash:
            if (length != 5 || block[2] != kEraseWholeChip[0] || block[3] != kEraseWholeChip[1]) return Nak(atNs);
            return Erase(atNs);
        case kCodeReadFlash:
            if (length != 7) return Nak(atNs);
            return ReadFlash(static_cast<uint32_t>(block[2]) << 16 | static_cast<uint32_t>(block[3]) << 8 | block[4],
                             block[5], atNs);
        case kCodeGetFlashId:
            if (length != 9) return Nak(atNs);
            return GetFlashId(atNs);
        case kCodeEndIsp:
            if (length != 4 || block[2] != kEndIspParameter) return Nak(atNs);
            Answer(atNs, kAck, true);
            state_ = State::EndingIsp;
            endDeadlineNs_ = atNs + kEndIspReleaseWaitNs;
            return;
        default:
            return Nak(atNs);
    }
}

void IspMailbox::Erase(int64_t atNs) {
    const Faults& f = chip_.ChipFaults();
    if (f.eraseNak) return Nak(atNs);
    Work work;
    work.eraseAll = true;
    work.reply = kAck;
    work.isAck = true;
    work.reached = Milestone::FlashErased;
    const int64_t eraseNs = f.eraseMs != 0 ? f.eraseMs * kNsPerMs : kChipEraseNs;
    work.doneAtNs = atNs + (f.eraseTimeout ? kStuckEraseNs : eraseNs);
    if (chip_.TakePowerCutAtErase()) {
        work.powerCut = true;
        work.doneAtNs = atNs + kChipEraseNs / 2;
    }
    work_ = std::move(work);
}

void IspMailbox::ReadFlash(uint32_t address, uint8_t count, int64_t atNs) {
    const uint32_t r = count + 3u;
    const uint32_t packets = (r + kPacketPayload - 1) / kPacketPayload;
    if (count == 0 || packets * kPacketStride > reply_.size() || address > Flash::kSize - count) return Nak(atNs);
    std::vector<uint8_t> payload{static_cast<uint8_t>(r), kCodeReadFlash};
    payload.resize(2 + count);
    chip_.FlashMemory().Read(address, std::span<uint8_t>(payload).subspan(2));
    if (chip_.ChipFaults().readbackMismatch) payload[2] ^= 0x01;
    // The host is done with the blocks: those after the last one sent were passed over.
    if (blockLength_ != 0 && nextOffset_ < chip_.ImageSize()) {
        chip_.Record().blocksSkipped += (chip_.ImageSize() - nextOffset_ + blockLength_ - 1) / blockLength_;
        nextOffset_ = chip_.ImageSize();
    }
    Work work;
    work.reply = WithCheck(std::move(payload));
    work.packets = true;
    work.reached = Milestone::VersionReadBack;
    work.doneAtNs = atNs + kFlashCommandNs;
    work_ = std::move(work);
}

void IspMailbox::GetFlashId(int64_t atNs) {
    const Faults& f = chip_.ChipFaults();
    const uint8_t low = kFlashId & 0xFF;
    const uint8_t high = f.flashIdTimeout ? 0 : kFlashId >> 8;
    Work work;
    work.reply = WithCheck({0x05, static_cast<uint8_t>(f.flashIdBadCode ? kCodeGetFlashId + 1 : kCodeGetFlashId), low, high});
    work.reached = Milestone::FlashIdentified;
    work.doneAtNs = atNs + kFlashCommandNs;
    work_ = std::move(work);
}

void IspMailbox::TakeHeader(int64_t atNs) {
    driverNs_ = atNs;
    const uint8_t count = FlagValue(lowFlagOffset_);
    ClearFlag(lowFlagOffset_);
    if (count != kHeaderCount || cmd_.size() < kHeaderCount || cmd_[0] != 0) return Nak(atNs);
    const uint32_t address = static_cast<uint32_t>(cmd_[1]) << 16 | static_cast<uint32_t>(cmd_[2]) << 8 | cmd_[3];
    const uint32_t length = static_cast<uint32_t>(cmd_[4]) << 24 | static_cast<uint32_t>(cmd_[5]) << 16 |
                            static_cast<uint32_t>(cmd_[6]) << 8 | cmd_[7];
    if (address < kFlashBase) return Nak(atNs);
    const uint32_t offset = address - kFlashBase;
    if (length == 0 || length > cmd_.size() - kHeaderCount || offset > Flash::kSize || length > Flash::kSize - offset)
        return Nak(atNs);

    block_ = Block{offset, length, {}};
    blockNumber_ = chip_.CountBlockSent();
    RunRecord& record = chip_.Record();
    ++record.blocksSent;
    if (blockLength_ == 0) blockLength_ = length;
    if (offset > nextOffset_) record.blocksSkipped += (offset - nextOffset_) / blockLength_;
    nextOffset_ = offset + length;
    state_ = State::AwaitUpper;
}

void IspMailbox::TakeUpperHalf(int64_t atNs) {
    driverNs_ = atNs;
    const uint8_t count = FlagValue(highFlagOffset_);
    ClearFlag(highFlagOffset_);
    const size_t half = cmd_.size() / 2;
    if (count >= half) return Nak(atNs);
    block_.bytes.assign(cmd_.begin() + static_cast<ptrdiff_t>(half), cmd_.begin() + static_cast<ptrdiff_t>(half + count));
    state_ = State::AwaitLower;
}

void IspMailbox::TakeLowerHalf(int64_t atNs) {
    driverNs_ = atNs;
    const uint8_t count = FlagValue(lowFlagOffset_);
    ClearFlag(lowFlagOffset_);
    if (count >= cmd_.size() / 2) return Nak(atNs);
    block_.bytes.insert(block_.bytes.end(), cmd_.begin(), cmd_.begin() + count);
    state_ = State::Idle;

    const uint32_t n = block_.length;
    if (block_.bytes.size() != n + 4u) return Nak(atNs);
    const std::span<const uint8_t> data(block_.bytes.data(), n);
    const uint16_t crc = BlockCrc16(data);
    const uint8_t expectedField[4] = {0, 0, static_cast<uint8_t>(crc >> 8), static_cast<uint8_t>(crc)};
    if (!std::equal(std::begin(expectedField), std::end(expectedField), block_.bytes.begin() + n)) return Nak(atNs);
    const Faults& f = chip_.ChipFaults();
    if (f.blockNak == blockNumber_) return Nak(atNs);

    const uint32_t pages = (block_.offset + n - 1) / kFlashPageSize - block_.offset / kFlashPageSize + 1;
    const int64_t duration = n * kCrcPerByteNs + pages * kPageProgramNs;
    Work work;
    work.program = true;
    work.offset = block_.offset;
    work.data.assign(data.begin(), data.end());
    work.reply = kAck;
    work.isAck = true;
    work.reached = Milestone::LastBlockProgrammed;
    work.latest = true;
    work.doneAtNs = atNs + duration;
    if (f.powerCutAtBlock == blockNumber_) {
        work.powerCut = true;
        work.doneAtNs = atNs + duration / 2;
    }
    work_ = std::move(work);
}

void IspMailbox::Finish(Work& work) {
    driverNs_ = std::max(driverNs_, work.doneAtNs);
    Flash& flash = chip_.FlashMemory();
    if (work.eraseAll) {
        if (work.powerCut) flash.EraseSectors(0, Flash::kSize / Flash::kSectorSize / 2);
        else flash.EraseAll();
    }
    if (work.program) {
        // A power cut half way leaves the first half of the block programmed.
        const size_t bytes = work.powerCut ? work.data.size() / 2 : work.data.size();
        flash.Program(work.offset, std::span<const uint8_t>(work.data).first(bytes));
        if (!work.powerCut) chip_.Record().Reach(Milestone::FirstBlockProgrammed, work.doneAtNs);
    }
    if (work.powerCut) {
        exit_ = Exit::PowerCut;
        exitNs_ = work.doneAtNs;
        return;
    }
    if (work.reached) {
        if (work.latest) chip_.Record().Mark(*work.reached, work.doneAtNs);
        else chip_.Record().Reach(*work.reached, work.doneAtNs);
    }
    if (work.reply.empty() || (work.isAck && chip_.TakeDroppedAck())) return;
    PutReply(work.reply, work.packets);
}

void IspMailbox::Answer(int64_t atNs, std::vector<uint8_t> reply, bool isAck) {
    Work work;
    work.reply = std::move(reply);
    work.isAck = isAck;
    work.doneAtNs = atNs;
    work_ = std::move(work);
}

// A request or block the driver cannot take: it answers negatively and waits for the next
// request.
void IspMailbox::Nak(int64_t atNs) {
    state_ = State::Idle;
    Answer(atNs, kNak, false);
}

void IspMailbox::PutReply(std::span<const uint8_t> reply, bool packets) {
    if (!packets) {
        std::copy_n(reply.begin(), std::min(reply.size(), reply_.size()), reply_.begin());
        return;
    }
    for (size_t k = 0, at = 0; k < reply.size() && at < reply_.size(); k += kPacketPayload, at += kPacketStride) {
        const size_t count = std::min<size_t>(kPacketPayload, reply.size() - k);
        reply_[at] = static_cast<uint8_t>(count);
        std::copy_n(reply.begin() + static_cast<ptrdiff_t>(k), std::min(count, reply_.size() - at - 1),
                    reply_.begin() + static_cast<ptrdiff_t>(at + 1));
    }
}

}  // namespace kdx::sim
