// How the link works
//
// Threads. The owner's thread (the panel's) calls every public member. The monitor thread,
// started by StartMonitor and ended by Close, Open or the destructor, waits in poll() on the
// stop event, the port and the send event (the lowest ready one wins, as with
// WaitForMultipleObjects), reads received bytes one at a time and writes the send slot. Each
// notification reaches the owner's thread through m_handOff: LinkHandOff.cpp describes the
// slot, its states and its locks.
//
// Locks. m_csPort guards the descriptor and every call on it; m_csSend the send slot and the
// send event. Neither is held while the hand-off's locks are taken. No lock is held across
// OnLinkMessage, ServiceWhileClosing or a report (which may run a modal loop that closes the
// link), and m_csSend is never held across a blocking call.

#include "SerialLink.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <system_error>

#include "ExclusiveOpen.h"
#include "LineSettings.h"
#include "LinkEventClasses.h"
#include "LinkReport.h"
#include "PortNames.h"

namespace {

// How long Close (and Open, which stops a running monitor the same way) sleeps between
// rounds of servicing the owner while the monitor thread has nothing for it: short enough
// that timer ticks and a report box raised meanwhile stay lively, long enough not to spin.
constexpr std::chrono::milliseconds kCloseServicePeriod{15};

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

// strerror_r comes in two flavours; overloading on its result picks whichever glibc gives.
[[maybe_unused]] const char* StrerrorResult(int result, const char* buffer) {
    return result == 0 ? buffer : nullptr;  // XSI: fills the buffer
}
[[maybe_unused]] const char* StrerrorResult(const char* result, const char* /*buffer*/) {
    return result;  // GNU: may return a static text instead
}

std::string ErrorText(int error) {
    char buffer[256] = {};
    const char* text = StrerrorResult(::strerror_r(error, buffer, sizeof buffer), buffer);
    return text != nullptr ? std::string(text) : "Unknown error " + std::to_string(error);
}

}  // namespace

CSerialLink::CSerialLink() = default;

CSerialLink::~CSerialLink() {
    // At program exit the owner and the reporter may already be gone (Qt torn down): from here
    // on nothing is delivered to the owner and reports only go to standard error.
    m_bDestroying.store(true);
    DetachOwner();
    if (m_monitorThread.joinable()) {
        // Neither dispatching nor servicing: with the owner detached the monitor thread never
        // waits for it, so the stop event alone ends it.
        m_stopEvent.Set();
        m_handOff.AwaitMonitorEnd();
        m_monitorThread.join();
    }
    std::lock_guard<std::mutex> port(m_csPort);
    ClosePortLocked();
}

int CSerialLink::Open(ILinkOwner* owner, int portNumber, std::uint32_t baudRate, char parity,
                      std::uint32_t dataBits, std::uint32_t stopBits, std::uint32_t eventMask,
                      std::uint32_t sendBufferSize, std::uint32_t readIntervalTimeout,
                      std::uint32_t readTotalTimeoutMultiplier,
                      std::uint32_t readTotalTimeoutConstant,
                      std::uint32_t writeTotalTimeoutMultiplier,
                      std::uint32_t writeTotalTimeoutConstant) {
    const LinkSettings settings{
        {baudRate, parity, dataBits, stopBits},
        eventMask,
        sendBufferSize,
        {readIntervalTimeout, readTotalTimeoutMultiplier, readTotalTimeoutConstant,
         writeTotalTimeoutMultiplier, writeTotalTimeoutConstant}};
    return Open(owner, portNumber, settings);
}

int CSerialLink::Open(ILinkOwner* owner, int portNumber, const LinkSettings& settings) {
    StopMonitor();  // no monitor thread may use the port while it is replaced
    m_lastOpenFailure = {};
    if (!PrepareEvents()) {
        return 0;
    }
    m_handOff.Reset(owner);
    if (!AllocateSendSlot(settings.sendBufferSize)) {
        return 0;
    }
    m_stopEvent.Reset();
    m_nPortNumber = portNumber;
    m_dwEventMask = settings.eventMask;

    // The lock is held through the purge. A failed step is reported after it is released:
    // the report may run a modal loop on this thread, and what runs there may close the link.
    StepFailure failure;
    {
        std::lock_guard<std::mutex> port(m_csPort);
        ClosePortLocked();  // a port still open from an Open without Close
        m_bPortGone = false;
        const int fd = OpenExclusive(PortDevicePath(portNumber), m_portLock, m_lastOpenFailure);
        if (fd < 0) {
            return 0;  // no report: the operator is told by the program, from LastOpenFailure
        }
        m_hPort = fd;
        m_bPortLocked = true;
        KeepTimeouts(settings.timeouts);
        failure = ApplyLineSettings(settings.line);
        ::tcflush(fd, TCIOFLUSH);  // the purge runs whatever happened above
    }
    if (failure) {
        ReportError(failure.step, failure.error);
    }
    return 1;
}

