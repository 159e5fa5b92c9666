// The SCPI engine as a client meets it: each row is input lines, the answers written, the error
// queue left behind and the module requests made, against a fake module that answers at once.
// Then serve's command line: where it listens and whom it lets in.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "ScpiEngine.h"
#include "ServeOptions.h"

namespace {

using scpi::Engine;
using scpi::ModuleOutcome;
using scpi::ModuleRequest;
using scpi::ModuleStatus;

// A module that keeps channel, power and output, and answers each request at once (or holds it
// when `hold` is set, for the host to complete later).
class FakeModule : public scpi::EngineHost {
public:
    explicit FakeModule(bool readOnly = false) : engine({"Varnel,Test,0,9.9", readOnly}, *this) {}

    void Answer(std::string_view message) override { answers += message; }
    void Request(const ModuleRequest& request) override {
        requests += std::string(requests.empty() ? "" : " ") + (request.isSet ? "set " : "get ") +
                    QuantityName(request.quantity) +
                    (request.isSet ? " " + std::to_string(request.value) : "");
        if (hold) {
            held = request;
        } else {
            engine.Complete(Outcome(request));
        }
    }
    void Setting(std::string_view command) override { log += std::string(command) + "|"; }

    ModuleOutcome Outcome(const ModuleRequest& request) {
        int& value = request.quantity == Quantity::Channel ? channel
                     : request.quantity == Quantity::Power ? power
                                                           : output;
        if (fault == ModuleStatus::Ok && request.isSet) {
            value = request.value;
        }
        const int reported = fault == ModuleStatus::Mismatch ? value + 1 : value;
        return {fault, reported, fault == ModuleStatus::Ok ? "" : "no \"reply\""};
    }

    // Every entry of the error queue, read out through SYST:ERR? and joined by '|'.
    std::string DrainErrors() {
        const std::string before = answers;
        std::string errors;
        for (int i = 0; i < 40; ++i) {
            answers.clear();
            engine.Feed(":SYST:ERR?\n");
            if (answers == "0,\"No error\"\n") {
                break;
            }
            errors += (errors.empty() ? "" : "|") + answers.substr(0, answers.size() - 1);
        }
        answers = before;
        return errors;
    }

    int channel = 45;
    int power = 820;
    int output = 0;
    ModuleStatus fault = ModuleStatus::Ok;
    bool hold = false;
    std::optional<ModuleRequest> held;
    std::string answers;
    std::string requests;
    std::string log;
    Engine engine;  // last: it is built with the members above in place
};

struct Row {
    const char* name;
    std::string input;     // lines, LF-terminated
    const char* answers;   // everything written, LFs included
    std::string errors;    // queue entries, '|'-separated; a bare number matches any text
    const char* requests;  // module requests in order
    ModuleStatus fault = ModuleStatus::Ok;
    bool readOnly = false;
};

std::string Repeat(const std::string& text, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) {
        out += text;
    }
    return out;
}

const std::string k113 = "-113,\"Undefined header\"";

