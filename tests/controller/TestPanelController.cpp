#include <gtest/gtest.h>

#include "Fakes.h"
#include "PanelController.h"

namespace {

using Replies = std::vector<std::tuple<std::uint64_t, int, int, int>>;  // at, cmd, high, low
using Frames = std::vector<Sent>;
using Strings = std::vector<std::string>;

class Panel : public ::testing::Test {
protected:
    Panel() {
        timers.fire = [this](unsigned id) { ctl.OnTimer(id); };
        probe.ports = {3, 9, 10};
        controls.texts[IDC_BTN_OUTPUT] = "ON/OFF";
        ctl.OnInitDialog();
    }
    void Reply(int cmd, int high, int low) {
        for (std::uint8_t byte : ReplyFrame(cmd, high, low)) {
            ctl.OnLinkRxChar(byte, 9);
        }
    }
    void Replay(const Replies& replies) {
        for (const auto& [at, cmd, high, low] : replies) {
            timers.Run(at - timers.now);
            Reply(cmd, high, low);
        }
    }
    // Opens COM9 and completes the chain at once: channel 45, 12.34 dBm, output on.
    void OpenSynced() {
        controls.selection = 1;
        ctl.OnOpenPort();
        Replay({{0, CMD_CHANNEL, 0, 45}, {0, CMD_POWER, 4, 0xD2}, {0, CMD_OUTPUT, 1, 1}});
        link.sent.clear(), link.calls.clear();
    }
    std::string Text(int id) { return controls.GetItemText(id); }
    void ExpectPanel(bool open) {
        EXPECT_EQ(state.portOpen, open);
        EXPECT_EQ(Text(IDC_BTN_OPENPORT), open ? "ClosePort" : "OpenPort");
        EXPECT_EQ(controls.listEnabled, !open);
        if (!open) {
            EXPECT_FALSE(state.synced || timers.Running(TIMER_TRACK));
            EXPECT_EQ(controls.selection, controls.items.empty() ? -1 : 0);
        }
    }

