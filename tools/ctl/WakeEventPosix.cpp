#include "WakeEvent.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "StopSignal.h"

WakeEvent::WakeEvent() : m_handle(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

WakeEvent::~WakeEvent() {
    if (Valid()) {
        ::close(static_cast<int>(m_handle));
    }
}

bool WakeEvent::Valid() const {
    return m_handle >= 0;
}

void WakeEvent::Set() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t put = ::write(static_cast<int>(m_handle), &one, sizeof one);
}

void WakeEvent::Reset() {
    std::uint64_t wakes = 0;
    [[maybe_unused]] const ssize_t got = ::read(static_cast<int>(m_handle), &wakes, sizeof wakes);
}

void WakeEvent::Wait(const StopSignal* stop, int ms) {
    pollfd waits[2] = {{static_cast<int>(m_handle), POLLIN, 0},
                       {stop != nullptr ? stop->Fd() : -1, POLLIN, 0}};
    ::poll(waits, 2, ms);  // EINTR too: the caller looks again
}