constexpr ModuleStatus kOk = ModuleStatus::Ok, kNoReply = ModuleStatus::NoReply;
// clang-format off
const Row kRows[] = {
    // Headers: case, long and short forms, optional nodes, suffixes.
    {"IdnAnyCase", "*idn?\n", "Varnel,Test,0,9.9\n", "", ""},
    {"LongFormMixedCase", "source:Channel 5\n", "", "", "set channel 5"},
    {"EveryOptionalPowerNode", "SOUR:POW:LEV:IMM:AMPL 9\n", "", "", "set power 900"},
    {"SomeOptionalPowerNodes", "POW:AMPL?\n", "8.20\n", "", "get power"},
    {"SuffixOne", "SOUR1:CHAN?;:OUTP1?\n", "45;0\n", "", "get channel get output"},
    // Neither long nor short, a second suffix, a query of a set-only and a set of a query-only
    // header, too many nodes.
    {"HeadersRefused", "SOURc:CHAN?\nSOUR2:CHAN?\n*RST?\n*IDN\nA:B:C:D:E:F:G:H:I?\n", "", "-113|-114|-113|-113|-113", ""},
    // Messages: chains, paths, answers joined, CR LF, blank lines, errors end the line.
    {"AnswersJoinedInOneWrite", "*OPC?;CHAN?;POW?;:OUTP?\n", "1;45;8.20;0\n", "", "get channel get power get output"},
    {"ChainKeepsThePath", "SOUR:CHAN 5;POW 9\n", "", "", "set channel 5 set power 900"},
    {"ChainLeavesNoWayUp", "SOUR:CHAN 5;OUTP ON\n", "", "-113", "set channel 5"},
    {"ColonBackToRoot", "SOUR:CHAN 5;:OUTP ON\n", "", "", "set channel 5 set output 1"},
    {"CommonLeavesThePath", "SYST:ERR:NEXT?;*OPC?;COUN?\n", "0,\"No error\";1;0\n", "", ""},
    {"CarriageReturn", "*OPC?\r\n\r\n\n", "1\n", "", ""},
    {"TrailingSemicolon", "*OPC?;\n", "1\n", "", ""},
    {"EmptyUnit", "CHAN 5;;POW 8\n", "", "-102", "set channel 5"},
    {"ErrorEndsTheLine", "*OPC?;CHAN 99;OUTP ON\n*OPC?\n", "1\n1\n", "-222", ""},
    {"SyntaxErrors", "CHAN,5\n\x01\xff\xfe\n" + std::string("CHAN 5\0\n", 8) + "*\n", "", "-102|-102|-102|-102", ""},
    // Channel.
    {"ChannelMinMax", "CHAN MAX;CHAN? MIN;CHAN? MAX\n", "1;89\n", "", "set channel 89"},
    {"ChannelUp", "CHAN UP\n", "", "", "get channel set channel 46"},
    {"ChannelDownAtTheEnd", "CHAN MIN;CHAN DOWN\n", "", "-222", "set channel 1 get channel"},
    {"ChannelOutOfRange", "CHAN 90\nCHAN 0\n", "", "-222|-222", ""},
    {"ChannelWholeDecimal", "CHAN 5.0\n", "", "", "set channel 5"},
    {"ChannelBadParameters", "CHAN 5.5\nCHAN FOO\nCHAN \"5\"\nCHAN 5,6\nCHAN\nCHAN 5GHZ\nCHAN? 5\n", "", "-224|-224|-104|-108|-109|-131|-224", ""},
    {"ChannelLabel", "CHAN:ITU?\n", "\"C39\"\n", "", "get channel"},
    // Frequency in Hz, within 1 GHz of a grid channel.
    {"FrequencyQueryAndLimits", "FREQ?;FREQ? MIN;FREQ? MAX\n", "193900000000000;191700000000000;196100000000000\n", "", "get channel"},
    {"FrequencyTerahertzAndWithinAGigahertz", "FREQ 193.9THZ;FREQ 193900.9 ghz\n", "", "", "set channel 45 set channel 45"},
    {"FrequencyHertzExponent", "FREQ 1.917E14HZ;FREQ 1.917e+14\n", "", "", "set channel 1 set channel 1"},
    {"FrequencyRefused", "FREQ 193901.1GHZ\nFREQ 191650GHZ\nFREQ 1E999\nFREQ 193.9KM\n", "", "-222|-222|-222|-131", ""},
    // Wavelength in metres, within 0.01 nm of a grid channel's.
    {"WavelengthQueryAndLimits", "WAV?;WAV? MIN;WAV? MAX\n", "1.54611892E-06;1.52877337E-06;1.56386259E-06\n", "", "get channel"},
    {"WavelengthUnits", "WAV 1546.12NM;WAV 1546119 PM;WAV 1.54612E-6M;WAV 1.54612E-6\nWAV 1546.14NM\n", "", "-222", "set channel 45 set channel 45 set channel 45 set channel 45"},
    {"WavelengthMaxIsLowestChannel", "WAV MAX\n", "", "", "set channel 1"},
    // Power in dBm, read as the panel reads a typed power.
    {"PowerTypedAndTruncatedAsPanel", "POW 8.2;POW 8.209DBM\n", "", "", "set power 820 set power 820"},
    {"PowerMilliwatts", "POW 10MW;POW 0.01 W\n", "", "", "set power 1000 set power 1000"},
    {"PowerOutOfRange", "POW 0MW\nPOW 13.01\nPOW 6.99\n", "", "-222|-222|-222", ""},
    {"PowerLimits", "POW MAX;POW? MIN;POW? MAX\n", "7.00;13.00\n", "", "set power 1300"},
    // Output.
    {"OutputNumbersAndWords", "OUTP 1;OUTP 0\nOUTP ON;OUTP:STAT OFF;:OUTP?\n", "0\n", "", "set output 1 set output 0 set output 1 set output 0 get output"},
    {"OutputTwoAndPowerUnit", "OUTP 2\nPOW 8 V\n", "", "-224|-131", ""},
    // IEEE 488.2 common commands and the status registers.
    {"ResetSwitchesOutputOffTakesNoParameter", "*RST\n*RST 1\n", "", "-108", "set output 0"},
    {"SelfTest", "*TST?\n", "0\n", "", "get channel"},
    {"SelfTestNoModule", "*TST?\n", "1\n", "", "get channel", kNoReply},
    {"WaitAndOpc", "*WAI;*OPC;*ESR?;*ESR?\n", "1;0\n", "", ""},
    {"CommandAndExecutionErrorBits", "FOO\n*ESR?\nCHAN 99\n*ESR?\n", "32\n16\n", "-113|-222", ""},
    {"EnablesServiceDropsBit6", "*ESE 36;*ESE?\n*ESE 256\n*SRE 255;*SRE?\n", "36\n191\n", "-222", ""},
    {"StatusByteQueue", "FOO\n*STB?\n", "4\n", "-113", ""},
    {"StatusByteSummaries", "*ESE 32;*SRE 32\nFOO\n*STB?\n", "100\n", "-113", ""},
    {"StatusByteMessage", "*OPC?;*STB?\n", "1;16\n", "", ""},
    {"ClearEmptiesQueueAndEsr", "FOO\n*CLS\n*ESR?;SYST:ERR:COUN?\n", "0;0\n", "", ""},
    // SCPI required commands and the error queue.
    {"ErrorQueueInOrder", "FOO\nCHAN 0\nSYST:ERR:COUN?;NEXT?;NEXT?;:SYST:ERR?\n", "2;-113,\"Undefined header\";-222,\"Data out of range\";0,\"No error\"\n", "", ""},
    {"QueueOverflow", Repeat("FOO\n", 20), "", Repeat(k113 + "|", 15) + "-350", ""},
    {"VersionAndStatus", "SYST:VERS?;:STAT:OPER?;:STAT:QUES:EVEN?;:STAT:PRES\n", "1999.0;0;0\n", "", ""},
    {"OverlongLineInPieces", std::string(5000, 'A') + "\n" + std::string(9000, 'B') + "x\n*OPC?\n", "1\n", "-363|-363", ""},
    {"LongestLineTaken", "*OPC?" + std::string(scpi::kMaxLineBytes - 5, ' ') + "\r\n", "1\n", "", ""},
    // The module's failures, named by the command.
    {"NoReply", "CHAN?;*OPC?\n", "", "-240,\"Hardware error;CHAN?: no \"\"reply\"\"\"", "get channel", kNoReply},
    {"Mismatch", "CHAN 5\n", "", "-240", "set channel 5", ModuleStatus::Mismatch},
    {"PortLost", "OUTP ON\n", "", "-241,\"Hardware missing;OUTP ON:", "set output 1", ModuleStatus::PortLost},
    // Read-only: queries work, settings and *RST are refused before anything is sent.
    {"ReadOnly", "CHAN 5\n*RST\nPOW MAX\nCHAN?;*ESE 1;*ESE?\n", "45;1\n", "-203|-203|-203", "get channel", kOk, true},
};
// clang-format on

