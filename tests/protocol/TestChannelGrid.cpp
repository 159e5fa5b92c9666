#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "ChannelGrid.h"
#include "ReadoutText.h"

namespace {

struct GridRow {
    int channel;
    int frequency;
    const char* wavelength;
    const char* label;
};

const GridRow kRows[] = {
    {0, 191650, "1564.27", "H16"},   {1, 191700, "1563.86", "C17"},
    {2, 191750, "1563.45", "H17"},   {3, 191800, "1563.05", "C18"},
    {4, 191850, "1562.64", "H18"},   {45, 193900, "1546.12", "C39"},
    {46, 193950, "1545.72", "H39"},  {88, 196050, "1529.16", "H60"},
    {89, 196100, "1528.77", "C61"},  {165, 199900, "1499.71", "C99"},
    {166, 199950, "1499.34", "H99"}, {167, 200000, "1498.96", "C:0"},
    {168, 200050, "1498.59", "H:0"}, {255, 204400, "1466.69", "C>4"},
};

class Grid : public testing::TestWithParam<GridRow> {};

TEST_P(Grid, FrequencyWavelengthAndLabel) {
    const GridRow& row = GetParam();
    const int frequency = ChannelFrequency(row.channel);
    EXPECT_EQ(frequency, row.frequency);
    EXPECT_EQ(WavelengthText(row.channel), row.wavelength);
    EXPECT_STREQ(ItuChannelLabel(row.channel).data(), row.label);
}

INSTANTIATE_TEST_SUITE_P(Protocol, Grid, testing::ValuesIn(kRows), [](const auto& info) {
    return "Channel" + std::to_string(info.param.channel);
});

TEST(PowerText, PrintsHundredthsExactlyWithTheirSign) {
    EXPECT_EQ(PowerText(0), "0.00");
    EXPECT_EQ(PowerText(705), "7.05");
    EXPECT_EQ(PowerText(1300), "13.00");
    EXPECT_EQ(PowerText(-5), "-0.05");
    EXPECT_EQ(PowerText(INT_MIN), "-21474836.48");
}

TEST(GridLabels, EveryReportableChannelIsThreeCharacters) {
    for (int channel = 0; channel <= 255; ++channel) {
        const auto label = ItuChannelLabel(channel);
        EXPECT_EQ(std::string(label.data()).size(), 3u) << channel;
        EXPECT_EQ(label[0], channel % 2 ? 'C' : 'H') << channel;
    }
}

}  // namespace
