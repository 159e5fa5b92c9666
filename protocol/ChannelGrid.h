// The panel's 50 GHz channel grid: frequency, wavelength and ITU label of a channel (the way
// back, from a frequency or wavelength to a channel, is in GridInverse.h).
#pragma once

#include <array>

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
