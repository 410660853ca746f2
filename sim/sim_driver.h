// The simulated graphics driver: it takes each 160-byte request record as the real
// driver's read method (43) and write method (44) do, carries the transfer out on the AUX
// channel of the connection the device ID names, and answers with a status word: 0 done,
// 70 deferred, 5 not supported, or a failure of its own.
//
// Connections 0x0C..0x0F exist; one of them carries the chip, the others have nothing on
// their AUX channel, so every transfer there ends with a NACK. The modelled time of every
// call goes onto the virtual clock, and every call goes into the trace.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "platform/driver_interface.h"
#include "sim/chaos.h"
#include "sim/chip.h"
#include "sim/faults.h"
#include "sim/run_record.h"
#include "sim/sim_clock.h"
#include "sim/trace.h"

namespace kdx::sim {

// One AUX transaction on a connection's wire, as the simulated driver or the kernel model
// sends it.
struct AuxTransaction {
    uint32_t deviceId = 0;
    uint32_t command = 0;      // the AUX request code with its middle-of-transaction bit
    bool read = false;         // the direction, as the trace shows it
    uint32_t address = 0;      // as the requester gives it and the trace shows it
    uint32_t chipAddress = 0;  // what the chip decodes: the I2C address byte (0x6E), or the DPCD address
    uint32_t length = 0;       // as the requester gives it; data carries at most 16 of them
    std::span<uint8_t> data;   // a write's bytes; a read's reply lands here
    int64_t overheadNs = 0;    // what the requester's side costs besides the wire
    bool viaDriver = true;     // a call of the Windows driver (its own refusals apply)
};

// How the transaction ended: a driver status, the bytes a read got back (fewer than asked
// when the chip answered short), whether a NACK or DEFER came from the chip's I2C side,
// and whether the wire stayed silent until the reply timeout.
struct AuxOutcome {
    uint32_t status = 0;
    size_t count = 0;
    bool i2cLevel = false;
    bool timedOut = false;
};

class SimDriver {
public:
    static constexpr uint32_t kStatusDone = 0;
    static constexpr uint32_t kStatusNotSupported = 5;
    static constexpr uint32_t kStatusDeferred = 70;
    // The sink answered NACK: nothing at that I2C address or DPCD address.
    static constexpr uint32_t kStatusAuxNack = 24;
    // The transfer got no valid reply on the wire.
    static constexpr uint32_t kStatusTransferFailed = 31;
    // The record itself is wrong: unknown command for the method, length 0 or above 16,
    // or a device ID without a connection.
    static constexpr uint32_t kStatusInvalidRequest = 87;
    // HRESULT of a call on an interface that was already released (RPC_E_DISCONNECTED).
    static constexpr int32_t kDisconnected = static_cast<int32_t>(0x80010108u);

    SimDriver(SimChip& chip, SimClock& clock, const Faults& faults, Chaos& chaos, TraceWriter& trace,
              RunRecord& record, uint32_t chipDeviceId);

    // One call of the read method (readMethod) or the write method; returns the status.
    uint32_t Call(platform::AuxRecord& record, bool readMethod);
    // Carries one transaction to the chip's connection, times it and traces it: the one
    // place every AUX transaction of the simulated PC goes through. With `refusal` the
    // transaction is answered with that status and not carried out.
    AuxOutcome Transact(const AuxTransaction& transaction, std::optional<uint32_t> refusal = std::nullopt);

    uint64_t TotalCalls() const { return totalCalls_; }

private:
    AuxOutcome Carry(const AuxTransaction& transaction, const ChaosAction& chaos, int64_t nowNs);
    void NoteMailboxWrite(uint32_t address, std::span<const uint8_t> data);
    void NoteEndIspPosting(uint32_t address, std::span<const uint8_t> data, uint32_t status, bool carried);

    SimChip& chip_;
    SimClock& clock_;
    const Faults& faults_;
    Chaos& chaos_;
    TraceWriter& trace_;
    RunRecord& record_;
    uint32_t chipDeviceId_;
    uint32_t deferLeft_;
    uint32_t chaosDeferLeft_ = 0;
    // The last command buffer body was EndIsp's, reported done; and whether it arrived.
    bool endIspBodyDone_ = false;
    bool endIspBodyCarried_ = false;
    uint64_t totalCalls_ = 0;
};

// Creates driver interfaces over one SimDriver, or fails as a missing COM class does.
class SimDriverConnector final : public platform::DriverConnector {
public:
    SimDriverConnector(SimDriver& driver, bool classRegistered);
    ~SimDriverConnector() override;
    int32_t CreateInstance(platform::DriverInterface*& out) override;

private:
    class Instance;
    SimDriver& driver_;
    bool registered_;
    std::vector<std::unique_ptr<Instance>> instances_;
};

}  // namespace kdx::sim
