// The translation of the link's line settings into termios, checked bit by bit (a pty forces
// CS8 and drops parity, so only this pure function can show them).
#include <gtest/gtest.h>

#include <string>

#include "LineSettings.h"

namespace {

// A terminal as the kernel hands out a fresh one: cooked, echoing, with flow control.
termios CookedTerminal() {
    termios t{};
    t.c_iflag = ICRNL | IXON | IXOFF | IXANY | BRKINT | IMAXBEL;
    t.c_oflag = OPOST | ONLCR;
    t.c_cflag = CS7 | PARENB | CSTOPB | CRTSCTS | HUPCL;
    t.c_lflag = ICANON | ECHO | ECHOE | ISIG | IEXTEN;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 5;
    ::cfsetispeed(&t, B38400);
    ::cfsetospeed(&t, B38400);
    return t;
}

termios Apply(const LineParameters& line) {
    const std::optional<termios> settings = RawLineSettings(CookedTerminal(), line);
    EXPECT_TRUE(settings.has_value());
    return settings.value_or(termios{});
}

struct ParityRow {
    const char* name;
    char letter;
    Parity parity;
    tcflag_t flags;  // of PARENB | PARODD | CMSPAR
};

class ParityLetter : public ::testing::TestWithParam<ParityRow> {};

TEST_P(ParityLetter, MapsToTheParityFlags) {
    const ParityRow& row = GetParam();
    EXPECT_EQ(ParityFromLetter(row.letter), row.parity);
    const termios t = Apply({9600, row.letter, 8, 0});
    EXPECT_EQ(t.c_cflag & (PARENB | PARODD | CMSPAR), row.flags);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ParityLetter,
    ::testing::Values(
        ParityRow{"N", 'N', Parity::None, 0}, ParityRow{"E", 'E', Parity::Even, PARENB},
        ParityRow{"O", 'O', Parity::Odd, PARENB | PARODD},
        ParityRow{"M", 'M', Parity::Mark, PARENB | CMSPAR | PARODD},
        ParityRow{"S", 'S', Parity::Space, PARENB | CMSPAR},
        ParityRow{"LowerE", 'e', Parity::None, 0}, ParityRow{"LowerO", 'o', Parity::None, 0},
        ParityRow{"LowerM", 'm', Parity::None, 0}, ParityRow{"LowerS", 's', Parity::None, 0},
        ParityRow{"X", 'X', Parity::None, 0}, ParityRow{"Nul", '\0', Parity::None, 0}),
    [](const ::testing::TestParamInfo<ParityRow>& info) { return std::string(info.param.name); });

struct FramingRow {
    const char* name;
    std::uint32_t dataBits;
    std::uint32_t stopCode;
    bool valid;
    tcflag_t size;
    bool cstopb;
};

class Framing : public ::testing::TestWithParam<FramingRow> {};

TEST_P(Framing, SetsSizeAndStopBitsOrRefuses) {
    const FramingRow& row = GetParam();
    const std::optional<termios> t =
        RawLineSettings(CookedTerminal(), {9600, 'N', row.dataBits, row.stopCode});
    ASSERT_EQ(t.has_value(), row.valid);
    if (t) {
        EXPECT_EQ(t->c_cflag & CSIZE, row.size);
        EXPECT_EQ((t->c_cflag & CSTOPB) != 0, row.cstopb);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, Framing,
    ::testing::Values(FramingRow{"EightOne", 8, 0, true, CS8, false},
                      FramingRow{"SevenOne", 7, 0, true, CS7, false},
                      FramingRow{"SixOne", 6, 0, true, CS6, false},
                      FramingRow{"FiveOne", 5, 0, true, CS5, false},
                      FramingRow{"EightTwo", 8, 2, true, CS8, true},
                      FramingRow{"FiveOneAndAHalf", 5, 1, true, CS5, true},
                      FramingRow{"EightOneAndAHalf", 8, 1, false, 0, false},
                      FramingRow{"FiveTwo", 5, 2, false, 0, false},
                      FramingRow{"StopCodeThree", 8, 3, false, 0, false},
                      FramingRow{"FourDataBits", 4, 0, false, 0, false},
                      FramingRow{"NineDataBits", 9, 0, false, 0, false},
                      FramingRow{"OnlyLowByteCounts", 0x108, 0, true, CS8, false}),
    [](const ::testing::TestParamInfo<FramingRow>& info) { return std::string(info.param.name); });

TEST(LineSettings, PanelSettingsAreRaw9600EightNOne) {
    const termios t = Apply({9600, 'N', 8, 0});
    EXPECT_EQ(::cfgetispeed(&t), static_cast<speed_t>(B9600));
    EXPECT_EQ(::cfgetospeed(&t), static_cast<speed_t>(B9600));
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB), static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ECHONL | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_iflag & (ICRNL | IXON | IXOFF | IXANY | BRKINT), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_cc[VMIN], 1) << "VMIN 0 would make a read of 0 mean 'no data'";
    EXPECT_EQ(t.c_cc[VTIME], 0);
}

TEST(LineSettings, FlagsOutsideTheLineSettingsAreKept) {
    const termios t = Apply({9600, 'N', 8, 0});
    EXPECT_NE(t.c_cflag & HUPCL, 0u);
}

TEST(LineSettings, BaudRatesMapToTheirConstants) {
    EXPECT_EQ(SpeedFromBaud(9600), std::optional<speed_t>(B9600));
    EXPECT_EQ(SpeedFromBaud(115200), std::optional<speed_t>(B115200));
    EXPECT_EQ(SpeedFromBaud(50), std::optional<speed_t>(B50));
    EXPECT_FALSE(SpeedFromBaud(0).has_value()) << "B0 would hang the line up";
    EXPECT_FALSE(SpeedFromBaud(9601).has_value());
    EXPECT_FALSE(RawLineSettings(CookedTerminal(), {12345, 'N', 8, 0}).has_value());
    const termios fast = Apply({115200, 'E', 7, 0});
    EXPECT_EQ(::cfgetospeed(&fast), static_cast<speed_t>(B115200));
}

}  // namespace
