#include "SerialLink.h"

#include "LinkEventClasses.h"
#include "LinkReport.h"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <new>
#include <string>
#include <system_error>

namespace {

// How long Close (and Open, which stops a running monitor the same way) sleeps between
// rounds of servicing the owner while the monitor thread has nothing for it.
constexpr std::chrono::milliseconds kCloseServicePeriod{15};

// How long giving up an overlapped operation may take before the record is left to the
// system.
constexpr DWORD kCancelLimitMs = 2000;

constexpr DWORD kPurgeAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;

// Error codes that mean the device behind an open handle has gone (adapter pulled): the
// driver aborts what is outstanding and refuses everything after. Wine reports a hung-up
// pseudo-terminal as not ready; USB adapters' drivers often as a general failure.
bool IsDeviceGone(DWORD error) {
    switch (error) {
        case ERROR_OPERATION_ABORTED:
        case ERROR_ACCESS_DENIED:
        case ERROR_BAD_COMMAND:
        case ERROR_DEVICE_REMOVED:
        case ERROR_DEVICE_NOT_CONNECTED:
        case ERROR_NOT_READY:
        case ERROR_GEN_FAILURE:
        case ERROR_INVALID_HANDLE:
            return true;
        default:
            return false;
    }
}

// The system's text for an error code, with the line break FormatMessage ends it with.
std::string SystemText(DWORD error) {
    char* text = nullptr;
    const DWORD length = ::FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr, error,
        MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<char*>(&text), 0, nullptr);
    std::string result;
    if (length != 0 && text != nullptr) {
        result.assign(text, length);
    } else {
        result = "Error " + std::to_string(error) + " (no text from the system).\r\n";
    }
    if (text != nullptr) {
        ::LocalFree(text);
    }
    return result;
}

// Holds a critical section for a scope.
class SectionLock {
public:
    explicit SectionLock(CRITICAL_SECTION& section) : m_section(section) {
        ::EnterCriticalSection(&m_section);
    }
    ~SectionLock() { ::LeaveCriticalSection(&m_section); }
    SectionLock(const SectionLock&) = delete;
    SectionLock& operator=(const SectionLock&) = delete;

private:
    CRITICAL_SECTION& m_section;
};

// A manual-reset, unnamed, non-signalled event: created once, reset on later calls.
bool PrepareEvent(HANDLE& event) {
    if (event != nullptr) {
        return ::ResetEvent(event) != 0;
    }
    event = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return event != nullptr;
}

// Waits, at most `limitMs`, until the system has stored the result of an overlapped
// operation. Its event alone is not proof either way: Wine signals a serial wait's event
// before storing its result, and stores some results without signalling again.
bool AwaitCompletion(const OVERLAPPED& io, DWORD limitMs) {
    const ULONGLONG deadline = ::GetTickCount64() + limitMs;
    while (!HasOverlappedIoCompleted(&io)) {
        if (::GetTickCount64() >= deadline) {
            return false;
        }
        ::WaitForSingleObject(io.hEvent, 5);
    }
    return true;
}

void CloseEvent(HANDLE& event) {
    if (event != nullptr) {
        ::CloseHandle(event);
        event = nullptr;
    }
}

}  // namespace

// One OVERLAPPED record per kind of operation: the event wait stays outstanding while bytes
// are read and written, and a record the system still uses must not be reused for another
// call. The wait's event is the I/O event of the wait handles.
struct CSerialLink::Records {
    Records() { ::InitializeCriticalSection(&csPort); }
    ~Records() {
        CloseEvent(waitIo.hEvent);
        CloseEvent(readIo.hEvent);
        CloseEvent(writeIo.hEvent);
        ::DeleteCriticalSection(&csPort);
    }
    Records(const Records&) = delete;
    Records& operator=(const Records&) = delete;

    CRITICAL_SECTION csPort;     // m_csPort: guards the port calls
    OVERLAPPED waitIo{};         // m_overlapped, for WaitCommEvent
    OVERLAPPED readIo{};         // the one-byte reads
    OVERLAPPED writeIo{};        // the writes
    HANDLE waitHandles[3] = {};  // m_hWaitHandles: stop, I/O, send
    COMMTIMEOUTS timeouts{};     // m_timeouts
    DCB portConfig{};            // m_portConfig
};

