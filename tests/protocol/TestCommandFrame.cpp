#include <gtest/gtest.h>

#include "CommandFrame.h"

namespace {

// The worked frames of the protocol, byte for byte: what is built, and what it must be.
TEST(CommandFrame, WorkedFramesExactBytes) {
    struct Row {
        const char* name;
        CommandFrame built, expected;
    };
    // clang-format off
    const Row rows[] = {
        {"set channel 45", SetChannelFrame(45),   {0x00, 0x01, 0x01, 0x00, 0x2D, 0x2F}},
        {"set channel 89", SetChannelFrame(89),   {0x00, 0x01, 0x01, 0x00, 0x59, 0x5B}},
        {"set power 700", SetPowerFrame(700),     {0x00, 0x01, 0x02, 0x02, 0xBC, 0xC1}},
        {"set power 1000", SetPowerFrame(1000),   {0x00, 0x01, 0x02, 0x03, 0xE8, 0xEE}},
        {"set power 1300", SetPowerFrame(1300),   {0x00, 0x01, 0x02, 0x05, 0x14, 0x1C}},
        {"sum wraps", SetPowerFrame(767),         {0x00, 0x01, 0x02, 0x02, 0xFF, 0x04}},
        {"set output on", SetOutputFrame(true),   {0x00, 0x01, 0x03, 0x01, 0x01, 0x06}},
        {"set output off", SetOutputFrame(false), {0x00, 0x01, 0x03, 0x00, 0x00, 0x04}},
        {"query channel", *QueryFrame(CMD_CHANNEL), {0x01, 0x00, 0x01, 0x00, 0x00, 0x02}},
        {"query power", *QueryFrame(CMD_POWER),     {0x01, 0x00, 0x02, 0x00, 0x00, 0x03}},
        {"query output", *QueryFrame(CMD_OUTPUT),   {0x01, 0x00, 0x03, 0x00, 0x00, 0x04}},
        {"reply channel 89", ReplyFrame(CMD_CHANNEL, 0, 89),  {0x01, 0x01, 0x01, 0x00, 0x59, 0x5C}},
        {"reply power 700", ReplyFrame(CMD_POWER, 2, 0xBC),   {0x01, 0x01, 0x02, 0x02, 0xBC, 0xC2}},
        {"reply output on", ReplyFrame(CMD_OUTPUT, 1, 1),     {0x01, 0x01, 0x03, 0x01, 0x01, 0x07}},
        {"reply output off", ReplyFrame(CMD_OUTPUT, 0, 0),    {0x01, 0x01, 0x03, 0x00, 0x00, 0x05}},
    };
    // clang-format on
    for (const Row& row : rows) {
        EXPECT_EQ(row.built, row.expected) << row.name;
    }
    // A frame already made keeps its bytes when the next one is made (another thread's).
    const CommandFrame& first = SetChannelFrame(45);
    SetChannelFrame(89);
    EXPECT_EQ(first[4], 45);
    for (int command : {0, 4, 255}) {  // unknown commands have no query
        EXPECT_EQ(QueryFrame(static_cast<std::uint8_t>(command)), nullptr) << command;
    }
}

}  // namespace
