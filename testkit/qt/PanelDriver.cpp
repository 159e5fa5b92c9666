#include "PanelDriver.h"

#include <QAbstractButton>
#include <QAbstractEventDispatcher>
#include <QComboBox>
#include <QDialog>
#include <QEventLoop>
#include <QLineEdit>
#include <QSlider>
#include <QTest>
#include <QTimer>
#include <QWindow>

namespace {

QPoint CentreInWindow(QWidget* control) {
    return control->mapTo(control->window(), control->rect().center());
}

}  // namespace

PanelDriver::PanelDriver(QDialog& dialog, const ControllerState& state)
    : m_dialog(dialog), m_state(state) {}

QWidget* PanelDriver::Control(const char* name) const {
    return m_dialog.findChild<QWidget*>(QString::fromLatin1(name));
}

QString PanelDriver::Text(const char* name) const {
    const QWidget* widget = Control(name);
    if (const auto* slider = qobject_cast<const QSlider*>(widget)) {
        return QString::number(slider->value());
    }
    return widget == nullptr ? QString() : widget->property("text").toString();
}

int PanelDriver::SliderValue(const char* name) const {
    const auto* slider = qobject_cast<const QSlider*>(Control(name));
    return slider == nullptr ? -1 : slider->value();
}

bool PanelDriver::Show(int deadlineMs) {
    m_dialog.show();
    m_dialog.activateWindow();
    return WaitFor([this] { return m_dialog.isActiveWindow(); }, deadlineMs);
}

bool PanelDriver::OpenCom(int com, int deadlineMs, std::int64_t* clickedAtNs) {
    auto* ports = qobject_cast<QComboBox*>(Control("IDC_COMBO_PORTS"));
    auto* button = qobject_cast<QAbstractButton*>(Control("IDC_BTN_OPENPORT"));
    if (ports == nullptr || button == nullptr) {
        return false;
    }
    const QString name = QStringLiteral("COM%1").arg(com);
    // A port published a moment ago is listed after the device watcher's rescan.
    if (!WaitFor([&] { return ports->isEnabled() && ports->findText(name) >= 0; }, deadlineMs)) {
        return false;
    }
    ports->setCurrentIndex(ports->findText(name));
    const std::int64_t at = MonotonicNs();
    button->click();
    if (clickedAtNs != nullptr) {
        *clickedAtNs = at;
    }
    return m_state.portOpen;
}

bool PanelDriver::WaitSynced(int deadlineMs, std::int64_t* syncedAtNs) {
    return WaitFor([this] { return m_state.synced && m_state.portOpen; }, deadlineMs, 5,
                   syncedAtNs);
}

std::int64_t PanelDriver::ClosePort() {
    auto* button = qobject_cast<QAbstractButton*>(Control("IDC_BTN_OPENPORT"));
    if (button == nullptr || !m_state.portOpen) {
        return -1;
    }
    const std::int64_t start = MonotonicNs();
    button->click();  // OnOpenPort runs to the panel's reset inside the click
    return MonotonicNs() - start;
}

bool PanelDriver::IsClosed() const {
    const QWidget* ports = Control("IDC_COMBO_PORTS");
    return !m_state.portOpen && Text("IDC_BTN_OPENPORT") == QStringLiteral("OpenPort") &&
           ports != nullptr && ports->isEnabled();
}

void PanelDriver::Click(const char* name) {
    if (auto* button = qobject_cast<QAbstractButton*>(Control(name))) {
        button->click();
    }
}

void PanelDriver::ClickThroughWindow(const char* name) {
    if (QWidget* control = Control(name)) {
        QTest::mouseClick(m_dialog.windowHandle(), Qt::LeftButton, Qt::NoModifier,
                          CentreInWindow(control));
    }
}

void PanelDriver::PressThroughWindow(const char* name) {
    if (QWidget* control = Control(name)) {
        m_pressedAt = CentreInWindow(control);
        QTest::mousePress(m_dialog.windowHandle(), Qt::LeftButton, Qt::NoModifier, m_pressedAt);
    }
}

void PanelDriver::ReleaseThroughWindow() {
    // Released where it was pressed: the pressed button holds the mouse anyway.
    QTest::mouseRelease(m_dialog.windowHandle(), Qt::LeftButton, Qt::NoModifier, m_pressedAt);
}

void PanelDriver::TypeAndEnter(const char* name, const QString& text) {
    auto* field = qobject_cast<QLineEdit*>(Control(name));
    if (field == nullptr) {
        return;
    }
    // The field holds the module's last value: select and erase it as an operator would.
    field->setFocus(Qt::OtherFocusReason);
    field->selectAll();
    QTest::keyClick(field, Qt::Key_Backspace);
    QTest::keyClicks(field, text);
    QTest::keyClick(field, Qt::Key_Return);
}

void PanelDriver::MoveSlider(const char* name, int value) {
    if (auto* slider = qobject_cast<QSlider*>(Control(name))) {
        slider->setValue(value);
    }
}

bool PanelDriver::WaitFor(const std::function<bool()>& done, int deadlineMs, int pollMs,
                          std::int64_t* doneAtNs) {
    QEventLoop loop;
    bool reached = false;
    auto check = [&] {
        if (!reached && done()) {
            reached = true;
            if (doneAtNs != nullptr) {
                *doneAtNs = MonotonicNs();
            }
            loop.quit();
        }
    };
    check();
    if (reached) {
        return true;
    }
    // The loop is about to sleep right after the event that completed the condition, so
    // this catches the moment without polling; the timer covers changes made elsewhere.
    QObject::connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock,
                     &loop, check);
    QTimer poll;
    poll.setTimerType(Qt::PreciseTimer);
    QObject::connect(&poll, &QTimer::timeout, &loop, check);
    poll.start(pollMs);
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    deadline.start(deadlineMs);
    loop.exec();
    return reached || done();
}

void PanelDriver::Idle(int ms) {
    QEventLoop loop;
    QTimer timer;
    timer.setTimerType(Qt::PreciseTimer);
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    timer.start(ms);
    loop.exec();
}
