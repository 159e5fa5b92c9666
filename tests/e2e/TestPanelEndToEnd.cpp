// The real panel, the real serial link and the module simulator on a pty, end to end.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QSlider>
#include <QTest>
#include <memory>

#include "ControllerDlg.h"
#include "E2eSupport.h"
#include "SerialLink.h"

using e2e::WaitUntil;

namespace {

constexpr int kCom = 201;  // outside the fixed tty table: only our folder can name it
const QString kPortName = "COM201";

// The simulator as a child process; its stdin is a pipe, so it ends with the test.
class Module {
public:
    explicit Module(const QStringList& extra) {
        QObject::connect(&m_process, &QProcess::readyReadStandardOutput,
                         [this] { m_log += m_process.readAllStandardOutput(); });
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(VARNEL_MODULE_PATH,
                        QStringList{"--com", QString::number(kCom), "--log", "--channel", "45",
                                    "--power", "12.34", "--output", "on"} +
                            extra);
    }
    ~Module() {
        m_process.closeWriteChannel();
        m_process.waitForFinished(e2e::kGenerousMs);
    }
    bool WaitPublished() {
        return WaitUntil([this] { return m_log.contains("varnel-module: COM201 -> "); });
    }
    // A frame the module received, by its meaning in the wire log ("set channel 50").
    bool Received(const QString& meaning) const {
        return QString::fromLocal8Bit(m_log).contains(
            QRegularExpression(" rx .*  " + meaning + "\n"));
    }

private:
    QProcess m_process;
    QByteArray m_log;
};

class PanelEndToEnd : public ::testing::Test {
protected:
    void StartPanel() {
        m_dialog = std::make_unique<CControllerDlg>(m_state, m_link);
        m_dialog->show();
        m_dialog->activateWindow();
        ASSERT_TRUE(WaitUntil([this] { return m_dialog->isActiveWindow(); }));
    }
    template <typename W = QWidget>
    W* Get(int id) const {
        return qobject_cast<W*>(m_dialog->Control(id));
    }
    QString Text(int id) const { return Get<QWidget>(id)->property("text").toString(); }
    int Position(int id) const { return Get<QSlider>(id)->value(); }
    void Click(int id) { Get<QPushButton>(id)->click(); }
    void TypeEnter(int id, const QString& keys) {
        QWidget* field = Get<QWidget>(id);
        field->setFocus();
        Get<QLineEdit>(id)->selectAll();
        QTest::keyClick(field, Qt::Key_Backspace);
        QTest::keyClicks(field, keys);
        QTest::keyClick(field, Qt::Key_Return);
    }
    void OpenOurPort() {
        auto* ports = Get<QComboBox>(IDC_COMBO_PORTS);
        ASSERT_GE(ports->findText(kPortName), 0);
        ports->setCurrentIndex(ports->findText(kPortName));
        Click(IDC_BTN_OPENPORT);
        ASSERT_EQ(Text(IDC_BTN_OPENPORT), "ClosePort");
    }
    // The output reply ends the synchronisation and is the only source of "ON" / "OFF".
    bool WaitSynced(const QString& output) {
        return WaitUntil([&] { return Text(IDC_BTN_OUTPUT) == output && m_state.synced; });
    }
    // Entry, slider and grid readouts of the channel | power | output caption.
    QString Readouts() const {
        return QStringList{Text(IDC_EDIT_CHANNEL),
                           QString::number(Position(IDC_SLIDER_CHANNEL)),
                           Text(IDC_TXT_FREQUENCY),
                           Text(IDC_TXT_WAVELENGTH),
                           Text(IDC_TXT_ITU),
                           "|",
                           Text(IDC_EDIT_POWER),
                           QString::number(Position(IDC_SLIDER_POWER)),
                           "|",
                           Text(IDC_BTN_OUTPUT)}
            .join(' ');
    }
    bool Closed() const {
        return Text(IDC_BTN_OPENPORT) == "OpenPort" && Get<QComboBox>(IDC_COMBO_PORTS)->isEnabled();
    }

