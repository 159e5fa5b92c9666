// What both halves of the Win32 link use: the OVERLAPPED records, DCB, COMMTIMEOUTS and the
// critical section behind CSerialLink::Records, kept out of the public header with windows.h.
#pragma once

#include <windows.h>

#include "SerialLink.h"

inline constexpr DWORD kPurgeAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;

/// Whether a port call's error means the device behind the handle has gone (adapter pulled,
/// pseudo-terminal hung up): the driver refuses everything after it. Not an abort.
bool IsDeviceGone(DWORD error);

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

/// Closes an event handle once and forgets it.
inline void CloseEvent(HANDLE& event) {
    if (event != nullptr) {
        ::CloseHandle(event);
        event = nullptr;
    }
}

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
