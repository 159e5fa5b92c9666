// Scripts through a running panel: the real panel (offscreen), the real link, varnel-module
// on a pty, and varnel-ctl as a child process talking to the panel's control socket.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <filesystem>
#include <memory>
#include <set>

#include "ControlSocketPath.h"
#include "ControllerDlg.h"
#include "PanelDriver.h"
#include "PanelProgram.h"
#include "PortFolder.h"
#include "Process.h"
#include "QtWait.h"
#include "SerialLink.h"

using testkit::QtWaitUntil;

namespace {

constexpr int kCom = 202;

/// What a varnel-ctl run ended with.
struct CtlRun {
    int code = -1;
    QString out;
    QString err;
};

/// varnel-ctl as a child; the panel's event loop runs while it does.
class CtlChild {
public:
    explicit CtlChild(const std::vector<QString>& args) {
        std::vector<std::string> strings;
        for (const QString& arg : args) {
            strings.push_back(arg.toStdString());
        }
        m_process.Start(VARNEL_CTL_PATH, strings, {.inputPipe = false});
    }
    bool Running() { return !m_process.Exited(); }
    CtlRun Finish(const std::function<void()>& meanwhile = {}) {
        QtWaitUntil([&] {
            if (meanwhile) {
                meanwhile();
            }
            return !Running();
        });
        CtlRun run;
        run.code = m_process.Wait(0);
        run.out = QString::fromStdString(m_process.Output());
        run.err = QString::fromStdString(m_process.Errors());
        return run;
    }

private:
    testkit::Process m_process;
};

/// A raw client of the control socket; waits for answers with the panel's loop running.
class RawClient {
public:
    explicit RawClient(const std::string& path) : m_fd(ConnectControlSocket(path)) {}
    ~RawClient() { Close(); }
    bool Ok() const { return m_fd >= 0; }
    void Close() {
        if (m_fd >= 0) {
            ::close(m_fd);
            m_fd = -1;
        }
    }
    bool Send(const std::string& bytes) {
        return ::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(bytes.size());
    }
    /// The next answer as JSON; an empty object when none came or the socket closed.
    QJsonObject Answer() {
        std::size_t end = std::string::npos;
        bool closed = false;
        QtWaitUntil([&] {
            char chunk[4096];
            const ssize_t got = ::recv(m_fd, chunk, sizeof chunk, MSG_DONTWAIT);
            if (got > 0) {
                m_in.append(chunk, static_cast<std::size_t>(got));
            }
            closed = got == 0;
            end = m_in.find('\n');
            return end != std::string::npos || closed;
        });
        if (end == std::string::npos) {
            return {};
        }
        const std::string line = m_in.substr(0, end);
        m_in.erase(0, end + 1);
        return QJsonDocument::fromJson(QByteArray::fromStdString(line)).object();
    }
    /// True once the panel has closed the connection (and sent nothing more).
    bool ClosedByPanel() {
        return QtWaitUntil([&] {
            char byte = 0;
            return ::recv(m_fd, &byte, 1, MSG_DONTWAIT) == 0;
        });
    }

private:
    int m_fd = -1;
    std::string m_in;
};

class ControlSocketEndToEnd : public ::testing::Test {
protected:
    ControlSocketEndToEnd() {
        // Sockets go to the test's own folder: XDG_RUNTIME_DIR points into it.
        m_oldRuntime = qgetenv("XDG_RUNTIME_DIR");
        m_hadRuntime = qEnvironmentVariableIsSet("XDG_RUNTIME_DIR");
        qputenv("XDG_RUNTIME_DIR", QByteArray::fromStdString(m_folder.Path()));
    }
    ~ControlSocketEndToEnd() override {
        if (m_hadRuntime) {
            qputenv("XDG_RUNTIME_DIR", m_oldRuntime);
        } else {
            qunsetenv("XDG_RUNTIME_DIR");
        }
    }
    void StartAndOpen(const std::vector<std::string>& extra = {}) {
        std::vector<std::string> args{"--log", "--channel", "45", "--power",
                                      "12.34", "--output",  "on"};
        args.insert(args.end(), extra.begin(), extra.end());
        ASSERT_TRUE(testkit::StartModule(m_module, VARNEL_MODULE_PATH, kCom, args));
        ASSERT_TRUE(m_panel.Show(testkit::kGenerousMs));
        ASSERT_TRUE(m_panel.OpenCom(kCom, testkit::kGenerousMs));
        ASSERT_TRUE(QtWaitUntil([&] { return m_state.synced; })) << m_module.Output();
        ASSERT_FALSE(m_dialog.Server().Path().empty());
    }
    // Frames the module received, by meaning in its wire log ("set channel 50").
    int Received(const QString& meaning) const {
        return static_cast<int>(QString::fromStdString(m_module.Output())
                                    .count(QRegularExpression(" rx .*  " + meaning + "\n")));
    }
    QString Port() const { return QStringLiteral("COM%1").arg(kCom); }

