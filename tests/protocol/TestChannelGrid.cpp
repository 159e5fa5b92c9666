#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "ChannelGrid.h"
#include "ReadoutText.h"

namespace {

TEST(ChannelGrid, FrequencyWavelengthAndLabel) {
    struct Row {
        int channel, frequency;
        const char *wavelength, *label;
    };
    // clang-format off
    const Row rows[] = {
        {0, 191650, "1564.27", "H16"},   {1, 191700, "1563.86", "C17"},   {2, 191750, "1563.45", "H17"},
        {3, 191800, "1563.05", "C18"},   {4, 191850, "1562.64", "H18"},   {45, 193900, "1546.12", "C39"},
        {46, 193950, "1545.72", "H39"},  {88, 196050, "1529.16", "H60"},  {89, 196100, "1528.77", "C61"},
        {165, 199900, "1499.71", "C99"}, {166, 199950, "1499.34", "H99"}, {167, 200000, "1498.96", "C:0"},
        {168, 200050, "1498.59", "H:0"}, {255, 204400, "1466.69", "C>4"},
    };
    // clang-format on
    for (const Row& row : rows) {
        EXPECT_EQ(ChannelFrequency(row.channel), row.frequency) << row.channel;
        EXPECT_EQ(WavelengthText(row.channel), row.wavelength) << row.channel;
        EXPECT_STREQ(ItuChannelLabel(row.channel).data(), row.label) << row.channel;
    }
    for (int channel = 0; channel <= 255; ++channel) {  // every reportable channel: 3 characters
        EXPECT_EQ(std::string(ItuChannelLabel(channel).data()).size(), 3u) << channel;
        EXPECT_EQ(ItuChannelLabel(channel)[0], channel % 2 ? 'C' : 'H') << channel;
    }
}

TEST(PowerText, PrintsHundredthsExactlyWithTheirSign) {
    const std::pair<int, const char*> rows[] = {
        {0, "0.00"}, {705, "7.05"}, {1300, "13.00"}, {-5, "-0.05"}, {INT_MIN, "-21474836.48"}};
    for (const auto& [hundredths, text] : rows) {
        EXPECT_EQ(PowerText(hundredths), text);
    }
}

}  // namespace
