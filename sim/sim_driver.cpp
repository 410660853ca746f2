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
    const int64_t startNs = clock_.NowNs();
    gfx::AuxRequest request(raw);
    const uint32_t command = request.Command();
    const uint32_t length = request.Length();
    const uint32_t dataBytes = std::min(length, kMaxTransfer);
    // What was sent, as the trace shows it, before anything is carried out.
    std::array<uint8_t, kMaxTransfer> sent{};
    std::copy_n(request.Data().begin(), dataBytes, sent.begin());

    ++totalCalls_;
    ++(readMethod ? record_.readCalls : record_.writeCalls);
    // One chaos decision per call, whatever else happens to it, so that a seed names the
    // same calls whatever the faults.
    const ChaosAction chaos = chaos_.Next(readMethod, dataBytes);

    uint32_t status = kStatusDone;
    if (!FitsMethod(command, readMethod) || length == 0 || length > kMaxTransfer) status = kStatusInvalidRequest;
    else if (request.DeviceId() < kFirstDeviceId || request.DeviceId() > kLastDeviceId) status = kStatusInvalidRequest;
    else if (faults_.deferAlways) status = kStatusDeferred;
    else if (deferLeft_ > 0) {
        --deferLeft_;
        status = kStatusDeferred;
    } else if (chaosDeferLeft_ > 0) {
        --chaosDeferLeft_;
        status = kStatusDeferred;
    } else if (chaos.kind == ChaosKind::DeferralBurst) {
        chaosDeferLeft_ = chaos.burst - 1;
        status = kStatusDeferred;
    } else if (chaos.kind == ChaosKind::FailedTransfer) {
        status = kStatusTransferFailed;
    } else {
        if (!readMethod && command == gfx::kNativeWrite) NoteMailboxWrite(request.Address(), std::span(sent).first(dataBytes));
        status = Carry(raw, readMethod, chaos, startNs);
    }
    if (status == kStatusDeferred) ++record_.deferredCalls;
    if (!readMethod && command == gfx::kNativeWrite)
        NoteEndIspPosting(request.Address(), std::span(sent).first(dataBytes), status,
                          status == kStatusDone && chaos.kind != ChaosKind::WriteNotDone);

    // A write carries its data whatever the answer; a read's reply carries data only when done.
    const int64_t wire = AuxWireTimeNs(!readMethod || status == kStatusDone ? dataBytes : 0);

    TraceCall line;
    line.timeUs = (startNs - record_.startNs) / kNsPerUs;
    line.read = readMethod;
    line.deviceId = request.DeviceId();
    line.command = command;
    line.address = request.Address();
    line.length = length;
    line.status = status;
    line.data = readMethod ? (status == kStatusDone ? std::span<const uint8_t>(raw.data() + gfx::AuxRequest::kDataOffset, dataBytes)
                                                    : std::span<const uint8_t>())
                           : std::span<const uint8_t>(sent.data(), dataBytes);
    trace_.Write(line);

    clock_.Spend(wire + kDriverCallCostNs);
    return status;
}

// Carries out a transfer the driver has accepted on the connection it names.
uint32_t SimDriver::Carry(platform::AuxRecord& raw, bool readMethod, const ChaosAction& chaos, int64_t nowNs) {
    gfx::AuxRequest request(raw);
    const uint32_t command = request.Command();
    const uint32_t length = request.Length();
    const bool chipHere = !faults_.noChip && request.DeviceId() == chipDeviceId_;
    if (faults_.notSupported && request.DeviceId() == kFirstDeviceId && IsI2c(command) && !readMethod)
        return kStatusNotSupported;
    if (!chipHere) return kStatusAuxNack;
    if (chaos.kind == ChaosKind::WriteNotDone && !readMethod) return kStatusDone;
    if (chaos.kind == ChaosKind::DroppedAck) chip_.DropNextAck();

    std::span<uint8_t> data(raw.data() + gfx::AuxRequest::kDataOffset, length);
    AuxReply reply = AuxReply::Nack;
    switch (command) {
        case gfx::kI2cWrite:
        case gfx::kI2cWriteMot:
            reply = chip_.I2cWrite(request.Address(), data, command == gfx::kI2cWrite, nowNs);
            break;
        case gfx::kI2cRead:
        case gfx::kI2cReadMot:
            reply = chip_.I2cRead(request.Address(), data, command == gfx::kI2cRead, nowNs);
            break;
        case gfx::kNativeWrite:
            reply = chip_.NativeWrite(request.Address(), data, nowNs);
            break;
        case gfx::kNativeRead:
            reply = chip_.NativeRead(request.Address(), data, nowNs);
            break;
        default:
            return kStatusInvalidRequest;
    }
    if (reply == AuxReply::Nack) {
        if (readMethod) std::fill(data.begin(), data.end(), 0);
        return kStatusAuxNack;
    }
    if (readMethod && chaos.kind == ChaosKind::FlippedBit) data[chaos.bitIndex / 8] ^= static_cast<uint8_t>(1u << (chaos.bitIndex % 8));
    if (readMethod && chaos.kind == ChaosKind::ShortReply) std::fill(data.begin() + chaos.keepBytes, data.end(), 0);
    return kStatusDone;
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
