#include "PtyPair.h"

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <optional>

#include "LineSettings.h"
#include "ModuleLine.h"

namespace {

std::string Errno() {
    return std::strerror(errno);
}

}  // namespace

std::string OpenPty(Fd& master, Fd& slave, std::string& slavePath, bool raw) {
    master.Reset(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
    if (master.Get() < 0 || ::grantpt(master.Get()) != 0 || ::unlockpt(master.Get()) != 0) {
        return "cannot open a pseudo-terminal: " + Errno() +
               ". Check that /dev/ptmx exists and /dev/pts is mounted (devpts).";
    }
    char name[PATH_MAX];
    if (::ptsname_r(master.Get(), name, sizeof name) != 0) {
        return "cannot name the pseudo-terminal: " + Errno();
    }
    slavePath = name;
    slave.Reset(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
    termios tio{};
    if (slave.Get() < 0 || ::tcgetattr(slave.Get(), &tio) != 0) {
        return "cannot open " + slavePath + ": " + Errno();
    }
    if (!raw) {
        return {};
    }
    // Raw, so nothing the panel sends is echoed back or translated.
    ::cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (const std::optional<speed_t> speed = SpeedFromBaud(kModuleBaudRate)) {
        ::cfsetspeed(&tio, *speed);  // a pty keeps no baud timing, but shows the setting
    }
    if (::tcsetattr(slave.Get(), TCSANOW, &tio) != 0) {
        return "cannot set up " + slavePath + ": " + Errno();
    }
    return {};
}
