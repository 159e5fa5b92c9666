#include "ScpiCommands.h"

#include <algorithm>
#include <array>
#include <vector>

#include "AsciiCase.h"

namespace scpi {
namespace {

constexpr CommandRow kCommands[] = {
    {"*IDN", Op::Identify, false, true, Param::None, false},
    {"*RST", Op::Reset, true, false, Param::None, false},
    {"*CLS", Op::Clear, true, false, Param::None, false},
    {"*ESE", Op::EventEnable, true, true, Param::Byte, false},
    {"*ESR", Op::EventStatus, false, true, Param::None, false},
    {"*OPC", Op::OperationDone, true, true, Param::None, false},
    {"*SRE", Op::ServiceEnable, true, true, Param::Byte, false},
    {"*STB", Op::StatusByte, false, true, Param::None, false},
    {"*TST", Op::SelfTest, false, true, Param::None, false},
    {"*WAI", Op::Wait, true, false, Param::None, false},
    {"SYSTem:ERRor[:NEXT]", Op::ErrorNext, false, true, Param::None, false},
    {"SYSTem:ERRor:COUNt", Op::ErrorCount, false, true, Param::None, false},
    {"SYSTem:VERSion", Op::Version, false, true, Param::None, false},
    {"STATus:OPERation[:EVENt]", Op::Operation, false, true, Param::None, false},
    {"STATus:QUEStionable[:EVENt]", Op::Questionable, false, true, Param::None, false},
    {"STATus:PRESet", Op::StatusPreset, true, false, Param::None, false},
    {"[SOURce]:CHANnel", Op::Channel, true, true, Param::Channel, true},
    {"[SOURce]:CHANnel:ITU", Op::ChannelLabel, false, true, Param::None, false},
    {"[SOURce]:FREQuency", Op::Frequency, true, true, Param::Frequency, true},
    {"[SOURce]:WAVelength", Op::Wavelength, true, true, Param::Wavelength, true},
    {"[SOURce]:POWer[:LEVel][:IMMediate][:AMPLitude]", Op::Power, true, true, Param::Power, true},
    {"OUTPut[:STATe]", Op::Output, true, true, Param::Boolean, false},
};

// One node of a pattern: its long form as written ("SOURce") and the length of its short form
// (the leading capitals, "SOUR").
struct Node {
    std::string_view text;
    std::size_t shortLength;
    bool optional;
};

using Pattern = std::vector<Node>;

Pattern ParsePattern(std::string_view header) {
    Pattern nodes;
    std::size_t at = 0;
    while (at < header.size()) {
        bool optional = false;
        if (header[at] == '[') {
            optional = true;
            ++at;
        }
        if (at < header.size() && header[at] == ':') {
            ++at;
        }
        std::size_t end = at;
        while (end < header.size() && header[end] != ':' && header[end] != '[' &&
               header[end] != ']') {
            ++end;
        }
        const std::string_view text = header.substr(at, end - at);
        std::size_t shortLength = 0;
        while (shortLength < text.size() && (text[shortLength] < 'a' || text[shortLength] > 'z')) {
            ++shortLength;
        }
        nodes.push_back({text, shortLength, optional});
        at = end;
        if (at < header.size() && header[at] == ']') {
            ++at;
        }
    }
    return nodes;
}

const std::vector<Pattern>& Patterns() {
    static const std::vector<Pattern> patterns = [] {
        std::vector<Pattern> all;
        for (const CommandRow& row : kCommands) {
            all.push_back(ParsePattern(row.header));
        }
        return all;
    }();
    return patterns;
}

// How a mnemonic meets a node: not at all, exactly, or with a numeric suffix. A suffix of 1
// names this single instrument's only source and output; any other is out of range.
enum class Fit { No, Yes, BadSuffix };

Fit NodeFits(const Node& node, std::string_view given) {
    std::size_t letters = given.size();
    while (letters > 0 && given[letters - 1] >= '0' && given[letters - 1] <= '9') {
        --letters;
    }
    const std::string_view stem = given.substr(0, letters);
    if (!SameIgnoringCase(stem, node.text) &&
        !SameIgnoringCase(stem, node.text.substr(0, node.shortLength))) {
        return Fit::No;
    }
    const std::string_view suffix = given.substr(letters);
    if (suffix.empty() || suffix == "1") {
        return Fit::Yes;
    }
    return Fit::BadSuffix;
}

// The mnemonics of a relative header, with the path's nodes (in their long form) in front.
struct Words {
    std::array<std::string_view, kMaxHeaderNodes * 2> items;
    std::size_t count = 0;
};

// Matches words[w..] against pattern[p..], skipping optional nodes. `leaf` gets the pattern
// index of the last word; `badSuffix` whether any word carried a wrong suffix.
bool Match(const Pattern& pattern, std::size_t p, const Words& words, std::size_t w,
           std::size_t& leaf, bool& badSuffix) {
    if (w == words.count) {
        for (; p < pattern.size(); ++p) {
            if (!pattern[p].optional) {
                return false;
            }
        }
        return true;
    }
    if (p == pattern.size()) {
        return false;
    }
    const Fit fit = NodeFits(pattern[p], words.items[w]);
    if (fit != Fit::No && Match(pattern, p + 1, words, w + 1, leaf, badSuffix)) {
        if (w + 1 == words.count) {
            leaf = p;
        }
        badSuffix = badSuffix || fit == Fit::BadSuffix;
        return true;
    }
    return pattern[p].optional && Match(pattern, p + 1, words, w, leaf, badSuffix);
}

// The first row whose pattern `words` (from the root) name.
HeaderLookup Lookup(const Words& words, bool query) {
    const std::vector<Pattern>& patterns = Patterns();
    for (std::size_t row = 0; row < patterns.size(); ++row) {
        std::size_t leaf = 0;
        bool badSuffix = false;
        if (!Match(patterns[row], 0, words, 0, leaf, badSuffix)) {
            continue;
        }
        const CommandRow& command = kCommands[row];
        if (badSuffix) {
            return {nullptr, Error::HeaderSuffix, {}};
        }
        if (query ? !command.query : !command.settable) {
            return {nullptr, Error::UndefinedHeader, {}};
        }
        return {&command, Error::None, {row, leaf}};
    }
    return {nullptr, Error::UndefinedHeader, {}};
}

}  // namespace

std::span<const CommandRow> CommandTable() {
    return kCommands;
}

HeaderLookup FindCommand(std::span<const std::string_view> mnemonics, HeaderPath from, bool query) {
    if (mnemonics.empty() || mnemonics.size() > kMaxHeaderNodes) {
        return {nullptr, Error::UndefinedHeader, {}};
    }
    const std::vector<Pattern>& patterns = Patterns();
    Words words;
    for (std::size_t i = 0; i < from.depth; ++i) {
        words.items[words.count++] = patterns[from.row][i].text;
    }
    const std::size_t pathWords = words.count;
    for (const std::string_view mnemonic : mnemonics) {
        words.items[words.count++] = mnemonic;
    }
    const HeaderLookup below = Lookup(words, query);
    if (below.error != Error::UndefinedHeader || pathWords == 0) {
        return below;
    }
    // Not found below the path: scripts write "CHAN 45;POW 9;OUTP ON" meaning OUTPut at the
    // root, so the header is tried from the root before it is called undefined.
    std::copy(words.items.begin() + pathWords, words.items.begin() + words.count,
              words.items.begin());
    words.count -= pathWords;
    return Lookup(words, query);
}

}  // namespace scpi
