#include "NumberText.h"

#include "AsciiCase.h"

#include <algorithm>
#include <string>

namespace {

// Enough significant digits to fill kTypedSaturation and then some; later ones cannot change
// a truncated result that small.
constexpr std::size_t kKeptDigits = 24;
// Exponents are counted only this far: beyond it every value has saturated or vanished.
constexpr std::int64_t kExponentCap = 1'000'000;
constexpr int kSaturationDigits = 16;  // kTypedSaturation has 16 digits

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Whether `text` continues at `pos` with `word`, compared without case.
bool HasWordAt(std::string_view text, std::size_t pos, std::string_view word) {
    return SameIgnoringCase(text.substr(pos, word.size()), word);
}

// Strict: [+-]? (digits [. digits?] | . digits) ([eE] [+-]? digits)?, the whole text, and no
// point or exponent when `decimals` is 0.
bool IsStrictNumber(std::string_view text, int decimals) {
    std::size_t pos = text.empty() || (text[0] != '+' && text[0] != '-') ? 0 : 1;
    const auto digits = [&] {
        const std::size_t start = pos;
        while (pos < text.size() && IsDigit(text[pos])) {
            ++pos;
        }
        return pos > start;
    };
    bool mantissa = digits();
    if (pos < text.size() && text[pos] == '.') {
        ++pos;
        mantissa = digits() || mantissa;
    }
    if (!mantissa) {
        return false;
    }
    if (pos < text.size() && AsciiUpper(text[pos]) == 'E') {
        ++pos;
        pos += pos < text.size() && (text[pos] == '+' || text[pos] == '-') ? 1 : 0;
        if (!digits()) {
            return false;
        }
    }
    return pos == text.size() && (decimals > 0 || text.find_first_of(".eE") == text.npos);
}

}  // namespace

std::optional<std::int64_t> ReadScaledDecimal(std::string_view text, int decimals,
                                              NumberGrammar grammar) {
    if (grammar == NumberGrammar::Strict && !IsStrictNumber(text, decimals)) {
        return std::nullopt;
    }
    return ReadScaledDecimal(text, decimals);
}

std::optional<std::int64_t> ReadQuantityText(Quantity quantity, std::string_view text,
                                             NumberGrammar grammar) {
    return ReadScaledDecimal(text, InfoOf(quantity).decimals, grammar);
}

std::optional<std::int64_t> ReadScaledDecimal(std::string_view text, int decimals) {
    std::size_t pos = 0;
    while (pos < text.size() && IsSpace(text[pos])) {
        ++pos;
    }
    bool negative = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        negative = text[pos] == '-';
        ++pos;
    }
    if (HasWordAt(text, pos, "inf")) {
        return negative ? -kTypedSaturation : kTypedSaturation;
    }
    if (HasWordAt(text, pos, "nan")) {
        return std::nullopt;
    }

    // The number is 0.<significant> x 10^pointPlace.
    std::string significant;
    std::int64_t pointPlace = 0;
    bool sawDigit = false;
    for (; pos < text.size() && IsDigit(text[pos]); ++pos) {
        sawDigit = true;
        if (significant.empty() && text[pos] == '0') {
            continue;
        }
        if (significant.size() < kKeptDigits) {
            significant.push_back(text[pos]);
        }
        pointPlace = std::min(pointPlace + 1, kExponentCap);
    }
    if (pos < text.size() && text[pos] == '.') {
        for (++pos; pos < text.size() && IsDigit(text[pos]); ++pos) {
            sawDigit = true;
            if (significant.empty() && text[pos] == '0') {
                pointPlace = std::max(pointPlace - 1, -kExponentCap);
            } else if (significant.size() < kKeptDigits) {
                significant.push_back(text[pos]);
            }
        }
    }
    if (!sawDigit) {
        return std::nullopt;
    }
    if (significant.empty()) {
        return 0;
    }

    // An exponent counts only when at least one digit follows the 'e' and its sign.
    if (pos < text.size() && AsciiUpper(text[pos]) == 'E') {
        std::size_t at = pos + 1;
        bool negativeExponent = false;
        if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
            negativeExponent = text[at] == '-';
            ++at;
        }
        std::int64_t exponent = 0;
        for (; at < text.size() && IsDigit(text[at]); ++at) {
            exponent = std::min(exponent * 10 + (text[at] - '0'), kExponentCap);
        }
        pointPlace += negativeExponent ? -exponent : exponent;
    }

    const std::int64_t integerDigits = pointPlace + decimals;
    if (integerDigits <= 0) {
        return 0;
    }
    if (integerDigits > kSaturationDigits) {
        return negative ? -kTypedSaturation : kTypedSaturation;
    }
    std::int64_t magnitude = 0;
    for (std::int64_t i = 0; i < integerDigits; ++i) {
        const auto index = static_cast<std::size_t>(i);
        magnitude = magnitude * 10 + (index < significant.size() ? significant[index] - '0' : 0);
    }
    magnitude = std::min(magnitude, kTypedSaturation);
    return negative ? -magnitude : magnitude;
}

std::optional<int> ReadClampedDecimal(std::string_view text, int decimals, int minimum,
                                      int maximum) {
    const std::optional<std::int64_t> value = ReadScaledDecimal(text, decimals);
    if (!value) {
        return std::nullopt;
    }
    return static_cast<int>(std::clamp<std::int64_t>(*value, minimum, maximum));
}

bool AcceptsTypedChar(char32_t c, std::string_view text) {
    if (c == U'\b' || (c >= U'0' && c <= U'9')) {
        return true;
    }
    if (c == U'-') {
        return text.empty();
    }
    return c == U'.' && !text.empty() && text.find('.') == std::string_view::npos;
}
