#include "CommandFrame.h"

namespace {

// The set buffers live for the whole run and start as the frames of the panel's initial
// state: channel 1, 7.00 dBm, output off. Bytes 0 to 2 never change.
CommandFrame g_setChannel = {0x00, 0x01, CMD_CHANNEL, 0x00, 0x01, 0x03};
CommandFrame g_setPower = {0x00, 0x01, CMD_POWER, 0x02, 0xBC, 0xC1};
CommandFrame g_setOutput = {0x00, 0x01, CMD_OUTPUT, 0x00, 0x00, 0x04};

constexpr std::array<CommandFrame, 3> kQueries = {{
    {0x01, 0x00, CMD_CHANNEL, 0x00, 0x00, 0x02},
    {0x01, 0x00, CMD_POWER, 0x00, 0x00, 0x03},
    {0x01, 0x00, CMD_OUTPUT, 0x00, 0x00, 0x04},
}};

std::uint8_t Low8(int value) {
    return static_cast<std::uint8_t>(value & 0xFF);
}

}  // namespace

std::uint8_t FrameChecksum(const CommandFrame& frame) {
    unsigned sum = 0;
    for (std::size_t i = 0; i < kFrameSize - 1; ++i) {
        sum += frame[i];
    }
    return static_cast<std::uint8_t>(sum & 0xFF);
}

FrameKind KindOf(const CommandFrame& frame) {
    if (frame[0] == 0x00 && frame[1] == 0x01) {
        return FrameKind::Set;
    }
    if (frame[0] == 0x01 && frame[1] == 0x00) {
        return FrameKind::Query;
    }
    if (frame[0] == 0x01 && frame[1] == 0x01) {
        return FrameKind::Reply;
    }
    return FrameKind::Other;
}

CommandFrame MakeFrame(FrameKind kind, std::uint8_t command, std::uint8_t valueHigh,
                       std::uint8_t valueLow) {
    CommandFrame frame{};
    switch (kind) {
        case FrameKind::Set:
            frame[1] = 0x01;
            break;
        case FrameKind::Query:
            frame[0] = 0x01;
            break;
        case FrameKind::Reply:
        case FrameKind::Other:
            frame[0] = 0x01;
            frame[1] = 0x01;
            break;
    }
    frame[2] = command;
    frame[3] = valueHigh;
    frame[4] = valueLow;
    frame[5] = FrameChecksum(frame);
    return frame;
}

const CommandFrame& SetChannelFrame(int channel) {
    g_setChannel[4] = Low8(channel);
    g_setChannel[5] = FrameChecksum(g_setChannel);
    return g_setChannel;
}

const CommandFrame& SetPowerFrame(int power) {
    g_setPower[3] = Low8(power >> 8);
    g_setPower[4] = Low8(power);
    g_setPower[5] = FrameChecksum(g_setPower);
    return g_setPower;
}

const CommandFrame& SetOutputFrame(bool on) {
    const std::uint8_t state = on ? 1 : 0;
    g_setOutput[3] = state;
    g_setOutput[4] = state;
    g_setOutput[5] = FrameChecksum(g_setOutput);
    return g_setOutput;
}

const CommandFrame* QueryFrame(std::uint8_t command) {
    if (command < CMD_CHANNEL || command > CMD_OUTPUT) {
        return nullptr;
    }
    return &kQueries[command - CMD_CHANNEL];
}
