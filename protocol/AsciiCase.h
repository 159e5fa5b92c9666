// Case folding of ASCII letters, the one rule for every word typed or sent (a number's "e" or
// "inf", SCPI's headers, units and special words): only A-Z and a-z have a case here, whatever
// the locale says, so any other byte compares as itself.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

/// `c` in upper case when it is an ASCII letter; any other byte as it is.
constexpr char AsciiUpper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

/// `c` in lower case when it is an ASCII letter; any other byte as it is.
constexpr char AsciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

/// `text` with its ASCII letters in lower case.
inline std::string AsciiLowered(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) {
        c = AsciiLower(c);
    }
    return lower;
}

/// Whether `a` and `b` are the same text but for the case of ASCII letters.
constexpr bool SameIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (AsciiUpper(a[i]) != AsciiUpper(b[i])) {
            return false;
        }
    }
    return true;
}