    testkit::PortFolder m_folder;
    QByteArray m_oldRuntime;
    bool m_hadRuntime = false;
    testkit::Process m_module;
    ControllerState m_state;
    CSerialLink m_link;
    CControllerDlg m_dialog{m_state, m_link};
    PanelDriver m_panel{m_dialog, m_state};
};

// The program as users start it (its own main, the panel modal under exec()): a set and a fresh
// get are answered, two scripts switching the output off at once switch it off once, and
// running out of descriptors neither spins the panel nor stops it for good.
TEST_F(ControlSocketEndToEnd, TheProgramAsStartedServesScriptsAndOutlastsRunningOutOfDescriptors) {
    ASSERT_TRUE(testkit::StartModule(m_module, VARNEL_MODULE_PATH, kCom,
                                     {"--log", "--channel", "45", "--output", "on"}));
    testkit::PanelProgram program;
    std::string error;
    ASSERT_TRUE(program.Start(VARNEL_PATH, error)) << error;
    ASSERT_TRUE(program.PressSpace());  // OpenPort has the focus, the module's port item 0
    ASSERT_TRUE(QtWaitUntil([&] { return !program.SocketPath().empty(); })) << program.Stop();
    ASSERT_TRUE(QtWaitUntil([&] { return CtlChild({Port(), "get"}).Finish().code == 0; }));

    const CtlRun set = CtlChild({Port(), "set", "channel", "50"}).Finish();
    EXPECT_EQ(set.code, 0) << set.err.toStdString();
    EXPECT_TRUE(set.out.startsWith("channel 50 ")) << set.out.toStdString();
    const CtlRun fresh = CtlChild({Port(), "get", "channel", "--fresh"}).Finish();
    EXPECT_EQ(fresh.code, 0) << fresh.err.toStdString();
    EXPECT_TRUE(fresh.out.startsWith("channel 50 ")) << fresh.out.toStdString();

    CtlChild first({Port(), "set", "output", "off"});
    CtlChild second({Port(), "set", "output", "off"});
    for (CtlChild* child : {&first, &second}) {
        const CtlRun run = child->Finish();
        EXPECT_EQ(run.code, 0) << run.err.toStdString();
        EXPECT_TRUE(run.out.contains("output off")) << run.out.toStdString();
    }
    EXPECT_EQ(Received("set output off"), 1);
    EXPECT_EQ(Received("set output on"), 0);

    // Out of descriptors, with clients still queued: the panel waits instead of spinning, and
    // serves again once some are closed.
    const std::string path = program.SocketPath();
    const auto fds = std::distance(
        std::filesystem::directory_iterator("/proc/" + std::to_string(program.Pid()) + "/fd"),
        std::filesystem::directory_iterator());
    const rlimit limit{static_cast<rlim_t>(fds + 8), static_cast<rlim_t>(fds + 8)};
    ASSERT_EQ(::prlimit(static_cast<pid_t>(program.Pid()), RLIMIT_NOFILE, &limit, nullptr), 0);
    std::vector<std::unique_ptr<RawClient>> many;
    for (int i = 0; i < 40; ++i) {
        many.push_back(std::make_unique<RawClient>(path));
    }
    const long before = program.CpuTicks();
    QtWaitUntil([&] { return program.CpuTicks() - before > 50; }, 1500);
    EXPECT_LT(program.CpuTicks() - before, 50) << "CPU ticks spent with no descriptor left";
    many.clear();
    RawClient late(path);
    ASSERT_TRUE(late.Send(R"({"v":1,"cmd":"hello"})"
                          "\n"));
    EXPECT_EQ(late.Answer()["port"].toString(), Port());
    program.Stop();
}

// Every step shows in the panel's readouts as the module reports it, and the module's log holds
// exactly the frames the records say.
TEST_F(ControlSocketEndToEnd, ASweepThroughThePanelShowsEveryStep) {
    StartAndOpen();
    const CtlRun panels = CtlChild({"panels"}).Finish();
    EXPECT_EQ(panels.code, 0) << panels.err.toStdString();
    EXPECT_TRUE(panels.out.contains(" " + Port() + " ")) << panels.out.toStdString();

    std::set<QString> shown;
    CtlChild sweep({Port(), "sweep", "40-44", "--dwell", "0.3", "--json"});
    const CtlRun run = sweep.Finish([&] { shown.insert(m_panel.Text("IDC_EDIT_CHANNEL")); });
    ASSERT_EQ(run.code, 0) << run.err.toStdString();
    const QStringList lines = run.out.split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 5) << run.out.toStdString();
    for (int i = 0; i < 5; ++i) {
        const int channel = 40 + i;
        SCOPED_TRACE(channel);
        EXPECT_EQ(QJsonDocument::fromJson(lines[i].toUtf8()).object()["channel"].toInt(), channel);
        EXPECT_EQ(Received(QStringLiteral("set channel %1").arg(channel)), 1);
        EXPECT_TRUE(shown.count(QString::number(channel))) << "the panel showed the step";
    }
    EXPECT_EQ(m_panel.Text("IDC_EDIT_CHANNEL"), "44");

