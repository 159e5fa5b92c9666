#include "LineSettings.h"

#include <array>

namespace {

struct SpeedRow {
    std::uint32_t baud;
    speed_t speed;
};

constexpr std::array kSpeeds = {
    SpeedRow{50, B50},           SpeedRow{75, B75},           SpeedRow{110, B110},
    SpeedRow{134, B134},         SpeedRow{150, B150},         SpeedRow{200, B200},
    SpeedRow{300, B300},         SpeedRow{600, B600},         SpeedRow{1200, B1200},
    SpeedRow{1800, B1800},       SpeedRow{2400, B2400},       SpeedRow{4800, B4800},
    SpeedRow{9600, B9600},       SpeedRow{19200, B19200},     SpeedRow{38400, B38400},
    SpeedRow{57600, B57600},     SpeedRow{115200, B115200},   SpeedRow{230400, B230400},
#ifdef B460800
    SpeedRow{460800, B460800},   SpeedRow{500000, B500000},   SpeedRow{576000, B576000},
    SpeedRow{921600, B921600},   SpeedRow{1000000, B1000000}, SpeedRow{1152000, B1152000},
    SpeedRow{1500000, B1500000}, SpeedRow{2000000, B2000000}, SpeedRow{2500000, B2500000},
    SpeedRow{3000000, B3000000}, SpeedRow{3500000, B3500000}, SpeedRow{4000000, B4000000},
#endif
};

std::optional<tcflag_t> CharacterSize(std::uint32_t dataBits) {
    switch (dataBits & 0xFFu) {
        case 5:
            return CS5;
        case 6:
            return CS6;
        case 7:
            return CS7;
        case 8:
            return CS8;
        default:
            return std::nullopt;
    }
}

// CSTOPB means two stop bits, except with 5-bit characters, where the UART sends 1.5.
std::optional<bool> TwoStopBits(std::uint32_t stopCode, std::uint32_t dataBits) {
    const bool fiveBit = (dataBits & 0xFFu) == 5;
    switch (stopCode) {
        case 0:
            return false;
        case 1:
            return fiveBit ? std::optional<bool>(true) : std::nullopt;
        case 2:
            return fiveBit ? std::nullopt : std::optional<bool>(true);
        default:
            return std::nullopt;
    }
}

tcflag_t ParityFlags(Parity parity) {
    switch (parity) {
        case Parity::Odd:
            return PARENB | PARODD;
        case Parity::Even:
            return PARENB;
        case Parity::Mark:
            return PARENB | CMSPAR | PARODD;
        case Parity::Space:
            return PARENB | CMSPAR;
        case Parity::None:
            break;
    }
    return 0;
}

}  // namespace

Parity ParityFromLetter(char letter) {
    switch (letter) {
        case 'E':
            return Parity::Even;
        case 'O':
            return Parity::Odd;
        case 'M':
            return Parity::Mark;
        case 'S':
            return Parity::Space;
        default:
            return Parity::None;
    }
}

std::optional<speed_t> SpeedFromBaud(std::uint32_t baudRate) {
    for (const SpeedRow& row : kSpeeds) {
        if (row.baud == baudRate) {
            return row.speed;
        }
    }
    return std::nullopt;
}

std::optional<termios> RawLineSettings(const termios& current, const LineParameters& line) {
    const std::optional<speed_t> speed = SpeedFromBaud(line.baudRate);
    const std::optional<tcflag_t> size = CharacterSize(line.dataBits);
    const std::optional<bool> twoStop = TwoStopBits(line.stopBits, line.dataBits);
    if (!speed || !size || !twoStop) {
        return std::nullopt;
    }

    termios settings = current;
    ::cfmakeraw(&settings);
    // cfmakeraw clears IXON only: a binary protocol must not have the driver send XOFF bytes
    // to the module either, nor restart output on any byte.
    settings.c_iflag &= ~static_cast<tcflag_t>(IXOFF | IXANY);
    settings.c_cflag |= CLOCAL | CREAD;
    settings.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS | CSIZE | CSTOPB | PARENB | PARODD | CMSPAR);
    settings.c_cflag |= *size | ParityFlags(ParityFromLetter(line.parity));
    if (*twoStop) {
        settings.c_cflag |= CSTOPB;
    }
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    ::cfsetispeed(&settings, *speed);
    ::cfsetospeed(&settings, *speed);
    return settings;
}
