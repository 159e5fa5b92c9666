// The Win32 link's monitor thread: the event wait, the one-byte reads and the writes.
#include "LinkEventClasses.h"
#include "LinkRecords.h"

#include <algorithm>
#include <cstdint>

namespace {

// How long giving up an overlapped operation may take before the record is left to the
// system.
constexpr DWORD kCancelLimitMs = 2000;

// How long the monitor thread waits for an event before it looks at the input queue itself.
constexpr DWORD kQueueRecheckMs = 50;

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

}  // namespace

// An aborted operation is not among these: Wine ends idle event waits as aborted hundreds of
// times a second, and Close aborts on purpose.
bool IsDeviceGone(DWORD error) {
    switch (error) {
        case ERROR_ACCESS_DENIED:  // a pulled USB adapter, on Windows
        case ERROR_BAD_COMMAND:
        case ERROR_GEN_FAILURE:
        case ERROR_DEVICE_REMOVED:
        case ERROR_DEVICE_NOT_CONNECTED:
        case ERROR_INVALID_HANDLE:
        case ERROR_NOT_READY:  // a hung-up pseudo-terminal, under Wine
            return true;
        default:
            return false;
    }
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
        // A send waits neither behind a stream of received bytes nor behind event waits that
        // end at once (Wine ends idle ones hundreds of times a second): either would keep the
        // send event from ever being the lowest one signalled.
        if (::WaitForSingleObject(m_hSendEvent, 0) == WAIT_OBJECT_0 && !StopRequested()) {
            WritePending();
            continue;
        }
        if (m_hPort != nullptr && !m_bPortGone) {
            // Asked every round, whatever the event wait's state, since QueuedBytes is what
            // notices a vanished device: the wait may never end (Wine at times loses a wait's
            // completion for good) and an idle panel writes nothing. Bytes that came while no
            // wait was outstanding may raise no event of their own (Wine's waits on a pty
            // never report one). After a failed read only the end of the next wait reads
            // again, so a read that keeps failing is not retried in a loop.
            const long queued = QueuedBytes();
            if (queued > 0 && (m_dwEventMask & EV_RXCHAR) != 0 && !m_bReadFailed &&
                !StopRequested()) {
                ReceivePending();
                continue;
            }
        }
        // Lowest index first: stop, then the port event, then the send event.
        // Bounded: Wine at times leaves an event wait outstanding with bytes queued; the next
        // round finds them by their count.
        const DWORD which = ::WaitForMultipleObjects(3, r.waitHandles, FALSE, kQueueRecheckMs);
        if (which == WAIT_TIMEOUT) {
            continue;
        }
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
        // Signalled before its result was stored (Wine): the result mostly follows at once,
        // though not always with a signal of its own, and now and then never comes. A wait
        // that stays outstanding is left so; the status query of every round still notices
        // a vanished device.
        if (!AwaitCompletion(r.waitIo, 200)) {
            return;
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
    // A wait that looks like a vanished device is the vanished device only when the port
    // itself says so, which the next round asks: some drivers (Wine's on a pseudo-terminal,
    // hundreds of times a second) end an idle wait as aborted with no event.
    if (error == ERROR_OPERATION_ABORTED || IsDeviceGone(error)) {
        return;
    }
    ::SetLastError(error);
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
    // Reads and writes are cancelled only when the thread stops, silently: one the driver
    // aborted went with its device.
    if (!IsDeviceGone(error) && error != ERROR_OPERATION_ABORTED) {
        ReportError(operation);
        return;
    }
    if (m_bPortGone) {
        return;  // reported once already
    }
    // No longer watched. The report comes first: a wait whose completion was lost can take
    // the whole cancel limit to be given up.
    m_bPortGone = true;
    ReportError(operation);
    CancelEventWait();
}

long CSerialLink::QueuedBytes() {
    COMSTAT status{};
    DWORD errors = 0;
    DWORD error = ERROR_SUCCESS;
    {
        SectionLock port(m_records->csPort);
        if (::ClearCommError(m_hPort, &errors, &status)) {
            return static_cast<long>(status.cbInQue);
        }
        error = ::GetLastError();
    }
    if (IsDeviceGone(error)) {
        // Reported as the watch's failure, the same report as when the wait itself fails.
        ::SetLastError(error);
        PortFailed("WaitCommEvent()");
    }
    return -1;
}

void CSerialLink::ReceivePending() {
    Records& r = *m_records;
    while (!StopRequested() && !m_bPortGone) {
        const long queued = QueuedBytes();
        if (queued == 0 || m_bPortGone) {
            return;
        }
        // Any other failed status query says nothing: the read below tells what is wrong.
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
        std::lock_guard<std::mutex> slot(m_sendMutex);
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
    // The event wait stays outstanding: taking it back can hold the write for up to
    // kCancelLimitMs under Wine. Should the purge end it, WaitFailed finds the port still
    // answering and waits again.

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
