#include "ScpiLexer.h"

namespace scpi {
namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}
bool IsAlpha(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}
bool IsWordChar(char c) {
    return IsAlpha(c) || IsDigit(c) || c == '_';
}

// Where the next `separator` outside quoted strings is, from `at`; npos when none.
std::size_t FindOutsideQuotes(std::string_view text, char separator, std::size_t at) {
    char quote = 0;
    for (; at < text.size(); ++at) {
        const char c = text[at];
        if (quote != 0) {
            quote = c == quote ? 0 : quote;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == separator) {
            return at;
        }
    }
    return std::string_view::npos;
}

// The header of `text` into `unit`; `at` ends after it (and after its '?').
Error LexHeader(std::string_view text, ProgramUnit& unit, std::size_t& at) {
    unit.common = text.front() == '*';
    unit.absolute = text.front() == ':';
    if (unit.common) {
        for (at = 1; at < text.size() && IsAlpha(text[at]);) {
            ++at;
        }
        if (at == 1) {
            return Error::Syntax;
        }
        unit.mnemonics[unit.nodes++] = text.substr(0, at);
    } else {
        at = unit.absolute ? 1 : 0;
        for (;;) {
            const std::size_t start = at;
            if (at >= text.size() || !IsAlpha(text[at])) {
                return Error::Syntax;
            }
            while (at < text.size() && IsWordChar(text[at])) {
                ++at;
            }
            if (unit.nodes == unit.mnemonics.size()) {
                return Error::UndefinedHeader;
            }
            unit.mnemonics[unit.nodes++] = text.substr(start, at - start);
            if (at < text.size() && text[at] == ':') {
                ++at;
                continue;
            }
            break;
        }
    }
    unit.query = at < text.size() && text[at] == '?';
    at += unit.query ? 1 : 0;
    return Error::None;
}

}  // namespace

std::string_view TrimBlanks(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && IsBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

UnitSlice NextUnit(std::string_view line, std::size_t& at) {
    // A line that is empty from the start still has one (empty) unit.
    if (at > line.size() || (at == line.size() && at != 0)) {
        return {true, {}, Error::None};
    }
    const std::size_t semicolon = FindOutsideQuotes(line, ';', at);
    const bool last = semicolon == std::string_view::npos;
    const std::string_view text =
        TrimBlanks(line.substr(at, last ? std::string_view::npos : semicolon - at));
    at = last ? line.size() + 1 : semicolon + 1;
    // A blank line and a trailing ';' are nothing; an empty unit between two is an error.
    return {false, text, text.empty() && !last ? Error::Syntax : Error::None};
}

Error LexUnit(std::string_view text, ProgramUnit& unit) {
    unit = {};
    std::size_t at = 0;
    if (const Error error = LexHeader(text, unit, at); error != Error::None) {
        return error;
    }
    if (at == text.size()) {
        return Error::None;
    }
    if (!IsBlank(text[at])) {
        return Error::Syntax;
    }
    const std::string_view rest = TrimBlanks(text.substr(at));
    for (std::size_t from = 0;;) {
        const std::size_t comma = FindOutsideQuotes(rest, ',', from);
        const std::string_view param = TrimBlanks(rest.substr(from, comma - from));
        if (param.empty()) {
            return Error::Syntax;
        }
        if (unit.count == unit.params.size()) {
            return Error::ParameterNotAllowed;
        }
        unit.params[unit.count++] = param;
        if (comma == std::string_view::npos) {
            return Error::None;
        }
        from = comma + 1;
    }
}

Token Classify(std::string_view text) {
    Token token;
    if (text.front() == '"' || text.front() == '\'') {
        token.kind = Token::String;
        return token;
    }
    if (IsAlpha(text.front())) {
        for (const char c : text) {
            if (!IsWordChar(c)) {
                return token;
            }
        }
        token.kind = Token::Character;
        return token;
    }
    std::size_t at = 0;
    if (text[at] == '+' || text[at] == '-') {
        ++at;
    }
    std::size_t digits = 0;
    for (; at < text.size() && IsDigit(text[at]); ++at) {
        ++digits;
    }
    if (at < text.size() && text[at] == '.') {
        for (++at; at < text.size() && IsDigit(text[at]); ++at) {
            ++digits;
        }
    }
    if (digits == 0) {
        return token;
    }
    if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
        std::size_t exponent = at + 1;
        if (exponent < text.size() && (text[exponent] == '+' || text[exponent] == '-')) {
            ++exponent;
        }
        if (exponent < text.size() && IsDigit(text[exponent])) {
            while (exponent < text.size() && IsDigit(text[exponent])) {
                ++exponent;
            }
            at = exponent;
        }
    }
    token.mantissa = text.substr(0, at);
    token.unit = TrimBlanks(text.substr(at));
    for (const char c : token.unit) {
        if (!IsAlpha(c)) {
            return token;
        }
    }
    token.kind = Token::Number;
    return token;
}

}  // namespace scpi
