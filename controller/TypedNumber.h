// Reading of the numbers the operator types into the entry fields.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

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

/// ReadScaledDecimal limited to `minimum`..`maximum`; nothing when no number can be read.
std::optional<int> ReadClampedDecimal(std::string_view text, int decimals, int minimum,
                                      int maximum);
