// SIGINT and SIGTERM through a signalfd.
#include "StopSignal.h"

#include "Monotonic.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>

StopSignal::~StopSignal() {
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

void StopSignal::AlsoWake(std::function<void()> /*wake*/) {}

bool StopSignal::Install() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    if (::pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) {
        return false;
    }
    m_fd = ::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    return m_fd >= 0;
}

int StopSignal::Count() {
    signalfd_siginfo info{};
    while (m_fd >= 0 && ::read(m_fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        ++m_count;
    }
    return m_count;
}

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
        // ppoll, not poll: a dwell in whole milliseconds would overshoot by up to one each.
        const timespec left{static_cast<time_t>(leftNs / 1'000'000'000),
                            static_cast<long>(leftNs % 1'000'000'000)};
        pollfd p{m_fd, POLLIN, 0};
        if (::ppoll(&p, 1, &left, nullptr) < 0 && errno != EINTR) {
            return Count() > 0;
        }
    }
}
