// The SCPI engine as a client meets it: each row is input lines, the answers written, the error
// queue left behind and the module requests made, against a fake module that answers at once.
// Then its lexer and parameter table alone, and serve's command line: where it listens and whom
// it lets in.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "ScpiEngine.h"
#include "ScpiLexer.h"
#include "ScpiParams.h"
#include "ServeOptions.h"

namespace {

using scpi::Engine;
using ModuleStatus = ExchangeStatus;

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

    ExchangeResult Outcome(const ModuleRequest& request) {
        int& value = request.quantity == Quantity::Channel ? channel
                     : request.quantity == Quantity::Power ? power
                                                           : output;
        if (fault == ModuleStatus::Ok && request.isSet) {
            value = request.value;
        }
        const int reported = fault == ModuleStatus::Mismatch ? value + 1 : value;
        return {fault, reported, 1, fault == ModuleStatus::Ok ? "" : "no \"reply\""};
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
    // header.
    {"HeadersRefused", "SOURc:CHAN?\nSOUR2:CHAN?\n*RST?\n*IDN\n", "", "-113|-114|-113|-113", ""},
    // Messages: chains, paths, answers joined, CR LF, blank lines, errors end the line.
    {"AnswersJoinedInOneWrite", "*OPC?;CHAN?;POW?;:OUTP?\n", "1;45;8.20;0\n", "", "get channel get power get output"},
    {"ChainKeepsThePath", "SOUR:CHAN 5;POW 9\n", "", "", "set channel 5 set power 900"},
    {"ChainFallsBackToTheRoot", "CHAN 45;POW 9;OUTP ON\nSOUR:CHAN 5;FOO\n", "", "-113", "set channel 45 set power 900 set output 1 set channel 5"},
    {"ColonBackToRoot", "SOUR:CHAN 5;:OUTP ON\n", "", "", "set channel 5 set output 1"},
    {"CommonLeavesThePath", "SYST:ERR:NEXT?;*OPC?;COUN?\n", "0,\"No error\";1;0\n", "", ""},
    {"CarriageReturn", "*OPC?\r\n\r\n\n", "1\n", "", ""},
    {"EmptyUnitEndsTheLine", "CHAN 5;;POW 8\n*OPC?;\n", "1\n", "-102", "set channel 5"},
    {"ErrorEndsTheLine", "*OPC?;CHAN 99;OUTP ON\n*OPC?\n", "1\n1\n", "-222", ""},
    {"SyntaxErrors", "\x01\xff\xfe\n" + std::string("CHAN 5\0\n", 8), "", "-102|-102", ""},
    // Channel.
    {"ChannelMinMax", "CHAN MAX;CHAN? MIN;CHAN? MAX\n", "1;89\n", "", "set channel 89"},
    {"ChannelUp", "CHAN UP\n", "", "", "get channel set channel 46"},
    {"ChannelDownAtTheEnd", "CHAN MIN;CHAN DOWN\n", "", "-222", "set channel 1 get channel"},
    {"ChannelParameterCounts", "CHAN 5,6\nCHAN\nCHAN? 5\nCHAN 90\n", "", "-108|-109|-224|-222", ""},
    {"ChannelLabel", "CHAN:ITU?\n", "\"C39\"\n", "", "get channel"},
    // Frequency in Hz, within 1 GHz of a grid channel.
    {"FrequencyQueryAndLimits", "FREQ?;FREQ? MIN;FREQ? MAX\n", "193900000000000;191700000000000;196100000000000\n", "", "get channel"},
    {"FrequencySetting", "FREQ 193.9THZ\nFREQ 193.9KM\n", "", "-131", "set channel 45"},
    // Wavelength in metres, within 0.01 nm of a grid channel's.
    {"WavelengthQueryAndLimits", "WAV?;WAV? MIN;WAV? MAX\n", "1.54611892E-06;1.52877337E-06;1.56386259E-06\n", "", "get channel"},
    {"WavelengthSetting", "WAV 1546.12NM;WAV MAX\nWAV 1546.14NM\n", "", "-222", "set channel 45 set channel 1"},
    // Power in dBm; output.
    {"PowerLimits", "POW MAX;POW? MIN;POW? MAX\nPOW 8.209DBM\n", "7.00;13.00\n", "", "set power 1300 set power 820"},
    {"OutputSetAndQuery", "OUTP ON;OUTP:STAT OFF;:OUTP?\nOUTP 2\n", "0\n", "-224", "set output 1 set output 0 get output"},
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
    {"NoReply", "CHAN?;*OPC?\n", "", "-240,\"Hardware error;CHAN?: no reply to get channel after 1 try; last seen: no \"\"reply\"\"\"", "get channel", kNoReply},
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
    module.engine.Complete({ModuleStatus::Ok, 3, 1, ""});  // nothing asked: changes nothing
    EXPECT_EQ(module.answers, "1\nVarnel,Test,0,9.9\n8.20\n1\n");
    EXPECT_EQ(module.engine.Buffered(), 0u);
    // A device clear drops the request in hand and what waits behind it, not the error queue;
    // the dropped request's late outcome is not taken for the next one's.
    module.answers.clear();
    module.engine.Feed("CHAN 99\nCHAN?\n*IDN?\n");
    module.engine.Clear();
    EXPECT_FALSE(module.engine.Waiting());
    module.engine.Feed("POW?\n");
    module.engine.Complete({ModuleStatus::Ok, 45, 1, ""});  // the dropped CHAN?'s
    EXPECT_TRUE(module.engine.Waiting());
    module.engine.Complete(module.Outcome(*module.held));
    EXPECT_EQ(module.answers, "8.20\n");
    EXPECT_EQ(module.engine.StatusByte(), scpi::kStbErrorQueue);
    EXPECT_EQ(module.DrainErrors().substr(0, 5), "-222,");
}

TEST(ScpiEngine, EverySettingIsLoggedEvenWhenRefused) {
    FakeModule module(true);
    module.engine.Feed("CHAN?;*ESE 1\n  OUTP ON \n*RST\n");
    EXPECT_EQ(module.log, "OUTP ON|*RST|");
}

// Each number once, each with its class's ESR bit, and the README's list is this list.
TEST(ScpiEngine, ErrorListHasUniqueClassedNumbersAsTheReadmeSays) {
    std::set<int> listed;
    for (const scpi::ErrorInfo& info : scpi::AllErrors()) {
        const int number = static_cast<int>(info.error);
        EXPECT_NE(scpi::EsrBitOf(info.error), 0) << number;
        EXPECT_TRUE(listed.insert(number).second) << number;
    }
    std::ifstream file(VARNEL_README);
    const std::string readme{std::istreambuf_iterator<char>(file), {}};
    const std::size_t from = readme.find("its own error queue");
    const std::size_t to = readme.find("The error's class", from);
    ASSERT_LT(to, readme.size());
    std::set<int> documented;  // every "-ddd" between the two
    for (std::size_t at = readme.find('-', from); at < to; at = readme.find('-', at + 1)) {
        const std::string digits = readme.substr(at + 1, 3);
        if (std::all_of(digits.begin(), digits.end(),
                        [](char c) { return c >= '0' && c <= '9'; })) {
            documented.insert(-std::stoi(digits));
        }
    }
    EXPECT_EQ(documented, listed);
}

// The lexer alone: a line as its units, each as header, '?' and parameter tokens (C character
// data, N mantissa|unit, S string, B broken), or the error it gives; units joined by ';'.
std::string Lexed(std::string_view line) {
    std::string out;
    std::size_t at = 0;
    for (scpi::UnitSlice slice; !(slice = scpi::NextUnit(line, at)).end;) {
        if (slice.error == scpi::Error::None && slice.text.empty()) {
            continue;
        }
        out += out.empty() ? "" : ";";
        scpi::ProgramUnit unit;
        const scpi::Error error =
            slice.error != scpi::Error::None ? slice.error : scpi::LexUnit(slice.text, unit);
        if (error != scpi::Error::None) {
            out += std::to_string(static_cast<int>(error));
            continue;
        }
        out += unit.absolute ? ":" : "";
        for (std::size_t i = 0; i < unit.nodes; ++i) {
            out += std::string(i == 0 ? "" : ":") + std::string(unit.mnemonics[i]);
        }
        out += unit.query ? "?" : "";
        for (std::size_t i = 0; i < unit.count; ++i) {
            const scpi::Token token = scpi::Classify(unit.params[i]);
            out += std::string(i == 0 ? " " : ",") + "CNSB"[token.kind];
            if (token.kind == scpi::Token::Number) {
                out += std::string(token.mantissa) + "|" + std::string(token.unit);
            }
        }
    }
    return out;
}

TEST(ScpiLexer, UnitsHeadersAndTokens) {
    // clang-format off
    const std::pair<std::string_view, const char*> rows[] = {
        {"*idn?;:SOUR1:chan 5 ; OUTP:STAT on;", "*idn?;:SOUR1:chan N5|;OUTP:STAT C"},
        {"FREQ 193.9THZ, 1.917e+14 HZ,-5.,'a;b'", "FREQ N193.9|THZ,N1.917e+14|HZ,N-5.|,S"},
        {"X 5V2,.e5,+,1e", "X B,B,B,N1|e"},
        {"CHAN;;POW", "CHAN;-102;POW"},
        {"CHAN,5;*;SOUR:;CHAN?5;CHAN 5,,6", "-102;-102;-102;-102;-102"},
        {"A:B:C:D:E:F:G:H:I?;CHAN 1,2,3,4,5", "-113;-108"},
        {"", ""},
    };
    // clang-format on
    for (const auto& [line, lexed] : rows) {
        EXPECT_EQ(Lexed(line), lexed) << line;
    }
}

// The parameter table alone: each text read as a setting of one kind, into the module's value
// (UP/DOWN for a step) or the error; '|'-separated.
struct ParamRow {
    const char* name;
    scpi::Param param;
    const char* texts;
    const char* read;
};

// clang-format off
const ParamRow kParamRows[] = {
    {"Channel", scpi::Param::Channel, "MAX|minimum|UP|down|5.0|90|0|5.5|FOO|\"5\"|5GHZ|ON", "89|1|UP|DOWN|5|-222|-222|-224|-224|-104|-131|-224"},
    // Frequency in Hz, within 1 GHz of a grid channel.
    {"Frequency", scpi::Param::Frequency, "193.9THZ|193900.9 ghz|1.917E14HZ|1.917e+14|193901.1GHZ|191650GHZ|1E999|193.9KM|MIN|UP", "45|45|1|1|-222|-222|-222|-131|1|-224"},
    // Wavelength in metres, within 0.01 nm of a grid channel's; the longest is the lowest channel.
    {"Wavelength", scpi::Param::Wavelength, "1546.12NM|1546119 PM|1.54612E-6M|1.54612E-6|1546.14NM|MAX|MIN", "45|45|45|45|-222|1|89"},
    // Power in dBm, read (and truncated) as the panel reads a typed power.
    {"Power", scpi::Param::Power, "8.2|8.209DBM|10MW|0.01 W|0MW|13.01|6.99|8 V|MAX|min", "820|820|1000|1000|-222|-222|-222|-131|1300|700"},
    {"Boolean", scpi::Param::Boolean, "1|0|ON|off|2|MIN|1V", "1|0|1|0|-224|-224|-131"},
    {"Byte", scpi::Param::Byte, "36|255.4|256|-1|ON|'1'|1+", "36|255|-222|-222|-224|-104|-102"},
};
// clang-format on

class ParamRows : public testing::TestWithParam<ParamRow> {};

TEST_P(ParamRows, ReadAsTheModuleValue) {
    const ParamRow& row = GetParam();
    std::istringstream texts(row.texts);
    std::istringstream reads(row.read);
    for (std::string text, want; std::getline(texts, text, '|');) {
        ASSERT_TRUE(std::getline(reads, want, '|')) << text;
        scpi::ParamValue value;
        const scpi::Error error = scpi::ReadSetting(row.param, text, value);
        const std::string got = error != scpi::Error::None ? std::to_string(static_cast<int>(error))
                                : value.step != 0          ? (value.step > 0 ? "UP" : "DOWN")
                                                           : std::to_string(value.module);
        EXPECT_EQ(got, want) << text;
    }
}

INSTANTIATE_TEST_SUITE_P(Scpi, ParamRows, testing::ValuesIn(kParamRows),
                         [](const auto& info) { return std::string(info.param.name); });

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
