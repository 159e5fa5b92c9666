// One scanner for every program's command line. A program states its options as a table: each
// row a name, what its value is called, its help and a reader that takes the value (or a flag
// it sets). The scanner sorts options from the other words, takes "--opt value" and
// "--opt=value", refuses a value on a flag and ends the options at "--"; the --help lines come
// from the same rows, so the help cannot name an option the program does not read.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace cmdline {

/// Takes an option's value into its target. Returns an empty string when it did, else what the
/// value should have been ("milliseconds from 10 to 600000"), for "--name wants ...".
using Reader = std::function<std::string(const std::string& value)>;

/// One row of a program's table.
struct Option {
    std::string name{};     ///< "--timeout"; empty for a line of help text alone
    std::string value{};    ///< the value's name in the help ("MS"); empty for a flag
    std::string help{};     ///< its --help text; '\n' starts another line
    Reader read{};          ///< takes the value of an option that has one
    bool* flag{};           ///< set by a flag
    int group = 0;          ///< the program's own grouping (varnel-ctl: the command it belongs to)
    std::string alias{};    ///< a short name as well: "-h"
    std::string heading{};  ///< starts a section of the help before this row
};

/// One option as the command line gave it.
struct Given {
    const Option* option;
    std::string value;
};

/// A command line sorted: the options in the order given, and the other words.
struct Scanned {
    std::vector<Given> options;
    std::vector<std::string> words;
};

/// Sorts `args` (the arguments after the program name) by `table`. An argument is an option
/// when it starts with "--" or is a row's short name; every argument after "--" is a word.
/// Returns an empty string on success, else one line: "--x wants a value", "--x takes no value",
/// or "unknown option --x" followed by `seeHelp`.
std::string Scan(const std::vector<std::string>& args, std::span<const Option> table,
                 std::string_view seeHelp, Scanned& scanned);

/// Takes one given option: sets its flag or runs its reader. Returns an empty string on
/// success, else "--x wants WHAT, not "VALUE"".
std::string Take(const Given& given);

/// Scan, then Take every option in order; the words are left in `words`.
std::string ScanAndTake(const std::vector<std::string>& args, std::span<const Option> table,
                        std::string_view seeHelp, std::vector<std::string>& words);

/// The help lines of the rows that `shown` picks (all when it is empty): "  --name VALUE" with
/// the help from `column` on, broken into lines of at most 90 characters; a section heading
/// before a row that starts one; a row without a name is a note under the rows above it.
std::string HelpLines(std::span<const Option> table, std::size_t column,
                      const std::function<bool(const Option&)>& shown = {});

/// `text` broken at spaces into lines of at most `width` characters, each after `indent`.
std::string Wrap(std::string_view text, std::size_t width, std::string_view indent);

/// A reader of a number with `decimals` places in the scripts' number grammar (NumberText.h:
/// the whole word one number, further places cut off as the panel cuts them), kept as the
/// number times 10^decimals and limited to `minimum`..`maximum` (in that unit). What it
/// wants reads "`noun` from MIN to MAX[, such as `example`]".
Reader Scaled(std::int64_t& into, int decimals, std::int64_t minimum, std::int64_t maximum,
              const std::string& noun, const std::string& example = {});

/// Scaled with no decimals, into an int.
Reader Whole(int& into, int minimum, int maximum, const std::string& noun,
             const std::string& example = {});

/// Scaled, into a double of the number itself: seconds, a fraction.
Reader Decimal(double& into, int decimals, double minimum, double maximum, const std::string& noun,
               const std::string& example = {});

/// Any text but the empty one; `noun` says what it is: "a file name".
Reader Text(std::string& into, const std::string& noun);

/// `value` with `decimals` places as a person writes it: 86400000 with 3 is "86400", 10 with 3
/// "0.01".
std::string ScaledText(std::int64_t value, int decimals);

}  // namespace cmdline
