#include "sim/sim_driver.h"

#include <algorithm>

#include "gfx/aux_request.h"
#include "gfx/gfx_lib.h"
#include "sim/isp_mailbox.h"
#include "sim/options.h"
#include "sim/timing.h"

namespace kdx::sim {

namespace {

constexpr uint32_t kMaxTransfer = 16;
// The length byte of the EndIsp request 04 20 01 25.
constexpr uint8_t kEndIspLength = 4;

bool IsI2c(uint32_t command) { return command == gfx::kI2cWrite || command == gfx::kI2cWriteMot ||
                                      command == gfx::kI2cRead || command == gfx::kI2cReadMot; }

bool FitsMethod(uint32_t command, bool readMethod) {
    if (readMethod) return command == gfx::kI2cRead || command == gfx::kI2cReadMot || command == gfx::kNativeRead;
    return command == gfx::kI2cWrite || command == gfx::kI2cWriteMot || command == gfx::kNativeWrite;
}

}  // namespace

SimDriver::SimDriver(SimChip& chip, SimClock& clock, const Faults& faults, Chaos& chaos, TraceWriter& trace,
                     RunRecord& record, uint32_t chipDeviceId)
    : chip_(chip),
      clock_(clock),
      faults_(faults),
      chaos_(chaos),
      trace_(trace),
      record_(record),
      chipDeviceId_(chipDeviceId),
      deferLeft_(faults.deferCalls) {}

uint32_t SimDriver::Call(platform::AuxRecord& raw, bool readMethod) {
    gfx::AuxRequest request(raw);
    AuxTransaction transaction;
    transaction.deviceId = request.DeviceId();
    transaction.command = request.Command();
    transaction.read = readMethod;
    transaction.address = request.Address();
    transaction.chipAddress = request.Address();
    transaction.length = request.Length();
    transaction.data = std::span(raw.data() + gfx::AuxRequest::kDataOffset, std::min(transaction.length, kMaxTransfer));
    transaction.overheadNs = kDriverCallCostNs;
    const bool valid = FitsMethod(transaction.command, readMethod) && transaction.length > 0 &&
                       transaction.length <= kMaxTransfer && transaction.deviceId >= kFirstDeviceId &&
                       transaction.deviceId <= kLastDeviceId;
    return Transact(transaction, valid ? std::nullopt : std::optional<uint32_t>(kStatusInvalidRequest)).status;
}

AuxOutcome SimDriver::Transact(const AuxTransaction& t, std::optional<uint32_t> refusal) {
    const int64_t startNs = clock_.NowNs();
    const auto dataBytes = static_cast<uint32_t>(std::min<size_t>(t.data.size(), kMaxTransfer));
    const std::span<uint8_t> data = t.data.first(dataBytes);
    // What was sent, as the trace shows it, before anything is carried out.
    std::array<uint8_t, kMaxTransfer> sent{};
    std::copy(data.begin(), data.end(), sent.begin());
    const bool nativeWrite = !t.read && t.command == gfx::kNativeWrite;

    ++totalCalls_;
    ++(t.read ? record_.readCalls : record_.writeCalls);
    // One chaos decision per call, whatever else happens to it, so that a seed names the
    // same calls whatever the faults.
    const ChaosAction chaos = chaos_.Next(t.read, dataBytes);

    AuxOutcome outcome{kStatusDone, dataBytes, false, false};
    if (refusal) outcome.status = *refusal;
    else if (faults_.deferAlways) outcome.status = kStatusDeferred;
    else if (deferLeft_ > 0) {
        --deferLeft_;
        outcome.status = kStatusDeferred;
    } else if (chaosDeferLeft_ > 0) {
        --chaosDeferLeft_;
        outcome.status = kStatusDeferred;
    } else if (chaos.kind == ChaosKind::DeferralBurst) {
        chaosDeferLeft_ = chaos.burst - 1;
        outcome.status = kStatusDeferred;
    } else if (chaos.kind == ChaosKind::FailedTransfer) {
        outcome.status = kStatusTransferFailed;
    } else {
        if (nativeWrite) NoteMailboxWrite(t.address, std::span(sent).first(dataBytes));
        outcome = Carry(t, chaos, startNs);
    }
    if (outcome.status == kStatusDeferred) ++record_.deferredCalls;
    if (nativeWrite)
        NoteEndIspPosting(t.address, std::span(sent).first(dataBytes), outcome.status,
                          outcome.status == kStatusDone && chaos.kind != ChaosKind::WriteNotDone);

    // A write carries its data whatever the answer; a read's reply carries data only when
    // done. A silent wire costs the request and the wait for a reply that never comes.
    const auto replyBytes = static_cast<uint32_t>(outcome.count);
    const int64_t wire =
        outcome.timedOut ? AuxTimedOutWireNs(t.read ? 0 : dataBytes)
                         : AuxWireTimeNs(!t.read ? dataBytes : outcome.status == kStatusDone ? replyBytes : 0);

    TraceCall line;
    line.timeUs = (startNs - record_.startNs) / kNsPerUs;
    line.read = t.read;
    line.deviceId = t.deviceId;
    line.command = t.command;
    line.address = t.address;
    line.length = t.length;
    line.status = outcome.status;
    line.data = t.read ? (outcome.status == kStatusDone ? std::span<const uint8_t>(data.first(replyBytes))
                                                        : std::span<const uint8_t>())
                       : std::span<const uint8_t>(sent.data(), dataBytes);
    trace_.Write(line);

    clock_.Spend(wire + t.overheadNs);
    return outcome;
}

// Carries out a transfer the driver has accepted on the connection it names.
AuxOutcome SimDriver::Carry(const AuxTransaction& t, const ChaosAction& chaos, int64_t nowNs) {
    const uint32_t command = t.command;
    const bool chipHere = !faults_.noChip && t.deviceId == chipDeviceId_;
    AuxOutcome outcome{kStatusDone, t.data.size(), false, false};
    if (t.viaDriver && faults_.notSupported && t.deviceId == kFirstDeviceId && IsI2c(command) && !t.read)
        return {kStatusNotSupported, 0, false, false};
    // Nothing on the wire answers: the Windows driver reports that as a NACK, i915 as a
    // timeout.
    if (!chipHere) return {t.viaDriver ? kStatusAuxNack : kStatusTransferFailed, 0, false, !t.viaDriver};
    if (chaos.kind == ChaosKind::WriteNotDone && !t.read) return outcome;
    if (chaos.kind == ChaosKind::DroppedAck) chip_.DropNextAck();

    const std::span<uint8_t> data = t.data;
    AuxReply reply = AuxReply::Nack;
    switch (command) {
        case gfx::kI2cWrite:
        case gfx::kI2cWriteMot:
            reply = chip_.I2cWrite(t.chipAddress, data, command == gfx::kI2cWrite, nowNs);
            break;
        case gfx::kI2cRead:
        case gfx::kI2cReadMot:
            reply = chip_.I2cRead(t.chipAddress, data, command == gfx::kI2cRead, nowNs, outcome.count);
            break;
        case gfx::kNativeWrite:
            reply = chip_.NativeWrite(t.chipAddress, data, nowNs);
            break;
        case gfx::kNativeRead:
            reply = chip_.NativeRead(t.chipAddress, data, nowNs);
            break;
        default:
            return {kStatusInvalidRequest, 0, false, false};
    }
    outcome.i2cLevel = IsI2c(command);
    if (reply != AuxReply::Ack) {
        if (t.read) std::fill(data.begin(), data.end(), 0);
        outcome.count = 0;
        outcome.status = reply == AuxReply::Nack ? kStatusAuxNack : reply == AuxReply::Defer ? kStatusDeferred : kStatusTransferFailed;
        outcome.timedOut = reply == AuxReply::Silent;
        return outcome;
    }
    // The driver's record has no room for a short reply: it counts as no valid reply.
    if (t.viaDriver && outcome.count < data.size()) return {kStatusTransferFailed, 0, false, false};
    // A bare address (no data) has no bit to flip and nothing to cut short.
    if (t.read && chaos.kind == ChaosKind::FlippedBit && chaos.bitIndex / 8 < outcome.count)
        data[chaos.bitIndex / 8] ^= static_cast<uint8_t>(1u << (chaos.bitIndex % 8));
    if (t.read && chaos.kind == ChaosKind::ShortReply && chaos.keepBytes < outcome.count)
        std::fill(data.begin() + chaos.keepBytes, data.end(), 0);
    return outcome;
}

// Keeps track of the host's mailbox requests, as they leave the host, for the summary:
// how many EndIsp bodies were posted and whether the last request was EndIsp.
void SimDriver::NoteMailboxWrite(uint32_t address, std::span<const uint8_t> data) {
    if (IsEndIspBody(address, data)) {
        ++record_.endIspPosted;
        record_.lastRequestWasEndIsp = true;
    } else if (address == IspMailbox::kCmdBufferAddr + 1) {
        record_.lastRequestWasEndIsp = false;
    }
}

// Follows the EndIsp postings as the driver answers them, for the summary's account of a
// chip left in ISP mode: a posting is reported done when its body and then its length
// byte were; it is lost when one of the two was reported done but not carried out.
void SimDriver::NoteEndIspPosting(uint32_t address, std::span<const uint8_t> data, uint32_t status, bool carried) {
    if (address == IspMailbox::kCmdBufferAddr + 1) {
        const bool endIsp = IsEndIspBody(address, data);
        record_.endIspBodyCalls += endIsp;
        endIspBodyDone_ = endIsp && status == kStatusDone;
        endIspBodyCarried_ = carried;
    } else if (address == IspMailbox::kCmdBufferAddr && data.size() == 1) {
        if (endIspBodyDone_ && data[0] == kEndIspLength && status == kStatusDone) {
            ++record_.endIspReportedDone;
            record_.endIspWriteLost |= !endIspBodyCarried_ || !carried;
        }
        endIspBodyDone_ = false;
    }
}

// --- Connector ------------------------------------------------------------------------------

class SimDriverConnector::Instance final : public platform::DriverInterface {
public:
    explicit Instance(SimDriver& driver) : driver_(driver) {}
    int32_t CallRead(platform::AuxRecord& record, uint32_t& status) override { return Call(record, status, true); }
    int32_t CallWrite(platform::AuxRecord& record, uint32_t& status) override { return Call(record, status, false); }
    void Release() override { released_ = true; }

private:
    int32_t Call(platform::AuxRecord& record, uint32_t& status, bool readMethod) {
        if (released_) return SimDriver::kDisconnected;
        status = driver_.Call(record, readMethod);
        return 0;
    }
    SimDriver& driver_;
    bool released_ = false;
};

SimDriverConnector::SimDriverConnector(SimDriver& driver, bool classRegistered)
    : driver_(driver), registered_(classRegistered) {}

SimDriverConnector::~SimDriverConnector() = default;

int32_t SimDriverConnector::CreateInstance(platform::DriverInterface*& out) {
    out = nullptr;
    if (!registered_) return platform::kClassNotRegistered;
    instances_.push_back(std::make_unique<Instance>(driver_));
    out = instances_.back().get();
    return 0;
}

}  // namespace kdx::sim
