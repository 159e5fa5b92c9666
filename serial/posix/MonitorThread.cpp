// The POSIX link's monitor thread: the wait in poll(), the one-byte reads and the writes.
// Threads and locks: see the top of SerialLink.cpp.
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>

#include "LineSettings.h"  // termios: tcflush
#include "LinkEventClasses.h"
#include "SerialLink.h"

namespace {

// The one decision that a failed read, write or wait means the device behind the open
// descriptor has gone (adapter pulled, pty master closed).
bool IsDeviceGone(int error) {
    return error == EIO || error == ENXIO || error == ENODEV;
}

// The error a read or write result of 0 stands for: with VMIN 1 and O_NONBLOCK only a
// hang-up gives 0.
int ErrorOfResult(ssize_t result, int error) {
    return result == 0 ? EIO : error;
}

}  // namespace

void CSerialLink::MonitorThread() {
    {
        std::lock_guard<std::mutex> port(m_portMutex);
        if (m_portFd >= 0) {
            ::tcflush(m_portFd, TCIOFLUSH);
        }
    }
    for (;;) {
        // Stop, port, send: poll reports all ready ones and the lowest index is acted on. Input is
        // watched only for EV_RXCHAR (no other class has a descriptor to watch); hang-ups are
        // reported whatever the events. A vanished port is left out (fd -1), so it cannot wake the
        // thread again.
        const bool watchPort = m_portFd >= 0 && !m_bPortGone;
        pollfd waits[3] = {
            {m_stopEvent.Fd(), POLLIN, 0},
            {watchPort ? m_portFd : -1,
             static_cast<short>((m_dwEventMask & EV_RXCHAR) != 0 ? POLLIN : 0), 0},
            {m_sendEvent.Fd(), POLLIN, 0},
        };
        if (::poll(waits, 3, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            // Only ENOMEM is possible here. Reported once, as a vanished port is; a later
            // failure waits a moment before the next try instead of spinning.
            if (!m_bPortGone) {
                m_bPortGone = true;
                ReportError("WaitCommEvent()", errno);
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
            continue;
        }
        if (waits[0].revents != 0) {
            break;
        }
        if (waits[1].revents != 0) {
            OnPortEvent(waits[1].revents);
        } else if (waits[2].revents != 0) {
            WritePending();
        }
    }
}

void CSerialLink::OnPortEvent(short revents) {
    if ((revents & POLLIN) != 0) {
        // The classes of the mask in the table's order; like GetCommMask, the mask decides,
        // not which event occurred.
        if ((m_dwEventMask & EV_RXCHAR) != 0) {
            ReceivePending();
        }
        for (const LinkEventClass& row : kOtherEventClasses) {
            if ((m_dwEventMask & row.eventClass) != 0 && !m_bPortGone) {
                m_handOff.Deliver(row.message, 0, m_nPortNumber);
            }
        }
    }
    if ((revents & (POLLHUP | POLLERR | POLLNVAL)) != 0 && !m_bPortGone) {
        // The device is gone and the read did not say so (input not watched, or nothing was
        // left to read): the wait is the step that failed.
        OnPortFailure("WaitCommEvent()", EIO);
    }
}

void CSerialLink::ReceivePending() {
    while (!m_stopEvent.IsSet()) {
        int queued = 0;
        {
            std::lock_guard<std::mutex> port(m_portMutex);
            if (::ioctl(m_portFd, FIONREAD, &queued) != 0) {
                queued = -1;  // unknown: the read below tells what is wrong
            }
        }
        if (queued == 0) {
            return;
        }
        std::uint8_t byte = 0;
        ssize_t got = 0;
        int error = 0;
        {
            std::lock_guard<std::mutex> port(m_portMutex);
            do {
                got = ::read(m_portFd, &byte, 1);
            } while (got < 0 && errno == EINTR);
            error = ErrorOfResult(got, errno);
        }
        if (got == 1) {
            m_handOff.Deliver(WM_LINK_RXCHAR, byte, m_nPortNumber);
            continue;
        }
        if (got < 0 && (error == EAGAIN || error == EWOULDBLOCK)) {
            return;  // nothing queued after all
        }
        // Nothing was read, so nothing is delivered. A vanished device is no longer watched;
        // any other failed read is not either, as the descriptor would stay readable and
        // wake the thread for ever: one report, no loop.
        m_bPortGone = true;
        OnPortFailure("ReadFile()", error);
        return;
    }
}

void CSerialLink::WritePending() {
    std::size_t length = 0;
    {
        // Reset and take in one step under the slot's lock: a Send after it signals anew and
        // is written by the next round, a Send before it is written now; each exactly once.
        std::lock_guard<std::mutex> send(m_sendMutex);
        m_sendEvent.Reset();
        if (!m_bSendPending || !m_pSendBuffer) {
            return;
        }
        m_bSendPending = false;
        length = static_cast<std::size_t>(m_nSendLength);
        std::copy_n(m_pSendBuffer.get(), length, m_pWriteBuffer.get());
    }

    std::unique_lock<std::mutex> port(m_portMutex);
    if (m_portFd < 0 || m_bPortGone) {
        return;  // no port, or a vanished one whose single report has been shown
    }
    ::tcflush(m_portFd, TCIOFLUSH);

    // The write timeout bounds the whole write, as COMMTIMEOUTS does: multiplier per byte plus
    // constant, none when both are 0. A timed-out write is not a failure (Win32 completes it
    // short and the count is not compared), so it is given up silently, as is a write the
    // stop event interrupts.
    using Clock = std::chrono::steady_clock;
    const std::uint64_t budgetMs =
        static_cast<std::uint64_t>(m_timeouts.writeTotalMultiplier) * length +
        m_timeouts.writeTotalConstant;
    const bool bounded = budgetMs != 0;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(budgetMs);

    StepFailure failure;
    std::size_t done = 0;
    while (done < length) {
        const ssize_t written = ::write(m_portFd, m_pWriteBuffer.get() + done, length - done);
        if (written > 0) {
            done += static_cast<std::size_t>(written);
            continue;
        }
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
            failure = {"WriteFile()", ErrorOfResult(written, errno)};
            break;
        }
        // The device takes no more for now: wait until it does, the deadline passes, or
        // Close asks the thread to end.
        int waitMs = -1;
        if (bounded) {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) {
                break;
            }
            waitMs = static_cast<int>(std::min<long long>(left, INT_MAX));
        }
        pollfd waits[2] = {{m_stopEvent.Fd(), POLLIN, 0}, {m_portFd, POLLOUT, 0}};
        const int ready = ::poll(waits, 2, waitMs);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready < 0) {
            failure = {"GetOverlappedResults() in WriteFile()", errno};
            break;
        }
        if (waits[0].revents != 0) {
            break;  // Close is waiting for the thread: give the write up
        }
        if (ready == 0) {
            continue;  // the deadline check above ends the write
        }
        if ((waits[1].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            failure = {"GetOverlappedResults() in WriteFile()", EIO};
            break;
        }
    }
    port.unlock();
    if (failure) {
        OnPortFailure(failure.step, failure.error);
    }
}

void CSerialLink::OnPortFailure(const char* step, int error) {
    if (IsDeviceGone(error)) {
        m_bPortGone = true;  // neither watched nor written again: this is its one report
    }
    ReportError(step, error);
}
