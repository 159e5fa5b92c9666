// SCPI's grammar up to the tokens: a line into program units at ';' (outside quoted strings),
// a unit into its header's mnemonics, its '?' and its parameters, and a parameter into a token
// (character data, a number with its unit, a string). Nothing here knows a command or a
// module: what the words mean is the command tree's and the parameter table's business.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include "ScpiCommands.h"
#include "ScpiErrors.h"

namespace scpi {

/// Most parameters a unit may carry; one more is -108.
inline constexpr std::size_t kMaxParams = 4;

/// `text` without the spaces and tabs at either end.
std::string_view TrimBlanks(std::string_view text);

/// One program unit of a line, or the line's end.
struct UnitSlice {
    bool end = false;           ///< nothing is left of the line
    std::string_view text;      ///< the unit, trimmed; empty for a blank line or after a last ';'
    Error error = Error::None;  ///< Syntax for an empty unit between two ';'
};

/// Cuts the next program unit of `line` from `at` and moves `at` past it (past the line's end
/// after the last unit, so the next call says `end`).
UnitSlice NextUnit(std::string_view line, std::size_t& at);

/// A program unit split into its parts; the views point into the unit's text.
struct ProgramUnit {
    bool common = false;    ///< "*IDN?": an IEEE 488.2 common command, outside every path
    bool absolute = false;  ///< ":OUTP": starts at the root
    bool query = false;     ///< the header ends in '?'
    std::array<std::string_view, kMaxHeaderNodes> mnemonics;  ///< common: "*IDN" as one
    std::size_t nodes = 0;
    std::array<std::string_view, kMaxParams> params;  ///< each trimmed, quotes kept
    std::size_t count = 0;
};

/// Splits a trimmed, non-empty unit; Error::None when `unit` holds it, else the error the
/// client gets (-102 for broken grammar, -113 for too many nodes, -108 for too many
/// parameters).
Error LexUnit(std::string_view text, ProgramUnit& unit);

/// A parameter as SCPI's grammar sees it.
struct Token {
    enum Kind { Character, Number, String, Bad } kind = Bad;
    std::string_view mantissa;  ///< Number: sign, digits, fraction, exponent
    std::string_view unit;      ///< Number: the letters after it, if any ("GHZ", "")
};

/// The token of one trimmed, non-empty parameter.
Token Classify(std::string_view param);

}  // namespace scpi
