// The Win32 link on the owner's thread: open, send, close and reports. The monitor thread's
// half is MonitorThread.cpp.
#include "SerialLink.h"

#include "LinkRecords.h"
#include "LinkReport.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <new>
#include <string>

namespace {

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

// A manual-reset, unnamed, non-signalled event: created once, reset on later calls.
bool PrepareEvent(HANDLE& event) {
    if (event != nullptr) {
        return ::ResetEvent(event) != 0;
    }
    event = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return event != nullptr;
}

}  // namespace

CSerialLink::CSerialLink() : m_records(std::make_unique<Records>()) {}

CSerialLink::~CSerialLink() {
    // At program exit the owner and the reporter may already be gone: from here on nothing
    // is delivered to the owner and reports only go to standard error.
    m_bDestroying.store(true);
    DetachOwner();
    m_handOff.StopMonitorDetached([this] { ::SetEvent(m_hStopEvent); });
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
        std::lock_guard<std::mutex> slot(m_sendMutex);
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

int CSerialLink::OpenPath(ILinkOwner* /*owner*/, const std::string& devicePath,
                          const LinkSettings& /*settings*/) {
    m_lastOpenFailure = {};
    m_lastOpenFailure.kind = OpenFailureKind::Failed;
    m_lastOpenFailure.error = ERROR_NOT_SUPPORTED;
    m_lastOpenFailure.device = devicePath;
    return 0;
}

int CSerialLink::StartMonitor() {
    return TryStartMonitor() == MonitorStart::Started ? 1 : 0;
}

MonitorStart CSerialLink::TryStartMonitor() {
    if (m_hStopEvent == nullptr || m_hSendEvent == nullptr) {
        return MonitorStart::NeverOpened;
    }
    if (m_handOff.MonitorRunning()) {
        return MonitorStart::AlreadyRunning;  // two would read each other's bytes
    }
    return m_handOff.StartMonitor([this] { MonitorThread(); }) ? MonitorStart::Started
                                                               : MonitorStart::ThreadFailed;
}

int CSerialLink::Send(const std::uint8_t* bytes, int length) {
    return TrySend(bytes, length) == SendResult::Queued ? 1 : 0;
}

SendResult CSerialLink::TrySend(const std::uint8_t* bytes, int length) {
    std::lock_guard<std::mutex> slot(m_sendMutex);
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
        std::copy_n(bytes, length, m_pSendBuffer.get());
    }
    m_nSendLength = length;
    m_bSendPending = true;
    return ::SetEvent(m_hSendEvent) ? SendResult::Queued : SendResult::EventFailed;
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
    std::lock_guard<std::mutex> slot(m_sendMutex);
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
    m_handOff.StopMonitor([this] { ::SetEvent(m_hStopEvent); });
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