CSerialLink::CSerialLink() : m_records(std::make_unique<Records>()) {}

CSerialLink::~CSerialLink() {
    // At program exit the owner and the reporter may already be gone: from here on nothing
    // is delivered to the owner and reports only go to standard error.
    m_bDestroying.store(true);
    DetachOwner();
    if (m_monitorThread.joinable()) {
        // With the owner detached the monitor thread never waits for it, so the stop event
        // alone ends it.
        ::SetEvent(m_hStopEvent);
        m_handOff.AwaitMonitorEnd();
        m_monitorThread.join();
    }
    ClosePort();
    CloseEvent(m_hStopEvent);
    CloseEvent(m_hSendEvent);
}

int CSerialLink::Open(ILinkOwner* owner, int portNumber, const LinkSettings& settings) {
    const LineParameters& line = settings.line;
    const LinkTimeouts& t = settings.timeouts;
    return Open(owner, portNumber, line.baudRate, line.parity, line.dataBits, line.stopBits,
                settings.eventMask, settings.sendBufferSize, t.readInterval, t.readTotalMultiplier,
                t.readTotalConstant, t.writeTotalMultiplier, t.writeTotalConstant);
}

int CSerialLink::Open(ILinkOwner* owner, int portNumber, std::uint32_t baudRate, char parity,
                      std::uint32_t dataBits, std::uint32_t stopBits, std::uint32_t eventMask,
                      std::uint32_t sendBufferSize, std::uint32_t readIntervalTimeout,
                      std::uint32_t readTotalTimeoutMultiplier,
                      std::uint32_t readTotalTimeoutConstant,
                      std::uint32_t writeTotalTimeoutMultiplier,
                      std::uint32_t writeTotalTimeoutConstant) {
    // 1. No monitor thread may use the port while it is replaced.
    StopMonitor();
    m_lastOpenFailure = {};
    Records& r = *m_records;

    // 2 and 3. The events: created by the first Open, reset by later ones.
    const bool eventsReady = PrepareEvent(r.waitIo.hEvent) && PrepareEvent(r.readIo.hEvent) &&
                             PrepareEvent(r.writeIo.hEvent) && PrepareEvent(m_hSendEvent) &&
                             PrepareEvent(m_hStopEvent);
    if (!eventsReady) {
        m_lastOpenFailure.kind = OpenFailureKind::Failed;
        m_lastOpenFailure.error = static_cast<int>(::GetLastError());
        return 0;
    }
    r.waitHandles[0] = m_hStopEvent;
    r.waitHandles[1] = r.waitIo.hEvent;
    r.waitHandles[2] = m_hSendEvent;

    // 5. Owner, send slot, port number, event mask.
    m_handOff.Reset(owner);
    {
        std::lock_guard<std::mutex> slot(m_csSend);
        m_bSendPending = false;
        m_pSendBuffer.reset(new (std::nothrow) std::uint8_t[sendBufferSize]);
        m_pWriteBuffer.reset(new (std::nothrow) std::uint8_t[sendBufferSize]);
        if (!m_pSendBuffer || !m_pWriteBuffer) {
            m_pSendBuffer.reset();
            m_pWriteBuffer.reset();
            m_nSendBufferSize = 0;
            m_lastOpenFailure.kind = OpenFailureKind::Failed;
            m_lastOpenFailure.error = ERROR_NOT_ENOUGH_MEMORY;
            return 0;
        }
        m_nSendBufferSize = sendBufferSize;
    }
    m_nPortNumber = portNumber;
    m_dwEventMask = eventMask;

    // 6. The lock is held through the purge. A failed step is reported after it is released:
    // the report may run a modal loop on this thread, and what runs there may close the link.
    const char* failedStep = nullptr;
    DWORD error = 0;
    {
        SectionLock port(r.csPort);
        // 7. A port still open from an Open without Close is closed first.
        ClosePort();

        // 8 and 11. No sharing: a port another program (or link) holds does not open. No
        // report when it does not open.
        const std::string device = "\\\\.\\COM" + std::to_string(portNumber);
        // Windows' serial drivers refuse a second open by themselves; Wine's do not, so a
        // named claim per port keeps a second link (here or in another program of this
        // session) out there too.
        const std::string claimName = "Local\\varnel-port-COM" + std::to_string(portNumber);
        HANDLE claim = ::CreateMutexA(nullptr, FALSE, claimName.c_str());
        if (claim != nullptr && ::GetLastError() == ERROR_ALREADY_EXISTS) {
            ::CloseHandle(claim);
            m_lastOpenFailure.kind = OpenFailureKind::Busy;
            m_lastOpenFailure.error = ERROR_ACCESS_DENIED;
            m_lastOpenFailure.device = device;
            return 0;
        }
        HANDLE handle = ::CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            const DWORD openError = ::GetLastError();
            if (claim != nullptr) {
                ::CloseHandle(claim);
            }
            m_lastOpenFailure.error = static_cast<int>(openError);
            m_lastOpenFailure.device = device;
            m_lastOpenFailure.kind =
                openError == ERROR_FILE_NOT_FOUND || openError == ERROR_PATH_NOT_FOUND
                    ? OpenFailureKind::NoSuchDevice
                : openError == ERROR_ACCESS_DENIED || openError == ERROR_SHARING_VIOLATION
                    ? OpenFailureKind::Busy
                    : OpenFailureKind::Failed;
            return 0;
        }
        m_hPort = handle;
        m_hClaim = claim;
        m_bPortGone = false;
        m_bReadFailed = false;
        m_bWaitPending = false;

        // 12 to 15. Only the first step that fails is reported; the later ones are skipped.
        r.timeouts.ReadIntervalTimeout = readIntervalTimeout * 1000u;
        r.timeouts.ReadTotalTimeoutMultiplier = readTotalTimeoutMultiplier * 1000u;
        r.timeouts.ReadTotalTimeoutConstant = readTotalTimeoutConstant * 1000u;
        r.timeouts.WriteTotalTimeoutMultiplier = writeTotalTimeoutMultiplier * 1000u;
        r.timeouts.WriteTotalTimeoutConstant = writeTotalTimeoutConstant * 1000u;
        r.portConfig = DCB{};
        r.portConfig.DCBlength = sizeof(DCB);
        if (!::SetCommTimeouts(handle, &r.timeouts)) {
            failedStep = "SetCommTimeouts()";
        } else if (!::SetCommMask(handle, eventMask)) {
            failedStep = "SetCommMask()";
        } else if (!::GetCommState(handle, &r.portConfig)) {
            failedStep = "GetCommState()";
        } else if (stopBits > TWOSTOPBITS) {
            // No defined mapping: refused as the driver refuses a bad DCB, not truncated.
            failedStep = "SetCommState()";
            ::SetLastError(ERROR_INVALID_PARAMETER);
        } else {
            r.portConfig.fRtsControl = RTS_CONTROL_ENABLE;
            r.portConfig.EvtChar = 'q';
            r.portConfig.BaudRate = baudRate;
            r.portConfig.Parity = parity == 'E'   ? EVENPARITY
                                  : parity == 'O' ? ODDPARITY
                                  : parity == 'M' ? MARKPARITY
                                  : parity == 'S' ? SPACEPARITY
                                                  : NOPARITY;
            r.portConfig.ByteSize = static_cast<BYTE>(dataBits & 0xFFu);
            r.portConfig.StopBits = static_cast<BYTE>(stopBits);
            if (!::SetCommState(handle, &r.portConfig)) {
                failedStep = "SetCommState()";
            }
        }
        if (failedStep != nullptr) {
            error = ::GetLastError();
        }
        // 16. The purge runs whatever happened above.
        ::PurgeComm(handle, kPurgeAll);
    }
    if (failedStep != nullptr) {
        ::SetLastError(error);
        ReportError(failedStep);
    }
    return 1;
}

