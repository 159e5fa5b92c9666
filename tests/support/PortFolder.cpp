#include "PortFolder.h"

#include <QDir>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "PortNames.h"
#include "PosixPortNames.h"

namespace testkit {

PortFolderScope::PortFolderScope() {
    // The UUCP lock files of the ports opened meanwhile go into a private folder too, so that
    // nothing is left in the machine's lock folder by a test that ends badly. Not the port
    // folder itself: the panel watches that one, and each lock file would be a device change.
    const QString locks = m_dir.filePath(QStringLiteral("locks"));
    QDir().mkpath(locks);
    for (const auto& [name, value] :
         {std::pair{"VARNEL_PORTS", m_dir.path()}, std::pair{"VARNEL_LOCK_DIR", locks}}) {
        if (qEnvironmentVariableIsSet(name)) {
            m_old.emplace_back(name, qgetenv(name));
        }
        qputenv(name, value.toLocal8Bit());
    }
}

PortFolderScope::~PortFolderScope() {
    qunsetenv("VARNEL_PORTS");
    qunsetenv("VARNEL_LOCK_DIR");
    for (const auto& [name, value] : m_old) {
        qputenv(name, value);
    }
}

PublishedPty::PublishedPty(int com) {
    char name[128] = "";
    m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_master < 0 || ::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0 ||
        ::ptsname_r(m_master, name, sizeof name) != 0 ||
        (m_slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC)) < 0) {
        m_error = std::string("pseudo-terminal: ") + std::strerror(errno);
        return;
    }
    termios tio{};
    if (::tcgetattr(m_slave, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::tcsetattr(m_slave, TCSANOW, &tio);
    }
    std::error_code ec;
    std::filesystem::create_symlink(name, PortEntryPath(com), ec);
    if (ec) {
        m_error = "cannot publish " + PortEntryPath(com) + ": " + ec.message();
        return;
    }
    m_entry = PortEntryPath(com);
}

PublishedPty::~PublishedPty() {
    if (!m_entry.empty()) {
        std::error_code ignored;
        std::filesystem::remove(m_entry, ignored);
    }
    for (int fd : {m_slave, m_master}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

bool PublishedPty::Write(const std::string& bytes) const {
    return ::write(m_master, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
}

}  // namespace testkit
