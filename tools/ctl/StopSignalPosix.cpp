// SIGINT and SIGTERM through a signalfd.
#include "StopSignal.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

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

void StopSignal::WaitAtMost(long long ns) {
    // ppoll, not poll: a dwell in whole milliseconds would overshoot by up to one each.
    const timespec left{static_cast<time_t>(ns / 1'000'000'000),
                        static_cast<long>(ns % 1'000'000'000)};
    pollfd p{m_fd, POLLIN, 0};
    ::ppoll(&p, m_fd >= 0 ? 1 : 0, &left, nullptr);  // EINTR and errors: the caller looks again
}