int CSerialLink::StartMonitor() {
    if (m_hStopEvent == nullptr || m_hSendEvent == nullptr) {
        return 0;  // never opened
    }
    if (m_monitorThread.joinable()) {
        return 0;  // one is running: two would read each other's bytes
    }
    m_handOff.MonitorStarting();
    try {
        m_monitorThread = std::thread(&CSerialLink::MonitorThread, this);
    } catch (const std::system_error&) {
        m_handOff.MonitorEnded();
        return 0;
    }
    return 1;
}

int CSerialLink::Send(const std::uint8_t* bytes, int length) {
    std::lock_guard<std::mutex> slot(m_csSend);
    // Refused rather than overrunning the buffer or writing what the caller did not give.
    if (!m_pSendBuffer || length < 0 || static_cast<std::uint32_t>(length) > m_nSendBufferSize ||
        (length > 0 && bytes == nullptr)) {
        return 0;
    }
    if (length > 0) {
        std::copy_n(bytes, length, m_pSendBuffer.get());
    }
    m_nSendLength = length;
    m_bSendPending = true;
    return ::SetEvent(m_hSendEvent) ? 1 : 0;
}

void CSerialLink::Close() {
    StopMonitor();
    ClosePort();
    // 3. Reset the stop, I/O and send events.
    for (HANDLE event : {m_hStopEvent, m_records->waitIo.hEvent}) {
        if (event != nullptr) {
            ::ResetEvent(event);
        }
    }
    std::lock_guard<std::mutex> slot(m_csSend);
    if (m_hSendEvent != nullptr) {
        ::ResetEvent(m_hSendEvent);
    }
    m_bSendPending = false;
}

