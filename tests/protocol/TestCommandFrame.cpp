#include <gtest/gtest.h>

#include "CommandFrame.h"

namespace {

struct FrameRow {
    const char* name;
    CommandFrame (*encode)();
    CommandFrame expected;
};

CommandFrame Copy(const CommandFrame& frame) {
    return frame;
}

// The worked frames of the protocol, byte for byte.
const FrameRow kFrames[] = {
    {"SetChannel45",
     [] { return Copy(SetChannelFrame(45)); },
     {0x00, 0x01, 0x01, 0x00, 0x2D, 0x2F}},
    {"SetChannel89",
     [] { return Copy(SetChannelFrame(89)); },
     {0x00, 0x01, 0x01, 0x00, 0x59, 0x5B}},
    {"SetPower700", [] { return Copy(SetPowerFrame(700)); }, {0x00, 0x01, 0x02, 0x02, 0xBC, 0xC1}},
    {"SetPower1000",
     [] { return Copy(SetPowerFrame(1000)); },
     {0x00, 0x01, 0x02, 0x03, 0xE8, 0xEE}},
    {"SetPower1300",
     [] { return Copy(SetPowerFrame(1300)); },
     {0x00, 0x01, 0x02, 0x05, 0x14, 0x1C}},
    {"SetPower767Wraps",
     [] { return Copy(SetPowerFrame(767)); },
     {0x00, 0x01, 0x02, 0x02, 0xFF, 0x04}},
    {"SetOutputOn",
     [] { return Copy(SetOutputFrame(true)); },
     {0x00, 0x01, 0x03, 0x01, 0x01, 0x06}},
    {"SetOutputOff",
     [] { return Copy(SetOutputFrame(false)); },
     {0x00, 0x01, 0x03, 0x00, 0x00, 0x04}},
    {"QueryChannel", [] { return *QueryFrame(CMD_CHANNEL); }, {0x01, 0x00, 0x01, 0x00, 0x00, 0x02}},
    {"QueryPower", [] { return *QueryFrame(CMD_POWER); }, {0x01, 0x00, 0x02, 0x00, 0x00, 0x03}},
    {"QueryOutput", [] { return *QueryFrame(CMD_OUTPUT); }, {0x01, 0x00, 0x03, 0x00, 0x00, 0x04}},
    {"ReplyChannel89",
     [] { return ReplyFrame(CMD_CHANNEL, 0, 89); },
     {0x01, 0x01, 0x01, 0x00, 0x59, 0x5C}},
    {"ReplyPower700",
     [] { return ReplyFrame(CMD_POWER, 2, 0xBC); },
     {0x01, 0x01, 0x02, 0x02, 0xBC, 0xC2}},
    {"ReplyOutputOn",
     [] { return ReplyFrame(CMD_OUTPUT, 1, 1); },
     {0x01, 0x01, 0x03, 0x01, 0x01, 0x07}},
    {"ReplyOutputOff",
     [] { return ReplyFrame(CMD_OUTPUT, 0, 0); },
     {0x01, 0x01, 0x03, 0x00, 0x00, 0x05}},
};

class WorkedFrames : public testing::TestWithParam<FrameRow> {};

TEST_P(WorkedFrames, EncodeExactBytes) {
    const CommandFrame frame = GetParam().encode();
    EXPECT_EQ(frame, GetParam().expected);
    EXPECT_EQ(FrameChecksum(frame), frame[5]);
}

INSTANTIATE_TEST_SUITE_P(Protocol, WorkedFrames, testing::ValuesIn(kFrames),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SetFrames, ChannelKeepsHighByteZeroAndChecksumChannelPlusTwo) {
    for (int channel = 1; channel <= 89; ++channel) {
        const CommandFrame& frame = SetChannelFrame(channel);
        EXPECT_EQ(frame[3], 0x00) << channel;
        EXPECT_EQ(frame[4], channel) << channel;
        EXPECT_EQ(frame[5], channel + 2) << channel;
    }
}

TEST(SetFrames, PanelNeverSendsAReplyHeader) {
    for (int power = 700; power <= 1300; ++power) {
        EXPECT_EQ(KindOf(SetPowerFrame(power)), FrameKind::Set);
    }
    for (std::uint8_t command : {CMD_CHANNEL, CMD_POWER, CMD_OUTPUT}) {
        EXPECT_EQ(KindOf(*QueryFrame(command)), FrameKind::Query);
    }
    EXPECT_EQ(KindOf(SetChannelFrame(89)), FrameKind::Set);
    EXPECT_EQ(KindOf(SetOutputFrame(true)), FrameKind::Set);
}

TEST(QueryFrames, UnknownCommandHasNoFrame) {
    for (int command : {0, 4, 255}) {
        EXPECT_EQ(QueryFrame(static_cast<std::uint8_t>(command)), nullptr) << command;
    }
}

}  // namespace