bool CSerialLink::PrepareEvents() {
    // Created by the first Open, reset by later ones. (The I/O event is the port's own
    // readiness in poll().)
    for (CManualEvent* event : {&m_sendEvent, &m_stopEvent}) {
        if (!event->Exists() && !event->Create()) {
            return false;
        }
    }
    return true;
}

bool CSerialLink::AllocateSendSlot(std::uint32_t size) {
    std::lock_guard<std::mutex> send(m_csSend);
    m_sendEvent.Reset();
    m_bSendPending = false;
    m_pSendBuffer.reset(new (std::nothrow) std::uint8_t[size]);
    m_pWriteBuffer.reset(new (std::nothrow) std::uint8_t[size]);
    if (!m_pSendBuffer || !m_pWriteBuffer) {
        m_pSendBuffer.reset();
        m_pWriteBuffer.reset();
        m_nSendBufferSize = 0;
        return false;
    }
    m_nSendBufferSize = size;
    return true;
}

void CSerialLink::KeepTimeouts(const LinkTimeouts& timeouts) {
    // Kept as 32-bit products, as the DCB's DWORDs; no POSIX call applies them, so
    // "SetCommTimeouts()" and "SetCommMask()" never fail here. WritePending uses the write
    // timeout.
    m_timeouts.readInterval = timeouts.readInterval * 1000u;
    m_timeouts.readTotalMultiplier = timeouts.readTotalMultiplier * 1000u;
    m_timeouts.readTotalConstant = timeouts.readTotalConstant * 1000u;
    m_timeouts.writeTotalMultiplier = timeouts.writeTotalMultiplier * 1000u;
    m_timeouts.writeTotalConstant = timeouts.writeTotalConstant * 1000u;
}

CSerialLink::StepFailure CSerialLink::ApplyLineSettings(const LineParameters& line) {
    // Reads the line settings, switches to raw mode with the given ones and raises RTS; only
    // the first step that fails counts. Reports keep the panel's established operation names,
    // each raised by the call that plays that operation's role.
    if (!m_portConfig) {
        m_portConfig = std::make_unique<termios>();
    }
    if (::tcgetattr(m_hPort, m_portConfig.get()) != 0) {
        return {"GetCommState()", errno};
    }
    const std::optional<termios> raw = RawLineSettings(*m_portConfig, line);
    if (!raw) {
        return {"SetCommState()", EINVAL};  // a speed, size or stop-bit count termios lacks
    }
    if (::tcsetattr(m_hPort, TCSANOW, &*raw) != 0) {
        return {"SetCommState()", errno};
    }
    *m_portConfig = *raw;
    int rts = TIOCM_RTS;
    // A device without modem lines (a pty) answers ENOTTY or EINVAL: nothing to raise.
    if (::ioctl(m_hPort, TIOCMBIS, &rts) != 0 && errno != ENOTTY && errno != EINVAL) {
        return {"SetCommState()", errno};
    }
    return {};
}

int CSerialLink::StartMonitor() {
    return TryStartMonitor() == MonitorStart::Started ? 1 : 0;
}

MonitorStart CSerialLink::TryStartMonitor() {
    if (!m_stopEvent.Exists() || !m_sendEvent.Exists()) {
        return MonitorStart::NeverOpened;
    }
    if (m_monitorThread.joinable()) {
        return MonitorStart::AlreadyRunning;
    }
    m_handOff.MonitorStarting();
    try {
        m_monitorThread = std::thread(&CSerialLink::MonitorThread, this);
    } catch (const std::system_error&) {
        m_handOff.MonitorEnded();
        return MonitorStart::ThreadFailed;
    }
    return MonitorStart::Started;
}

int CSerialLink::Send(const std::uint8_t* bytes, int length) {
    return TrySend(bytes, length) == SendResult::Queued ? 1 : 0;
}

