#include "CtlBench.h"

#include <cstdio>

double Percentile(std::vector<double> values, double fraction) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const auto at = static_cast<std::size_t>(fraction * static_cast<double>(values.size()));
    return values[std::min(at, values.size() - 1)];
}

double Median(std::vector<double> values) {
    return Percentile(std::move(values), 0.5);
}

double Worst(const std::vector<double>& values) {
    return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
}

bool Figure(const char* name, double value, double limit, double target, const std::string& note,
            const char* unit, bool atLeast) {
    const double ratio = limit != 0 ? value / limit : value;
    const bool met = atLeast ? ratio >= target : ratio <= target;
    std::printf("%-34s %9.3f %-3s limit %9.3f %-3s ratio %7.4f  target %s %-4g %s  # %s\n", name,
                value, unit, limit, unit, ratio, atLeast ? ">=" : "<=", target,
                met ? "met" : "MISSED", note.c_str());
    std::fflush(stdout);
    return met;
}
