#include "PanelTour.h"

#include <QComboBox>
#include <QDialog>
#include <QFileInfo>
#include <QPixmap>

#include "ChannelGrid.h"
#include "Voice.h"

namespace {

const Voice Say{""};

}  // namespace

PanelTour::PanelTour(QDialog& dialog, const ControllerState& state, TourOptions options)
    : m_panel(dialog, state), m_options(std::move(options)) {}

bool PanelTour::Run() {
    // Typed keys go to the focused field, which needs an active window.
    Expect("the panel window to become active", m_panel.Show(m_options.stepDeadlineMs));
    if (!OpenPort() || !WaitForSync() || !SaveScreenshot()) {
        return false;
    }
    if (m_options.exitWhileOpen) {
        return CloseWindowWithPortOpen();
    }
    return TypeChannel() && TypePower() && ToggleOutput() && ClosePort();
}

bool PanelTour::OpenPort() {
    const auto* ports = qobject_cast<QComboBox*>(m_panel.Control("IDC_COMBO_PORTS"));
    if (ports == nullptr) {
        return false;
    }
    const QString name = QStringLiteral("COM%1").arg(m_options.com);
    QStringList listed;
    for (int i = 0; i < ports->count(); ++i) {
        listed << ports->itemText(i);
    }
    Say(qPrintable(
        QStringLiteral("port list: %1").arg(listed.isEmpty() ? "(empty)" : listed.join(' '))));
    if (ports->findText(name) < 0) {
        Say(qPrintable(QStringLiteral("tour: %1 is not in the port list").arg(name)));
        return false;
    }
    Say(qPrintable(QStringLiteral("step: open %1").arg(name)));
    if (!Expect("the port button to read \"ClosePort\"",
                m_panel.OpenCom(m_options.com, m_options.stepDeadlineMs))) {
        return false;
    }
    PrintReadouts("opened");
    return true;
}

bool PanelTour::WaitForSync() {
    // The output reply ends the synchronisation, after the channel and power replies, and is
    // the only thing that gives the ON/OFF button the caption "ON" or "OFF".
    if (!WaitFor("the module's channel, power and output state", [this] {
            const QString output = m_panel.Text("IDC_BTN_OUTPUT");
            return (output == "ON" || output == "OFF") &&
                   !m_panel.Text("IDC_TXT_FREQUENCY").isEmpty() &&
                   !m_panel.Text("IDC_EDIT_POWER").isEmpty();
        })) {
        return false;
    }
    PrintReadouts("synchronised");
    return true;
}

bool PanelTour::TypeChannel() {
    const int target = m_panel.SliderValue("IDC_SLIDER_CHANNEL") == 46 ? 47 : 46;
    Say(qPrintable(QStringLiteral("step: type channel %1 + Enter").arg(target)));
    m_panel.TypeAndEnter("IDC_EDIT_CHANNEL", QString::number(target));
    const QString frequency = QString::number(ChannelFrequency(target));
    if (!WaitFor("the module to report the typed channel", [&] {
            return m_panel.Text("IDC_TXT_FREQUENCY") == frequency &&
                   m_panel.SliderValue("IDC_SLIDER_CHANNEL") == target &&
                   m_panel.Text("IDC_EDIT_CHANNEL") == QString::number(target);
        })) {
        return false;
    }
    PrintReadouts("channel set");
    return true;
}

bool PanelTour::TypePower() {
    const bool atTarget = m_panel.SliderValue("IDC_SLIDER_POWER") == 1050;
    const QString typed = atTarget ? "11.25" : "10.5";
    const QString shown = atTarget ? "11.25" : "10.50";
    Say(qPrintable(QStringLiteral("step: type power %1 + Enter").arg(typed)));
    m_panel.TypeAndEnter("IDC_EDIT_POWER", typed);
    if (!WaitFor("the module to report the typed power", [&] {
            return m_panel.Text("IDC_EDIT_POWER") == shown &&
                   m_panel.SliderValue("IDC_SLIDER_POWER") == (atTarget ? 1125 : 1050);
        })) {
        return false;
    }
    PrintReadouts("power set");
    return true;
}

bool PanelTour::ToggleOutput() {
    const QString before = m_panel.Text("IDC_BTN_OUTPUT");
    const QString after = before == "ON" ? "OFF" : "ON";
    Say(qPrintable(QStringLiteral("step: toggle the output (%1 -> %2)").arg(before, after)));
    m_panel.Click("IDC_BTN_OUTPUT");
    if (!WaitFor("the module to report the toggled output",
                 [&] { return m_panel.Text("IDC_BTN_OUTPUT") == after; })) {
        return false;
    }
    PrintReadouts("output toggled");
    return true;
}

bool PanelTour::ClosePort() {
    Say("step: close the port");
    m_panel.ClosePort();
    if (!WaitFor("the panel to return to its closed state",
                 [this] { return m_panel.IsClosed(); })) {
        return false;
    }
    PrintReadouts("closed");
    return true;
}

bool PanelTour::CloseWindowWithPortOpen() {
    Say("step: close the window with the port open");
    m_panel.Dialog().close();
    return WaitFor("the window to close", [this] { return !m_panel.Dialog().isVisible(); });
}

bool PanelTour::WaitFor(const char* what, const std::function<bool()>& reached) {
    return Expect(what, PanelDriver::WaitFor(reached, m_options.stepDeadlineMs, 20));
}

bool PanelTour::Expect(const char* what, bool reached) {
    if (reached) {
        return true;
    }
    Say(qPrintable(QStringLiteral("tour: gave up waiting for %1 after %2 s")
                       .arg(what)
                       .arg(m_options.stepDeadlineMs / 1000)));
    PrintReadouts("at the time");
    return false;
}

void PanelTour::PrintReadouts(const char* step) const {
    const auto text = [this](const char* name) { return m_panel.Text(name); };
    Say(qPrintable(QStringLiteral("  %1: port [%2] channel [%3] frequency [%4 GHz] wavelength "
                                  "[%5 nm] ITU [%6] power [%7 dBm] output [%8] sliders [%9, %10]")
                       .arg(QString::fromLatin1(step), text("IDC_BTN_OPENPORT"),
                            text("IDC_EDIT_CHANNEL"), text("IDC_TXT_FREQUENCY"),
                            text("IDC_TXT_WAVELENGTH"), text("IDC_TXT_ITU"), text("IDC_EDIT_POWER"),
                            text("IDC_BTN_OUTPUT"), text("IDC_SLIDER_CHANNEL"))
                       .arg(text("IDC_SLIDER_POWER"))));
}

bool PanelTour::SaveScreenshot() {
    if (m_options.screenshotPath.isEmpty()) {
        return true;
    }
    const QPixmap picture = m_panel.Dialog().grab();
    if (!picture.save(m_options.screenshotPath, "PNG")) {
        Say(qPrintable(QStringLiteral("tour: could not write %1").arg(m_options.screenshotPath)));
        return false;
    }
    Say(qPrintable(QStringLiteral("screenshot: %1 (%2 x %3)")
                       .arg(QFileInfo(m_options.screenshotPath).absoluteFilePath())
                       .arg(picture.width())
                       .arg(picture.height())));
    return true;
}
