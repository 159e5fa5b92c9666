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
class LinkBridge : public QObject, public ILinkOwner {
    Q_OBJECT
public:
    using Handler = std::function<void(unsigned message, std::uint32_t wParam, std::int32_t lParam)>;

    LinkBridge(CSerialLink& link, Handler onMessage, QObject* parent = nullptr);
    ~LinkBridge() override;

    void OnLinkMessage(unsigned message, std::uint32_t wParam, std::int32_t lParam) override;
    void WakeOwner() override;
    void ServiceWhileClosing() override;
};