    const CtlRun set = CtlChild({Port(), "set", "power", "8.2", "output", "off"}).Finish();
    EXPECT_EQ(set.code, 0) << set.err.toStdString();
    EXPECT_EQ(Received("set power 8.20 dBm"), 1);
    EXPECT_EQ(m_panel.Text("IDC_EDIT_POWER"), "8.20");
    EXPECT_EQ(m_panel.Text("IDC_BTN_OUTPUT"), "OFF");

    const CtlRun direct = CtlChild({Port(), "get", "--direct"}).Finish();
    EXPECT_EQ(direct.code, 2);
    EXPECT_TRUE(direct.err.contains("a panel holds it")) << direct.err.toStdString();
}

TEST_F(ControlSocketEndToEnd, ThePortClosedOrPulledMidSweepEndsItWithAClearError) {
    StartAndOpen({"--unplug-after", "6"});
    const std::string path = m_dialog.Server().Path();
    {
        // A long dwell: the close comes while the client waits between two requests.
        CtlChild sweep({Port(), "sweep", "1-89", "--dwell", "0.4"});
        bool closed = false;
        const CtlRun run = sweep.Finish([&] {
            if (!closed && m_panel.Text("IDC_EDIT_CHANNEL") == "3") {
                closed = true;
                m_panel.ClosePort();
            }
        });
        EXPECT_EQ(run.code, 2);
        EXPECT_TRUE(run.err.contains("the panel's operator closed the port"))
            << run.err.toStdString();
        EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(path))) << "socket removed";
    }
    // Reopened; the module then goes away with the sweep running.
    ASSERT_TRUE(m_panel.OpenCom(kCom, testkit::kGenerousMs));
    ASSERT_TRUE(QtWaitUntil([&] { return m_state.synced; }));
    testkit::Operator answer;
    const CtlRun run = CtlChild({Port(), "sweep", "1-89", "--dwell", "0.1"}).Finish();
    EXPECT_EQ(run.code, 2);
    EXPECT_TRUE(run.err.contains("went away")) << run.err.toStdString();
    EXPECT_TRUE(m_panel.IsClosed());
}

