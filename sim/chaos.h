// Seeded random misbehaviour of the simulated driver and chip (--chaos SEED[:RATE]).
// The same seed gives the same sequence of decisions, call by call, so a run that went
// wrong can be replayed exactly.
#pragma once

#include <array>
#include <cstdint>
#include <random>

namespace kdx::sim {

enum class ChaosKind : uint8_t {
    None,
    DeferralBurst,   // this call and some after it answer status 70
    FailedTransfer,  // the transfer is not carried out and fails
    FlippedBit,      // one bit of the data read comes back flipped
    ShortReply,      // only the first bytes of the data read arrive, the rest reads 0
    WriteNotDone,    // the driver reports a write done that never reached the chip
    DroppedAck,      // the chip's next acknowledgement is lost
    Count,
};

struct ChaosAction {
    ChaosKind kind = ChaosKind::None;
    uint32_t burst = 0;      // DeferralBurst: calls deferred in all, this one included
    uint32_t bitIndex = 0;   // FlippedBit: bit number within the data read
    uint32_t keepBytes = 0;  // ShortReply: bytes that do arrive
};

class Chaos {
public:
    static constexpr double kDefaultRate = 1.0 / 1000.0;

    Chaos() = default;
    Chaos(uint64_t seed, double rate);

    bool Enabled() const { return enabled_; }
    // The decision for one driver call moving `length` data bytes.
    ChaosAction Next(bool isRead, uint32_t length);
    uint32_t Count(ChaosKind kind) const { return counts_[static_cast<size_t>(kind)]; }
    static const char* Name(ChaosKind kind);

private:
    static constexpr uint64_t kScale = 1'000'000'000;
    bool enabled_ = false;
    uint64_t perBillion_ = 0;
    std::mt19937_64 rng_;
    std::array<uint32_t, static_cast<size_t>(ChaosKind::Count)> counts_{};
};

}  // namespace kdx::sim
