// How the link works
//
// Threads. The owner's thread (the panel's) calls every public member; its half is this file.
// The monitor thread (MonitorThread.cpp), started by StartMonitor and ended by Close, Open or
// the destructor, waits in poll() on the stop event, the port and the send event (the lowest
// ready one wins, as with WaitForMultipleObjects), reads received bytes one at a time and
// writes the send slot. Each notification reaches the owner's thread through m_handOff:
// LinkHandOff.cpp describes the slot, its states and its locks.
//
// Locks. m_portMutex guards the descriptor and every call on it; m_sendMutex the send slot and the
// send event. Neither is held while the hand-off's locks are taken. No lock is held across
// OnLinkMessage, ServiceWhileClosing or a report (which may run a modal loop that closes the
// link), and m_sendMutex is never held across a blocking call.

#include "SerialLink.h"

#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>
#include <optional>
#include <string>

#include "ExclusiveOpen.h"
#include "LineSettings.h"
#include "LinkEventClasses.h"
#include "LinkReport.h"
#include "PortNames.h"

namespace {

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
    m_handOff.StopMonitorDetached([this] { m_stopEvent.Set(); });
    std::lock_guard<std::mutex> port(m_portMutex);
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
    return OpenDevice(owner, PortDevicePath(portNumber), portNumber, settings);
}

int CSerialLink::OpenPath(ILinkOwner* owner, const std::string& devicePath,
                          const LinkSettings& settings) {
    return OpenDevice(owner, devicePath, 0, settings);
}

int CSerialLink::OpenDevice(ILinkOwner* owner, const std::string& devicePath, int portNumber,
                            const LinkSettings& settings) {
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
        std::lock_guard<std::mutex> port(m_portMutex);
        ClosePortLocked();  // a port still open from an Open without Close
        m_bPortGone = false;
        const int fd = OpenExclusive(devicePath, m_portLock, m_lastOpenFailure);
        if (fd < 0) {
            return 0;  // no report: the operator is told by the program, from LastOpenFailure
        }
        m_portFd = fd;
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
    std::lock_guard<std::mutex> send(m_sendMutex);
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
    if (::tcgetattr(m_portFd, m_portConfig.get()) != 0) {
        return {"GetCommState()", errno};
    }
    const std::optional<termios> raw = RawLineSettings(*m_portConfig, line);
    if (!raw) {
        return {"SetCommState()", EINVAL};  // a speed, size or stop-bit count termios lacks
    }
    if (::tcsetattr(m_portFd, TCSANOW, &*raw) != 0) {
        return {"SetCommState()", errno};
    }
    *m_portConfig = *raw;
    int rts = TIOCM_RTS;
    // A device without modem lines (a pty) answers ENOTTY or EINVAL: nothing to raise.
    if (::ioctl(m_portFd, TIOCMBIS, &rts) != 0 && errno != ENOTTY && errno != EINVAL) {
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
    if (m_handOff.MonitorRunning()) {
        return MonitorStart::AlreadyRunning;
    }
    // The thread is born with the process's signals blocked (a thread inherits its creator's
    // mask), so they reach the program's own threads: a Ctrl-C delivered here would end the
    // program without letting it tidy up, or go unnoticed by a program that waits for it.
    sigset_t all;
    sigset_t before;
    ::sigfillset(&all);
    for (const int synchronous : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT}) {
        ::sigdelset(&all, synchronous);
    }
    ::pthread_sigmask(SIG_BLOCK, &all, &before);
    const bool started = m_handOff.StartMonitor([this] { MonitorThread(); });
    ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
    return started ? MonitorStart::Started : MonitorStart::ThreadFailed;
}

int CSerialLink::Send(const std::uint8_t* bytes, int length) {
    return TrySend(bytes, length) == SendResult::Queued ? 1 : 0;
}

SendResult CSerialLink::TrySend(const std::uint8_t* bytes, int length) {
    std::lock_guard<std::mutex> send(m_sendMutex);
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
        std::lock_guard<std::mutex> port(m_portMutex);
        ClosePortLocked();
    }
    // The I/O event went with the port; the stop and send events are reset.
    m_stopEvent.Reset();
    std::lock_guard<std::mutex> send(m_sendMutex);
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
    m_handOff.StopMonitor([this] { m_stopEvent.Set(); });
}

void CSerialLink::ClosePortLocked() {
    if (m_portFd < 0) {
        return;
    }
    if (m_bPortLocked) {
        EndExclusive(m_portFd, m_portLock);
        m_bPortLocked = false;
    }
    ::close(m_portFd);  // never retried: Linux frees the descriptor even on EINTR
    m_portFd = -1;
}
