#include "ControlServer.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <QApplication>
#include <QMessageBox>
#include <QSocketNotifier>

#include <cerrno>
#include <cstdio>

#include "ControlSocketPath.h"
#include "PortNames.h"
#include "PosixPortNames.h"

namespace {

// Answers a client has not read yet; one that lets more pile up is dropped.
constexpr std::size_t kMaxPendingOut = std::size_t{64} * 1024;

}  // namespace

/// One connected client: its socket and what it has not read yet.
struct ControlServer::Client {
    int fd = -1;
    QSocketNotifier* reader = nullptr;
    QSocketNotifier* writer = nullptr;
    std::string out;
};

ControlServer::ControlServer(PanelController& controller)
    : m_controller(controller), m_session(controller, *this, *this) {
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, [this] { m_session.OnTimer(); });
    m_acceptPause.setSingleShot(true);
    connect(&m_acceptPause, &QTimer::timeout, this, [this] {
        if (m_listenNotifier != nullptr) {
            m_listenNotifier->setEnabled(true);
        }
    });
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
        while (!m_clients.empty()) {
            const int id = m_clients.begin()->first;
            Send(id);
            Drop(id);
        }
        StopListening();
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
    m_listenNotifier = new QSocketNotifier(m_listenFd, QSocketNotifier::Read, this);
    connect(m_listenNotifier, &QSocketNotifier::activated, this, [this] { Accept(); });
}

void ControlServer::StopListening() {
    if (m_listenFd < 0) {
        return;
    }
    m_acceptPause.stop();
    delete m_listenNotifier;
    m_listenNotifier = nullptr;
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

void ControlServer::Accept() {
    for (;;) {
        const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) {
                continue;
            }
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                // Out of descriptors (or memory): the connection stays queued, and asking
                // again at once would only spin. Clients wait until some are closed.
                m_listenNotifier->setEnabled(false);
                m_acceptPause.start(kAcceptPauseMs);
            }
            return;
        }
        if (!PeerIsThisUser(fd)) {
            ::close(fd);
            continue;
        }
        const int id = m_session.Connect();
        auto client = std::make_unique<Client>();
        client->fd = fd;
        client->reader = new QSocketNotifier(fd, QSocketNotifier::Read, this);
        client->writer = new QSocketNotifier(fd, QSocketNotifier::Write, this);
        client->writer->setEnabled(false);
        connect(client->reader, &QSocketNotifier::activated, this, [this, id] { ReadFrom(id); });
        connect(client->writer, &QSocketNotifier::activated, this, [this, id] { Flush(id); });
        m_clients.emplace(id, std::move(client));
    }
}

void ControlServer::ReadFrom(int id) {
    char buffer[4096];
    for (auto it = m_clients.find(id); it != m_clients.end() && it->second->reader->isEnabled();
         it = m_clients.find(id)) {
        const ssize_t got = ::read(it->second->fd, buffer, sizeof buffer);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
            m_session.Disconnect(id);
            Drop(id);
            return;
        }
        if (got < 0) {
            return;
        }
        m_session.Receive(id, std::string_view(buffer, static_cast<std::size_t>(got)));
    }
}

void ControlServer::WriteLine(int id, const std::string& line) {
    const auto it = m_clients.find(id);
    if (it != m_clients.end()) {
        it->second->out += line;
        Flush(id);
    }
}

void ControlServer::Flush(int id) {
    if (!Send(id)) {
        // Not from inside the session's own call that wrote the line.
        Post([this, id] {
            m_session.Disconnect(id);
            Drop(id);
        });
    }
}

void ControlServer::SetReading(int id, bool reading) {
    if (const auto it = m_clients.find(id); it != m_clients.end()) {
        it->second->reader->setEnabled(reading);
    }
}

bool ControlServer::Send(int id) {
    const auto it = m_clients.find(id);
    if (it == m_clients.end()) {
        return true;
    }
    Client& client = *it->second;
    while (!client.out.empty()) {
        const ssize_t sent =
            ::send(client.fd, client.out.data(), client.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0) {
            if (errno == EAGAIN || errno == EINTR) {
                break;
            }
            return false;
        }
        client.out.erase(0, static_cast<std::size_t>(sent));
    }
    client.writer->setEnabled(!client.out.empty());
    return client.out.size() <= kMaxPendingOut;  // else it does not read its answers
}

void ControlServer::Drop(int id) {
    const auto it = m_clients.find(id);
    if (it == m_clients.end()) {
        return;
    }
    Client& client = *it->second;
    client.reader->setEnabled(false);
    client.writer->setEnabled(false);
    client.reader->deleteLater();
    client.writer->deleteLater();
    ::close(client.fd);
    m_clients.erase(it);
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
