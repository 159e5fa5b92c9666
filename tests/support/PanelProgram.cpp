#include "PanelProgram.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <QElapsedTimer>
#include <QProcessEnvironment>
#include <QThread>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "ControlSocketPath.h"

namespace testkit {

namespace {

constexpr int kDeadlineMs = 20000;

// A free TCP port of the loopback interface, for the program's screen.
int FreeTcpPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    int port = -1;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
        port = ntohs(address.sin_port);
    }
    if (fd >= 0) {
        ::close(fd);
    }
    return port;
}

bool ReadExactly(int fd, void* data, std::size_t size) {
    auto* bytes = static_cast<char*>(data);
    while (size > 0) {
        pollfd ready{fd, POLLIN, 0};
        if (::poll(&ready, 1, kDeadlineMs) != 1) {
            return false;
        }
        const ssize_t got = ::read(fd, bytes, size);
        if (got <= 0) {
            return false;
        }
        bytes += got;
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

bool WriteAll(int fd, const void* data, std::size_t size) {
    return ::send(fd, data, size, MSG_NOSIGNAL) == static_cast<ssize_t>(size);
}

// The client side of Qt's remote framebuffer handshake (version 3.3, no security): the
// server's version, its security type, our shared-screen flag, its screen description.
bool Handshake(int fd, std::string& error) {
    char version[12];
    std::uint8_t security[4];
    const std::uint8_t shared = 1;
    std::uint8_t init[24];
    if (!ReadExactly(fd, version, sizeof version) ||
        std::memcmp(version, "RFB 003.003\n", sizeof version) != 0 ||
        !WriteAll(fd, version, sizeof version) || !ReadExactly(fd, security, 4) ||
        security[3] != 1 || !WriteAll(fd, &shared, 1) || !ReadExactly(fd, init, sizeof init)) {
        error = "the program's screen did not take a client";
        return false;
    }
    std::string name(init[23], '\0');  // Qt's name is short; longer ones are not Qt's screen
    return init[20] == 0 && init[21] == 0 && init[22] == 0 &&
           ReadExactly(fd, name.data(), init[23]);
}

}  // namespace

PanelProgram::~PanelProgram() {
    Stop();
}

bool PanelProgram::Start(const QString& path, std::string& error, const QStringList& wrapper) {
    const int port = FreeTcpPort();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QT_QPA_PLATFORM", QStringLiteral("vnc:size=800x600:port=%1").arg(port));
    m_process.setProcessEnvironment(environment);
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    if (wrapper.isEmpty()) {
        m_process.start(path, {});
    } else {
        m_process.start(wrapper.front(), wrapper.mid(1) + QStringList{path});
    }
    if (port < 0 || !m_process.waitForStarted(kDeadlineMs)) {
        error = "cannot start " + path.toStdString();
        return false;
    }
    // The screen listens once the program is up: try until it answers.
    QElapsedTimer clock;
    clock.start();
    while (m_vnc < 0 && clock.elapsed() < kDeadlineMs && m_process.state() == QProcess::Running) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            m_vnc = fd;
        } else {
            ::close(fd);
            QThread::msleep(20);
        }
    }
    if (m_vnc < 0) {
        error = "the program's screen never listened: " + m_process.readAll().toStdString();
        return false;
    }
    return Handshake(m_vnc, error);
}

bool PanelProgram::PressSpace() {
    constexpr std::uint8_t kSpace = 0x20;  // keysym
    const std::uint8_t down[8] = {4, 1, 0, 0, 0, 0, 0, kSpace};
    const std::uint8_t up[8] = {4, 0, 0, 0, 0, 0, 0, kSpace};
    return m_vnc >= 0 && WriteAll(m_vnc, down, sizeof down) && WriteAll(m_vnc, up, sizeof up);
}

std::string PanelProgram::SocketPath() const {
    const std::string path = ControlSocketPath(ControlFolder(), Pid());
    return std::filesystem::exists(path) ? path : std::string();
}

long PanelProgram::CpuTicks() const {
    std::ifstream in("/proc/" + std::to_string(Pid()) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // Fields after the command name (which may hold spaces): state is field 3, utime 14.
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    long user = 0;
    long system = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) {
            user = std::stol(field);
        } else if (i == 15) {
            system = std::stol(field);
        }
    }
    return user + system;
}

QByteArray PanelProgram::Stop() {
    if (m_vnc >= 0) {
        ::close(m_vnc);
        m_vnc = -1;
    }
    if (m_process.state() != QProcess::NotRunning) {
        m_process.terminate();
        if (!m_process.waitForFinished(kDeadlineMs)) {
            m_process.kill();
            m_process.waitForFinished();
        }
    }
    return m_process.readAll();
}

bool HideFixedPorts(const std::string& portFolder) {
    std::error_code ec;
    for (int com = 1; com <= 96 && !ec; ++com) {
        const std::string entry = portFolder + "/COM" + std::to_string(com);
        if (!std::filesystem::is_symlink(entry)) {
            std::filesystem::create_symlink(portFolder + "/absent", entry, ec);
        }
    }
    return !ec;
}

}  // namespace testkit
