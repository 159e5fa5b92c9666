// The one serial link of the panel on Win32: opens and configures a COM port for overlapped
// I/O, runs a monitor thread that hands every received byte to the owner's thread and writes
// what the owner sends.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "LinkHandOff.h"
#include "LinkMessages.h"
#include "LinkOwner.h"
#include "LinkResults.h"
#include "LinkSettings.h"
#include "OpenFailure.h"

/// The public interface is the POSIX link's, so the controller and the panels use either the
/// same way. windows.h stays out of this header: its records live in the implementation.
class CSerialLink {
public:
    CSerialLink();
    virtual ~CSerialLink();
    CSerialLink(const CSerialLink&) = delete;
    CSerialLink& operator=(const CSerialLink&) = delete;

    /// Opens \\.\COM`portNumber` without sharing, for overlapped I/O, and configures it.
    /// Returns non-zero when the device opened (also after a reported configuration failure),
    /// 0 when it did not (no report). Timeouts are kept multiplied by 1000, as milliseconds.
    int Open(ILinkOwner* owner, int portNumber, std::uint32_t baudRate, char parity,
             std::uint32_t dataBits, std::uint32_t stopBits, std::uint32_t eventMask,
             std::uint32_t sendBufferSize, std::uint32_t readIntervalTimeout,
             std::uint32_t readTotalTimeoutMultiplier, std::uint32_t readTotalTimeoutConstant,
             std::uint32_t writeTotalTimeoutMultiplier, std::uint32_t writeTotalTimeoutConstant);

    /// The same with the settings as one record.
    int Open(ILinkOwner* owner, int portNumber, const LinkSettings& settings);

    /// Windows names its ports by COM number alone: returns 0, and LastOpenFailure says
    /// ERROR_NOT_SUPPORTED ("The request is not supported."). Here so that code written
    /// against the POSIX link's interface builds and says why.
    int OpenPath(ILinkOwner* owner, const std::string& devicePath, const LinkSettings& settings);

    /// Why the last Open returned 0 (kind None after a successful one).
    const OpenFailure& LastOpenFailure() const { return m_lastOpenFailure; }

    /// Starts the monitor thread; non-zero when it was created (TryStartMonitor says why not).
    int StartMonitor();
    /// Starts the monitor thread and says why it did not.
    [[nodiscard]] MonitorStart TryStartMonitor();

    /// Copies `length` bytes (0 to the send-buffer size) into the one-slot send buffer and
    /// wakes the monitor thread; a later Send before the write replaces them. Returns 0, with
    /// nothing written, for a length outside that range or with no buffer (TrySend says which).
    int Send(const std::uint8_t* bytes, int length);
    /// Send that says why it refused.
    [[nodiscard]] SendResult TrySend(const std::uint8_t* bytes, int length);

    /// Stops the monitor thread (dispatching its pending hand-offs meanwhile), closes the port
    /// and resets the events. Call on the owner's thread after Open.
    void Close();

    /// Shows "WARNING:  <operation> Failed with the following error: ..." with the text of
    /// GetLastError() through the reporter, caption "Application Error"; blocks until
    /// dismissed. Keeps the thread's last error.
    void ReportError(const char* operation);

    /// Owner's thread: handles the notification waiting in the hand-off slot, if any, and
    /// releases the monitor thread to read on.
    void DispatchPending();

    /// Where reports go; nullptr (the default) writes them to standard error.
    void SetErrorReporter(IErrorReporter* reporter);

    /// The owner is going away: drop the pending and every later notification, never call it
    /// again (until an Open names an owner anew). When it returns, no call into the owner is
    /// running on the monitor thread, so the owner may be destroyed.
    void DetachOwner();

private:
    /// OVERLAPPED records, DCB, COMMTIMEOUTS and the critical section (LinkRecords.h).
    struct Records;

    /// How a port operation ended: done, given up because the stop event came, or failed
    /// with the thread's last error set.
    enum class IoResult { Done, Stopped, Failed };

    void MonitorThread();
    /// Starts the overlapped WaitCommEvent unless one is pending or the port has gone.
    void StartEventWait();
    /// The event wait completed (the I/O event is signalled).
    void OnEventWaitDone();
    /// The event wait failed with the thread's last error: reported, unless it only looks
    /// like a vanished device while the port still answers.
    void WaitFailed();
    /// The bytes in the port's input queue, or -1 when the status query failed. A failure
    /// that means the device has gone is reported (once) as the vanished device.
    long QueuedBytes();
    void ReceivePending();
    void WritePending();
    /// Waits for an overlapped operation on the port, or gives it up when the stop event
    /// comes first. `transferred` gets the byte count.
    IoResult FinishIo(void* overlapped, unsigned long& transferred);
    /// Cancels the pending event wait and waits until the system has let go of its record.
    void CancelEventWait();
    /// Monitor thread: a failure of `operation` with the thread's last error. A vanished
    /// device is reported once, after which the port is no longer watched.
    void PortFailed(const char* operation);
    /// Owner's thread: asks the monitor thread to end and waits for it (see Close).
    void StopMonitor();
    /// Closes the port; no monitor thread running.
    void ClosePort();
    bool StopRequested() const;

    std::unique_ptr<Records> m_records;  // m_csPort, m_overlapped, m_timeouts, m_portConfig
    void* m_hStopEvent = nullptr;
    void* m_hPort = nullptr;   // null when no port is open
    void* m_hClaim = nullptr;  // the open port's named claim (see Open)
    void* m_hSendEvent = nullptr;
    int m_nPortNumber = 0;                          // COM number; lParam of every notification
    std::unique_ptr<std::uint8_t[]> m_pSendBuffer;  // the send slot's bytes (m_sendMutex)
    std::uint32_t m_dwEventMask = 0;
    std::uint32_t m_nSendBufferSize = 0;
    int m_nSendLength = 1;  // the send slot's length (m_sendMutex)

    // The send slot is guarded: Send fills it and WritePending copies it out under m_sendMutex,
    // so a Send during a write never changes the bytes being written.
    std::mutex m_sendMutex;
    bool m_bSendPending = false;
    std::unique_ptr<std::uint8_t[]> m_pWriteBuffer;  // monitor thread: the bytes being written
    // Monitor thread only.
    bool m_bWaitPending = false;      // a WaitCommEvent is outstanding on the wait record
    unsigned long m_dwEventWord = 0;  // what the WaitCommEvent reports
    bool m_bPortGone = false;         // device vanished, reported once, no longer watched
    bool m_bReadFailed = false;       // the last read failed: read again after the next wait

    CLinkHandOff m_handOff;  // the monitor thread and its hand-off to the owner's thread

    std::atomic<IErrorReporter*> m_pReporter{nullptr};
    std::atomic<bool> m_bDestroying{false};
    OpenFailure m_lastOpenFailure;  // owner's thread: why the last Open failed
};
