#include "sim/chaos.h"

#include <cmath>

namespace kdx::sim {

namespace {
// A deferral burst lasts 2 to 10 calls: sometimes within the backend's six calls per
// transfer, sometimes beyond them.
constexpr uint32_t kMinBurst = 2;
constexpr uint32_t kBurstSpread = 9;

constexpr ChaosKind kReadKinds[] = {ChaosKind::DeferralBurst, ChaosKind::FailedTransfer, ChaosKind::FlippedBit,
                                    ChaosKind::ShortReply, ChaosKind::DroppedAck};
constexpr ChaosKind kWriteKinds[] = {ChaosKind::DeferralBurst, ChaosKind::FailedTransfer, ChaosKind::WriteNotDone,
                                     ChaosKind::DroppedAck};
}  // namespace

Chaos::Chaos(uint64_t seed, double rate) : enabled_(rate > 0), rng_(seed) {
    perBillion_ = rate >= 1 ? kScale : static_cast<uint64_t>(std::llround(rate * static_cast<double>(kScale)));
}

ChaosAction Chaos::Next(bool isRead, uint32_t length) {
    ChaosAction action;
    if (!enabled_) return action;
    // Exactly one draw per call decides whether something happens, so that the sequence of
    // calls that misbehave depends on the seed alone.
    if (rng_() % kScale >= perBillion_) return action;
    const uint64_t pick = rng_();
    action.kind = isRead ? kReadKinds[pick % std::size(kReadKinds)] : kWriteKinds[pick % std::size(kWriteKinds)];
    const uint64_t detail = rng_();
    const uint32_t bytes = length == 0 ? 1 : length;
    action.burst = kMinBurst + static_cast<uint32_t>(detail % kBurstSpread);
    action.bitIndex = static_cast<uint32_t>(detail % (8ull * bytes));
    action.keepBytes = static_cast<uint32_t>(detail % bytes);
    ++counts_[static_cast<size_t>(action.kind)];
    return action;
}

const char* Chaos::Name(ChaosKind kind) {
    switch (kind) {
        case ChaosKind::None: return "none";
        case ChaosKind::DeferralBurst: return "deferral burst";
        case ChaosKind::FailedTransfer: return "failed transfer";
        case ChaosKind::FlippedBit: return "flipped bit";
        case ChaosKind::ShortReply: return "short reply";
        case ChaosKind::WriteNotDone: return "write not carried out";
        case ChaosKind::DroppedAck: return "dropped acknowledgement";
        case ChaosKind::Count: break;
    }
    return "?";
}

}  // namespace kdx::sim
