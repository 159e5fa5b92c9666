#include "PanelTour.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPixmap>
#include <QSlider>
#include <QVariant>
#include <cstdio>

namespace {

int ChannelFrequency(int channel) {
    return 191650 + 50 * channel;
}

void Say(const QString& text) {
    std::printf("%s\n", text.toLocal8Bit().constData());
    std::fflush(stdout);
}

}  // namespace

PanelTour::PanelTour(QDialog& dialog, TourOptions options)
    : m_dialog(dialog), m_options(std::move(options)) {}

bool PanelTour::Run() {
    m_dialog.show();
    m_dialog.activateWindow();
    // Typed keys go to the focused field, which needs an active window.
    WaitFor("the panel window to become active", [this] { return m_dialog.isActiveWindow(); });

    if (!OpenPort() || !WaitForSync() || !SaveScreenshot()) {
        return false;
    }
    if (m_options.exitWhileOpen) {
        return CloseWindowWithPortOpen();
    }
    return TypeChannel() && TypePower() && ToggleOutput() && ClosePort();
}

bool PanelTour::OpenPort() {
    auto* ports = qobject_cast<QComboBox*>(Control("IDC_COMBO_PORTS"));
    if (ports == nullptr) {
        return false;
    }
    const QString name = QStringLiteral("COM%1").arg(m_options.com);
    QStringList listed;
    for (int i = 0; i < ports->count(); ++i) {
        listed << ports->itemText(i);
    }
    Say(QStringLiteral("port list: %1").arg(listed.isEmpty() ? "(empty)" : listed.join(' ')));
    const int position = ports->findText(name);
    if (position < 0) {
        Say(QStringLiteral("tour: %1 is not in the port list").arg(name));
        return false;
    }
    ports->setCurrentIndex(position);
    Say(QStringLiteral("step: open %1").arg(name));
    Click("IDC_BTN_OPENPORT");
    if (!WaitFor("the port button to read \"ClosePort\"",
                 [this] { return Text("IDC_BTN_OPENPORT") == "ClosePort"; })) {
        return false;
    }
    PrintReadouts("opened");
    return true;
}

bool PanelTour::WaitForSync() {
    // The output reply ends the synchronisation, after the channel and power replies, and is
    // the only thing that gives the ON/OFF button the caption "ON" or "OFF".
    const bool synced = WaitFor("the module's channel, power and output state", [this] {
        const QString output = Text("IDC_BTN_OUTPUT");
        return (output == "ON" || output == "OFF") && !Text("IDC_TXT_FREQUENCY").isEmpty() &&
               !Text("IDC_EDIT_POWER").isEmpty();
    });
    if (synced) {
        PrintReadouts("synchronised");
    }
    return synced;
}

bool PanelTour::TypeChannel() {
    const int target = Value("IDC_SLIDER_CHANNEL") == 46 ? 47 : 46;
    Say(QStringLiteral("step: type channel %1 + Enter").arg(target));
    Type("IDC_EDIT_CHANNEL", QString::number(target) + '\r');
    const QString frequency = QString::number(ChannelFrequency(target));
    if (!WaitFor("the module to report the typed channel", [&] {
            return Text("IDC_TXT_FREQUENCY") == frequency &&
                   Value("IDC_SLIDER_CHANNEL") == target &&
                   Text("IDC_EDIT_CHANNEL") == QString::number(target);
        })) {
        return false;
    }
    PrintReadouts("channel set");
    return true;
}

bool PanelTour::TypePower() {
    const bool atTarget = Value("IDC_SLIDER_POWER") == 1050;
    const QString typed = atTarget ? "11.25" : "10.5";
    const QString shown = atTarget ? "11.25" : "10.50";
    Say(QStringLiteral("step: type power %1 + Enter").arg(typed));
    Type("IDC_EDIT_POWER", typed + '\r');
    if (!WaitFor("the module to report the typed power", [&] {
            return Text("IDC_EDIT_POWER") == shown &&
                   Value("IDC_SLIDER_POWER") == (atTarget ? 1125 : 1050);
        })) {
        return false;
    }
    PrintReadouts("power set");
    return true;
}

bool PanelTour::ToggleOutput() {
    const QString before = Text("IDC_BTN_OUTPUT");
    const QString after = before == "ON" ? "OFF" : "ON";
    Say(QStringLiteral("step: toggle the output (%1 -> %2)").arg(before, after));
    Click("IDC_BTN_OUTPUT");
    if (!WaitFor("the module to report the toggled output",
                 [&] { return Text("IDC_BTN_OUTPUT") == after; })) {
        return false;
    }
    PrintReadouts("output toggled");
    return true;
}