    e2e::PortFolderScope m_folder;  // before the panel: its watcher and scan use the folder
    ControllerState m_state;
    CSerialLink m_link;
    std::unique_ptr<CControllerDlg> m_dialog;
};

TEST_F(PanelEndToEnd, OpenSynchroniseDriveEveryControlCloseAndReopen) {
    Module module({});
    ASSERT_TRUE(module.WaitPublished());
    StartPanel();
    OpenOurPort();
    ASSERT_TRUE(WaitSynced("ON"));
    EXPECT_EQ(Readouts(), "45 45 193900 1546.12 C39 | 12.34 1234 | ON");

    // A drag across several positions between two tracking ticks sends only the last one.
    for (int channel : {46, 47, 48, 50}) {
        Get<QSlider>(IDC_SLIDER_CHANNEL)->setValue(channel);
    }
    EXPECT_TRUE(
        WaitUntil([&] { return Readouts() == "50 50 194150 1544.13 H41 | 12.34 1234 | ON"; }));
    EXPECT_TRUE(module.Received("set channel 50"));
    EXPECT_FALSE(module.Received("set channel 47"));

    // Each waits for the module's reply: a second frame sent before the link has written the
    // first replaces it.
    TypeEnter(IDC_EDIT_CHANNEL, "12");
    EXPECT_TRUE(WaitUntil([&] { return Readouts().startsWith("12 12 192250 1559.39 H22 |"); }));
    TypeEnter(IDC_EDIT_POWER, "10.5");
    EXPECT_TRUE(WaitUntil([&] { return Readouts().contains("| 10.50 1050 |"); }));
    Click(IDC_BTN_OUTPUT);
    EXPECT_TRUE(WaitUntil([&] { return Readouts().endsWith("| OFF"); }));
    EXPECT_TRUE(module.Received("set channel 12") && module.Received("set power 10.50 dBm") &&
                module.Received("set output off"));
    EXPECT_TRUE(m_dialog->isVisible()) << "Enter closed the panel";

    Click(IDC_BTN_OPENPORT);
    EXPECT_TRUE(Closed());
    EXPECT_EQ(Readouts(), "12 12 192250 1559.39 H22 | 10.50 1050 | OFF");  // kept on close
    OpenOurPort();
    EXPECT_TRUE(WaitSynced("OFF"));
    Click(IDC_BTN_OPENPORT);
    EXPECT_TRUE(Closed());
}

TEST_F(PanelEndToEnd, UnpluggedModuleReturnsThePanelToClosed) {
    Module module({"--unplug-after", "4"});
    ASSERT_TRUE(module.WaitPublished());
    StartPanel();
    OpenOurPort();
    ASSERT_TRUE(WaitSynced("ON"));
    // The entry vanishes and the pty hangs up: the link reports the failed read once, and
    // the watcher's change, held back until the box is answered, runs the recovery, whose
    // probe finds the port gone.
    e2e::Operator answer;
    ASSERT_TRUE(WaitUntil([&] { return Closed(); }));
    EXPECT_LE(answer.Answered(), 1);
    EXPECT_EQ(Get<QComboBox>(IDC_COMBO_PORTS)->findText(kPortName), -1);
    EXPECT_FALSE(m_state.portOpen);
}

// The program ends with the port open while the module streams replies: nothing may reach
// the destroyed window, and the process ends by itself, without a crash. The tour ends the
// same way the panel program does (window closed, then the global link torn down at exit).
TEST_F(PanelEndToEnd, ProgramExitWithThePortOpenWhileBytesArrive) {
    Module module({"--stream", "max"});
    ASSERT_TRUE(module.WaitPublished());
    QProcess tour;
    tour.setProcessChannelMode(QProcess::MergedChannels);
    tour.start(QStringLiteral(VARNEL_TOUR_PATH),
               {"--com", QString::number(kCom), "--exit-while-open"});
    ASSERT_TRUE(tour.waitForFinished(3 * e2e::kGenerousMs));
    const QString output = QString::fromLocal8Bit(tour.readAll());
    EXPECT_EQ(tour.exitStatus(), QProcess::NormalExit) << output.toStdString();
    EXPECT_EQ(tour.exitCode(), 0) << output.toStdString();
    EXPECT_TRUE(output.contains("close the window with the port open")) << output.toStdString();
}

}  // namespace
