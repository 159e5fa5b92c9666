// varnel-ctl's command line and channel lists: what is accepted, and what is refused before
// anything could be sent; then the one option scanner under all three programs, and the
// documents that name their options.
#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <tuple>

#include "ChannelList.h"
#include "CtlOptions.h"
#include "ModuleOptions.h"
#include "ServeOptions.h"

namespace {

std::vector<std::string> Words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string word; in >> word;) {
        words.push_back(word);
    }
    return words;
}

std::string Join(const std::vector<int>& values) {
    std::string text;
    for (const int value : values) {
        text += (text.empty() ? "" : " ") + std::to_string(value);
    }
    return text;
}

// Each row: a list and the channels it gives, or a piece of the reason it is refused.
TEST(ChannelList, ReadsRangesStepsAndListsAndRefusesTheRest) {
    const std::pair<const char*, const char*> rows[] = {
        {"45", "45"},
        {"1-5", "1 2 3 4 5"},
        {"10,12,14", "10 12 14"},
        {"1-9:4", "1 5 9"},
        {"1-10:4", "1 5 9"},
        {"5-1:2", "5 3 1"},
        {"88-89,1,1", "88 89 1 1"},
        {"7-7:3", "7"},
        {"", "empty"},
        {"0", "outside 1-89"},
        {"90", "outside 1-89"},
        {"1-90", "outside 1-89"},
        {"1-", "two channel numbers"},
        {"-5", "two channel numbers"},
        {"1-89:0", "step"},
        {"1-89:x", "step"},
        {"5:2", "needs a range"},
        {"1-89:2:3", "step"},
        {"1,,2", "empty item"},
        {"1,", "empty item"},
        {"a", "not a channel"},
        {" 1", "not a channel"},
        {"1.5", "not a channel"},
        {"0001", "not a channel"},
    };
    for (const auto& [text, expected] : rows) {
        std::vector<int> channels{1};
        const std::string error = ParseChannelList(text, channels);
        if (std::isdigit(static_cast<unsigned char>(*expected))) {
            EXPECT_EQ(error, "") << text;
            EXPECT_EQ(Join(channels), expected) << text;
        } else {
            EXPECT_NE(error.find(expected), std::string::npos) << "\"" << text << "\": " << error;
            EXPECT_TRUE(channels.empty()) << text;
        }
    }
}

// What the process rows (TestCtlProcess) do not show: every option of every command read into
// its field, ports named in any case or by a bare device name, help.
TEST(CtlOptions, ReadsEachCommand) {
    CtlOptions o;
    ASSERT_EQ(ParseCtlOptions(Words("com12 get power channel --json --fresh --direct"), o), "");
    EXPECT_TRUE(o.port.label == "COM12" && o.json && o.fresh && o.direct);
    EXPECT_EQ(o.quantities, (std::vector<Quantity>{Quantity::Power, Quantity::Channel}));

    ASSERT_EQ(ParseCtlOptions(
                  Words("ttyUSB0 sweep 1-3 --dwell=0.25 --power 12 --repeat 2 "
                        "--output off-at-end --csv out.csv --tries 5 --timeout 50 --reply-wait 20"),
                  o),
              "");
    EXPECT_EQ(std::tuple(o.port.path, Join(o.channels), o.dwellS, o.power, o.repeat, o.csvPath),
              std::tuple("/dev/ttyUSB0", "1 2 3", 0.25, 1200, 2, "out.csv"));
    EXPECT_EQ(std::tuple(o.tries, o.timeoutMs, o.replyWaitMs), std::tuple(5, 50, 20));
    EXPECT_TRUE(o.sweepPower && o.offAtEnd);

    ASSERT_EQ(ParseCtlOptions(Words("panels --json"), o), "");
    EXPECT_EQ(o.command, CtlCommand::Panels);
    for (const char* line : {"sweep --help", "COM5 sweep -h", "/dev/x sweep 1-200 --help"}) {
        ASSERT_EQ(ParseCtlOptions(Words(line), o), "") << line;
        EXPECT_TRUE(o.help && o.command == CtlCommand::Sweep) << line;
    }
    EXPECT_NE(CtlHelpText(o.command).find("130"), std::string::npos) << "exit codes in help";
}

