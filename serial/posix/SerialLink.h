// The one serial link of the panel: opens and configures a COM port, runs a monitor thread
// that hands every received byte to the owner's thread and writes what the owner sends.
// Threads and locks: see the top of SerialLink.cpp; the hand-off: LinkHandOff.cpp.
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
#include "LockFile.h"
#include "ManualEvent.h"
#include "OpenFailure.h"

// Kept opaque here so that code including this header does not get termios' macros.
struct termios;

/// The serial link on termios, poll and eventfd. Its public part is what the controller and
/// the app are written against; every back end offers the same.
class CSerialLink {
public:
    CSerialLink();
    virtual ~CSerialLink();
    CSerialLink(const CSerialLink&) = delete;
    CSerialLink& operator=(const CSerialLink&) = delete;

    /// Opens COM `portNumber` exclusively and configures it. Returns non-zero when the device
    /// opened (also after a reported configuration failure), 0 when it did not (no report;
    /// LastOpenFailure says why). Timeouts are given in seconds-like units and kept multiplied
    /// by 1000, as milliseconds.
    int Open(ILinkOwner* owner, int portNumber, std::uint32_t baudRate, char parity,
             std::uint32_t dataBits, std::uint32_t stopBits, std::uint32_t eventMask,
             std::uint32_t sendBufferSize, std::uint32_t readIntervalTimeout,
             std::uint32_t readTotalTimeoutMultiplier, std::uint32_t readTotalTimeoutConstant,
             std::uint32_t writeTotalTimeoutMultiplier, std::uint32_t writeTotalTimeoutConstant);

    /// The same with the settings as one record.
    int Open(ILinkOwner* owner, int portNumber, const LinkSettings& settings);

    /// The same for a device named by its path ("/dev/ttyUSB0") rather than a COM number;
    /// notifications and reports then carry port number 0.
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

    /// Shows "WARNING:  <operation> Failed with the following error: ..." with the text of the
    /// system error `error` through the reporter, caption "Application Error"; blocks until
    /// dismissed. Leaves errno as it found it.
    void ReportError(const char* operation, int error);

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
    /// A step that failed: the operation name its report shows and the system error.
    struct StepFailure {
        const char* step = nullptr;
        int error = 0;
        explicit operator bool() const { return step != nullptr; }
    };

    // The steps of Open, in order.
    int OpenDevice(ILinkOwner* owner, const std::string& devicePath, int portNumber,
                   const LinkSettings& settings);
    bool PrepareEvents();
    bool AllocateSendSlot(std::uint32_t size);
    void KeepTimeouts(const LinkTimeouts& timeouts);
    StepFailure ApplyLineSettings(const LineParameters& line);

    void MonitorThread();
    void OnPortEvent(short revents);
    void ReceivePending();
    void WritePending();
    /// Monitor thread: a read, write or wait on the port failed; stops watching a vanished
    /// device and reports the failure.
    void OnPortFailure(const char* step, int error);
    /// Owner's thread: asks the monitor thread to end and waits for it (see Close).
    void StopMonitor();
    /// Closes the port; m_portMutex held, no monitor thread running.
    void ClosePortLocked();

    std::mutex m_portMutex;                         // guards the port calls
    CManualEvent m_stopEvent;                       // Close asks the monitor thread to end
    int m_portFd = -1;                              // the port's descriptor, -1 when none
    CManualEvent m_sendEvent;                       // the send slot holds bytes
    LinkTimeouts m_timeouts;                        // in milliseconds (Open's arguments x1000)
    std::unique_ptr<termios> m_portConfig;          // settings last read and applied
    int m_nPortNumber = 0;                          // COM number; lParam of every notification
    std::unique_ptr<std::uint8_t[]> m_pSendBuffer;  // the send slot's bytes (m_sendMutex)
    std::uint32_t m_dwEventMask = 0;
    std::uint32_t m_nSendBufferSize = 0;
    int m_nSendLength = 1;  // the send slot's length (m_sendMutex)

    // The send slot: Send fills it and WritePending empties it into its own buffer under
    // m_sendMutex, so a Send during a write never changes the bytes being written.
    std::mutex m_sendMutex;
    bool m_bSendPending = false;                     // the slot holds bytes not yet taken
    std::unique_ptr<std::uint8_t[]> m_pWriteBuffer;  // monitor thread: the bytes being written
    bool m_bPortLocked = false;                      // flock and TIOCEXCL are held on m_portFd
    CUucpLock m_portLock;                            // the port's lock file while it is open
    bool m_bPortGone = false;                        // monitor thread: device vanished, reported

    CLinkHandOff m_handOff;  // the monitor thread and its hand-off to the owner's thread

    std::atomic<IErrorReporter*> m_pReporter{nullptr};
    std::atomic<bool> m_bDestroying{false};  // reports go to stderr from now on
    OpenFailure m_lastOpenFailure;           // owner's thread: why the last Open failed
};
