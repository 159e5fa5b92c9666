// One record of what the module reported, and its three renderings: a line for a person,
// a JSON object (JSON Lines), and a CSV row.
#pragma once

#include <chrono>
#include <optional>
#include <string>

/// What the module reported at one moment; each field only when the module sent it.
struct Record {
    std::string event;                           ///< "get", "set", "sweep" or "monitor"
    std::chrono::system_clock::time_point time;  ///< when the last value arrived
    int step = 0;                                ///< sweep: 1-based step, 0 otherwise
    int steps = 0;                               ///< sweep: steps in all
    int pass = 0;                                ///< sweep: 1-based repeat
    std::optional<int> channel;                  ///< reported channel
    std::optional<int> power;                    ///< reported power, hundredths of a dBm
    std::optional<bool> output;                  ///< reported output state
};

/// ISO-8601 UTC with milliseconds: "2026-12-07T01:36:14.123Z".
std::string IsoTime(std::chrono::system_clock::time_point time);

/// "step 3/89  channel 45 (193900 GHz, 1546.12 nm, C39)  power 12.34 dBm  output on".
std::string HumanLine(const Record& record);

/// One JSON object on one line, without the line break.
std::string JsonLine(const Record& record);

/// The CSV header line and a record's row, without line breaks.
std::string CsvHeader();
std::string CsvRow(const Record& record);