void CSerialLink::ReportError(const char* operation) {
    const DWORD error = ::GetLastError();
    const std::string text = FormatLinkReport(operation, SystemText(error), m_nPortNumber);
    ShowLinkReport(m_bDestroying.load() ? nullptr : m_pReporter.load(), text);
    ::SetLastError(error);
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
        ::SetEvent(m_hStopEvent);
        if (!m_handOff.ServiceStopRound(kCloseServicePeriod)) {
            break;
        }
    }
    if (m_monitorThread.joinable()) {
        m_monitorThread.join();
    }
}

void CSerialLink::ClosePort() {
    if (m_hPort != nullptr) {
        ::CloseHandle(m_hPort);
        m_hPort = nullptr;
    }
    if (m_hClaim != nullptr) {
        ::CloseHandle(m_hClaim);
        m_hClaim = nullptr;
    }
    m_bWaitPending = false;
}

bool CSerialLink::StopRequested() const {
    return ::WaitForSingleObject(m_hStopEvent, 0) == WAIT_OBJECT_0;
}

void CSerialLink::MonitorThread() {
    Records& r = *m_records;
    {
        SectionLock port(r.csPort);
        if (m_hPort != nullptr) {
            ::PurgeComm(m_hPort, kPurgeAll);
        }
    }
    for (;;) {
        StartEventWait();
        // Bytes that came while no wait was outstanding may raise no event of their own (and
        // Wine's waits on a pty never report one). After a failed read only the end of the
        // next wait reads again, so a read that keeps failing is not retried in a loop.
        if ((m_dwEventMask & EV_RXCHAR) != 0 && m_hPort != nullptr && !m_bPortGone &&
            !m_bReadFailed) {
            COMSTAT status{};
            DWORD errors = 0;
            BOOL known = FALSE;
            {
                SectionLock port(r.csPort);
                known = ::ClearCommError(m_hPort, &errors, &status);
            }
            if (known && status.cbInQue > 0 && !StopRequested()) {
                ReceivePending();
                continue;
            }
        }
        // Lowest index first: stop, then the port event, then the send event.
        const DWORD which = ::WaitForMultipleObjects(3, r.waitHandles, FALSE, INFINITE);
        if (which == WAIT_OBJECT_0) {
            break;
        }
        if (which == WAIT_OBJECT_0 + 1) {
            OnEventWaitDone();
        } else if (which == WAIT_OBJECT_0 + 2) {
            WritePending();
        } else {
            ::Sleep(50);  // the wait itself failed (cannot with valid handles): no spinning
        }
    }
    CancelEventWait();
    m_handOff.MonitorEnded();  // the last step: the owner's thread may join from now on
}