class EngineRows : public testing::TestWithParam<Row> {};

TEST_P(EngineRows, AnswersErrorsAndRequests) {
    const Row& row = GetParam();
    FakeModule module(row.readOnly);
    module.fault = row.fault;
    // Byte by byte for half the rows: a line may arrive in any number of pieces.
    if (row.input.size() % 2 == 0) {
        for (const char c : row.input) {
            module.engine.Feed(std::string_view(&c, 1));
        }
    } else {
        module.engine.Feed(row.input);
    }
    EXPECT_EQ(module.answers, row.answers);
    EXPECT_EQ(module.requests, row.requests);
    std::istringstream expected(row.errors);
    std::istringstream actual(module.DrainErrors());
    std::string want;
    std::string got;
    while (std::getline(expected, want, '|')) {
        ASSERT_TRUE(std::getline(actual, got, '|')) << "missing " << want;
        if (want.find(',') == std::string::npos) {
            want += ',';
        }
        EXPECT_EQ(got.substr(0, want.size()), want);
    }
    EXPECT_FALSE(std::getline(actual, got, '|')) << "extra " << got;
}

INSTANTIATE_TEST_SUITE_P(Scpi, EngineRows, testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ScpiEngine, LaterCommandsWaitInOrderBehindTheModule) {
    FakeModule module;
    module.hold = true;
    module.engine.Feed("CHAN 7;*OPC?\n*IDN?\nPOW?\n");
    EXPECT_TRUE(module.engine.Waiting());
    EXPECT_EQ(module.answers, "");  // not even *IDN?, which waits its turn
    module.engine.Feed("*OPC?\n");
    ASSERT_TRUE(module.held);
    module.engine.Complete(module.Outcome(*module.held));
    EXPECT_EQ(module.answers, "1\nVarnel,Test,0,9.9\n");
    module.engine.Complete(module.Outcome(*module.held));  // power
    EXPECT_EQ(module.answers, "1\nVarnel,Test,0,9.9\n8.20\n1\n");
    EXPECT_FALSE(module.engine.Waiting());
    module.engine.Complete({ModuleStatus::Ok, 3, ""});  // nothing asked: changes nothing
    EXPECT_EQ(module.answers, "1\nVarnel,Test,0,9.9\n8.20\n1\n");
    EXPECT_EQ(module.engine.Buffered(), 0u);
}