    ControllerState state;
    FakeControls controls;
    FakeTimers timers;
    FakeLink link{timers};
    FakeProbe probe;
    PanelController ctl{state, controls, timers, link, probe, nullptr};
};

template <typename Row>
class Rows : public Panel, public ::testing::WithParamInterface<Row> {};

// Rows print as their names, in test output and in the test list.
template <typename Row>
requires requires(const Row& row) {
    row.name;
}
void PrintTo(const Row& row, std::ostream* os) {
    *os << row.name;
}
template <typename Row>
std::string RowName(const ::testing::TestParamInfo<Row>& info) {
    return info.param.name;
}
#define ROWS(Suite, ...)                                                        \
    INSTANTIATE_TEST_SUITE_P(Controller, Suite, ::testing::Values(__VA_ARGS__), \
                             RowName<Suite::ParamType>)

struct SyncRow {
    const char* name;
    Replies replies;
    std::uint64_t horizon;
    Frames queries;
    bool synced;
};
using SyncChain = Rows<SyncRow>;

TEST_P(SyncChain, QueriesFollowTheReplies) {
    ctl.OnOpenPort();
    EXPECT_TRUE(link.sent.empty());
    Replay(GetParam().replies);
    timers.Run(GetParam().horizon - timers.now);
    EXPECT_EQ(link.sent, GetParam().queries);
    EXPECT_EQ(state.synced, GetParam().synced);
    EXPECT_EQ(timers.Running(TIMER_TRACK), GetParam().synced);
}

// A query of `command` sent at `at`.
Sent Query(int command, std::uint64_t at) {
    return {'Q', command, 0, at};
}

constexpr int kCh = CMD_CHANNEL, kPw = CMD_POWER, kOut = CMD_OUTPUT;
// clang-format off
ROWS(SyncChain,
    SyncRow{"SilentModuleIsAskedEvery200ms", {}, 650, {Query(kCh, 200), Query(kCh, 400), Query(kCh, 600)}, false},
    SyncRow{"ChannelPowerOutput", {{250, kCh, 0, 45}, {450, kPw, 4, 0xD2}, {650, kOut, 1, 1}}, 1100, {Query(kCh, 200), Query(kPw, 450), Query(kOut, 650)}, true},
    SyncRow{"OutputFirstSyncsWhileChannelQueryGoesOn", {{250, kOut, 1, 1}}, 650, {Query(kCh, 200), Query(kCh, 400), Query(kCh, 600)}, true},
    SyncRow{"RepeatedChannelReplyRestartsPowerStage", {{250, kCh, 0, 45}, {350, kCh, 0, 45}}, 600, {Query(kCh, 200), Query(kPw, 550)}, false},
    SyncRow{"MixedOutputBytesDoNotComplete", {{250, kCh, 0, 45}, {300, kPw, 4, 0xD2}, {400, kOut, 1, 0}}, 750, {Query(kCh, 200), Query(kOut, 500), Query(kOut, 700)}, false},
    SyncRow{"UnknownCommandMovesNothing", {{250, 4, 0, 0}}, 450, {Query(kCh, 200), Query(kCh, 400)}, false});
// clang-format on

TEST_F(Panel, RepliesFillTheReadouts) {
    OpenSynced();
    const std::map<int, std::string> expected = {
        {IDC_EDIT_CHANNEL, "45"}, {IDC_TXT_FREQUENCY, "193900"}, {IDC_TXT_WAVELENGTH, "1546.12"},
        {IDC_TXT_ITU, "C39"},     {IDC_EDIT_POWER, "12.34"},     {IDC_BTN_OUTPUT, "ON"}};
    for (const auto& [id, text] : expected) {
        EXPECT_EQ(Text(id), text) << id;
    }
    EXPECT_EQ(controls.SliderPosition(IDC_SLIDER_CHANNEL), 45);
    EXPECT_EQ(controls.SliderPosition(IDC_SLIDER_POWER), 1234);
    const auto timersBefore = timers.running;
    Reply(CMD_OUTPUT, 0, 0);  // a later output reply is a readout, not a synchronisation step
    EXPECT_EQ(Text(IDC_BTN_OUTPUT), "OFF");
    EXPECT_EQ(timers.running, timersBefore);
}

// What the panel shows is what the module said: a typed entry or a step changes the state it
// sends from, but slider, entry and readouts wait for the reply. A tick without one sends the
// slider's value back; a reply before the tick leaves the tick nothing to send.
TEST_F(Panel, SentValuesShowOnlyOnceTheModuleReplies) {
    OpenSynced();
    const auto shown = [this] {
        std::string texts;
        for (int id :
             {IDC_TXT_FREQUENCY, IDC_TXT_WAVELENGTH, IDC_TXT_ITU, IDC_EDIT_POWER, IDC_BTN_OUTPUT}) {
            texts += Text(id) + " ";
        }
        return texts + std::to_string(controls.SliderPosition(IDC_SLIDER_CHANNEL)) + " " +
               std::to_string(controls.SliderPosition(IDC_SLIDER_POWER));
    };
    const std::string before = shown();
    ctl.OnStepButtonDown(IDC_BTN_POWER_UP);
    timers.Run(200);
    ctl.OnMouseUp();
    controls.texts[IDC_EDIT_CHANNEL] = "50";
    ctl.OnEnterKey(IDC_EDIT_CHANNEL);
    EXPECT_EQ(shown(), before);
    EXPECT_EQ(Text(IDC_EDIT_CHANNEL), "50");  // as typed
    EXPECT_TRUE(state.currentChannel == 50 && state.currentPower == 1235);

    timers.Run(600);  // the tick after the entry, with no reply
    EXPECT_EQ(link.sent, Frames({{'S', CMD_POWER, 1235, 200},
                                 {'S', CMD_CHANNEL, 50, 200},
                                 {'S', CMD_CHANNEL, 45, 800},
                                 {'S', CMD_POWER, 1234, 900}}));

    link.sent.clear();
    controls.texts[IDC_EDIT_CHANNEL] = "60";
    const std::uint64_t typedAt = timers.now;
    ctl.OnEnterKey(IDC_EDIT_CHANNEL);
    Reply(CMD_CHANNEL, 0, 60);
    timers.Run(600);
    EXPECT_EQ(link.sent, Frames({{'S', CMD_CHANNEL, 60, typedAt}}));
    EXPECT_EQ(controls.SliderPosition(IDC_SLIDER_CHANNEL), 60);
}

struct StrayRow {
    const char* name;
    std::vector<std::uint8_t> stream;  // what arrives after the last whole reply
};
using Forgery = Rows<StrayRow>;

// A reply the decoder drops (tests/protocol holds its every class and edge, and the search over
// every stray byte) is dropped here too: it neither moves the synchronisation on nor changes a
// readout, a slider or a timer, so tracking never sends a slider's clamped end to the module.
TEST_P(Forgery, ChangesNothing) {
    controls.selection = 1;
    ctl.OnOpenPort();
    const auto feed = [this] {
        for (std::uint8_t byte : GetParam().stream) {
            ctl.OnLinkRxChar(byte, 9);
        }
    };
    feed();
    EXPECT_EQ(Text(IDC_EDIT_CHANNEL) + Text(IDC_EDIT_POWER), "");
    EXPECT_FALSE(state.synced || timers.Running(TIMER_QUERY_POWER));
    Replay({{0, CMD_CHANNEL, 0, 45}, {0, CMD_POWER, 4, 0xD2}, {0, CMD_OUTPUT, 1, 1}});
    link.sent.clear();
    const auto texts = controls.texts;
    const auto timersBefore = timers.running;
    feed();
    EXPECT_EQ(controls.texts, texts);
    EXPECT_EQ(timers.running, timersBefore);
    timers.Run(2000);
    EXPECT_TRUE(link.sent.empty());
}

// A stray 01 ahead of a reply whose low byte is 3 + command + high passes the checksum one byte
// late, as a channel reply carrying the real command in its high byte.
std::vector<std::uint8_t> Stray(std::uint8_t command, std::uint8_t high, std::uint8_t low) {
    const CommandFrame reply = ReplyFrame(command, high, low);
    return {0x01, reply[0], reply[1], reply[2], reply[3], reply[4], reply[5]};
}
std::vector<std::uint8_t> Whole(std::uint8_t command, std::uint8_t high, std::uint8_t low) {
    const CommandFrame reply = ReplyFrame(command, high, low);
    return {reply.begin(), reply.end()};
}
// clang-format off
ROWS(Forgery,
    StrayRow{"AheadOfChannel4", Stray(CMD_CHANNEL, 0, 4)},
    StrayRow{"AheadOfPower7_76", Stray(CMD_POWER, 0x03, 0x08)},
    StrayRow{"Power645_13", Whole(CMD_POWER, 0xFC, 0x01)},
    StrayRow{"Channel0", Whole(CMD_CHANNEL, 0, 0)},
    StrayRow{"OutputMixed", Whole(CMD_OUTPUT, 1, 0)});
// clang-format on

struct TrackRow {
    const char* name;
    Replies before;
    int channelSlider, powerSlider;
    Frames frames;
};
using Tracking = Rows<TrackRow>;

TEST_P(Tracking, OneFramePerChangedValue100msApart) {
    OpenSynced();  // sliders at 45 and 1234, first tick at 500
    Replay(GetParam().before);
    controls.SliderSetPosition(IDC_SLIDER_CHANNEL, GetParam().channelSlider);
    controls.SliderSetPosition(IDC_SLIDER_POWER, GetParam().powerSlider);
    timers.Run(500);
    EXPECT_EQ(link.sent, GetParam().frames);
}

// clang-format off
ROWS(Tracking,
    TrackRow{"ChannelBeforePower", {}, 46, 1300, {{'S', kCh, 46, 500}, {'S', kPw, 1300, 600}}},
    TrackRow{"OnlyPower", {}, 45, 800, {{'S', kPw, 800, 500}}},
    TrackRow{"NothingChanged", {}, 45, 1234, {}},
    TrackRow{"ReportedZerosSendRangeEnds", {{0, kCh, 0, 0}, {0, kPw, 0, 0}}, 0, 0, {{'S', kCh, 1, 500}, {'S', kPw, 700, 600}}});
// clang-format on

struct EntryRow {
    const char* name;
    int field;
    std::string text;
    int value;  // kNothingSent: no frame, and the field shows the last reply again
};
using TypedEntry = Rows<EntryRow>;
constexpr int kNothingSent = -1;

TEST_P(TypedEntry, EnterSendsClampedValueAndRestartsTracking) {
    const EntryRow& row = GetParam();
    OpenSynced();
    controls.texts[row.field] = row.text;
    timers.Run(100);
    ctl.OnEnterKey(row.field);
    const bool channel = row.field == IDC_EDIT_CHANNEL;
    const Frames sent{{'S', channel ? CMD_CHANNEL : CMD_POWER, row.value, 100}};
    const bool nothing = row.value == kNothingSent;
    EXPECT_EQ(link.sent, nothing ? Frames{} : sent);
    const std::string reported = channel ? "45" : "12.34";
    EXPECT_EQ(Text(row.field), nothing && !row.text.empty() ? reported : row.text);
    // After a send: the 100 ms pause, then a full period.
    EXPECT_EQ(timers.Due(TIMER_TRACK), nothing ? 500u : 700u);
}

// How each text reads is the number grammar's table (tests/protocol); here, what the panel
// does with it: clamp, send, or put the module's value back.
constexpr int kEC = IDC_EDIT_CHANNEL, kEP = IDC_EDIT_POWER;
// clang-format off
ROWS(TypedEntry,
    EntryRow{"ChTruncates", kEC, "12.7", 12},         EntryRow{"ChNegative", kEC, "-5", 1},
    EntryRow{"ChAboveRange", kEC, "120", 89},         EntryRow{"ChHuge", kEC, "1e999", 89},
    EntryRow{"ChEmpty", kEC, "", kNothingSent},       EntryRow{"ChWord", kEC, "hello", kNothingSent},
    EntryRow{"PwExact8_2", kEP, "8.2", 820},          EntryRow{"PwBelow", kEP, "5", 700},
    EntryRow{"PwHugeNeg", kEP, "-1e999", 700},        EntryRow{"PwNan", kEP, "-nan", kNothingSent});
// clang-format on

TEST_F(Panel, UnreadableEntryBeforeAnyReplyEmptiesTheField) {
    ctl.OnOpenPort();
    Reply(CMD_OUTPUT, 0, 0);  // synchronised with no channel or power reply yet
    controls.texts[IDC_EDIT_CHANNEL] = "hello", controls.texts[IDC_EDIT_POWER] = "-";
    ctl.OnSetChannel(), ctl.OnSetPower();
    EXPECT_EQ(Text(IDC_EDIT_CHANNEL) + Text(IDC_EDIT_POWER), "");
    EXPECT_TRUE(std::none_of(link.sent.begin(), link.sent.end(),
                             [](const Sent& frame) { return std::get<0>(frame) == 'S'; }));
}

// A script's output request goes by what the module reported, so asked twice it goes out once.
TEST_F(Panel, ToggleFlipsStateWithoutTouchingCaptionRequestsFollowTheModule) {
    OpenSynced();
    ctl.OnOutputToggle();
    ctl.OnOutputToggle();
    EXPECT_EQ(link.sent, Frames({{'S', CMD_OUTPUT, 0x0000, 0}, {'S', CMD_OUTPUT, 0x0101, 100}}));
    EXPECT_TRUE(state.outputOn);
    EXPECT_EQ(Text(IDC_BTN_OUTPUT), "ON");
    link.sent.clear();
    EXPECT_FALSE(ctl.SubmitEntry(Quantity::Output, "on"));
    EXPECT_TRUE(ctl.SubmitEntry(Quantity::Output, "off"));
    Reply(CMD_OUTPUT, 0, 0);
    EXPECT_FALSE(ctl.SubmitEntry(Quantity::Output, "off"));
    EXPECT_EQ(link.sent.size(), 1u);
}

struct HoldRow {
    const char* name;
    int button, start;
    std::vector<std::pair<int, int>> steps;  // tick, value sent on it
};
using Hold = Rows<HoldRow>;

TEST_P(Hold, SixtySecondsAccelerateSaturateAndStopAtTheLimit) {
    const HoldRow& row = GetParam();
    OpenSynced();
    const bool channel = row.button == IDC_BTN_CH_DOWN || row.button == IDC_BTN_CH_UP;
    (channel ? state.currentChannel : state.currentPower) = row.start;
    ctl.OnStepButtonDown(row.button);
    timers.Run(60000);
    ASSERT_EQ(link.sent.size(), 300u);
    for (const auto& [tick, value] : row.steps) {
        EXPECT_EQ(link.sent[tick - 1],
                  Sent('S', channel ? CMD_CHANNEL : CMD_POWER, value, tick * 200u))
            << tick;
    }
    EXPECT_EQ(state.holdCount, 249);
    ctl.OnMouseUp();
    EXPECT_EQ(timers.running.size(), 1u);
    EXPECT_EQ(timers.Due(TIMER_TRACK), 60500u);
}

// Each run overshoots an end by part of a step (88 + 2, 706 - 7, ...), which is clamped, and
// then sits at the end with the largest step.
// clang-format off
ROWS(Hold,
    HoldRow{"ChannelUp", IDC_BTN_CH_UP, 2, {{1, 3}, {50, 52}, {51, 54}, {68, 88}, {69, 89}, {300, 89}}},
    HoldRow{"ChannelDown", IDC_BTN_CH_DOWN, 88, {{1, 87}, {50, 38}, {51, 36}, {68, 2}, {69, 1}, {300, 1}}},
    HoldRow{"PowerDown", IDC_BTN_POWER_DOWN, 1300, {{1, 1299}, {25, 1275}, {26, 1273}, {162, 706}, {163, 700}, {300, 700}}},
    HoldRow{"PowerUp", IDC_BTN_POWER_UP, 700, {{1, 701}, {25, 725}, {26, 727}, {162, 1294}, {163, 1300}, {300, 1300}}});
// clang-format on

TEST_F(Panel, MouseUpAnywhereEndsHoldAndRestartsTracking) {
    OpenSynced();
    ctl.OnStepButtonDown(IDC_BTN_CH_UP);
    timers.Run(150);
    ctl.OnMouseUp();  // before the first step
    controls.SliderSetPosition(IDC_SLIDER_CHANNEL, 50);
    timers.Run(499);
    EXPECT_TRUE(link.sent.empty());
    timers.Run(1);
    EXPECT_EQ(link.sent, Frames({{'S', CMD_CHANNEL, 50, 650}}));
}

TEST_F(Panel, ActionsNeedSyncAndAnOpenPort) {
    for (bool open : {false, true}) {
        SCOPED_TRACE(open ? "querying" : "closed");
        if (open) {
            ctl.OnOpenPort();
        }
        controls.texts[IDC_EDIT_CHANNEL] = "50", controls.texts[IDC_EDIT_POWER] = "10";
        ctl.OnEnterKey(IDC_EDIT_CHANNEL), ctl.OnSetPower(), ctl.OnOutputToggle();
        ctl.OnStepButtonDown(IDC_BTN_POWER_UP);
        controls.SliderSetPosition(IDC_SLIDER_CHANNEL, 70);
        timers.Run(1000);
        ctl.OnMouseUp();
        for (const Sent& frame : link.sent) {
            EXPECT_EQ(std::get<0>(frame), 'Q');
        }
        EXPECT_TRUE(state.currentChannel == 1 && state.currentPower == 700 && !state.outputOn);
        EXPECT_EQ(timers.running.size(), open ? 1u : 0u);  // the channel query only
    }
}

TEST_F(Panel, OpenAndCloseResetThePanel) {
    EXPECT_EQ(controls.items, Strings({"COM3", "COM9", "COM10"}));
    ExpectPanel(false);
    EXPECT_EQ(controls.SliderPosition(IDC_SLIDER_POWER), 700);  // moved into the new range
    OpenSynced();
    ExpectPanel(true);
    const LinkSettings& s = link.openSettings;
    EXPECT_EQ(std::vector<std::uint32_t>(
                  {s.line.baudRate, std::uint32_t(s.line.parity), s.line.dataBits, s.line.stopBits,
                   s.eventMask, s.sendBufferSize, s.timeouts.readInterval,
                   s.timeouts.readTotalMultiplier, s.timeouts.readTotalConstant,
                   s.timeouts.writeTotalMultiplier, s.timeouts.writeTotalConstant}),
              std::vector<std::uint32_t>({9600, 'N', 8, 0, 1, 512, 1000, 1000, 1000, 1000, 1000}));
    probe.ports.insert(5);
    ctl.OnOpenPort();
    EXPECT_EQ(link.calls, Strings({"Close{", "}"}));
    EXPECT_TRUE(timers.now == 200u && timers.running.empty());
    EXPECT_EQ(controls.items, Strings({"COM3", "COM5", "COM9", "COM10"}));
    ExpectPanel(false);
    EXPECT_EQ(Text(IDC_EDIT_POWER), "12.34");  // what the module said stays
    EXPECT_TRUE(state.currentChannel == 45 && state.currentPower == 1234 && state.outputOn);

    link.openResult = 0;  // a port that does not open says why, and changes nothing else
    ctl.OnOpenPort();
    ExpectPanel(false);
    EXPECT_EQ(controls.notices, Strings({"Varnel|" + link.failureText}));
    link.failureText.clear();  // no reason kept: the port is still named
    ctl.OnOpenPort();
    EXPECT_EQ(controls.notices.back(), "Varnel|COM3 cannot be opened.");
    link.openResult = 1;  // the chain starts over, from the values kept
    ctl.OnOpenPort();
    EXPECT_TRUE(state.currentChannel == 45 && state.currentPower == 1234 && state.outputOn);
    timers.Run(200);
    EXPECT_EQ(link.sent, Frames({{'Q', CMD_CHANNEL, 0, 400}}));

    probe.ports.clear(), link.calls.clear();
    ctl.OnInitDialog();
    ctl.OnOpenPort();  // nothing to open
    ExpectPanel(false);
    EXPECT_TRUE(link.calls.empty());
}

struct DeviceRow {
    const char* name;
    bool open, present;
    int openResult;
    Strings calls;
    bool openAfter;
    std::size_t listed;
};
using DeviceChange = Rows<DeviceRow>;

TEST_P(DeviceChange, RecoversOrResets) {
    const DeviceRow& row = GetParam();
    if (row.open) {
        OpenSynced();
    }
    probe.ports = row.present ? std::set<int>{3, 9} : std::set<int>{3};
    link.openResult = row.openResult;
    ctl.OnDeviceChange();
    EXPECT_EQ(timers.now, 400u);
    EXPECT_EQ(link.calls, row.calls);
    EXPECT_TRUE(link.sent.empty());
    ExpectPanel(row.openAfter);
    EXPECT_FALSE(state.synced);  // a reopen asks the module again
    EXPECT_EQ(timers.Running(TIMER_QUERY_CHANNEL), row.openAfter);
    EXPECT_EQ(controls.items.size(), row.listed);
    EXPECT_TRUE(controls.notices.empty());  // a failed reopen resets without a notice
}

// clang-format off
ROWS(DeviceChange,
    DeviceRow{"ClosedRescans", false, true, 1, {}, false, 2},
    DeviceRow{"PresentReopens", true, true, 1, {"Close{", "}", "Open9", "Start"}, true, 3},
    DeviceRow{"GoneResets", true, false, 1, {"Close{", "}"}, false, 1},
    DeviceRow{"FailedReopenResets", true, true, 0, {"Close{", "}", "Open9"}, false, 2});
// clang-format on

// Another module behind the same COM number after a reopen: its replies, not the old
// module's, fill every readout. Tracking carries on through the recovery; a hold ends there,
// as its release would come unsynchronised and be lost.
TEST_F(Panel, ReopenAfterDeviceChangeSynchronisesWithTheNewModule) {
    OpenSynced();  // channel 45, 12.34 dBm, ON
    ctl.OnDeviceChange();
    EXPECT_EQ(timers.Due(TIMER_TRACK), 500u);
    Replay({{650, CMD_CHANNEL, 0, 10}, {850, CMD_POWER, 0x02, 0xBC}, {1050, CMD_OUTPUT, 0, 0}});
    EXPECT_EQ(
        link.sent,
        Frames({{'Q', CMD_CHANNEL, 0, 600}, {'Q', CMD_POWER, 0, 850}, {'Q', CMD_OUTPUT, 0, 1050}}));
    EXPECT_TRUE(state.synced);
    EXPECT_EQ(Text(IDC_EDIT_CHANNEL) + " " + Text(IDC_EDIT_POWER) + " " + Text(IDC_BTN_OUTPUT),
              "10 7.00 OFF");
    EXPECT_TRUE(state.currentChannel == 10 && state.currentPower == 700 && !state.outputOn);

    ctl.OnStepButtonDown(IDC_BTN_CH_UP);
    ctl.OnDeviceChange();
    EXPECT_FALSE(timers.Running(TIMER_CH_UP));
}

TEST_F(Panel, EachDeviceChangeInsideRecoveryRunsAfterIt) {
    OpenSynced();
    link.duringClose = [this] { ctl.OnDeviceChange(), ctl.OnDeviceChange(); };
    ctl.OnDeviceChange();
    EXPECT_EQ(link.calls, Strings({"Close{", "}", "Open9", "Start", "Close{", "}", "Open9", "Start",
                                   "Close{", "}", "Open9", "Start"}));
    EXPECT_EQ(timers.now, 1200u);
    EXPECT_TRUE(state.portOpen);
}

TEST_F(Panel, BytesTicksAndDeviceChangeInsideButtonClose) {
    OpenSynced();
    link.duringClose = [this] {
        ctl.OnDeviceChange();
        Reply(CMD_CHANNEL, 0, 60);
        timers.Run(1000);
    };
    ctl.OnOpenPort();
    EXPECT_EQ(link.calls, Strings({"Close{", "}"}));
    EXPECT_EQ(timers.now, 1000u + 200 + 400);  // then the deferred change's closed path
    EXPECT_EQ(Text(IDC_EDIT_CHANNEL), "60");
    EXPECT_TRUE(timers.running.empty());
    EXPECT_EQ(Text(IDC_BTN_OPENPORT), "OpenPort");
}

}  // namespace
