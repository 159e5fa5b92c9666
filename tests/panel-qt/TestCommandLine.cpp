// The panel's command line: --help and --version print and end, anything else is an error.
#include <cstdio>
#include <cstdlib>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "CommandLine.h"
#include "VarnelVersion.h"

namespace {

struct ArgsRow {
    const char* name;
    std::vector<const char*> args;  // after the program name
    CommandLineAction action;
    int exitCode;
    std::string out;  // start of what goes to standard output
    std::string err;  // start of what goes to standard error
};

void PrintTo(const ArgsRow& row, std::ostream* os) {
    *os << row.name;
}

class CommandLine : public testing::TestWithParam<ArgsRow> {};

// Captures what HandleCommandLine prints to each stream.
struct Captured {
    char* buffer = nullptr;
    std::size_t size = 0;
    std::FILE* stream = open_memstream(&buffer, &size);
    std::string Text() {
        std::fflush(stream);
        return {buffer, size};
    }
    ~Captured() {
        std::fclose(stream);
        std::free(buffer);
    }
};

TEST_P(CommandLine, PrintsAndEndsOrRunsThePanel) {
    const ArgsRow& row = GetParam();
    std::vector<const char*> argv{"varnel"};
    argv.insert(argv.end(), row.args.begin(), row.args.end());
    Captured out, err;
    const CommandLineAction action =
        HandleCommandLine(static_cast<int>(argv.size()), argv.data(), out.stream, err.stream);
    EXPECT_EQ(action, row.action);
    EXPECT_EQ(ExitCode(action), row.exitCode);
    EXPECT_EQ(out.Text().substr(0, row.out.size()), row.out);
    EXPECT_EQ(err.Text().substr(0, row.err.size()), row.err);
    EXPECT_EQ(out.Text().empty(), row.out.empty());
    EXPECT_EQ(err.Text().empty(), row.err.empty());
}

const std::string kUsage = "Usage: varnel [--help | --version]\n";

using Action = CommandLineAction;
const std::string kUnexpected = "varnel: unexpected argument ";
// clang-format off
INSTANTIATE_TEST_SUITE_P(App, CommandLine, testing::Values(
    ArgsRow{"NoArguments", {}, Action::RunPanel, 0, "", ""},
    ArgsRow{"Help", {"--help"}, Action::Help, 0, kUsage + "\n", ""},
    ArgsRow{"Version", {"--version"}, Action::Version, 0, std::string("varnel ") + varnel::kVersion + "\n", ""},
    ArgsRow{"Unknown", {"-x"}, Action::Error, 2, "", kUnexpected + "'-x'\n" + kUsage},
    ArgsRow{"QtOption", {"-platform", "xcb"}, Action::Error, 2, "", kUnexpected + "'-platform'\n"},
    ArgsRow{"HelpWithMore", {"--help", "COM3"}, Action::Error, 2, "", kUnexpected + "'COM3'\n"},
    ArgsRow{"EmptyArgument", {""}, Action::Error, 2, "", kUnexpected + "''\n"}),
    [](const testing::TestParamInfo<ArgsRow>& info) { return info.param.name; });
// clang-format on

}  // namespace