void CSerialLink::StartEventWait() {
    Records& r = *m_records;
    if (m_bWaitPending || m_hPort == nullptr || m_bPortGone) {
        return;
    }
    ::ResetEvent(r.waitIo.hEvent);
    r.waitIo.Offset = 0;
    r.waitIo.OffsetHigh = 0;
    m_dwEventWord = 0;
    if (::WaitCommEvent(m_hPort, &m_dwEventWord, &r.waitIo)) {
        m_bWaitPending = true;  // done at once: handled as the I/O event, like a later one
        ::SetEvent(r.waitIo.hEvent);
        return;
    }
    const DWORD error = ::GetLastError();
    if (error == ERROR_IO_PENDING) {
        m_bWaitPending = true;
    } else if (error != ERROR_INVALID_PARAMETER) {
        ::SetLastError(error);
        WaitFailed();
    }
}

void CSerialLink::OnEventWaitDone() {
    Records& r = *m_records;
    DWORD ignored = 0;
    const BOOL ok = ::GetOverlappedResult(m_hPort, &r.waitIo, &ignored, FALSE);
    const DWORD error = ::GetLastError();
    ::ResetEvent(r.waitIo.hEvent);
    m_bReadFailed = false;
    if (!ok && error == ERROR_IO_INCOMPLETE) {
        // Signalled before its result was stored (Wine, as a port hangs up): the result
        // follows at once, though not always with a signal of its own.
        if (!AwaitCompletion(r.waitIo, 200)) {
            return;  // still outstanding: its completion signals the event
        }
        OnEventWaitDone();
        return;
    }
    m_bWaitPending = false;
    if (!ok) {
        ::SetLastError(error);
        WaitFailed();
        return;
    }
    // The classes that occurred and are watched; an empty word is no event at all (a wait
    // ended by a mask change, or an idle wake-up): nothing is read or delivered.
    const std::uint32_t events = m_dwEventWord & m_dwEventMask;
    if ((events & EV_RXCHAR) != 0) {
        ReceivePending();
    }
    for (const LinkEventClass& row : kOtherEventClasses) {
        if ((events & row.eventClass) != 0 && !m_bPortGone && !StopRequested()) {
            m_handOff.Deliver(row.message, 0, m_nPortNumber);
        }
    }
}

void CSerialLink::WaitFailed() {
    const DWORD error = ::GetLastError();
    if (IsDeviceGone(error)) {
        // An aborted wait is the vanished device only when the port itself says so: some
        // drivers (Wine's on a pseudo-terminal, hundreds of times a second) end an idle wait
        // as aborted with no event. A port that still answers is waited on again.
        COMSTAT status{};
        DWORD errors = 0;
        BOOL answers = FALSE;
        {
            SectionLock port(m_records->csPort);
            answers = ::ClearCommError(m_hPort, &errors, &status);
        }
        if (answers) {
            return;
        }
    } else {
        ::SetLastError(error);
    }
    PortFailed("WaitCommEvent()");
}

CSerialLink::IoResult CSerialLink::FinishIo(void* overlapped, unsigned long& transferred) {
    auto* io = static_cast<OVERLAPPED*>(overlapped);
    transferred = 0;
    const HANDLE waits[2] = {m_hStopEvent, io->hEvent};
    const DWORD which = ::WaitForMultipleObjects(2, waits, FALSE, INFINITE);
    if (which == WAIT_OBJECT_0) {
        // Close is waiting for the thread: give the operation up, and wait until the system
        // has let go of its record.
        ::CancelIoEx(m_hPort, io);
        AwaitCompletion(*io, kCancelLimitMs);
        return IoResult::Stopped;
    }
    if (!AwaitCompletion(*io, kCancelLimitMs)) {
        ::SetLastError(ERROR_IO_INCOMPLETE);
        return IoResult::Failed;
    }
    return ::GetOverlappedResult(m_hPort, io, &transferred, FALSE) ? IoResult::Done
                                                                   : IoResult::Failed;
}

