// The one serial link of the panel: opens and configures a COM port, runs a monitor thread
// that hands every received byte to the owner's thread and writes what the owner sends.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "LinkMessages.h"
#include "LinkOwner.h"
#include "LinkSettings.h"
#include "OpenFailure.h"
#include "ManualEvent.h"

// Kept opaque here so that code including this header does not get termios' macros.
struct termios;

// Public interface fixed for the controller and the app; the private part belongs to the
// implementation.
class CSerialLink {
public:
    CSerialLink();
    virtual ~CSerialLink();
    CSerialLink(const CSerialLink&) = delete;
    CSerialLink& operator=(const CSerialLink&) = delete;

    /// Opens COM `portNumber` exclusively and configures it. Returns non-zero when the device
    /// opened (also after a reported configuration failure), 0 when it did not (no report).
    /// Timeouts are given in seconds-like units and kept multiplied by 1000, as milliseconds.
    int Open(ILinkOwner* owner, int portNumber, std::uint32_t baudRate, char parity,
             std::uint32_t dataBits, std::uint32_t stopBits, std::uint32_t eventMask,
             std::uint32_t sendBufferSize, std::uint32_t readIntervalTimeout,
             std::uint32_t readTotalTimeoutMultiplier, std::uint32_t readTotalTimeoutConstant,
             std::uint32_t writeTotalTimeoutMultiplier, std::uint32_t writeTotalTimeoutConstant);

    /// The same with the settings as one record.
    int Open(ILinkOwner* owner, int portNumber, const LinkSettings& settings);

    /// Why the last Open returned 0 (kind None after a successful one).
    const OpenFailure& LastOpenFailure() const { return m_lastOpenFailure; }

    /// Starts the monitor thread; non-zero when it was created.
    int StartMonitor();

    /// Copies `length` bytes (0 to the send-buffer size) into the one-slot send buffer and
    /// wakes the monitor thread; a later Send before the write replaces them. Returns 0, with
    /// nothing written, for a length outside that range or with no buffer.
    int Send(const std::uint8_t* bytes, int length);

    /// Stops the monitor thread (dispatching its pending hand-offs meanwhile), closes the port
    /// and resets the events. Call on the owner's thread after Open.
    void Close();

    /// Shows "WARNING:  <operation> Failed with the following error: ..." with errno's text
    /// through the reporter, caption "Application Error"; blocks until dismissed.
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
    /// The five timeouts Open takes, in milliseconds (the arguments times 1000).
    struct Timeouts {
        std::uint32_t readInterval = 0;
        std::uint32_t readTotalMultiplier = 0;
        std::uint32_t readTotalConstant = 0;
        std::uint32_t writeTotalMultiplier = 0;
        std::uint32_t writeTotalConstant = 0;
    };

    /// The hand-off slot: a notification waits in it (Parked) until the owner's thread takes
    /// it (Taken) and has handled it (Empty again).
    enum class SlotState { Empty, Parked, Taken };

    void MonitorThread();
    void OnPortEvent(short revents);
    void ReceivePending();
    void WritePending();
    /// Monitor thread: hands one notification to the owner's thread and waits until it has
    /// been handled, or the owner has gone.
    void Deliver(unsigned message, std::uint32_t wParam);
    /// Owner's thread: asks the monitor thread to end and waits for it (see Close).
    void StopMonitor();
    /// Closes the port; m_csPort held, no monitor thread running.
    void ClosePortLocked();

    // The Win32 link's fields in their order, mapped to POSIX. m_hWaitHandles is the pollfd array
    // that MonitorThread builds for every wait (stop event, port, send event). m_overlapped
    // has no counterpart: the port descriptor's readiness in poll() plays the I/O event, and
    // reads and writes are non-blocking, so there is no pending operation to record.
    std::thread m_monitorThread;                    // m_pMonitorThread
    std::mutex m_csPort;                            // guards the port calls
    std::atomic<bool> m_bMonitorAlive{false};       // set by StartMonitor, cleared by the thread
    CManualEvent m_stopEvent;                       // m_hStopEvent
    int m_hPort = -1;                               // the port's descriptor, -1 when none
    CManualEvent m_sendEvent;                       // m_hSendEvent
    Timeouts m_timeouts;                            // m_timeouts
    std::unique_ptr<termios> m_portConfig;          // m_portConfig: settings last read and applied
    ILinkOwner* m_pOwner = nullptr;                 // m_pOwnerWnd; guarded by m_handoffMutex
    int m_nPortNumber = 0;                          // COM number; lParam of every notification
    std::unique_ptr<std::uint8_t[]> m_pSendBuffer;  // the send slot's bytes (m_csSend)
    std::uint32_t m_dwEventMask = 0;
    std::uint32_t m_nSendBufferSize = 0;
    int m_nSendLength = 1;  // the send slot's length (m_csSend)

    // Added here. The send slot is guarded: Send fills it and WritePending empties it into
    // its own buffer under m_csSend, so a Send during a write never changes the bytes being
    // written. m_csSend is never held across a blocking call.
    std::mutex m_csSend;
    bool m_bSendPending = false;                     // the slot holds bytes not yet taken
    std::unique_ptr<std::uint8_t[]> m_pWriteBuffer;  // monitor thread: the bytes being written
    bool m_bPortLocked = false;                      // flock and TIOCEXCL are held on m_hPort
    bool m_bPortGone = false;                        // monitor thread: device vanished, reported

    // The blocking hand-off to the owner's thread.
    std::mutex m_handoffMutex;
    std::condition_variable m_handoffCv;  // slot or m_bMonitorAlive changed
    SlotState m_slotState = SlotState::Empty;
    unsigned m_slotMessage = 0;
    std::uint32_t m_slotWParam = 0;
    std::int32_t m_slotLParam = 0;
    std::uint64_t m_slotSequence = 0;  // counts parked notifications
    bool m_bOwnerDetached = false;
    // Held around WakeOwner, so that DetachOwner can wait out a wake-up in progress.
    std::mutex m_wakeMutex;

    std::atomic<IErrorReporter*> m_pReporter{nullptr};
    std::atomic<bool> m_bDestroying{false};
    OpenFailure m_lastOpenFailure;  // owner's thread: why the last Open failed  // reports go to stderr from now on
};
