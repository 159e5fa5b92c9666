#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "ReplyFramer.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Hex(const std::string& text) {
    Bytes bytes;
    std::istringstream in(text);
    for (unsigned byte = 0; in >> std::hex >> byte;) {
        bytes.push_back(static_cast<std::uint8_t>(byte));
    }
    return bytes;
}

TEST(ReplyFramer, AcceptsExactlyTheseFrames) {
    struct Row {
        const char* name;
        std::string stream;
        std::vector<std::string> accepted;  // in order
        std::uint8_t endPosition;
    };
    const std::string ch5 = "01 01 01 00 05 08", pw700 = "01 01 02 02 BC C2";
    // clang-format off
    const Row rows[] = {
        {"garbage without start is skipped", "FF 00 37 " + ch5, {ch5}, 0},
        {"stray start byte loses the reply", "01 " + ch5, {}, 0},
        {"stray start, then the next reply", "01 " + ch5 + " " + pw700, {pw700}, 0},
        // the first reply lost its checksum: the second is consumed as one and rejected
        {"a lost byte costs the next reply too", "01 01 01 00 05 " + pw700 + " 01 01 01 00 59 5C", {"01 01 01 00 59 5C"}, 0},
        {"back to back", ch5 + " " + pw700, {ch5, pw700}, 0},
        {"bad checksum, then a reply", "01 01 01 00 05 09 " + pw700, {pw700}, 0},
        {"bad checksum 01 is no start", "01 01 03 00 00 01 " + pw700, {pw700}, 0},
        {"looped-back queries", "01 00 01 00 00 02 01 00 02 00 00 03 01 00 03 00 00 04", {}, 0},
        {"unknown command passes", "01 01 04 00 00 06", {"01 01 04 00 00 06"}, 0},
        {"channel high byte in the sum", "01 01 01 01 05 09", {"01 01 01 01 05 09"}, 0},
        {"a partial frame waits", "01 01 02", {}, 3},
    };
    // clang-format on
    for (const Row& row : rows) {
        ReplyFramer framer;
        std::vector<Bytes> got, accepted;
        for (std::uint8_t byte : Hex(row.stream)) {
            if (auto frame = framer.Feed(byte)) {
                got.emplace_back(frame->begin(), frame->end());
            }
        }
        for (const std::string& frame : row.accepted) {
            accepted.push_back(Hex(frame));
        }
        EXPECT_EQ(got, accepted) << row.name;
        EXPECT_EQ(framer.Position(), row.endPosition) << row.name;
    }
}

}  // namespace