TEST(CtlOptions, ClampIsThePanelsClamping) {
    const std::tuple<const char*, int, int> rows[] = {
        // text, value without --clamp (-1: refused), value with it; how each text reads is
        // the number grammar's table (tests/protocol)
        {"power 13.001", 1300, 1300}, {"power 13.01", -1, 1300},
        {"power 6.99", -1, 700},      {"channel 89", 89, 89},
        {"channel 0", -1, 1},         {"channel 99999999999999999999", -1, 89},
    };
    for (const auto& [text, plain, clamped] : rows) {
        for (const bool clamp : {false, true}) {
            CtlOptions o;
            const std::string error = ParseCtlOptions(
                Words(std::string("COM3 set ") + text + (clamp ? " --clamp" : "")), o);
            const int expected = clamp ? clamped : plain;
            if (expected < 0) {
                EXPECT_NE(error.find("outside"), std::string::npos) << text << ": " << error;
            } else {
                ASSERT_EQ(error, "") << text;
                EXPECT_EQ(o.settings.at(0).value, expected) << text << " clamp " << clamp;
            }
        }
    }
}

TEST(CtlOptions, RefusesBadCommandLines) {
    const std::pair<const char*, const char*> rows[] = {
        {"", "give a command"},
        {"COM5", "what should"},
        {"get", "give the port first"},
        {"COM5 fly", "unknown command"},
        {"COM0 get", "COM1 to COM254"},
        {"COM255 get", "COM1 to COM254"},
        {"COM5x get", "COM1 to COM254"},
        {"COM5 get colour", "not \"colour\""},
        {"COM5 set", "wants what to set"},
        {"COM5 set power", "wants a value"},
        {"COM5 set power 8.2dBm", "not a number"},
        {"COM5 set channel 4.5", "not a whole number"},
        {"COM5 set channel 45 output maybe", "on or off"},
        {"COM5 set volume 3", "not \"volume\""},
        {"COM5 sweep 1-3", "--dwell"},
        {"COM5 sweep --dwell 1", "one channel list"},
        {"COM5 sweep 1-3 4 --dwell 1", "one channel list"},
        {"COM5 sweep 1-90 --dwell 1", "outside 1-89"},
        {"COM5 sweep 1-3 --dwell 1 --power 14", "--power wants a power in 7.00-13.00"},
        {"COM5 sweep 1-3 --dwell 1 --repeat 0", "--repeat wants"},
        {"COM5 sweep 1-89,1-89 --dwell 1 --repeat 1000000", "at most 100000000 steps"},
        {"COM5 sweep 1-3 --dwell 1 --output off", "off-at-end"},
        {"COM5 get --dwell 1", "an option of sweep"},
        {"COM5 get --clamp", "an option of set"},
        {"COM5 set channel 4 --fresh", "an option of get"},
        {"COM5 panels", "unknown command"},
        {"panels now", "takes no argument"},
        {"COM5 monitor --interval 0", "--interval wants"},
        {"COM5 monitor now", "takes no argument"},
        {"ports --json --all extra", "takes no argument"},
    };
    for (const auto& [line, reason] : rows) {
        CtlOptions o;
        const std::string error = ParseCtlOptions(Words(line), o);
        EXPECT_NE(error.find(reason), std::string::npos) << "\"" << line << "\": " << error;
    }
}

