// The panel window's side of the serial link's hand-off, on the Qt GUI thread.
#pragma once

#include <QObject>
#include <cstdint>
#include <functional>

#include "LinkOwner.h"

class CSerialLink;

/// ILinkOwner for a Qt GUI thread: a wake-up from the monitor thread becomes a queued call
/// that runs CSerialLink::DispatchPending() on the GUI thread, which hands the notification to
/// `onMessage`. While the link's Close() waits, it services timer ticks and queued calls but
/// never operator input. Detaches itself from the link when destroyed, so no delivery can
/// reach a window that has gone.
///
/// Keep it a plain member declared after the widgets its handler touches (so it is destroyed
/// first), or call Detach() at the top of the window's destructor: a QObject child would only
/// be destroyed after the window's own members.
class LinkBridge : public QObject, public ILinkOwner {
    Q_OBJECT
public:
    using Handler =
        std::function<void(unsigned message, std::uint32_t wParam, std::int32_t lParam)>;

    LinkBridge(CSerialLink& link, Handler onMessage, QObject* parent = nullptr);
    ~LinkBridge() override;

    void OnLinkMessage(unsigned message, std::uint32_t wParam, std::int32_t lParam) override;
    void WakeOwner() override;
    void ServiceWhileClosing() override;

    /// Stops every later delivery to the handler and releases a parked one. Idempotent; the
    /// destructor calls it.
    void Detach();

    /// True while the GUI thread runs events from inside a link's Close(). Work that would
    /// close or reopen the link (a device change) must wait until the close has returned.
    static bool InsideClose() { return m_closeDepth > 0; }

private:
    CSerialLink& m_link;
    Handler m_onMessage;
    bool m_detached = false;  // GUI thread only

    // GUI thread only: nesting depth of ServiceWhileClosing().
    static int m_closeDepth;
};
