// The text of the panel's readouts, shared by the panel, its tools and its benchmarks so that
// each shows a channel's wavelength and a power the same way.
#pragma once

#include <string>

/// Wavelength of `channel` in nm with two decimals, as the panel's readout shows it
/// ("1563.86" for channel 1, the first of the grid).
std::string WavelengthText(int channel);

/// A power given in hundredths of a dBm, with two decimals ("7.05" for 705, "-0.05" for -5).
/// Printed from the digits, not through a double, so every value prints exactly.
std::string PowerText(int hundredths);
