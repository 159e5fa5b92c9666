// The three renderings of a record agree with each other and with the channel grid.
#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>

#include "ModuleSession.h"
#include "PanelSession.h"
#include "Record.h"

namespace {

long Commas(const std::string& text) {
    return std::count(text.begin(), text.end(), ',');
}

Record Sample() {
    Record record;
    record.event = "sweep";
    record.time = std::chrono::system_clock::time_point(std::chrono::milliseconds(1796607374123));
    record.step = 3;
    record.steps = 89;
    record.pass = 1;
    record.channel = 45;
    record.power = 1234;
    record.output = true;
    return record;
}

TEST(CtlRecords, OneRecordThreeWaysAndEmptyFieldsStayEmpty) {
    Record record = Sample();
    EXPECT_EQ(IsoTime(record.time), "2026-12-07T01:36:14.123Z");
    EXPECT_EQ(HumanLine(record),
              "step 3/89  channel 45 (193900 GHz, 1546.12 nm, C39)  power 12.34 dBm  output on");
    EXPECT_EQ(CsvRow(record), "2026-12-07T01:36:14.123Z,sweep,3,1,45,193900,1546.12,C39,12.34,on");

    EXPECT_EQ(nlohmann::json::parse(JsonLine(record)),
              nlohmann::json::parse(
                  R"({"time":"2026-12-07T01:36:14.123Z","event":"sweep","step":3,)"
                  R"("steps":89,"pass":1,"channel":45,"frequency_ghz":193900,)"
                  R"("wavelength_nm":1546.12,"itu":"C39","power_dbm":12.34,"output":true})"));
    EXPECT_EQ(JsonLine(record).find('\n'), std::string::npos);

    // Fields the module did not send stay empty; a channel it may report outside the grid
    // (0..255, labels past '9') still renders as valid JSON and CSV.
    record.step = 0;
    record.event = "get";
    record.channel.reset();
    record.output.reset();
    record.power = 705;
    EXPECT_EQ(HumanLine(record), "power 7.05 dBm");
    EXPECT_EQ(CsvRow(record), "2026-12-07T01:36:14.123Z,get,,,,,,,7.05,");
    const nlohmann::json json = nlohmann::json::parse(JsonLine(record));
    EXPECT_FALSE(json.contains("channel") || json.contains("step"));
    for (const int channel : {0, 167, 255}) {
        record.channel = channel;
        EXPECT_TRUE(nlohmann::json::accept(JsonLine(record))) << channel;
        EXPECT_EQ(Commas(CsvRow(record)), Commas(CsvHeader())) << channel;
    }
}

TEST(CtlRecords, FailuresNameTheCommandAndWhatWasSeen) {
    ExchangeResult result;
    result.status = ExchangeStatus::NoReply;
    result.tries = 3;
    result.detail = "01 01 02 03 34 00, no valid reply";
    EXPECT_EQ(DescribeExchangeFailure(true, Quantity::Power, 820, result),
              "no reply to set power 8.20 dBm after 3 tries; last seen: 01 01 02 03 34 00, no "
              "valid reply");
    result.status = ExchangeStatus::Mismatch;
    result.value = 700;
    EXPECT_EQ(DescribeExchangeFailure(true, Quantity::Power, 820, result),
              "the module answered set power 8.20 dBm with 7.00 dBm after 3 tries");
}

// A panel's answer is read without trusting it: a wrong type or a value no module sends is
// "unreadable" (exit 3), never an abort and never a printed value.
TEST(CtlRecords, PanelAnswersAreReadWithoutTrust) {
    const std::tuple<const char*, ExchangeStatus, int, const char*> rows[] = {
        {R"({"ok":true,"channel":45})", ExchangeStatus::Ok, 45, ""},
        {R"({"ok":true,"channel":null})", ExchangeStatus::NoReply, 0, "no report yet"},
        {R"({"ok":false,"error":"port-gone","message":"gone"})", ExchangeStatus::PortLost, 0,
         "the panel says: gone"},
        {R"({"ok":"yes","channel":45})", ExchangeStatus::NoReply, 0, "unreadable"},
        {R"({"ok":false,"error":5})", ExchangeStatus::NoReply, 0, "unreadable"},
        {R"({"ok":true,"channel":"45"})", ExchangeStatus::NoReply, 0, "unreadable"},
        {R"({"ok":true,"channel":90})", ExchangeStatus::NoReply, 0, "unreadable"},
        {R"({"ok":true,"channel":4294967341})", ExchangeStatus::NoReply, 0, "unreadable"},
        {R"([{"ok":true}])", ExchangeStatus::NoReply, 0, "unreadable"},
    };
    for (const auto& [line, status, value, detail] : rows) {
        const ExchangeResult result =
            ReadPanelAnswer(line, "channel", Quantity::Channel, "no report yet");
        EXPECT_EQ(result.status, status) << line;
        EXPECT_EQ(result.value, value) << line;
        EXPECT_NE(result.detail.find(detail), std::string::npos) << line << ": " << result.detail;
    }
    PanelInfo panel;
    EXPECT_FALSE(ReadHelloAnswer(R"({"ok":true,"pid":"x","port":"COM5"})", "s", panel));
    EXPECT_FALSE(ReadHelloAnswer(R"({"ok":true,"pid":7,"port":5})", "s", panel));
    ASSERT_TRUE(ReadHelloAnswer(R"({"ok":true,"pid":7,"port":"COM5","synced":true})", "s", panel));
    EXPECT_EQ(panel.pid, 7);
    EXPECT_TRUE(panel.synced);
}

}  // namespace
