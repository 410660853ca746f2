// The busy-wait on the performance counter that every wait below 20 ms uses.
#pragma once

#include <cstdint>

#include "platform/clock.h"

namespace kdx::platform {

// Reads the counter once as the start, then until now - start >= ticks. A reading below
// the start is taken as a wrap of the counter at 2^63 - 1: from then on the elapsed time
// is (2^63 - 1 - start) + now. Returns at once when ticks is not positive.
void BusyWaitTicks(Clock& clock, int64_t ticks);

// ticks = frequency * microseconds / 1,000,000 in floating point, truncated.
int64_t TicksForMicroseconds(Clock& clock, double microseconds);

}  // namespace kdx::platform
