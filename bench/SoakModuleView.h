// The fault soak's view of the module: its wire log, read line by line as it runs.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "BenchSupport.h"

namespace bench {

/// What the module did, read from its wire log as it runs: the value it last reported for
/// each command, what became of that report, and when the panel last sent it anything.
class ModuleView {
public:
    enum class Fate { Intact, Corrupted, Dropped };

    struct Quantity {
        bool known = false;
        int value = 0;
        Fate fate = Fate::Intact;
        // Random bytes went out shortly before the report. The panel's framer then loses
        // the report, and may lose the one after it too: by design, not by fault.
        bool afterNoise = false;
    };

    // A log line: time, direction (rx, tx, or -- for a dropped reply), hex bytes, meaning.
    void OnLine(const std::string& line);

    /// True when one of the last set frames of `command` the module received carried `value`.
    bool ReceivedSet(int command, int value) const {
        const std::vector<int>& sets = m_sets[static_cast<std::size_t>(command)];
        return std::find(sets.begin(), sets.end(), value) != sets.end();
    }
    const std::array<Quantity, 4>& Quantities() const { return m_quantities; }
    std::int64_t LastRxNs() const { return m_lastRxNs; }
    std::string Counts() const {
        return Format(
            "%lld frames received; replies: %lld intact, %lld corrupted, %lld dropped, "
            "%lld with noise",
            m_rxFrames, m_intact, m_corrupted, m_dropped, m_noise);
    }

private:
    static constexpr std::size_t kSetsKept = 16;

    static int ValueOf(const std::vector<std::uint8_t>& frame);

    std::array<Quantity, 4> m_quantities{};  // by command code 1..3
    std::array<std::vector<int>, 4> m_sets;  // last set values received, by command
    std::int64_t m_lastRxNs = 0;
    int m_repliesSinceNoise = 1000;
    long long m_rxFrames = 0;
    long long m_intact = 0;
    long long m_corrupted = 0;
    long long m_dropped = 0;
    long long m_noise = 0;
};

}  // namespace bench
