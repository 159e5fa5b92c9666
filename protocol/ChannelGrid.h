// The panel's 50 GHz channel grid: frequency, wavelength and ITU label of a channel, and the
// way back from a frequency or wavelength to the channel it names.
#pragma once

#include <array>
#include <optional>
#include <string>

/// Frequency of channel 0 in GHz.
inline constexpr int kGridBaseGHz = 191650;
/// Distance between neighbouring channels in GHz.
inline constexpr int kChannelSpacingGHz = 50;
/// Speed of light in m/s; divided by a frequency in GHz it gives a wavelength in nm.
inline constexpr double kSpeedOfLight = 299792458.0;

/// Frequency of `channel` in GHz: 191650 + 50 * channel.
int ChannelFrequency(int channel);

/// Wavelength in nm of a frequency in GHz, in double precision.
double ChannelWavelength(int frequencyGHz);

/// ITU label of `channel` (0 to 255 as the module may report it): "C" for odd channels, "H"
/// for even ones, then two characters. From channel 166 on the tens character runs past '9'
/// into ':' and beyond; the label stays three characters long. Zero-terminated.
std::array<char, 4> ItuChannelLabel(int channel);

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
