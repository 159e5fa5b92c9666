// The simulated module without I/O: frame hunt, replies, clamping, delays, faults, text.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FrameHunter.h"
#include "ModuleCore.h"
#include "ModuleOptions.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Hex(const std::string& text) {
    Bytes bytes;
    for (std::size_t i = 0; i + 1 < text.size(); i += 3) {
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

// Hex of everything the module would write, one entry per Tx action.
std::vector<std::string> Sent(ModuleCore& core) {
    std::vector<std::string> sent;
    for (const WireAction& action : core.TakeActions()) {
        if (action.dir == WireDir::Tx) {
            sent.push_back(HexBytes(action.bytes));
        }
    }
    return sent;
}

void Feed(ModuleCore& core, const std::string& hex, std::int64_t now = 0) {
    const Bytes bytes = Hex(hex);
    core.Receive(bytes.data(), bytes.size(), now);
}

TEST(FrameHunter, FindsFramesAndResynchronises) {
    struct Row {
        const char* name;
        std::string input;
        std::vector<std::string> events;  // "F:", "B:" or "G:" + hex
    };
    const Row rows[] = {
        {"clean query", "01 00 01 00 00 02", {"F:01 00 01 00 00 02"}},
        {"garbage prefix", "FF 7E 01 00 02 00 00 03", {"G:FF 7E", "F:01 00 02 00 00 03"}},
        {"bad checksum then frame",
         "00 01 01 00 2D 30 01 00 01 00 00 02",
         {"B:00 01 01 00 2D 30", "F:01 00 01 00 00 02"}},
        {"frame starts inside a bad candidate",
         "00 01 01 00 01 00 00 02",
         {"B:00 01 01 00 01 00", "F:01 00 01 00 00 02"}},
        {"reply header skipped, query header held", "01 01 01 00 2D 30", {"G:01 01"}},
        {"partial frame held", "01 00 01", {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FrameHunter hunter;
        std::vector<HuntEvent> out;
        for (std::uint8_t byte : Hex(row.input + " ")) {
            hunter.Push(byte, out);
        }
        hunter.Flush(out);
        std::vector<std::string> got;
        for (const HuntEvent& e : out) {
            got.push_back(std::string(1, "FBG"[static_cast<int>(e.type)]) + ":" +
                          HexBytes(e.bytes));
        }
        EXPECT_EQ(got, row.events);
    }
}

TEST(ModuleCore, AnswersAppliesAndClamps) {
    struct Row {
        const char* name;
        std::string input;
        std::vector<std::string> replies;
    };
    const Row rows[] = {
        {"query channel", "01 00 01 00 00 02", {"01 01 01 00 01 04"}},
        {"query power", "01 00 02 00 00 03", {"01 01 02 02 BC C2"}},
        {"query output", "01 00 03 00 00 04", {"01 01 03 00 00 05"}},
        {"set channel 45", "00 01 01 00 2D 2F", {"01 01 01 00 2D 30"}},
        {"set channel 0", "00 01 01 00 00 02", {"01 01 01 00 01 04"}},
        {"set channel 255", "00 01 01 00 FF 01", {"01 01 01 00 59 5C"}},
        {"high byte not wrapped", "00 01 01 01 2D 30", {"01 01 01 00 59 5C"}},
        {"set power 1000", "00 01 02 03 E8 EE", {"01 01 02 03 E8 EF"}},
        {"set power 1400", "00 01 02 05 78 80", {"01 01 02 05 14 1D"}},
        {"set power 100", "00 01 02 00 64 67", {"01 01 02 02 BC C2"}},
        {"set output on", "00 01 03 01 01 06", {"01 01 03 01 01 07"}},
        {"half-on output ignored", "00 01 03 01 00 05", {}},
        {"unknown command ignored", "00 01 04 00 01 06", {}},
        {"bad checksum ignored", "01 00 01 00 00 03", {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ModuleCore core(ModuleConfig{});
        Feed(core, row.input + " ");
        EXPECT_EQ(Sent(core), row.replies);
    }
}

TEST(ModuleCore, DelaysRunOnTheHostClock) {
    ModuleConfig config;
    config.tuneDelayMs = 500;
    config.replyDelayMs = 100;
    ModuleCore core(config);
    Feed(core, "00 01 01 00 2D 2F ", 0);   // set channel 45: tuning until 500
    Feed(core, "01 00 01 00 00 02 ", 50);  // query while tuning: the old channel, at 150
    EXPECT_EQ(core.NextDueMs(), 150);
    core.Advance(149);
    EXPECT_TRUE(Sent(core).empty());
    core.Advance(150);
    EXPECT_EQ(Sent(core), std::vector<std::string>{"01 01 01 00 01 04"});
    core.Advance(599);
    EXPECT_EQ(core.Channel(), 45);
    EXPECT_TRUE(Sent(core).empty());
    core.Advance(600);
    EXPECT_EQ(Sent(core), std::vector<std::string>{"01 01 01 00 2D 30"});
    EXPECT_EQ(core.NextDueMs(), -1);
}

TEST(ModuleCore, SilentAppliesButNeverAnswers) {
    ModuleConfig config;
    config.silent = true;
    ModuleCore core(config);
    Feed(core, "00 01 02 03 E8 EE 01 00 02 00 00 03 ");
    EXPECT_EQ(core.Power(), 1000);
    EXPECT_TRUE(Sent(core).empty());
}

TEST(ModuleCore, NoiseComesBeforeAnIntactReply) {
    ModuleConfig config;
    config.noise = 1;
    ModuleCore core(config);
    Feed(core, "01 00 01 00 00 02 ");
    const std::vector<WireAction> actions = core.TakeActions();
    ASSERT_EQ(actions.size(), 3u);
    EXPECT_EQ(actions[1].meaning, "noise");
    EXPECT_TRUE(actions[1].bytes.size() >= 1 && actions[1].bytes.size() <= 4);
    EXPECT_TRUE(actions[2].validReply);
}

TEST(ModuleCore, SeededFaultsRepeatAndKeepTheirFraction) {
    ModuleConfig config;
    config.drop = 0.3;
    config.seed = 42;
    FaultInjector a(config), b(config);
    int drops = 0;
    for (int i = 0; i < 10000; ++i) {
        const bool dropped = a.Next().drop;
        ASSERT_EQ(dropped, b.Next().drop) << i;
        drops += dropped ? 1 : 0;
    }
    EXPECT_NEAR(drops, 3000, 300);
}

TEST(ModuleCore, FloodOfDelayedRepliesIsBounded) {
    ModuleConfig config;
    config.replyDelayMs = 1000;
    ModuleCore core(config);
    std::string flood;
    for (std::size_t i = 0; i < kMaxPendingReplies + 10; ++i) {
        flood += "01 00 03 00 00 04 ";
    }
    Feed(core, flood);
    core.TakeActions();
    core.Advance(1000);
    EXPECT_EQ(Sent(core).size(), kMaxPendingReplies);
}

TEST(ModuleCore, StreamGoesRoundTheState) {
    ModuleConfig config;
    config.channel = 45;
    config.output = true;
    ModuleCore core(config);
    for (int i = 0; i < 4; ++i) {
        core.StreamReply();
    }
    EXPECT_EQ(Sent(core), (std::vector<std::string>{"01 01 01 00 2D 30", "01 01 02 02 BC C2",
                                                    "01 01 03 01 01 07", "01 01 01 00 2D 30"}));
}

TEST(WireLog, DescribesFramesForPeople) {
    const std::pair<std::string, std::string> rows[] = {
        {"00 01 01 00 2D 2F", "set channel 45"},
        {"00 01 02 05 14 1C", "set power 13.00 dBm"},
        {"01 00 03 00 00 04", "query output"},
        {"01 01 02 04 D2 DA", "reply power 12.34 dBm"},
        {"01 01 03 01 00 06", "reply output ? (01 00)"},
        {"00 01 09 00 00 0A", "unknown command 9"},
        {"02 02 01 00 00 05", "unknown header"},
    };
    for (const auto& [hex, text] : rows) {
        const Bytes b = Hex(hex + " ");
        EXPECT_EQ(DescribeFrame({b[0], b[1], b[2], b[3], b[4], b[5]}), text);
    }
    EXPECT_EQ(FormatWireLine(61234, WireDir::Rx, Hex("01 00 01 00 00 02 "), "query channel"),
              "    61.234 rx  01 00 01 00 00 02  query channel");
    EXPECT_EQ(FormatWireLine(5, WireDir::Tx, {0xFF}, "noise"),
              "     0.005 tx  FF                 noise");
}

TEST(ModuleOptions, ParsesOrSaysWhatToDo) {
    struct Row {
        std::vector<std::string> args;
        std::string error;  // empty: accepted
    };
    const Row rows[] = {
        {{"--com", "5", "--power", "12.5", "--output=on", "--seed", "7", "--log"}, ""},
        {{"--power", "1250", "--stream", "max", "--unplug-after", "0.5"}, ""},
        {{"--com", "255"}, "--com wants a port number from 1 to 254, not \"255\""},
        {{"--power", "50"}, "--power wants 7.00 to 13.00"},
        {{"--drop", "1.5"}, "--drop wants a fraction from 0 to 1"},
        {{"--stream", "0"}, "--stream wants bytes per second"},
        {{"--reply-delay"}, "--reply-delay needs a value"},
        {{"--colour"}, "unknown option --colour"},
    };
    for (const Row& row : rows) {
        ModuleOptions options;
        const std::string error = ParseModuleOptions(row.args, options);
        SCOPED_TRACE(row.args[0] + " -> " + error);
        if (row.error.empty()) {
            EXPECT_EQ(error, "");
        } else {
            EXPECT_EQ(error.rfind(row.error, 0), 0u);
        }
    }
    ModuleOptions options;
    ASSERT_EQ(ParseModuleOptions({"--power", "12.5", "--stream", "960", "--com=9"}, options), "");
    EXPECT_EQ(options.module.power, 1250);
    EXPECT_EQ(options.streamRate, 960);
    EXPECT_EQ(options.com, 9);
}

}  // namespace
