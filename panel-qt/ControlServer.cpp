#include "ControlServer.h"

#include <sys/stat.h>
#include <unistd.h>
#include <QApplication>
#include <QMessageBox>
#include <QSocketNotifier>

#include <cstdio>
#include <utility>

#include "ControlSocketPath.h"
#include "PortNames.h"
#include "PosixPortNames.h"

/// One connected client: the session's id for it, and whether the session reads it.
class ControlServer::Client final : public net::ClientHandler {
public:
    Client(ControlServer& server, int session, net::ClientId id)
        : session(session), id(id), m_server(server) {}
    ~Client() override { m_server.m_clients.erase(session); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    void Received(std::string_view bytes) override { m_server.m_session.Receive(session, bytes); }
    bool Reading() const override { return reading; }
    void Left() override { m_server.m_session.Disconnect(session); }

    const int session;
    const net::ClientId id;
    bool reading = true;

private:
    ControlServer& m_server;
};

ControlServer::ControlServer(PanelController& controller)
    : m_controller(controller), m_session(controller, *this, *this) {
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, [this] { m_session.OnTimer(); });
    m_due.setSingleShot(true);
    connect(&m_due, &QTimer::timeout, this, [this] { Step(); });
    m_controller.SetEventListener(&m_session);
}

ControlServer::~ControlServer() {
    m_controller.SetEventListener(nullptr);
    m_session.End(kErrPortClosed, "the panel is ending");
}

void ControlServer::Serve(bool serving) {
    if (serving && m_listenFd < 0) {
        Listen();
    } else if (!serving) {
        // The session has written every client its last line: one try to deliver it.
        m_pump.CloseAll();
        StopListening();
    }
    if (!m_stepping) {
        Follow();
    }
}

void ControlServer::Listen() {
    const std::string folder = ControlFolder();
    std::string error;
    const std::string path = ControlSocketPath(folder, static_cast<long>(::getpid()));
    if (!PrepareControlFolder(folder, error) ||
        (m_listenFd = ListenControlSocket(path, error)) < 0) {
        std::fprintf(stderr, "varnel: no control socket for scripts: %s\n", error.c_str());
        return;
    }
    m_path = path;
    RemoveStaleControlSockets(folder);
    struct stat st {};
    m_socketInode = ::lstat(path.c_str(), &st) == 0 ? st.st_ino : 0;
    m_pump.AddDoor(m_listenFd, *this);
}

void ControlServer::StopListening() {
    if (m_listenFd < 0) {
        return;
    }
    m_pump.RemoveDoor(m_listenFd);
    // Only our own socket goes: whatever else may sit at the path now is left alone.
    struct stat byPath {};
    if (::lstat(m_path.c_str(), &byPath) == 0 && S_ISSOCK(byPath.st_mode) &&
        byPath.st_ino == m_socketInode && byPath.st_uid == ::geteuid()) {
        ::unlink(m_path.c_str());
    }
    ::close(m_listenFd);
    m_listenFd = -1;
    m_path.clear();
}

bool ControlServer::Admits(int fd, const net::Peer& /*peer*/) {
    return PeerIsThisUser(fd);
}

std::unique_ptr<net::ClientHandler> ControlServer::Open(net::ClientId id,
                                                        const net::Peer& /*peer*/) {
    auto client = std::make_unique<Client>(*this, m_session.Connect(), id);
    m_clients.emplace(client->session, client.get());
    return client;
}

void ControlServer::Step() {
    if (m_stepping) {
        // A nested loop inside the session's work: the notices wait for the step that runs.
        m_stepAgain = true;
        for (const auto& [fd, notifiers] : m_notifiers) {
            for (QSocketNotifier* notifier : {notifiers.reader, notifiers.writer}) {
                if (notifier != nullptr) {
                    notifier->setEnabled(false);
                }
            }
        }
        return;
    }
    m_stepping = true;
    m_pump.Step(0);
    m_stepping = false;
    Follow();
    if (std::exchange(m_stepAgain, false)) {
        Post([this] { Step(); });
    }
}

QSocketNotifier* ControlServer::Notifier(QSocketNotifier*& slot, int fd, bool wanted, bool reader) {
    if (slot == nullptr && wanted) {
        slot =
            new QSocketNotifier(fd, reader ? QSocketNotifier::Read : QSocketNotifier::Write, this);
        connect(slot, &QSocketNotifier::activated, this, [this] { Step(); });
    }
    if (slot != nullptr && slot->isEnabled() != wanted) {
        slot->setEnabled(wanted);
    }
    return slot;
}

void ControlServer::Follow() {
    std::map<int, Notifiers> next;
    for (const net::PollFd& wanted : m_pump.Interest()) {
        // Qt cannot ask for the peer's end alone: a client that is not read is not watched,
        // or its unread input would wake the loop again and again.
        Notifiers notifiers;
        if (const auto had = m_notifiers.find(wanted.fd); had != m_notifiers.end()) {
            notifiers = had->second;
            m_notifiers.erase(had);
        }
        Notifier(notifiers.reader, wanted.fd, (wanted.events & net::kReadable) != 0, true);
        Notifier(notifiers.writer, wanted.fd, (wanted.events & net::kWritable) != 0, false);
        next.emplace(wanted.fd, notifiers);
    }
    // Those of descriptors the pump closed.
    for (const auto& [fd, notifiers] : m_notifiers) {
        for (QSocketNotifier* notifier : {notifiers.reader, notifiers.writer}) {
            if (notifier != nullptr) {
                notifier->setEnabled(false);
                notifier->deleteLater();
            }
        }
    }
    m_notifiers = std::move(next);
    if (const int ms = m_pump.WaitMs(); ms >= 0) {
        m_due.start(ms);
    } else {
        m_due.stop();
    }
}

void ControlServer::WriteLine(int id, const std::string& line) {
    const auto it = m_clients.find(id);
    if (it == m_clients.end()) {
        return;
    }
    if (!m_pump.Write(it->second->id, line)) {
        // It failed or does not read its answers: the next step lets it go, not from inside
        // the session's own call that wrote the line.
        Post([this] { Step(); });
    }
    if (!m_stepping) {
        Follow();
    }
}

void ControlServer::SetReading(int id, bool reading) {
    if (const auto it = m_clients.find(id); it != m_clients.end()) {
        it->second->reading = reading;
        if (!m_stepping) {
            Follow();
        }
    }
}

bool ControlServer::OperatorBusy() const {
    // Only a box of ours: the panel itself is the active modal widget all the time it runs.
    return qobject_cast<QMessageBox*>(QApplication::activeModalWidget()) != nullptr;
}

long ControlServer::Pid() const {
    return static_cast<long>(::getpid());
}

std::string ControlServer::PortName(int com) const {
    return PortDisplayName(com);
}

std::string ControlServer::DevicePath(int com) const {
    return ResolvedPath(PortDevicePath(com));
}

void ControlServer::StartTimer(int ms) {
    m_timer.start(ms);
}

void ControlServer::StopTimer() {
    m_timer.stop();
}

void ControlServer::Post(std::function<void()> work) {
    QMetaObject::invokeMethod(this, std::move(work), Qt::QueuedConnection);
}
