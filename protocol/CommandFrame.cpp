#include "CommandFrame.h"

namespace {

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

CommandFrame SetChannelFrame(int channel) {
    return MakeFrame(FrameKind::Set, CMD_CHANNEL, 0, Low8(channel));
}

CommandFrame SetPowerFrame(int power) {
    return MakeFrame(FrameKind::Set, CMD_POWER, Low8(power >> 8), Low8(power));
}

CommandFrame SetOutputFrame(bool on) {
    const std::uint8_t state = on ? 1 : 0;
    return MakeFrame(FrameKind::Set, CMD_OUTPUT, state, state);
}

const CommandFrame* QueryFrame(std::uint8_t command) {
    if (command < CMD_CHANNEL || command > CMD_OUTPUT) {
        return nullptr;
    }
    return &kQueries[command - CMD_CHANNEL];
}
