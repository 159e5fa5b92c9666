// What both platforms' stop signals share: a wait with a deadline that a request ends early.
#include "StopSignal.h"

#include <algorithm>
#include <cstdint>

#include "Monotonic.h"

bool StopSignal::WaitFor(double ms) {
    const std::int64_t deadline =
        MonotonicNs() + static_cast<std::int64_t>(std::max(ms, 0.0) * 1e6);
    for (;;) {
        if (Count() > 0) {
            return true;
        }
        const std::int64_t leftNs = deadline - MonotonicNs();
        if (leftNs <= 0) {
            return false;
        }
        WaitAtMost(leftNs);
    }
}
