#include "sim/chip.h"

#include <algorithm>
#include <optional>

#include "sim/isp_mailbox.h"
#include "sim/timing.h"

namespace kdx::sim {

namespace {

constexpr uint8_t kOpProbe = 0x0A;
constexpr uint8_t kOpReadRegister = 0x06;
constexpr uint8_t kOpReadMemory = 0x52;
constexpr uint8_t kOpIspEntry1 = 0x09;
constexpr uint8_t kOpIspEntry2 = 0x20;
constexpr uint8_t kOpWriteMemory = 0x13;
constexpr uint8_t kOpStartDriver = 0x1D;

constexpr size_t kVersionFromEnd = 20;
constexpr size_t kTopBlockVersionFromEnd = 8212;
constexpr size_t kTopBlockMarkerFromEnd = 10;
constexpr uint8_t kTopBlockMarker = 0xBC;

// Offset of the version's first byte (the minor number), or none for an image too short
// to carry one.
std::optional<size_t> VersionOffset(std::span<const uint8_t> image) {
    if (image.size() < kVersionFromEnd) return std::nullopt;
    if (image.size() >= kTopBlockVersionFromEnd && image[image.size() - kTopBlockMarkerFromEnd] == kTopBlockMarker)
        return image.size() - kTopBlockVersionFromEnd;
    return image.size() - kVersionFromEnd;
}

bool Overlaps(uint32_t address, size_t length, uint32_t start, uint32_t size) {
    return address < start + size && address + length > start;
}

}  // namespace

bool IsFirmwareId(const std::array<uint8_t, 6>& id) {
    static constexpr std::array<uint8_t, 6> kFirmwareIds[] = {
        {'K', 'X', '4', '6', '1', '0'}, {'K', 'X', '4', '6', '3', '0'}, {'T', 'R', 'V', 'K', 'B', 'C'}};
    return std::find(std::begin(kFirmwareIds), std::end(kFirmwareIds), id) != std::end(kFirmwareIds);
}

FirmwareVersion ImageVersion(std::span<const uint8_t> image) {
    const auto at = VersionOffset(image);
    if (!at) return {};
    return FirmwareVersion{image[*at + 1], image[*at], image[*at + 2]};
}

std::vector<uint8_t> WithVersion(std::span<const uint8_t> image, FirmwareVersion version) {
    std::vector<uint8_t> out(image.begin(), image.end());
    if (const auto at = VersionOffset(image)) {
        out[*at] = version.minor;
        out[*at + 1] = version.major;
        out[*at + 2] = version.third;
    }
    return out;
}

SimChip::SimChip(ChipConfig config, RunRecord& record)
    : config_(std::move(config)), record_(record), port_(*this), ram_(kRamSize, 0), ramWritten_(kRamSize, 0) {
    Boot();
}

SimChip::~SimChip() = default;

void SimChip::AddWholeImage(std::span<const uint8_t> image) {
    WholeImage whole;
    whole.flash.assign(Flash::kSize, Flash::kErased);
    std::copy_n(image.begin(), std::min<size_t>(image.size(), Flash::kSize), whole.flash.begin());
    whole.version = ImageVersion(image);
    wholeImages_.push_back(std::move(whole));
}

void SimChip::Boot() {
    port_.Reset();
    mailbox_.reset();
    stage_ = Stage::Normal;
    std::fill(ram_.begin(), ram_.end(), 0);
    std::fill(ramWritten_.begin(), ramWritten_.end(), 0);
    ramWrittenCount_ = 0;
    dropNextAck_ = false;
    const WholeImage* whole = BootableImage();
    runsApplication_ = whole != nullptr;
    version_ = runsApplication_ ? whole->version : kIromVersion;
}

const SimChip::WholeImage* SimChip::BootableImage() const {
    const auto flash = flash_.Bytes();
    const auto whole = std::find_if(wholeImages_.begin(), wholeImages_.end(),
                                    [&](const WholeImage& w) { return std::equal(flash.begin(), flash.end(), w.flash.begin()); });
    return whole == wholeImages_.end() ? nullptr : &*whole;
}

bool SimChip::FlashBootsApplication() const { return BootableImage() != nullptr; }

SimChip::Running SimChip::NowRunning() const {
    switch (stage_) {
        case Stage::IspLoader: return Running::IspLoader;
        case Stage::DriverRunning: return Running::IspDriver;
        case Stage::Hung: return Running::StrayCode;
        case Stage::Normal:
        case Stage::EntryArmed: break;  // the first entry command alone changes nothing yet
    }
    return runsApplication_ ? Running::Application : Running::InternalRom;
}

const char* SimChip::RunningText(Running running) {
    switch (running) {
        case Running::Application: return "application";
        case Running::InternalRom: return "internal ROM";
        case Running::IspLoader: return "ISP loader";
        case Running::IspDriver: return "ISP driver";
        case Running::StrayCode: return "stray code";
    }
    return "?";
}

bool SimChip::InIspMode() const {
    const Running running = NowRunning();
    return running != Running::Application && running != Running::InternalRom;
}

std::array<uint8_t, SimChip::kBranchBlockSize> SimChip::BranchBlock() const {
    const ChipIdentity& who = runsApplication_ ? config_.application : config_.irom;
    const auto& id = who.id;
    return {id[0], id[1], id[2], id[3], id[4], id[5], who.hwRev,
            version_.major, version_.minor, version_.third};
}

bool SimChip::TakeDroppedAck() {
    const bool dropped = dropNextAck_;
    dropNextAck_ = false;
    return dropped;
}

bool SimChip::TakePowerCutAtErase() {
    if (!config_.faults.powerCutAtErase || powerCutAtEraseDone_) return false;
    powerCutAtEraseDone_ = true;
    return true;
}

bool SimChip::MailboxUp(int64_t nowNs) const { return mailbox_ != nullptr && nowNs >= mailboxUpNs_; }

void SimChip::Service(int64_t nowNs) {
    if (!MailboxUp(nowNs)) return;
    mailbox_->Service(nowNs);
    switch (mailbox_->PendingExit()) {
        case IspMailbox::Exit::None: return;
        case IspMailbox::Exit::EndIsp: record_.Reach(Milestone::IspEnded, mailbox_->ExitNs()); break;
        case IspMailbox::Exit::PowerCut: record_.Reach(Milestone::PowerCut, mailbox_->ExitNs()); break;
    }
    Boot();
}

// --- AUX transfers ------------------------------------------------------------------------

AuxReply SimChip::I2cWrite(uint32_t address, std::span<const uint8_t> data, bool endsTransaction, int64_t nowNs) {
    Service(nowNs);
    if (address != DdcPort::kAddressByte) return AuxReply::Nack;
    port_.Write(data, endsTransaction, nowNs);
    return AuxReply::Ack;
}

// Past the end of what it has to send in a transaction the kernel's way, the chip's I2C
// side pads with 0xFF (an idle bus reads high), or answers the part within the reply and
// then NACKs or DEFERs the rest (see DdcPort::Read for the other framing).
AuxReply SimChip::I2cRead(uint32_t address, std::span<uint8_t> out, bool endsTransaction, int64_t nowNs,
                          size_t& count) {
    Service(nowNs);
    count = 0;
    if (address != DdcPort::kAddressByte) return AuxReply::Nack;
    const DdcPort::ReadResult read = port_.Read(out, endsTransaction, nowNs);
    count = out.size();
    if (read.inStream == out.size() || !read.openedBare || config_.faults.overRead == OverRead::Ff) return AuxReply::Ack;
    if (read.inStream > 0) {
        count = read.inStream;
        return AuxReply::Ack;
    }
    count = 0;
    return config_.faults.overRead == OverRead::Nack ? AuxReply::Nack : AuxReply::Defer;
}

AuxReply SimChip::NativeWrite(uint32_t address, std::span<const uint8_t> data, int64_t nowNs) {
    Service(nowNs);
    if (MailboxUp(nowNs) && mailbox_->Touches(address, static_cast<uint32_t>(data.size()))) {
        if (!mailbox_->Maps(address, static_cast<uint32_t>(data.size()))) return AuxReply::Nack;
        mailbox_->Write(address, data, nowNs);
        return AuxReply::Ack;
    }
    // The standard DPCD registers take writes; the chip keeps none of them that matter here.
    return address < kDpcdStandardEnd && data.size() <= kDpcdStandardEnd - address ? AuxReply::Ack : AuxReply::Nack;
}

AuxReply SimChip::NativeRead(uint32_t address, std::span<uint8_t> out, int64_t nowNs) {
    Service(nowNs);
    if (MailboxUp(nowNs) && mailbox_->Touches(address, static_cast<uint32_t>(out.size()))) {
        if (!mailbox_->Maps(address, static_cast<uint32_t>(out.size()))) return AuxReply::Nack;
        mailbox_->Read(address, out, nowNs);
        return AuxReply::Ack;
    }
    if (address >= kDpcdStandardEnd || out.size() > kDpcdStandardEnd - address) return AuxReply::Nack;
    // The running ISP driver serves its mailbox and the identification registers, and with
    // this fault leaves the DPCD revision register unanswered.
    if (address == 0 && config_.faults.dpcdRevSilentInIsp && NowRunning() == Running::IspDriver) return AuxReply::Silent;
    const bool branchBlock = Overlaps(address, out.size(), kDpcdBranchBlock, kBranchBlockSize);
    if (branchBlock && config_.faults.dpcdBlockFail) return AuxReply::Nack;
    const auto block = BranchBlock();
    const uint32_t window = MailboxUp(nowNs) && !config_.faults.windowZero ? IspMailbox::kWindowAddress : 0;
    for (uint32_t i = 0; i < out.size(); ++i) {
        const uint32_t a = address + i;
        if (a >= kDpcdBranchBlock && a < kDpcdBranchBlock + kBranchBlockSize) out[i] = block[a - kDpcdBranchBlock];
        else if (a >= kDpcdWindowPointer && a < kDpcdWindowPointer + 3)
            out[i] = static_cast<uint8_t>(window >> (8 * (a - kDpcdWindowPointer)));
        else out[i] = 0;
    }
    if (branchBlock) record_.Reach(Milestone::VersionBlockRead, nowNs);
    return AuxReply::Ack;
}

// --- Command port -----------------------------------------------------------------------

void SimChip::Post(uint8_t opcode, std::span<const uint8_t> payload, int64_t readyAtNs) {
    port_.PostReply(opcode, payload, readyAtNs, config_.faults.badChecksum);
}

void SimChip::PostAck(int64_t readyAtNs, bool dropped) {
    if (TakeDroppedAck() || dropped) return;
    Post(DdcPort::kAckOpcode, {}, readyAtNs);
}

void SimChip::OnCommand(uint8_t opcode, std::span<const uint8_t> args, int64_t nowNs) {
    // Once the ISP driver runs (or the chip jumped into a broken one) nothing serves the
    // command port any more.
    if (stage_ == Stage::DriverRunning || stage_ == Stage::Hung) return;
    const Faults& f = config_.faults;
    const int64_t ready = nowNs + kCommandReplyLatencyNs;
    switch (opcode) {
        case kOpProbe:
            if (!args.empty()) return;
            PostAck(ready, false);
            record_.Reach(Milestone::ProbeAcknowledged, nowNs);
            return;
        case kOpReadRegister: {
            if (args.size() != 2 || f.regsUnreadable) return;
            const uint16_t value = Register(static_cast<uint16_t>(args[0] << 8 | args[1]));
            const uint8_t payload[] = {args[0], args[1], static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
            Post(kOpReadRegister, payload, ready);
            record_.Reach(Milestone::IdentityRead, nowNs);
            return;
        }
        case kOpReadMemory: {
            if (args.size() != 8) return;
            const uint32_t address = static_cast<uint32_t>(args[0]) << 24 | static_cast<uint32_t>(args[1]) << 16 |
                                     static_cast<uint32_t>(args[2]) << 8 | args[3];
            const uint32_t length = static_cast<uint32_t>(args[4]) << 24 | static_cast<uint32_t>(args[5]) << 16 |
                                    static_cast<uint32_t>(args[6]) << 8 | args[7];
            std::vector<uint8_t> payload(std::min<uint32_t>(length, DdcPort::kMaxReplyPayload));
            for (uint32_t i = 0; i < payload.size(); ++i) payload[i] = MemoryByte(address + i);
            Post(kOpReadMemory, payload, ready);
            if (Overlaps(address, payload.size(), kMemoryBranchBlock, kBranchBlockSize))
                record_.Reach(Milestone::VersionBlockRead, nowNs);
            return;
        }
        case kOpIspEntry1:
            if (!args.empty()) return;
            stage_ = Stage::EntryArmed;
            PostAck(ready, f.dropAckEntry1);
            return;
        case kOpIspEntry2:
            if (args.size() != 1 || args[0] != 0x00 || stage_ != Stage::EntryArmed) return;
            // A new ISP session: the loader starts from an empty RAM map.
            stage_ = Stage::IspLoader;
            std::fill(ramWritten_.begin(), ramWritten_.end(), 0);
            ramWrittenCount_ = 0;
            chunksThisDownload_ = 0;
            PostAck(ready, f.dropAckEntry2);
            record_.Reach(Milestone::IspEntered, nowNs);
            return;
        case kOpWriteMemory:
            if (args.size() < 2 || stage_ != Stage::IspLoader) return;
            ++chunksThisDownload_;
            if (f.stopAckAtChunk != 0 && chunksThisDownload_ >= f.stopAckAtChunk) return;
            StoreChunk(static_cast<uint16_t>(args[0] << 8 | args[1]), args.subspan(2), nowNs);
            return;
        case kOpStartDriver:
            if (args.size() != 2 || stage_ != Stage::IspLoader) return;
            PostAck(ready, f.dropAckStart);
            StartDriver(static_cast<uint16_t>(args[0] << 8 | args[1]), nowNs);
            return;
        default:
            return;
    }
}

void SimChip::StoreChunk(uint16_t address, std::span<const uint8_t> code, int64_t nowNs) {
    if (address + code.size() > kRamSize) return;
    for (size_t i = 0; i < code.size(); ++i) {
        ram_[address + i] = code[i];
        if (ramWritten_[address + i] == 0) ++ramWrittenCount_;
        ramWritten_[address + i] = 1;
    }
    lastChunkNs_ = nowNs;
    PostAck(nowNs + kChunkStoreLatencyNs, false);
}

// The loader jumps to the address. Only the driver the updater carries, downloaded whole
// and nothing else beside it, comes up and opens its mailbox; anything else leaves the
// chip running stray code until it restarts.
void SimChip::StartDriver(uint16_t address, int64_t nowNs) {
    if (address != kIspLoadBase || !DriverInRam()) {
        stage_ = Stage::Hung;
        return;
    }
    RunIspDriver(nowNs + kIspDriverStartupNs);
    record_.Reach(Milestone::DriverDownloaded, lastChunkNs_);
    record_.Reach(Milestone::DriverStarted, nowNs);
}

void SimChip::RunIspDriver(int64_t upAtNs) {
    stage_ = Stage::DriverRunning;
    mailbox_ = std::make_unique<IspMailbox>(*this);
    mailboxUpNs_ = upAtNs;
}

bool SimChip::DriverInRam() const {
    const auto& code = config_.ispDriverCode;
    if (code.empty() || code.size() > kRamSize - kIspLoadBase || ramWrittenCount_ != code.size()) return false;
    for (size_t i = 0; i < code.size(); ++i)
        if (ramWritten_[kIspLoadBase + i] == 0 || ram_[kIspLoadBase + i] != code[i]) return false;
    return true;
}

uint8_t SimChip::MemoryByte(uint32_t address) const {
    if (address >= kMemoryBranchBlock && address < kMemoryBranchBlock + kBranchBlockSize)
        return BranchBlock()[address - kMemoryBranchBlock];
    return address < kRamSize ? ram_[address] : 0;
}

uint16_t SimChip::Register(uint16_t address) const {
    if (address == kRegFamily) return config_.regC802;
    if (address == kRegVariant) return config_.reg8002;
    return 0;
}

}  // namespace kdx::sim
