#include "ChannelList.h"

#include <charconv>

#include "ModuleQuantity.h"

std::string SweepExamples() {
    const std::string all = RangeText(Quantity::Channel);
    return all + ", 10,12,14 or " + all + ":2";
}

namespace {

// A whole number of at most three digits (anything longer is out of range anyway, and this
// keeps the arithmetic far from overflow).
bool ReadNumber(std::string_view text, int& value) {
    if (text.empty() || text.size() > 3) {
        return false;
    }
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size();
}

std::string ReadItem(std::string_view item, std::vector<int>& channels) {
    const std::string quoted = "\"" + std::string(item) + "\"";
    if (item.empty()) {
        return "an empty item in the channel list (two commas, or one at an end)";
    }
    std::string_view range = item;
    int step = 1;
    if (const std::size_t colon = item.find(':'); colon != std::string_view::npos) {
        range = item.substr(0, colon);
        if (!ReadNumber(item.substr(colon + 1), step) || step < 1) {
            return quoted + ": the step after ':' must be a whole number from 1 up";
        }
        if (range.find('-') == std::string_view::npos) {
            return quoted + ": a step needs a range, such as " + RangeText(Quantity::Channel) +
                   ":2";
        }
    }
    int first = 0;
    int last = 0;
    if (const std::size_t dash = range.find('-'); dash != std::string_view::npos) {
        if (!ReadNumber(range.substr(0, dash), first) ||
            !ReadNumber(range.substr(dash + 1), last)) {
            return quoted + ": a range is two channel numbers joined by '-', such as " +
                   RangeText(Quantity::Channel);
        }
    } else if (!ReadNumber(range, first)) {
        return quoted + ": not a channel number";
    } else {
        last = first;
    }
    for (const int channel : {first, last}) {
        if (!InRange(Quantity::Channel, channel)) {
            return quoted + ": channel " + std::to_string(channel) + " is outside " +
                   RangeText(Quantity::Channel);
        }
    }
    const int direction = last >= first ? 1 : -1;
    for (int channel = first; direction * (last - channel) >= 0; channel += direction * step) {
        channels.push_back(channel);
    }
    return {};
}

}  // namespace

std::string ParseChannelList(std::string_view text, std::vector<int>& channels) {
    channels.clear();
    if (text.empty()) {
        return "the channel list is empty; give channels such as " + SweepExamples();
    }
    for (std::size_t start = 0;;) {
        const std::size_t comma = text.find(',', start);
        std::string error = ReadItem(text.substr(start, comma - start), channels);
        if (!error.empty()) {
            channels.clear();
            return error;
        }
        if (comma == std::string_view::npos) {
            return {};
        }
        start = comma + 1;
    }
}