// Each row: a program (varnel-ctl, its serve command, the simulator), a command line, and a part
// of the refusal, or "=" and the value read (ctl and serve: the timeout; the simulator: power).
TEST(OptionScanner, EveryProgramReadsItsTableAlike) {
    const std::tuple<char, const char*, const char*> rows[] = {
        {'s', "serve COM5 --read-only=no", "--read-only takes no value"},
        {'s', "serve COM5 --announce=no", "--announce takes no value"},
        {'s', "COM5 serve --direct=no", "--direct takes no value"},
        {'c', "COM5 get --json=yes", "--json takes no value"},
        {'m', "--silent=no", "--silent takes no value"},
        {'s', "serve COM5 --timeout 600000", "=600000"},
        {'c', "COM5 get --timeout=600000", "=600000"},
        {'s', "serve COM5 --timeout=5",
         "--timeout wants milliseconds from 10 to 600000, not \"5\""},
        {'s', "serve -- COM5", "=3000"},
        {'c', "-- COM5 get", "=3000"},
        {'m', "-- --log", "options only, not \"--log\""},
        {'m', "--power 8.205", "=820"},
        {'m', "--power=1234", "=1234"},
        {'m', "--power 7", "=700"},
        {'m', "--power 1000.5", "--power wants 7.00-13.00 dBm or 700-1300"},
        {'m', "--com", "--com wants a value"},
        {'c', "COM5 sweep 1-3 --dwell", "--dwell wants a value"},
        {'s', "serve COM5 --colour", "unknown option --colour of serve"},
        {'c', "COM5 get --colour=1", "unknown option --colour; see varnel-ctl --help"},
    };
    for (const auto& [program, line, expected] : rows) {
        CtlOptions c;
        ServeOptions s;
        ModuleOptions m;
        const std::string error = program == 'c'   ? ParseCtlOptions(Words(line), c)
                                  : program == 's' ? ParseServeOptions(Words(line), s)
                                                   : ParseModuleOptions(Words(line), m);
        const int read = program == 'c'   ? c.timeoutMs
                         : program == 's' ? s.timing.budgetMs
                                          : m.module.power;
        const std::string seen = error.empty() ? "=" + std::to_string(read) : error;
        EXPECT_NE(seen.find(expected), std::string::npos) << line << ": " << seen;
    }
}

// --help comes from the tables; the README and the man pages must say the same: each names
// every option of its program's table, and no option of these programs that no table has.
TEST(OptionScanner, ReadmeAndManPagesNameExactlyTheTablesOptions) {
    CtlOptions ctl;
    ServeOptions serve;
    ModuleOptions module;
    std::set<std::string> ctlNames, moduleNames;
    for (auto [table, names] : {std::pair{CtlOptionTable(ctl), &ctlNames},
                                {ServeOptionTable(serve), &ctlNames},
                                {ModuleOptionTable(module), &moduleNames}}) {
        for (const cmdline::Option& row : table) {
            names->insert(row.name);
        }
        names->erase("");
    }
    // Options of other programs that these documents show.
    std::set<std::string> known = {"--install", "--now",  "--path",
                                   "--smoke",   "--only", "--offline"};
    known.insert(ctlNames.begin(), ctlNames.end());
    known.insert(moduleNames.begin(), moduleNames.end());
    const auto read = [](const std::string& path) {
        std::ifstream in(std::string(VARNEL_SOURCE_DIR) + "/" + path);
        std::string text(std::istreambuf_iterator<char>(in), {});
        EXPECT_FALSE(text.empty()) << path;
        return std::regex_replace(text, std::regex(R"(\\-)"), "-");  // a man page's hyphens
    };
    const std::string readme = read("README.md");
    const auto section = [&readme](const std::string& heading) {
        const std::size_t start = readme.find("\n## " + heading + "\n");
        EXPECT_NE(start, std::string::npos) << heading;
        return readme.substr(start, readme.find("\n## ", start + 1) - start);
    };
    const std::pair<std::string, const std::set<std::string>&> documents[] = {
        {read("resources/man/varnel-ctl.1"), ctlNames},
        {read("resources/man/varnel-module.1"), moduleNames},
        {section("Scripting: varnel-ctl") + section("On the lab network"), ctlNames},
        {section("Without hardware"), moduleNames},
    };
    const std::regex option(R"((^|[^\w-])(--[a-z][a-z0-9-]*[a-z0-9]))");
    for (const auto& [text, table] : documents) {
        std::set<std::string> named;
        for (auto it = std::sregex_iterator(text.begin(), text.end(), option);
             it != std::sregex_iterator(); ++it) {
            const std::string name = (*it)[2];
            named.insert(name);
            EXPECT_TRUE(known.count(name)) << name << " is in no table: " << text.substr(0, 40);
        }
        for (const std::string& name : table) {
            EXPECT_TRUE(named.count(name))
                << name << " is not documented in " << text.substr(0, 40);
        }
    }
}

}  // namespace
