// The CHANNELS argument of a sweep: "1-89", "10,12,14", "1-89:2", "89-1", or several of
// these joined by commas.
#pragma once

#include <string>
#include <string_view>
#include <vector>

/// "1-89, 10,12,14 or 1-89:2": examples of a channel list, for messages.
std::string SweepExamples();

/// Parses `text` into the channels in sweep order (a range may run downward; repeats are
/// kept). Returns an empty string on success, else one sentence saying what is wrong.
std::string ParseChannelList(std::string_view text, std::vector<int>& channels);
