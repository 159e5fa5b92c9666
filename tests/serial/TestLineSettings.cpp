// The line settings as termios flags (a pty forces CS8 and drops parity, so only this pure
// function can show them).
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "LineSettings.h"

namespace {

constexpr tcflag_t kFraming = CSIZE | CSTOPB | PARENB | PARODD | CMSPAR;

struct Row {
    const char* name;
    LineParameters line;
    std::optional<tcflag_t> framing;  // the kFraming bits; empty when refused
    speed_t speed = B9600;
};

class LineSettings : public ::testing::TestWithParam<Row> {};

TEST_P(LineSettings, SetsSpeedSizeParityAndStopBitsOrRefuses) {
    const Row& row = GetParam();
    termios current{};
    current.c_cflag = kFraming | HUPCL;  // every framing bit must be set anew
    ::cfsetspeed(&current, B38400);
    const std::optional<termios> t = RawLineSettings(current, row.line);
    ASSERT_EQ(t.has_value(), row.framing.has_value());
    if (t) {
        EXPECT_EQ(t->c_cflag & kFraming, *row.framing);
        EXPECT_NE(t->c_cflag & HUPCL, 0u) << "flags outside the line settings are kept";
        EXPECT_EQ(::cfgetispeed(&*t), row.speed);
        EXPECT_EQ(::cfgetospeed(&*t), row.speed);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, LineSettings,
    ::testing::Values(Row{"N", {9600, 'N', 8, 0}, CS8}, Row{"E", {9600, 'E', 8, 0}, CS8 | PARENB},
                      Row{"O", {9600, 'O', 8, 0}, CS8 | PARENB | PARODD},
                      Row{"M", {9600, 'M', 8, 0}, CS8 | PARENB | PARODD | CMSPAR},
                      Row{"S", {9600, 'S', 8, 0}, CS8 | PARENB | CMSPAR},
                      Row{"LowerE", {9600, 'e', 8, 0}, CS8}, Row{"LowerO", {9600, 'o', 8, 0}, CS8},
                      Row{"LowerM", {9600, 'm', 8, 0}, CS8}, Row{"LowerS", {9600, 's', 8, 0}, CS8},
                      Row{"X", {9600, 'X', 8, 0}, CS8},
                      Row{"SevenEven115200", {115200, 'E', 7, 0}, CS7 | PARENB, B115200},
                      Row{"Baud50", {50, 'N', 6, 0}, CS6, B50},
                      Row{"FiveOne", {9600, 'N', 5, 0}, CS5},
                      Row{"EightTwo", {9600, 'N', 8, 2}, CS8 | CSTOPB},
                      Row{"FiveOneAndAHalf", {9600, 'N', 5, 1}, CS5 | CSTOPB},
                      Row{"OnlyLowByteCounts", {9600, 'N', 0x108, 0}, CS8},
                      Row{"EightOneAndAHalf", {9600, 'N', 8, 1}, std::nullopt},
                      Row{"FiveTwo", {9600, 'N', 5, 2}, std::nullopt},
                      Row{"StopCodeThree", {9600, 'N', 8, 3}, std::nullopt},
                      Row{"FourDataBits", {9600, 'N', 4, 0}, std::nullopt},
                      Row{"NineDataBits", {9600, 'N', 9, 0}, std::nullopt},
                      Row{"BaudZeroWouldHangUp", {0, 'N', 8, 0}, std::nullopt},
                      Row{"Baud12345", {12345, 'N', 8, 0}, std::nullopt}),
    [](const ::testing::TestParamInfo<Row>& info) { return std::string(info.param.name); });

}  // namespace
