// What the serial link needs from the program that owns it: a thread to deliver received
// bytes on, and somewhere to show failure reports.
#pragma once

#include <cstdint>
#include <string>

/// The owner of an open link (the panel window). Received bytes are handed to the owner's
/// thread one at a time, each through WakeOwner() and then CSerialLink::DispatchPending() on
/// the owner's thread; LinkHandOff.cpp describes the hand-off.
class ILinkOwner {
public:
    virtual ~ILinkOwner() = default;

    /// Runs on the owner's thread, from CSerialLink::DispatchPending() or from inside
    /// CSerialLink::Close(): handle one notification (WM_LINK_*).
    virtual void OnLinkMessage(unsigned message, std::uint32_t wParam, std::int32_t lParam) = 0;

    /// Runs on the monitor thread: a notification waits in the hand-off slot; arrange for
    /// CSerialLink::DispatchPending() to run soon on the owner's thread. Must not block.
    virtual void WakeOwner() = 0;

    /// Runs on the owner's thread while Close() waits for the monitor thread: service what the
    /// owner's thread must keep doing meanwhile (timer ticks, a report box raised by the
    /// monitor thread), but no operator input. May do nothing.
    virtual void ServiceWhileClosing() {}
};

/// Shows a failure report. ShowReport blocks its caller until the operator has dismissed it;
/// it may be called on the monitor thread.
class IErrorReporter {
public:
    virtual ~IErrorReporter() = default;
    virtual void ShowReport(const std::string& caption, const std::string& text) = 0;
};
