// The one decoder of the module's replies: every class of reply it must drop, and the edges of
// each range.
#include <gtest/gtest.h>

#include "ModuleQuantity.h"

namespace {

constexpr int kDropped = -1;

TEST(DecodeReply, KeepsOnlyWhatAModuleSends) {
    struct Row {
        const char* name;
        CommandFrame frame;
        int value;  // kDropped: no reply at all
    };
    CommandFrame badSum = ReplyFrame(CMD_CHANNEL, 0, 45);
    badSum[5] ^= 0x80;
    const Row rows[] = {
        {"channel 1", ReplyFrame(CMD_CHANNEL, 0, 1), 1},
        {"channel 89", ReplyFrame(CMD_CHANNEL, 0, 89), 89},
        {"channel 0", ReplyFrame(CMD_CHANNEL, 0, 0), kDropped},
        {"channel 90", ReplyFrame(CMD_CHANNEL, 0, 90), kDropped},
        {"channel 255", ReplyFrame(CMD_CHANNEL, 0, 255), kDropped},
        {"channel with a high byte", ReplyFrame(CMD_CHANNEL, 1, 4), kDropped},
        {"power 7.00", ReplyFrame(CMD_POWER, 0x02, 0xBC), 700},
        {"power 13.00", ReplyFrame(CMD_POWER, 0x05, 0x14), 1300},
        {"power 6.99", ReplyFrame(CMD_POWER, 0x02, 0xBB), kDropped},
        {"power 13.01", ReplyFrame(CMD_POWER, 0x05, 0x15), kDropped},
        {"power 0", ReplyFrame(CMD_POWER, 0, 0), kDropped},
        {"power 645.13", ReplyFrame(CMD_POWER, 0xFC, 0x01), kDropped},
        {"output off", ReplyFrame(CMD_OUTPUT, 0, 0), 0},
        {"output on", ReplyFrame(CMD_OUTPUT, 1, 1), 1},
        {"output half on", ReplyFrame(CMD_OUTPUT, 1, 0), kDropped},
        {"output two", ReplyFrame(CMD_OUTPUT, 2, 2), kDropped},
        {"unknown command", ReplyFrame(4, 0, 1), kDropped},
        {"set header", MakeFrame(FrameKind::Set, CMD_CHANNEL, 0, 45), kDropped},
        {"query header", MakeFrame(FrameKind::Query, CMD_CHANNEL, 0, 45), kDropped},
        {"bad checksum", badSum, kDropped},
    };
    for (const Row& row : rows) {
        const std::optional<ModuleReply> reply = DecodeReply(row.frame);
        EXPECT_EQ(reply ? reply->value : kDropped, row.value) << row.name;
        if (reply) {
            EXPECT_EQ(QuantityCommand(reply->quantity), row.frame[2]) << row.name;
        }
    }
}

}  // namespace
