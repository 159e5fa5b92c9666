// The way back along the channel grid: from a frequency or a wavelength, as scripts give them,
// to the channel of the module's range it names, and a channel's exact texts in base units.
#pragma once

#include <optional>
#include <string>

/// A frequency this close to a grid channel's names that channel.
inline constexpr double kFrequencyToleranceGHz = 1.0;
/// A wavelength this close to a grid channel's names that channel.
inline constexpr double kWavelengthToleranceNm = 0.01;

/// The channel of the module's range within kFrequencyToleranceGHz of `hertz`; nothing when
/// there is none (off the grid, out of range, not finite).
std::optional<int> ChannelOfFrequency(double hertz);

/// The channel of the module's range whose vacuum wavelength is within kWavelengthToleranceNm
/// of `metres`; nothing when there is none.
std::optional<int> ChannelOfWavelength(double metres);

/// `channel`'s frequency in Hz, every digit: "193900000000000" for channel 45.
std::string FrequencyHertzText(int channel);

/// `channel`'s vacuum wavelength in metres, nine significant digits and a capital E:
/// "1.54611892E-06" for channel 45.
std::string WavelengthMetresText(int channel);
