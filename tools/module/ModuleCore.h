// The simulated laser module without any I/O: state, replies, timing and fault injection.
// Bytes come in through Receive, time advances only when the host says so, and everything
// the module does comes out as an ordered list of wire actions for the host to carry out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "CommandFrame.h"
#include "FrameHunter.h"
#include "ModuleQuantity.h"

/// Replies waiting for their delay; beyond this a flood of frames is answered by nothing
/// rather than by unbounded memory.
inline constexpr std::size_t kMaxPendingReplies = 4096;

/// How the module starts and misbehaves; the command line fills it in.
struct ModuleConfig {
    int channel = kChannelMin;      ///< start channel
    int power = kPowerMin;          ///< start power in hundredths of a dBm
    bool output = false;            ///< start output state
    std::int64_t replyDelayMs = 0;  ///< delay before every reply
    std::int64_t tuneDelayMs = 0;   ///< delay before a channel change takes effect
    double drop = 0;                ///< fraction of replies never sent
    double corrupt = 0;             ///< fraction of replies sent with a wrong checksum
    double noise = 0;               ///< fraction of replies preceded by random bytes
    double forge = 0;               ///< fraction of replies carrying a value out of range
    bool silent = false;            ///< apply set frames but never answer
    std::uint64_t seed = 1;         ///< seed of the fault generator
};

/// Small generator (splitmix64) with a fixed algorithm, so a seed repeats the same faults
/// whatever standard library the tool is built with.
class FaultRng {
public:
    /// Starts the sequence for `seed`.
    explicit FaultRng(std::uint64_t seed) : m_state(seed) {}
    /// Next 64 random bits.
    std::uint64_t Next();
    /// Next number in [0, 1).
    double Uniform();

private:
    std::uint64_t m_state;
};

/// What the fault injector does to one reply.
struct ReplyFate {
    bool drop = false;                ///< the reply is not sent
    bool corrupt = false;             ///< the reply goes out with a wrong checksum
    std::vector<std::uint8_t> noise;  ///< random bytes sent just before the reply
    bool forge = false;               ///< the reply carries a value no module sends
    std::uint64_t pick = 0;           ///< forge: which of the forged values
};

/// Decides the faults of each reply in turn. The same seed and fractions give the same fates
/// in the same order, which is what lets a test predict the counts.
class FaultInjector {
public:
    /// Uses the fractions and seed of `config`.
    explicit FaultInjector(const ModuleConfig& config);
    /// Fate of the next reply.
    ReplyFate Next();

private:
    FaultRng m_rng;
    double m_drop;
    double m_corrupt;
    double m_noise;
    double m_forge;
};

/// Direction of a wire action, as the log shows it.
enum class WireDir {
    Rx,       ///< bytes that came from the panel
    Tx,       ///< bytes for the host to write to the panel
    Dropped,  ///< a reply deliberately not written (shown, never sent)
};

/// One thing the module did, in order: a line for the wire log and, for Tx, bytes to send.
struct WireAction {
    WireDir dir;                      ///< which way, or deliberately not at all
    std::vector<std::uint8_t> bytes;  ///< the bytes concerned
    std::string meaning;              ///< decoded text, e.g. "set channel 45"
    bool validReply = false;          ///< Tx bytes are exactly one intact reply frame
};

/// The module: channel, power and output, the replies they produce, and the delays and
/// faults that tests and demos ask for.
class ModuleCore {
public:
    /// Starts from the values of `config` (clamped to the module's ranges).
    explicit ModuleCore(const ModuleConfig& config);

    /// Takes bytes received at `nowMs`, acts on every complete frame, and runs what is due.
    void Receive(const std::uint8_t* data, std::size_t size, std::int64_t nowMs);
    /// Runs every delayed reply or channel change due at or before `nowMs`.
    void Advance(std::int64_t nowMs);
    /// Time of the next delayed event, or -1 when nothing is pending (the host may then
    /// sleep until input arrives).
    std::int64_t NextDueMs() const;
    /// Emits one unsolicited reply of the current state: channel, power and output in turn
    /// (nothing when silent).
    void StreamReply();
    /// Actions produced since the last call, in the order they happened.
    std::vector<WireAction> TakeActions();

    /// Current channel.
    int Channel() const { return m_channel; }
    /// Current power in hundredths of a dBm.
    int Power() const { return m_power; }
    /// Current output state.
    bool Output() const { return m_output; }

private:
    enum class PendingKind { Reply, Tune };
    struct Pending {
        PendingKind kind;
        std::uint8_t command;  // Reply: which value to report
        int channel;           // Tune: the channel to move to
    };

    void OnFrame(const CommandFrame& frame, std::int64_t nowMs);
    void Schedule(std::int64_t dueMs, Pending pending);
    void ScheduleReply(std::uint8_t command, std::int64_t nowMs);
    void SendReply(std::uint8_t command);
    CommandFrame CurrentReply(std::uint8_t command) const;

    ModuleConfig m_config;
    int m_channel;
    int m_power;
    bool m_output;
    FrameHunter m_hunter;
    FaultInjector m_faults;
    std::map<std::pair<std::int64_t, std::uint64_t>, Pending> m_pending;
    std::uint64_t m_sequence = 0;
    std::uint8_t m_nextStream = CMD_CHANNEL;
    std::vector<WireAction> m_actions;
    std::vector<HuntEvent> m_events;
};

/// Decoded meaning of any frame: "set channel 45", "query power", "reply power 12.34 dBm",
/// "reply output on", "unknown command 7", ...
std::string DescribeFrame(const CommandFrame& frame);

/// Bytes as upper-case hex pairs separated by spaces.
std::string HexBytes(const std::vector<std::uint8_t>& bytes);

/// One wire-log line (no line break): seconds with milliseconds since start, direction,
/// hex bytes and meaning.
std::string FormatWireLine(std::int64_t ms, WireDir dir, const std::vector<std::uint8_t>& bytes,
                           std::string_view meaning);