bool PanelTour::ClosePort() {
    Say(QStringLiteral("step: close the port"));
    Click("IDC_BTN_OPENPORT");
    if (!WaitFor("the panel to return to its closed state", [this] {
            return Text("IDC_BTN_OPENPORT") == "OpenPort" &&
                   Control("IDC_COMBO_PORTS")->isEnabled();
        })) {
        return false;
    }
    PrintReadouts("closed");
    return true;
}

bool PanelTour::CloseWindowWithPortOpen() {
    Say(QStringLiteral("step: close the window with the port open"));
    m_dialog.close();
    return WaitFor("the window to close", [this] { return !m_dialog.isVisible(); });
}

QWidget* PanelTour::Control(const char* name) const {
    auto* widget = m_dialog.findChild<QWidget*>(QString::fromLatin1(name));
    if (widget == nullptr) {
        Say(QStringLiteral("tour: the panel has no control named %1").arg(name));
    }
    return widget;
}

QString PanelTour::Text(const char* name) const {
    const QWidget* widget = Control(name);
    return widget == nullptr ? QString() : widget->property("text").toString();
}

int PanelTour::Value(const char* name) const {
    const auto* slider = qobject_cast<const QSlider*>(Control(name));
    return slider == nullptr ? -1 : slider->value();
}

void PanelTour::Click(const char* name) {
    if (auto* button = qobject_cast<QAbstractButton*>(Control(name))) {
        button->click();
    }
}

void PanelTour::Type(const char* fieldName, const QString& keys) {
    QWidget* field = Control(fieldName);
    if (field == nullptr) {
        return;
    }
    field->setFocus(Qt::OtherFocusReason);
    // The field holds the module's last value: select it so the first key replaces it, as an
    // operator's double-click would.
    if (auto* edit = qobject_cast<QLineEdit*>(field)) {
        edit->selectAll();
    }
    auto send = [field](int key, const QString& text) {
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, text);
        QApplication::sendEvent(field, &press);
        QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier, text);
        QApplication::sendEvent(field, &release);
    };
    send(Qt::Key_Backspace, QStringLiteral("\b"));
    for (QChar c : keys) {
        if (c == '\r') {
            send(Qt::Key_Return, QStringLiteral("\r"));
        } else {
            // Digits, '.' and '-' have the key code of their character.
            send(c.unicode(), QString(c));
        }
    }
}

bool PanelTour::WaitFor(const char* what, const std::function<bool()>& reached) {
    QElapsedTimer clock;
    clock.start();
    while (!reached()) {
        if (clock.elapsed() > m_options.stepDeadlineMs) {
            Say(QStringLiteral("tour: gave up waiting for %1 after %2 s")
                    .arg(what)
                    .arg(m_options.stepDeadlineMs / 1000));
            PrintReadouts("at the time");
            return false;
        }
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

void PanelTour::PrintReadouts(const char* step) const {
    Say(QStringLiteral("  %1: port [%2] channel [%3] frequency [%4 GHz] wavelength [%5 nm] "
                       "ITU [%6] power [%7 dBm] output [%8] sliders [%9, %10]")
            .arg(QString::fromLatin1(step), Text("IDC_BTN_OPENPORT"), Text("IDC_EDIT_CHANNEL"),
                 Text("IDC_TXT_FREQUENCY"), Text("IDC_TXT_WAVELENGTH"), Text("IDC_TXT_ITU"),
                 Text("IDC_EDIT_POWER"), Text("IDC_BTN_OUTPUT"),
                 QString::number(Value("IDC_SLIDER_CHANNEL")))
            .arg(Value("IDC_SLIDER_POWER")));
}

bool PanelTour::SaveScreenshot() {
    if (m_options.screenshotPath.isEmpty()) {
        return true;
    }
    const QPixmap picture = m_dialog.grab();
    if (!picture.save(m_options.screenshotPath, "PNG")) {
        Say(QStringLiteral("tour: could not write %1").arg(m_options.screenshotPath));
        return false;
    }
    Say(QStringLiteral("screenshot: %1 (%2 x %3)")
            .arg(QFileInfo(m_options.screenshotPath).absoluteFilePath())
            .arg(picture.width())
            .arg(picture.height()));
    return true;
}