TEST(ScpiEngine, EverySettingIsLoggedEvenWhenRefused) {
    FakeModule module(true);
    module.engine.Feed("CHAN?;*ESE 1\n  OUTP ON \n*RST\n");
    EXPECT_EQ(module.log, "OUTP ON|*RST|");
}

TEST(ScpiEngine, ErrorListHasUniqueClassedNumbers) {
    std::vector<int> seen;
    for (const scpi::ErrorInfo& info : scpi::AllErrors()) {
        const int number = static_cast<int>(info.error);
        EXPECT_NE(scpi::EsrBitOf(info.error), 0) << number;
        EXPECT_EQ(std::count(seen.begin(), seen.end(), number), 0) << number;
        seen.push_back(number);
    }
}

}  // namespace

namespace {

// serve's command line: where it may listen and who may connect.
struct ServeRow {
    const char* name;
    std::vector<std::string> args;
    const char* error;      // part of the refusal; empty when accepted
    const char* admitted;   // addresses let in, space-separated
    const char* refused;    // addresses reset
    bool everyone = false;  // warned about: the list admits every address (or every IPv4)
};

// clang-format off
const ServeRow kServeRows[] = {
    {"LoopbackByDefault", {"serve", "COM5"}, "", "127.0.0.1 127.0.0.2 ::1 ::ffff:127.0.0.1", "10.0.0.1 ::2"},
    {"PortFirst", {"COM5", "serve", "--read-only"}, "", "127.0.0.1", "192.168.1.7"},
    {"NetworkNeedsAllow", {"serve", "COM5", "--listen", "0.0.0.0:5025"}, "--allow", "", ""},
    {"Ipv6NetworkNeedsAllow", {"serve", "COM5", "--listen", "[::]:5025"}, "--allow", "", ""},
    {"AllowList", {"serve", "COM5", "--listen=0.0.0.0:5025", "--allow", "10.0.0.0/24,192.168.1.7"}, "", "10.0.0.200 192.168.1.7 ::ffff:10.0.0.9", "10.0.1.1 192.168.1.8 127.0.0.1 ::ffff:10.0.1.1"},
    {"AllowOnlyOneLoopback", {"serve", "COM5", "--allow", "127.0.0.1/32"}, "", "127.0.0.1", "127.0.0.2 ::1"},
    {"Ipv6Lists", {"serve", "COM5", "--listen", "[::1]:5025", "--allow", "::1/128,fd00::/8"}, "", "::1 fd12:3456::7 fdff::", "::2 fe80::1 127.0.0.1 ::ffff:253.0.0.1"},
    {"Ipv6ListenLoopback", {"serve", "COM5", "--listen", "[::1]:0"}, "", "::1 127.0.0.1", "fd00::1"},
    {"EveryIpv4", {"serve", "COM5", "--allow", "0.0.0.0/0"}, "", "1.2.3.4 ::ffff:1.2.3.4", "fd00::1", true},
    {"EveryAddress", {"serve", "COM5", "--allow", "127.0.0.1,::/0"}, "", "fd00::1 8.8.8.8", "", true},
    {"BadRange", {"serve", "COM5", "--allow", "10.0.0.0/33"}, "a number from 0 to 32", "", ""},
    {"NegativePrefix", {"serve", "COM5", "--allow", "10.0.0.0/-0"}, "10.0.0.0/-0: the prefix length", "", ""},
    {"PlusPrefix", {"serve", "COM5", "--allow", "fd00::/+8"}, "from 0 to 128", "", ""},
    {"SignedByte", {"serve", "COM5", "--allow", "127.-0.0.1"}, "\"127.-0.0.1\" is not a numeric", "", ""},
    {"HostBits", {"serve", "COM5", "--allow", "10.0.0.1/8"}, "10.0.0.1/8 has host bits set: did you mean 10.0.0.0/8?", "", ""},
    {"Ipv6HostBits", {"serve", "COM5", "--allow", "fd00::1/8"}, "did you mean fd00::/8?", "", ""},
    {"LeadingZero", {"serve", "COM5", "--allow", "010.0.0.1"}, "octal: write 10.0.0.1", "", ""},
    {"EmptyItem", {"serve", "COM5", "--allow", "10.0.0.1,"}, "empty item", "", ""},
    {"Zone", {"serve", "COM5", "--allow", "fe80::1%eth0"}, "zone", "", ""},
    {"BadListen", {"serve", "COM5", "--listen", "localhost"}, "--listen wants", "", ""},
    {"NegativePort", {"serve", "COM5", "--listen", "127.0.0.1:-0"}, "\"-0\" is not a port", "", ""},
    {"LeadingZeroPort", {"serve", "COM5", "--listen", "127.0.0.1:05025"}, "is not a port", "", ""},
    {"Ipv6NeedsBrackets", {"serve", "COM5", "--listen", "::1:5025"}, "brackets: [::1]:5025", "", ""},
    {"ListenLeadingZero", {"serve", "COM5", "--listen", "127.0.0.01:5025"}, "write 127.0.0.1", "", ""},
    {"NoPort", {"serve", "--read-only"}, "wants the port", "", ""},
    {"ClientsLimit", {"serve", "COM5", "--max-clients", "0"}, "--max-clients", "", ""},
};
// clang-format on

class ServeOptionRows : public testing::TestWithParam<ServeRow> {};

TEST_P(ServeOptionRows, ListenAndAllow) {
    const ServeRow& row = GetParam();
    EXPECT_TRUE(IsServeCommand(row.args));
    ServeOptions options;
    const std::string error = ParseServeOptions(row.args, options);
    ASSERT_NE(error.find(row.error), std::string::npos) << error;
    ASSERT_EQ(error.empty(), *row.error == 0) << error;
    EXPECT_EQ(net::EveryoneWarning(options.allow).empty(), !row.everyone)
        << net::EveryoneWarning(options.allow);
    for (const auto& [list, allowed] : {std::pair{row.admitted, true}, {row.refused, false}}) {
        std::istringstream words(list);
        for (std::string text; words >> text;) {
            net::Address address;
            ASSERT_EQ(net::ParseAddress(text, address), "");
            EXPECT_EQ(net::Admits(options.allow, address), allowed) << text;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Serve, ServeOptionRows, testing::ValuesIn(kServeRows),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