SendResult CSerialLink::TrySend(const std::uint8_t* bytes, int length) {
    std::lock_guard<std::mutex> send(m_csSend);
    // Refused rather than overrunning the buffer or writing what the caller did not give.
    if (!m_pSendBuffer) {
        return SendResult::NoBuffer;
    }
    if (length < 0 || static_cast<std::uint32_t>(length) > m_nSendBufferSize) {
        return SendResult::BadLength;
    }
    if (length > 0 && bytes == nullptr) {
        return SendResult::NoBytes;
    }
    if (length > 0) {
        std::memcpy(m_pSendBuffer.get(), bytes, static_cast<std::size_t>(length));
    }
    m_nSendLength = length;
    m_bSendPending = true;
    return m_sendEvent.Set() ? SendResult::Queued : SendResult::EventFailed;
}

void CSerialLink::Close() {
    StopMonitor();
    {
        std::lock_guard<std::mutex> port(m_csPort);
        ClosePortLocked();
    }
    // The I/O event went with the port; the stop and send events are reset.
    m_stopEvent.Reset();
    std::lock_guard<std::mutex> send(m_csSend);
    m_sendEvent.Reset();
    m_bSendPending = false;
}

void CSerialLink::ReportError(const char* operation, int error) {
    const int savedErrno = errno;
    // strerror gives no line break of its own, FormatMessage's text ends with one.
    const std::string text = FormatLinkReport(operation, ErrorText(error) + "\n", m_nPortNumber);
    ShowLinkReport(m_bDestroying.load() ? nullptr : m_pReporter.load(), text);
    errno = savedErrno;
}

void CSerialLink::DispatchPending() {
    m_handOff.DispatchPending();
}

void CSerialLink::SetErrorReporter(IErrorReporter* reporter) {
    m_pReporter.store(reporter);
}

void CSerialLink::DetachOwner() {
    m_handOff.DetachOwner();
}

void CSerialLink::StopMonitor() {
    // Each round signals the stop event and services the owner while it waits (see
    // CLinkHandOff::ServiceStopRound): a Win32 Close's message loop without its spinning.
    while (m_monitorThread.joinable()) {
        m_stopEvent.Set();
        if (!m_handOff.ServiceStopRound(kCloseServicePeriod)) {
            break;
        }
    }
    if (m_monitorThread.joinable()) {
        m_monitorThread.join();
    }
}

void CSerialLink::ClosePortLocked() {
    if (m_hPort < 0) {
        return;
    }
    if (m_bPortLocked) {
        EndExclusive(m_hPort, m_portLock);
        m_bPortLocked = false;
    }
    ::close(m_hPort);  // never retried: Linux frees the descriptor even on EINTR
    m_hPort = -1;
}

void CSerialLink::MonitorThread() {
    {
        std::lock_guard<std::mutex> port(m_csPort);
        if (m_hPort >= 0) {
            ::tcflush(m_hPort, TCIOFLUSH);
        }
    }
    for (;;) {
        // Stop, port, send: poll reports all ready ones and the lowest index is acted on. Input is
        // watched only for EV_RXCHAR (no other class has a descriptor to watch); hang-ups are
        // reported whatever the events. A vanished port is left out (fd -1), so it cannot wake the
        // thread again.
        const bool watchPort = m_hPort >= 0 && !m_bPortGone;
        pollfd waits[3] = {
            {m_stopEvent.Fd(), POLLIN, 0},
            {watchPort ? m_hPort : -1,
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
    m_handOff.MonitorEnded();  // the last step: the owner's thread may join from now on
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
            std::lock_guard<std::mutex> port(m_csPort);
            if (::ioctl(m_hPort, FIONREAD, &queued) != 0) {
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
            std::lock_guard<std::mutex> port(m_csPort);
            do {
                got = ::read(m_hPort, &byte, 1);
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
        std::lock_guard<std::mutex> send(m_csSend);
        m_sendEvent.Reset();
        if (!m_bSendPending || !m_pSendBuffer) {
            return;
        }
        m_bSendPending = false;
        length = static_cast<std::size_t>(m_nSendLength);
        std::copy_n(m_pSendBuffer.get(), length, m_pWriteBuffer.get());
    }

    std::unique_lock<std::mutex> port(m_csPort);
    if (m_hPort < 0 || m_bPortGone) {
        return;  // no port, or a vanished one whose single report has been shown
    }
    ::tcflush(m_hPort, TCIOFLUSH);

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
        const ssize_t written = ::write(m_hPort, m_pWriteBuffer.get() + done, length - done);
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
        pollfd waits[2] = {{m_stopEvent.Fd(), POLLIN, 0}, {m_hPort, POLLOUT, 0}};
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
