#include "PanelProgram.h"

#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "ControlSocketPath.h"
#include "Wait.h"

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

bool PanelProgram::Start(const std::string& path, std::string& error) {
    const int port = FreeTcpPort();
    ProcessOptions options;
    options.mergeErrors = true;
    options.environment = {{"QT_QPA_PLATFORM", "vnc:size=800x600:port=" + std::to_string(port)}};
    if (port < 0 || !m_process.Start(path, {}, options)) {
        error = "cannot start " + path;
        return false;
    }
    // The screen listens once the program is up: try until it answers.
    WaitUntil(
        [&] {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(static_cast<std::uint16_t>(port));
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
                m_vnc = fd;
            } else {
                ::close(fd);
            }
            return m_vnc >= 0 || m_process.Exited();
        },
        kDeadlineMs, {}, 20);
    if (m_vnc < 0) {
        error = "the program's screen never listened: " + m_process.Output();
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

std::string PanelProgram::Stop() {
    if (m_vnc >= 0) {
        ::close(m_vnc);
        m_vnc = -1;
    }
    m_process.Signal(SIGTERM);
    m_process.Wait(kDeadlineMs);
    return m_process.Output();
}

}  // namespace testkit
