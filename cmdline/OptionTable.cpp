#include "OptionTable.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "NumberText.h"

namespace cmdline {
namespace {

constexpr std::size_t kHelpWidth = 90;  // the help's lines, as a terminal shows them unbroken

const Option* Find(std::span<const Option> table, std::string_view name) {
    const auto row = std::find_if(table.begin(), table.end(), [&](const Option& option) {
        return !option.name.empty() && (option.name == name || option.alias == name);
    });
    return row == table.end() ? nullptr : &*row;
}

std::int64_t Power10(int decimals) {
    std::int64_t scale = 1;
    for (int i = 0; i < decimals; ++i) {
        scale *= 10;
    }
    return scale;
}

std::string Wants(std::string noun, std::int64_t minimum, std::int64_t maximum, int decimals,
                  const std::string& example) {
    noun += " from " + ScaledText(minimum, decimals) + " to " + ScaledText(maximum, decimals);
    return example.empty() ? noun : noun + ", such as " + example;
}

}  // namespace

std::string Scan(const std::vector<std::string>& args, std::span<const Option> table,
                 std::string_view seeHelp, Scanned& scanned) {
    scanned = {};
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--") {
            scanned.words.insert(scanned.words.end(), args.begin() + static_cast<long>(i) + 1,
                                 args.end());
            break;
        }
        const std::size_t equals = arg.find('=');
        const std::string name = arg.substr(0, equals);
        const Option* option = Find(table, name);
        if (option == nullptr && arg.rfind("--", 0) != 0) {
            scanned.words.push_back(arg);
            continue;
        }
        if (option == nullptr) {
            return "unknown option " + name + std::string(seeHelp);
        }
        Given given{option, {}};
        if (option->value.empty()) {
            if (equals != std::string::npos) {
                return name + " takes no value";
            }
        } else if (equals != std::string::npos) {
            given.value = arg.substr(equals + 1);
        } else if (i + 1 < args.size()) {
            given.value = args[++i];
        } else {
            return name + " wants a value";
        }
        scanned.options.push_back(std::move(given));
    }
    return {};
}

std::string Take(const Given& given) {
    const Option& option = *given.option;
    if (option.value.empty()) {
        *option.flag = true;
        return {};
    }
    const std::string wants = option.read(given.value);
    return wants.empty() ? wants
                         : option.name + " wants " + wants + ", not \"" + given.value + "\"";
}

std::string ScanAndTake(const std::vector<std::string>& args, std::span<const Option> table,
                        std::string_view seeHelp, std::vector<std::string>& words) {
    Scanned scanned;
    std::string error = Scan(args, table, seeHelp, scanned);
    for (std::size_t i = 0; error.empty() && i < scanned.options.size(); ++i) {
        error = Take(scanned.options[i]);
    }
    words = std::move(scanned.words);
    return error;
}

std::string HelpLines(std::span<const Option> table, std::size_t column,
                      const std::function<bool(const Option&)>& shown) {
    std::string text;
    for (const Option& option : table) {
        if (shown && !shown(option)) {
            continue;
        }
        if (!option.heading.empty()) {
            text += (text.empty() ? "" : "\n") + option.heading + "\n";
        }
        // A line of help alone stands under the options above it, at their names' indent.
        const std::string indent(option.name.empty() ? 2 : column, ' ');
        std::string body;
        for (std::string_view help = option.help; !help.empty();) {
            const std::size_t end = help.find('\n');
            body += Wrap(help.substr(0, end), kHelpWidth, indent);
            help.remove_prefix(end == std::string_view::npos ? help.size() : end + 1);
        }
        if (option.name.empty()) {
            text += body;
            continue;
        }
        std::string lead = "  " + (option.alias.empty() ? "" : option.alias + ", ") + option.name +
                           (option.value.empty() ? "" : " " + option.value);
        if (body.empty()) {
            text += lead + "\n";
        } else if (lead.size() + 1 > column) {
            text += lead + "\n" + body;
        } else {
            text += lead + body.substr(lead.size());
        }
    }
    return text;
}

std::string Wrap(std::string_view text, std::size_t width, std::string_view indent) {
    std::string wrapped;
    std::string line(indent);
    while (!text.empty()) {
        const std::size_t space = text.find(' ');
        const std::string_view word = text.substr(0, space);
        text.remove_prefix(space == std::string_view::npos ? text.size() : space + 1);
        if (line.size() > indent.size() && line.size() + 1 + word.size() > width) {
            wrapped += line + "\n";
            line = indent;
        }
        line += (line.size() > indent.size() ? " " : "") + std::string(word);
    }
    return line.size() > indent.size() ? wrapped + line + "\n" : wrapped;
}

Reader Scaled(std::int64_t& into, int decimals, std::int64_t minimum, std::int64_t maximum,
              const std::string& noun, const std::string& example) {
    return [=, &into](const std::string& text) -> std::string {
        const std::optional<std::int64_t> value =
            ReadScaledDecimal(text, decimals, NumberGrammar::Strict);
        if (!value || *value < minimum || *value > maximum) {
            return Wants(noun, minimum, maximum, decimals, example);
        }
        into = *value;
        return {};
    };
}

Reader Whole(int& into, int minimum, int maximum, const std::string& noun,
             const std::string& example) {
    return [=, &into](const std::string& text) -> std::string {
        std::int64_t value = 0;
        std::string wants = Scaled(value, 0, minimum, maximum, noun, example)(text);
        into = wants.empty() ? static_cast<int>(value) : into;
        return wants;
    };
}

Reader Decimal(double& into, int decimals, double minimum, double maximum, const std::string& noun,
               const std::string& example) {
    const std::int64_t scale = Power10(decimals);
    const std::int64_t low = std::llround(minimum * static_cast<double>(scale));
    const std::int64_t high = std::llround(maximum * static_cast<double>(scale));
    return [=, &into](const std::string& text) -> std::string {
        std::int64_t value = 0;
        std::string wants = Scaled(value, decimals, low, high, noun, example)(text);
        into = wants.empty() ? static_cast<double>(value) / static_cast<double>(scale) : into;
        return wants;
    };
}

Reader Text(std::string& into, const std::string& noun) {
    return [noun, &into](const std::string& text) -> std::string {
        if (text.empty()) {
            return noun;
        }
        into = text;
        return {};
    };
}

std::string ScaledText(std::int64_t value, int decimals) {
    const std::int64_t scale = Power10(decimals);
    std::string text = (value < 0 ? "-" : "") + std::to_string(std::abs(value / scale));
    std::string fraction = std::to_string(std::abs(value % scale) + scale).substr(1);
    while (!fraction.empty() && fraction.back() == '0') {
        fraction.pop_back();
    }
    return fraction.empty() ? text : text + "." + fraction;
}

}  // namespace cmdline
