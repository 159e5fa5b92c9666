// The one serial link of the panel: opens and configures a COM port, runs a monitor thread
// that hands every received byte to the owner's thread and writes what the owner sends.
#pragma once

#include <cstdint>

#include "LinkMessages.h"
#include "LinkOwner.h"

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

    /// The owner is going away: drop the pending and every later notification, never call it.
    void DetachOwner();
};
