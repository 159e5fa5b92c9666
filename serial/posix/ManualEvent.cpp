#include "ManualEvent.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

CManualEvent::~CManualEvent() {
    Destroy();
}

bool CManualEvent::Create() {
    if (m_fd >= 0) {
        return true;
    }
    // Non-blocking, so that Reset can drain the counter without ever waiting.
    m_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    m_signalled.store(false, std::memory_order_release);
    return m_fd >= 0;
}

bool CManualEvent::Set() {
    if (m_fd < 0) {
        return false;
    }
    m_signalled.store(true, std::memory_order_release);
    const std::uint64_t one = 1;
    ssize_t written = 0;
    do {
        written = ::write(m_fd, &one, sizeof one);
    } while (written < 0 && errno == EINTR);
    // EAGAIN means the counter is saturated: the event is signalled all the same.
    return written == static_cast<ssize_t>(sizeof one) || (written < 0 && errno == EAGAIN);
}

void CManualEvent::Reset() {
    if (m_fd < 0) {
        return;
    }
    m_signalled.store(false, std::memory_order_release);
    // One read returns and clears the whole counter; EAGAIN means it was clear already.
    std::uint64_t count = 0;
    ssize_t got = 0;
    do {
        got = ::read(m_fd, &count, sizeof count);
    } while (got < 0 && errno == EINTR);
}

void CManualEvent::Destroy() {
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    m_signalled.store(false, std::memory_order_release);
}
