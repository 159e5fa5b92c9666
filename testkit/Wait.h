// Bounded waits: every wait of the tests and the bench has a deadline, and a miss is a fault.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace testkit {

/// Long enough for a loaded CI machine under the sanitizers or Wine: a miss means a fault.
inline constexpr int kGenerousMs = 20000;

/// Calls `idle(stepMs)` between looks at `done` until it holds or `deadlineMs` pass; returns
/// `done()`. The default idle sleeps; a front end passes one that runs its event loop.
inline bool WaitUntil(const std::function<bool()>& done, int deadlineMs = kGenerousMs,
                      const std::function<void(int)>& idle = {}, int stepMs = 5) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadlineMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end) {
            return done();
        }
        if (idle) {
            idle(stepMs);
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(stepMs));
        }
    }
    return true;
}

}  // namespace testkit
