#include "Record.h"

#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "ChannelGrid.h"
#include "ModuleSession.h"
#include "ReadoutText.h"

namespace {

// The wavelength as the panel shows it: two decimals.
double RoundedWavelength(int channel) {
    return std::round(ChannelWavelength(ChannelFrequency(channel)) * 100.0) / 100.0;
}

}  // namespace

std::string IsoTime(std::chrono::system_clock::time_point time) {
    // The calendar from <chrono>: the same on every platform, no gmtime_r or gmtime_s.
    using namespace std::chrono;
    const auto ms = floor<milliseconds>(time);
    const auto day = floor<days>(ms);
    const year_month_day date(day);
    const hh_mm_ss clock(ms - day);
    char text[96];  // room for any int the compiler imagines in each field
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", int(date.year()),
                  unsigned(date.month()), unsigned(date.day()), int(clock.hours().count()),
                  int(clock.minutes().count()), int(clock.seconds().count()),
                  int(clock.subseconds().count()));
    return text;
}

std::string HumanLine(const Record& record) {
    std::string line;
    auto add = [&line](const std::string& part) { line += (line.empty() ? "" : "  ") + part; };
    if (record.step != 0) {
        add("step " + std::to_string(record.step) + "/" + std::to_string(record.steps));
    }
    if (record.event == "monitor") {
        add(IsoTime(record.time).substr(11, 12));
    }
    if (record.channel) {
        const int channel = *record.channel;
        add("channel " + std::to_string(channel) + " (" +
            std::to_string(ChannelFrequency(channel)) + " GHz, " + WavelengthText(channel) +
            " nm, " + ItuChannelLabel(channel).data() + ")");
    }
    if (record.power) {
        add("power " + FormatQuantity(Quantity::Power, *record.power));
    }
    if (record.output) {
        add("output " + FormatQuantity(Quantity::Output, *record.output ? 1 : 0));
    }
    return line;
}

std::string JsonLine(const Record& record) {
    nlohmann::ordered_json json;
    json["time"] = IsoTime(record.time);
    json["event"] = record.event;
    if (record.step != 0) {
        json["step"] = record.step;
        json["steps"] = record.steps;
        json["pass"] = record.pass;
    }
    if (record.channel) {
        json["channel"] = *record.channel;
        json["frequency_ghz"] = ChannelFrequency(*record.channel);
        json["wavelength_nm"] = RoundedWavelength(*record.channel);
        json["itu"] = ItuChannelLabel(*record.channel).data();
    }
    if (record.power) {
        json["power_dbm"] = *record.power / 100.0;
    }
    if (record.output) {
        json["output"] = *record.output;
    }
    // Replace, never throw: a label past '9' is still plain ASCII, but nothing here may abort.
    return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string CsvHeader() {
    return "time,event,step,pass,channel,frequency_ghz,wavelength_nm,itu,power_dbm,output";
}

std::string CsvRow(const Record& record) {
    std::string row = IsoTime(record.time) + "," + record.event + ",";
    if (record.step != 0) {
        row += std::to_string(record.step) + "," + std::to_string(record.pass);
    } else {
        row += ",";
    }
    row += ",";
    if (record.channel) {
        const int channel = *record.channel;
        // No label character needs quoting: letters, digits and the ASCII after '9'.
        row += std::to_string(channel) + "," + std::to_string(ChannelFrequency(channel)) + "," +
               WavelengthText(channel) + "," + ItuChannelLabel(channel).data();
    } else {
        row += ",,,";  // channel, frequency, wavelength, label
    }
    row += "," + (record.power ? PowerText(*record.power) : "") + ",";
    if (record.output) {
        row += FormatQuantity(Quantity::Output, *record.output ? 1 : 0);
    }
    return row;
}
