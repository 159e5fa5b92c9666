// The simulated module without I/O: frame hunt, replies, clamping, delays and faults.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "ModuleCore.h"

namespace {

// Feeds hex bytes at `now`, then returns what the module did: the meaning of what it made of
// the input and the hex of what it would write, joined by " | ".
std::string Feed(ModuleCore& core, const std::string& hex, std::int64_t now = 0) {
    std::vector<std::uint8_t> bytes;
    std::istringstream in(hex);
    for (unsigned byte = 0; in >> std::hex >> byte;) {
        bytes.push_back(static_cast<std::uint8_t>(byte));
    }
    core.Receive(bytes.data(), bytes.size(), now);
    std::string done;
    for (const WireAction& action : core.TakeActions()) {
        done += (done.empty() ? "" : " | ") +
                (action.dir == WireDir::Tx ? HexBytes(action.bytes) : action.meaning);
    }
    return done;
}

TEST(ModuleCore, AnswersAppliesClampsAndResynchronises) {
    struct Row {
        const char* name;
        std::string input, done;
        ModuleConfig config = {};
    };
    const std::string query = " 01 00 01 00 00 02", answer = "query channel | 01 01 01 00 01 04";
    const Row rows[] = {
        {"query channel", query, answer},
        {"query power", "01 00 02 00 00 03", "query power | 01 01 02 02 BC C2"},
        {"query output", "01 00 03 00 00 04", "query output | 01 01 03 01 01 07", {.output = true}},
        {"set channel", "00 01 01 00 2D 2F" + query,
         "set channel 45 | 01 01 01 00 2D 30 | query channel | 01 01 01 00 2D 30"},
        {"set channel 0", "00 01 01 00 00 02", "set channel 0, clamped to 1 | 01 01 01 00 01 04"},
        {"high byte", "00 01 01 01 2D 30", "set channel 301, clamped to 89 | 01 01 01 00 59 5C"},
        {"set power 14", "00 01 02 05 78 80",
         "set power 14.00 dBm, clamped to 13.00 dBm | 01 01 02 05 14 1D"},
        {"set power 1", "00 01 02 00 64 67",
         "set power 1.00 dBm, clamped to 7.00 dBm | 01 01 02 02 BC C2"},
        {"set output on", "00 01 03 01 01 06", "set output on | 01 01 03 01 01 07"},
        {"half-on output", "00 01 03 01 00 05", "set output ? (01 00), ignored"},
        {"unknown command", "00 01 09 00 00 0A", "unknown command 9, ignored"},
        {"garbage prefix", "FF 7E" + query, "not a frame | " + answer},
        {"bad checksum", "00 01 01 00 2D 30" + query,
         "bad checksum (expected 2F), ignored | " + answer},
        {"inside a bad one", "00 01 01 00" + query,
         "bad checksum (expected 03), ignored | " + answer},
        {"reply header", "01 01 01 00 2D 30", "not a frame"},
        {"silent", "01 00 02 00 00 03", "query power", {.silent = true}},
        {"drop", query, "query channel | reply channel 1 (dropped)", {.drop = 1}},
        {"corrupt", query, "query channel | 01 01 01 00 01 84", {.corrupt = 1}},
        {"noise", query, "query channel | B9 80 A5 75 | 01 01 01 00 01 04", {.noise = 1}},
        {"forge", query, "query channel | 01 01 01 00 5A 5D", {.forge = 1}},  // channel 90
    };
    for (const Row& row : rows) {
        ModuleCore core(row.config);
        EXPECT_EQ(Feed(core, row.input), row.done) << row.name;
    }
    ModuleCore silent(ModuleConfig{.silent = true});
    Feed(silent, "00 01 02 03 E8 EE");
    EXPECT_EQ(silent.Power(), 1000);
}

TEST(ModuleCore, DelaysRunOnTheHostClockAndAreBounded) {
    struct Step {
        std::int64_t now;
        std::string input, done;
        std::int64_t nextDue;
    };
    const std::string query = "01 00 01 00 00 02";
    const Step steps[] = {
        {0, "00 01 01 00 2D 2F", "set channel 45, tuning", 500},
        {50, query, "query channel", 150},
        {149, "", "", 150},
        {150, "", "01 01 01 00 01 04", 500},
        {550, query, "query channel", 600},
        {599, "", "", 600},
        {600, "", "01 01 01 00 2D 30", 650},
        {650, "", "01 01 01 00 2D 30", -1},
    };
    ModuleCore core({.replyDelayMs = 100, .tuneDelayMs = 500});
    for (const Step& step : steps) {
        SCOPED_TRACE(step.now);
        EXPECT_EQ(Feed(core, step.input, step.now), step.done);
        EXPECT_EQ(core.NextDueMs(), step.nextDue);
    }

    std::string flood;
    for (std::size_t i = 0; i < kMaxPendingReplies + 10; ++i) {
        flood += query + " ";
    }
    Feed(core, flood, 1000);
    EXPECT_EQ(Feed(core, "", 1100).size(), kMaxPendingReplies * 20 - 3);
}

}  // namespace
