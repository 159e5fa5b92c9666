// The one grammar of the module's numbers as text, in two modes: the panel's typed entry
// (read as far as it goes, as atof reads) and scripts (the whole word is one number); and what
// may be typed into an entry field at all.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "ModuleQuantity.h"

/// How strictly a number's text is read.
enum class NumberGrammar {
    /// The panel's typed entry: as atof reads it (leading white space, optional sign, digits
    /// with an optional fraction and exponent, or "inf"/"infinity"/"nan"), stopping at the
    /// first character that does not fit: "8.2dBm" is 8.2, "12.7" a channel 12.
    Typed,
    /// Scripts: the whole text is one number (optional sign, digits with at most one point,
    /// optional exponent; no space, no words, no "inf"), and whole where no decimals are
    /// kept: "8,2", "8.2dBm" and a channel "4.5" are refused; "8.205" is still 820.
    Strict,
};

/// Largest magnitude ReadScaledDecimal returns; anything bigger saturates to it. Far beyond
/// every range the panel clamps to, and far inside std::int64_t.
inline constexpr std::int64_t kTypedSaturation = 1'000'000'000'000'000;

/// Reads `text` the way atof does (leading white space, optional sign, digits with an
/// optional fraction and exponent, or "inf"/"infinity"/"nan"; reading stops at the first
/// character that does not fit) and returns the number times 10^`decimals`, truncated toward
/// zero. The arithmetic is on the decimal digits themselves, so "8.2" with two decimals is
/// exactly 820. Text with no number in front (no digit before the first character that does
/// not fit, "nan", a lone sign, digits of other scripts) gives nothing; magnitudes beyond
/// kTypedSaturation, infinities included, give +/-kTypedSaturation. `decimals` is 0 to 6.
std::optional<std::int64_t> ReadScaledDecimal(std::string_view text, int decimals);

/// Reads `text` in `grammar`: nothing when Strict refuses it, else ReadScaledDecimal.
std::optional<std::int64_t> ReadScaledDecimal(std::string_view text, int decimals,
                                              NumberGrammar grammar);

/// A value of `quantity` as text (power in dBm, read into hundredths), not yet limited to its
/// range; nothing when `grammar` finds no number.
std::optional<std::int64_t> ReadQuantityText(Quantity quantity, std::string_view text,
                                             NumberGrammar grammar);

/// The entry fields' typing rule: whether the character `c` typed into a field that holds
/// `text` gets through. Backspace and digits always; "-" only into an empty field; "." only
/// into a non-empty field that has none yet; nothing else. It looks at the whole text, never at
/// the caret or the selection, so it depends only on what both front ends can read.
bool AcceptsTypedChar(char32_t c, std::string_view text);

/// ReadScaledDecimal limited to `minimum`..`maximum`; nothing when no number can be read.
std::optional<int> ReadClampedDecimal(std::string_view text, int decimals, int minimum,
                                      int maximum);
