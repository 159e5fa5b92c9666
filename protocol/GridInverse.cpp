#include "GridInverse.h"

#include <array>
#include <charconv>
#include <cmath>

#include "AsciiCase.h"
#include "ChannelGrid.h"
#include "ModuleQuantity.h"

namespace {

/// Rounding noise of the decimal-to-binary conversions, far below both tolerances.
constexpr double kSlack = 1e-9;

double ChannelNanometres(int channel) {
    return ChannelWavelength(ChannelFrequency(channel));
}

}  // namespace

std::optional<int> ChannelOfFrequency(double hertz) {
    const double gigahertz = hertz / 1e9;
    if (!std::isfinite(gigahertz)) {
        return std::nullopt;
    }
    const double index = (gigahertz - kGridBaseGHz) / kChannelSpacingGHz;
    if (index < kChannelMin - 1 || index > kChannelMax + 1) {
        return std::nullopt;
    }
    const int channel = static_cast<int>(std::lround(index));
    if (!InRange(Quantity::Channel, channel) ||
        std::fabs(gigahertz - ChannelFrequency(channel)) > kFrequencyToleranceGHz + kSlack) {
        return std::nullopt;
    }
    return channel;
}

std::optional<int> ChannelOfWavelength(double metres) {
    const double nanometres = metres * 1e9;
    if (!std::isfinite(nanometres) || nanometres <= 0) {
        return std::nullopt;
    }
    const double index = (kSpeedOfLight / nanometres - kGridBaseGHz) / kChannelSpacingGHz;
    if (index < kChannelMin - 2 || index > kChannelMax + 2) {
        return std::nullopt;
    }
    const int near = static_cast<int>(std::lround(index));
    for (int channel = near - 1; channel <= near + 1; ++channel) {
        if (InRange(Quantity::Channel, channel) &&
            std::fabs(nanometres - ChannelNanometres(channel)) <= kWavelengthToleranceNm + kSlack) {
            return channel;
        }
    }
    return std::nullopt;
}

std::string FrequencyHertzText(int channel) {
    return std::to_string(static_cast<long long>(ChannelFrequency(channel)) * 1'000'000'000LL);
}

std::string WavelengthMetresText(int channel) {
    std::array<char, 32> text{};
    const auto result =
        std::to_chars(text.data(), text.data() + text.size(), ChannelNanometres(channel) * 1e-9,
                      std::chars_format::scientific, 8);
    std::string out(text.data(), result.ptr);
    for (char& c : out) {
        c = AsciiUpper(c);
    }
    return out;
}