TEST_F(ControlSocketEndToEnd, RudeAndManyClientsLeaveThePanelResponsive) {
    StartAndOpen();
    const std::string path = m_dialog.Server().Path();
    // Sends a set and goes away before the reply: the set still completes, unanswered.
    {
        RawClient gone(path);
        ASSERT_TRUE(gone.Send(R"({"v":1,"cmd":"set","what":"channel","value":30})"
                              "\n"));
    }
    // The slider moves on the module's reply (the field shows the typed text at once).
    EXPECT_TRUE(QtWaitUntil([&] { return m_panel.SliderValue("IDC_SLIDER_CHANNEL") == 30; }))
        << m_module.Output();
    // Never reads: pipelines thousands of requests.
    RawClient deaf(path);
    std::string flood;
    for (int i = 0; i < 4000; ++i) {
        flood += R"({"v":1,"cmd":"hello"})"
                 "\n";
    }
    deaf.Send(flood.substr(0, 60000));
    // Fifty at once.
    std::vector<std::unique_ptr<RawClient>> many;
    for (int i = 0; i < 50; ++i) {
        many.push_back(std::make_unique<RawClient>(path));
        ASSERT_TRUE(many.back()->Ok()) << i;
        ASSERT_TRUE(many.back()->Send(R"({"v":1,"cmd":"hello"})"
                                      "\n"));
    }
    for (auto& client : many) {
        const QJsonObject answer = client->Answer();
        EXPECT_EQ(answer["port"].toString(), Port());
        EXPECT_EQ(answer["synced"], QJsonValue(true));
    }
    const CtlRun set = CtlChild({Port(), "set", "channel", "31"}).Finish();
    EXPECT_EQ(set.code, 0) << set.err.toStdString();
    EXPECT_EQ(m_panel.Text("IDC_EDIT_CHANNEL"), "31");
    EXPECT_EQ(Received("set channel 30") + Received("set channel 31"), 2);
}

// The panel ends with a client waiting for a reply: the client gets an answer that says so
// and the connection closes; the socket is gone.
TEST_F(ControlSocketEndToEnd, EndingThePanelAnswersAndClosesItsClients) {
    // A channel change is answered 3 s late: the set is still waiting when the panel ends.
    ASSERT_TRUE(testkit::StartModule(m_module, VARNEL_MODULE_PATH, kCom,
                                     {"--log", "--tune-delay", "3000"}));
    ControllerState state;
    CSerialLink link;
    auto dialog = std::make_unique<CControllerDlg>(state, link);
    PanelDriver panel(*dialog, state);
    ASSERT_TRUE(panel.Show(testkit::kGenerousMs));
    ASSERT_TRUE(panel.OpenCom(kCom, testkit::kGenerousMs));
    ASSERT_TRUE(QtWaitUntil([&] { return state.synced; }));
    const std::string path = dialog->Server().Path();
    RawClient client(path);
    ASSERT_TRUE(client.Send(R"({"v":1,"cmd":"set","what":"channel","value":7})"
                            "\n"));
    ASSERT_TRUE(QtWaitUntil([&] { return panel.Text("IDC_EDIT_CHANNEL") == "7"; }));
    dialog.reset();
    const QJsonObject answer = client.Answer();
    EXPECT_EQ(answer["ok"], QJsonValue(false));
    EXPECT_TRUE(answer["message"].toString().contains("ending"))
        << answer["message"].toString().toStdString();
    EXPECT_TRUE(client.ClosedByPanel());
    EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(path)));
    link.Close();
}

}  // namespace
