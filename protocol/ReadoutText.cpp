#include "ReadoutText.h"

#include <cstdio>
#include <cstdlib>

#include "ChannelGrid.h"

std::string WavelengthText(int channel) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", ChannelWavelength(ChannelFrequency(channel)));
    return text;
}

std::string PowerText(int hundredths) {
    // In long long, so that the magnitude of the most negative int is representable.
    const long long magnitude = std::llabs(static_cast<long long>(hundredths));
    char text[32];
    std::snprintf(text, sizeof text, "%s%lld.%02lld", hundredths < 0 ? "-" : "", magnitude / 100,
                  magnitude % 100);
    return text;
}
