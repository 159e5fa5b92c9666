#include <gtest/gtest.h>

#include <vector>

#include "ReplyFramer.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

struct FramerRow {
    const char* name;
    Bytes stream;
    std::vector<CommandFrame> accepted;  // in order
    std::uint8_t endPosition;
};

const CommandFrame kChannel5 = {0x01, 0x01, 0x01, 0x00, 0x05, 0x08};
const CommandFrame kPower700 = {0x01, 0x01, 0x02, 0x02, 0xBC, 0xC2};
const CommandFrame kChannel89 = {0x01, 0x01, 0x01, 0x00, 0x59, 0x5C};

const FramerRow kRows[] = {
    {"GarbageWithoutStartIsSkipped",
     {0xFF, 0x00, 0x37, 0x01, 0x01, 0x01, 0x00, 0x05, 0x08},
     {kChannel5},
     0},
    {"StrayStartByteLosesTheReply", {0x01, 0x01, 0x01, 0x01, 0x00, 0x05, 0x08}, {}, 0},
    {"StrayStartThenNextReplyAccepted",
     {0x01, 0x01, 0x01, 0x01, 0x00, 0x05, 0x08, 0x01, 0x01, 0x02, 0x02, 0xBC, 0xC2},
     {kPower700},
     0},
    {"LostByteCostsTheNextReplyToo",
     {0x01, 0x01, 0x01, 0x00, 0x05,         // reply that lost its checksum
      0x01, 0x01, 0x02, 0x02, 0xBC, 0xC2,   // consumed as checksum, then rejected
      0x01, 0x01, 0x01, 0x00, 0x59, 0x5C},  // third reply accepted
     {kChannel89},
     0},
    {"BackToBackRepliesBothAccepted",
     {0x01, 0x01, 0x01, 0x00, 0x05, 0x08, 0x01, 0x01, 0x02, 0x02, 0xBC, 0xC2},
     {kChannel5, kPower700},
     0},
    {"BadChecksumThenReplyAccepted",
     {0x01, 0x01, 0x01, 0x00, 0x05, 0x09, 0x01, 0x01, 0x02, 0x02, 0xBC, 0xC2},
     {kPower700},
     0},
    {"BadChecksumOfOneIsNotReadAsStart",
     {0x01, 0x01, 0x03, 0x00, 0x00, 0x01, 0x01, 0x01, 0x02, 0x02, 0xBC, 0xC2},
     {kPower700},
     0},
    {"LoopedBackQueriesNeverAccepted",
     {0x01, 0x00, 0x01, 0x00, 0x00, 0x02, 0x01, 0x00, 0x02, 0x00, 0x00, 0x03, 0x01, 0x00, 0x03,
      0x00, 0x00, 0x04},
     {},
     0},
    {"UnknownCommandPassesTheFramer",
     {0x01, 0x01, 0x04, 0x00, 0x00, 0x06},
     {{0x01, 0x01, 0x04, 0x00, 0x00, 0x06}},
     0},
    {"HighByteOfChannelCountsInChecksum",
     {0x01, 0x01, 0x01, 0x01, 0x05, 0x09},
     {{0x01, 0x01, 0x01, 0x01, 0x05, 0x09}},
     0},
    {"PartialFrameWaitsForMore", {0x01, 0x01, 0x02}, {}, 3},
};

class Framer : public testing::TestWithParam<FramerRow> {};

TEST_P(Framer, AcceptsExactlyTheseFrames) {
    ReplyFramer framer;
    std::vector<CommandFrame> got;
    for (std::uint8_t byte : GetParam().stream) {
        if (auto frame = framer.Feed(byte)) {
            got.push_back(*frame);
        }
    }
    EXPECT_EQ(got, GetParam().accepted);
    EXPECT_EQ(framer.Position(), GetParam().endPosition);
}

INSTANTIATE_TEST_SUITE_P(Protocol, Framer, testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(FramerState, PartialFrameSurvivesAndContinuesWithLaterBytes) {
    // A frame left half-assembled (as across a close and reopen) is continued, not reset.
    ReplyFramer framer;
    for (std::uint8_t byte : {0x01, 0x01, 0x01}) {
        EXPECT_FALSE(framer.Feed(byte));
    }
    EXPECT_FALSE(framer.Feed(0x00));
    auto frame = framer.Feed(0x05);
    EXPECT_FALSE(frame);
    frame = framer.Feed(0x08);
    ASSERT_TRUE(frame);
    EXPECT_EQ(*frame, kChannel5);
}

}  // namespace
