#include "LinkBridge.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QMetaObject>

#include "SerialLink.h"

int LinkBridge::m_closeDepth = 0;

LinkBridge::LinkBridge(CSerialLink& link, Handler onMessage, QObject* parent)
    : QObject(parent), m_link(link), m_onMessage(std::move(onMessage)) {}

LinkBridge::~LinkBridge() {
    Detach();
}

void LinkBridge::Detach() {
    if (m_detached) {
        return;
    }
    m_detached = true;
    // Wake-ups already queued stay harmless: the link drops what a detached owner would get.
    m_link.DetachOwner();
}

void LinkBridge::OnLinkMessage(unsigned message, std::uint32_t wParam, std::int32_t lParam) {
    if (!m_detached && m_onMessage) {
        m_onMessage(message, wParam, lParam);
    }
}

void LinkBridge::WakeOwner() {
    // Monitor thread. Posting to `this` means the call dies with the bridge: Qt discards the
    // posted events of a destroyed receiver. One wake-up may find the slot already emptied by
    // Close(); DispatchPending() then does nothing.
    QMetaObject::invokeMethod(
        this, [this] { m_link.DispatchPending(); }, Qt::QueuedConnection);
}

void LinkBridge::ServiceWhileClosing() {
    ++m_closeDepth;
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    --m_closeDepth;
}