void CSerialLink::CancelEventWait() {
    Records& r = *m_records;
    if (!m_bWaitPending || m_hPort == nullptr) {
        m_bWaitPending = false;
        return;
    }
    ::CancelIoEx(m_hPort, &r.waitIo);
    // A wait the system never lets go of keeps its record (it lives as long as the link)
    // and stays marked outstanding, so the record is not reused.
    m_bWaitPending = !AwaitCompletion(r.waitIo, kCancelLimitMs);
    ::ResetEvent(r.waitIo.hEvent);
}

void CSerialLink::PortFailed(const char* operation) {
    const DWORD error = ::GetLastError();
    if (IsDeviceGone(error)) {
        if (m_bPortGone) {
            return;  // reported once already
        }
        // No longer watched: an outstanding wait would only end again with the same error.
        m_bPortGone = true;
        CancelEventWait();
    }
    ::SetLastError(error);
    ReportError(operation);
}

void CSerialLink::ReceivePending() {
    Records& r = *m_records;
    while (!StopRequested() && !m_bPortGone) {
        COMSTAT status{};
        DWORD errors = 0;
        BOOL known = FALSE;
        {
            SectionLock port(r.csPort);
            known = ::ClearCommError(m_hPort, &errors, &status);
        }
        if (known && status.cbInQue == 0) {
            return;
        }
        // A failed status query says nothing: the read below tells what is wrong.
        std::uint8_t byte = 0;
        DWORD got = 0;
        const char* failedStep = nullptr;
        {
            SectionLock port(r.csPort);
            r.readIo.Offset = 0;
            r.readIo.OffsetHigh = 0;
            if (::ReadFile(m_hPort, &byte, 1, nullptr, &r.readIo) ||
                ::GetLastError() == ERROR_IO_PENDING) {
                const IoResult result = FinishIo(&r.readIo, got);
                if (result == IoResult::Stopped) {
                    return;
                }
                if (result == IoResult::Failed) {
                    failedStep = "GetOverlappedResults() in ReadFile()";
                }
            } else {
                failedStep = "ReadFile()";
            }
        }
        if (failedStep != nullptr) {
            m_bReadFailed = true;
            PortFailed(failedStep);  // nothing was read, so nothing is delivered
            return;
        }
        if (got != 1) {
            return;  // the read timed out empty: nothing to deliver
        }
        m_handOff.Deliver(WM_LINK_RXCHAR, byte, m_nPortNumber);
    }
}

void CSerialLink::WritePending() {
    Records& r = *m_records;
    std::size_t length = 0;
    {
        // Reset and take in one step under the slot's lock: a Send after it signals anew and
        // is written by the next round, a Send before it is written now; each exactly once.
        std::lock_guard<std::mutex> slot(m_csSend);
        ::ResetEvent(m_hSendEvent);
        if (!m_bSendPending || !m_pSendBuffer) {
            return;
        }
        m_bSendPending = false;
        length = static_cast<std::size_t>(m_nSendLength);
        std::copy_n(m_pSendBuffer.get(), length, m_pWriteBuffer.get());
    }
    if (m_hPort == nullptr || m_bPortGone) {
        return;  // no port, or a vanished one whose single report has been shown
    }
    // The purge aborts what is outstanding; the event wait is taken back first so that its
    // abort is not mistaken for a vanished device. It restarts after the write.
    CancelEventWait();

    const char* failedStep = nullptr;
    {
        SectionLock port(r.csPort);
        r.writeIo.Offset = 0;
        r.writeIo.OffsetHigh = 0;
        ::PurgeComm(m_hPort, kPurgeAll);
        DWORD written = 0;
        if (::WriteFile(m_hPort, m_pWriteBuffer.get(), static_cast<DWORD>(length), nullptr,
                        &r.writeIo) ||
            ::GetLastError() == ERROR_IO_PENDING) {
            // The count written is not compared: a write the timeouts cut short is not a
            // failure, and one the stop event gives up is silent.
            if (FinishIo(&r.writeIo, written) == IoResult::Failed) {
                failedStep = "GetOverlappedResults() in WriteFile()";
            }
        } else {
            failedStep = "WriteFile()";
        }
    }
    if (failedStep != nullptr) {
        PortFailed(failedStep);
    }
}
