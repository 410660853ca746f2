// Blocking the calling thread for a span shorter than a millisecond, without using the
// processor. The updater itself never needs it (its pauses below 20 ms are busy-waits on
// the performance counter); the chip simulator on the real clock holds each driver call
// with it for the AUX transaction's modelled time on the wire, as a real driver call blocks
// until the AUX engine's done interrupt.
#pragma once

#include <cstdint>

namespace kdx::platform {

// Returns after at least ns nanoseconds, some tens of microseconds later (the thread's
// wake-up; under Wine also the kernel's default timer slack of 50 us); at once when ns is
// not positive.
void BlockThreadFor(int64_t ns);

}  // namespace kdx::platform
