#include "ChannelGrid.h"

int ChannelFrequency(int channel) {
    return kGridBaseGHz + kChannelSpacingGHz * channel;
}

double ChannelWavelength(int frequencyGHz) {
    return kSpeedOfLight / frequencyGHz;
}

std::array<char, 4> ItuChannelLabel(int channel) {
    const bool odd = (channel % 2) != 0;
    const int number = channel / 2 + (odd ? 17 : 16);
    return {odd ? 'C' : 'H', static_cast<char>('0' + number / 10),
            static_cast<char>('0' + number % 10), '\0'};
}
