#include "ModuleCore.h"

#include <algorithm>
#include <cstdio>
#include <optional>

namespace {

constexpr std::size_t kMaxNoiseBytes = 4;
constexpr std::size_t kHexWidth = 3 * kFrameSize - 1;

const char* CommandName(std::uint8_t command) {
    const std::optional<Quantity> quantity = QuantityOfCommand(command);
    return quantity ? QuantityName(*quantity) : nullptr;
}

std::string FormatPower(int hundredths) {
    return FormatQuantity(Quantity::Power, hundredths);
}

// Replies that check out but carry what no module sends: values out of range, a channel with
// a high byte (what a stray byte ahead of a reply looks like), outputs half on. By command.
struct Forgery {
    std::uint8_t command, high, low;
};
constexpr Forgery kForgeries[] = {
    {CMD_CHANNEL, 0, 0},  {CMD_CHANNEL, 0, 90}, {CMD_CHANNEL, 0, 255}, {CMD_CHANNEL, 1, 4},
    {CMD_POWER, 0xFC, 1}, {CMD_POWER, 0, 0},    {CMD_POWER, 2, 0xBB},  {CMD_POWER, 5, 0x15},
    {CMD_OUTPUT, 1, 0},   {CMD_OUTPUT, 2, 2},
};

CommandFrame ForgedReply(std::uint8_t command, std::uint64_t pick) {
    std::vector<Forgery> rows;
    for (const Forgery& row : kForgeries) {
        if (row.command == command) {
            rows.push_back(row);
        }
    }
    const Forgery& row = rows[pick % rows.size()];
    return ReplyFrame(row.command, row.high, row.low);
}

// Text of the value a set or reply frame carries, as an operator reads it.
std::string ValueText(const CommandFrame& frame) {
    switch (frame[2]) {
        case CMD_CHANNEL:
            return std::to_string(FrameValue(frame));  // a high byte shows: no module sends one
        case CMD_POWER:
            return FormatPower(FrameValue(frame));
        default:
            if (frame[3] != 0 && frame[4] != 0) {
                return "on";
            }
            if (frame[3] == 0 && frame[4] == 0) {
                return "off";
            }
            return "? (" + HexBytes({frame[3], frame[4]}) + ")";
    }
}

std::vector<std::uint8_t> Bytes(const CommandFrame& frame) {
    return {frame.begin(), frame.end()};
}

}  // namespace

std::uint64_t FaultRng::Next() {
    std::uint64_t z = (m_state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

double FaultRng::Uniform() {
    return static_cast<double>(Next() >> 11) * 0x1.0p-53;
}

FaultInjector::FaultInjector(const ModuleConfig& config)
    : m_rng(config.seed),
      m_drop(config.drop),
      m_corrupt(config.corrupt),
      m_noise(config.noise),
      m_forge(config.forge) {}

ReplyFate FaultInjector::Next() {
    // Always draw all three, so one fraction never shifts the pattern of another.
    ReplyFate fate;
    fate.drop = m_rng.Uniform() < m_drop;
    fate.corrupt = m_rng.Uniform() < m_corrupt;
    if (m_rng.Uniform() < m_noise) {
        const std::size_t count = 1 + m_rng.Next() % kMaxNoiseBytes;
        for (std::size_t i = 0; i < count; ++i) {
            fate.noise.push_back(static_cast<std::uint8_t>(m_rng.Next()));
        }
    }
    // Drawn only when asked for, so the faults of a seed stay what they were without it.
    if (m_forge > 0 && m_rng.Uniform() < m_forge) {
        fate.forge = true;
        fate.pick = m_rng.Next();
    }
    return fate;
}

ModuleCore::ModuleCore(const ModuleConfig& config)
    : m_config(config),
      m_channel(std::clamp(config.channel, kChannelMin, kChannelMax)),
      m_power(std::clamp(config.power, kPowerMin, kPowerMax)),
      m_output(config.output),
      m_faults(config) {}

void ModuleCore::Receive(const std::uint8_t* data, std::size_t size, std::int64_t nowMs) {
    for (std::size_t i = 0; i < size; ++i) {
        m_hunter.Push(data[i], m_events);
        for (HuntEvent& event : m_events) {
            switch (event.type) {
                case HuntEvent::Type::Frame: {
                    CommandFrame frame;
                    std::copy(event.bytes.begin(), event.bytes.end(), frame.begin());
                    OnFrame(frame, nowMs);
                    break;
                }
                case HuntEvent::Type::BadChecksum: {
                    char text[40];
                    std::snprintf(text, sizeof text, "bad checksum (expected %02X), ignored",
                                  static_cast<unsigned>(
                                      FrameChecksum({event.bytes[0], event.bytes[1], event.bytes[2],
                                                     event.bytes[3], event.bytes[4], 0})));
                    m_actions.push_back({WireDir::Rx, std::move(event.bytes), text});
                    break;
                }
                case HuntEvent::Type::Garbage:
                    m_actions.push_back({WireDir::Rx, std::move(event.bytes), "not a frame"});
                    break;
            }
        }
        m_events.clear();
    }
    m_hunter.Flush(m_events);
    for (HuntEvent& event : m_events) {
        m_actions.push_back({WireDir::Rx, std::move(event.bytes), "not a frame"});
    }
    m_events.clear();
    Advance(nowMs);
}

void ModuleCore::OnFrame(const CommandFrame& frame, std::int64_t nowMs) {
    const std::uint8_t command = frame[2];
    std::string meaning = DescribeFrame(frame);
    if (CommandName(command) == nullptr) {
        m_actions.push_back({WireDir::Rx, Bytes(frame), meaning + ", ignored"});
        return;
    }
    if (KindOf(frame) == FrameKind::Query) {
        m_actions.push_back({WireDir::Rx, Bytes(frame), meaning});
        ScheduleReply(command, nowMs);
        Advance(nowMs);
        return;
    }
    // A set frame: the full 16-bit value is clamped, so a stray high byte cannot wrap round.
    const int value = FrameValue(frame);
    switch (command) {
        case CMD_CHANNEL: {
            const int channel = std::clamp(value, kChannelMin, kChannelMax);
            meaning = "set channel " + std::to_string(value);
            if (channel != value) {
                meaning += ", clamped to " + std::to_string(channel);
            }
            if (m_config.tuneDelayMs > 0) {
                meaning += ", tuning";
                Schedule(nowMs + m_config.tuneDelayMs, {PendingKind::Tune, command, channel});
            } else {
                m_channel = channel;
                ScheduleReply(command, nowMs);
            }
            break;
        }
        case CMD_POWER: {
            m_power = std::clamp(value, kPowerMin, kPowerMax);
            if (m_power != value) {
                meaning += ", clamped to " + FormatPower(m_power);
            }
            ScheduleReply(command, nowMs);
            break;
        }
        default: {
            const bool on = frame[3] != 0 && frame[4] != 0;
            if (on != (frame[3] != 0 || frame[4] != 0)) {
                // One byte on and one off is no state at all: leave the laser as it is.
                m_actions.push_back({WireDir::Rx, Bytes(frame), meaning + ", ignored"});
                return;
            }
            m_output = on;
            ScheduleReply(command, nowMs);
            break;
        }
    }
    m_actions.push_back({WireDir::Rx, Bytes(frame), meaning});
    // Replies without delay go out now, so the log reads cause, then effect.
    Advance(nowMs);
}

void ModuleCore::Schedule(std::int64_t dueMs, Pending pending) {
    if (m_pending.size() >= kMaxPendingReplies) {
        m_actions.push_back({WireDir::Dropped, {}, "too many replies waiting, one dropped"});
        return;
    }
    m_pending.emplace(std::make_pair(dueMs, m_sequence++), pending);
}

void ModuleCore::ScheduleReply(std::uint8_t command, std::int64_t nowMs) {
    if (!m_config.silent) {
        Schedule(nowMs + m_config.replyDelayMs, {PendingKind::Reply, command, 0});
    }
}

void ModuleCore::Advance(std::int64_t nowMs) {
    while (!m_pending.empty() && m_pending.begin()->first.first <= nowMs) {
        const std::int64_t due = m_pending.begin()->first.first;
        const Pending pending = m_pending.begin()->second;
        m_pending.erase(m_pending.begin());
        if (pending.kind == PendingKind::Tune) {
            m_channel = pending.channel;
            // Replies count their delay from the moment the laser settled.
            ScheduleReply(CMD_CHANNEL, due);
        } else {
            SendReply(pending.command);
        }
    }
}

std::int64_t ModuleCore::NextDueMs() const {
    return m_pending.empty() ? -1 : m_pending.begin()->first.first;
}

void ModuleCore::StreamReply() {
    if (m_config.silent) {
        return;  // a dead transmit line sends nothing at all
    }
    SendReply(m_nextStream);
    m_nextStream = m_nextStream == CMD_OUTPUT ? CMD_CHANNEL : m_nextStream + 1;
}

std::vector<WireAction> ModuleCore::TakeActions() {
    return std::exchange(m_actions, {});
}

CommandFrame ModuleCore::CurrentReply(std::uint8_t command) const {
    switch (command) {
        case CMD_CHANNEL:
            return ReplyFrame(CMD_CHANNEL, 0, static_cast<std::uint8_t>(m_channel));
        case CMD_POWER:
            return ReplyFrame(CMD_POWER, static_cast<std::uint8_t>(m_power >> 8),
                              static_cast<std::uint8_t>(m_power & 0xFF));
        default: {
            const std::uint8_t state = m_output ? 1 : 0;
            return ReplyFrame(CMD_OUTPUT, state, state);
        }
    }
}

void ModuleCore::SendReply(std::uint8_t command) {
    CommandFrame frame = CurrentReply(command);
    std::string meaning = DescribeFrame(frame);
    ReplyFate fate = m_faults.Next();
    if (fate.forge) {
        frame = ForgedReply(command, fate.pick);
        meaning = DescribeFrame(frame) + ", forged";
    }
    if (!fate.noise.empty()) {
        m_actions.push_back({WireDir::Tx, std::move(fate.noise), "noise"});
    }
    if (fate.drop) {
        m_actions.push_back({WireDir::Dropped, Bytes(frame), meaning + " (dropped)"});
        return;
    }
    if (fate.corrupt) {
        frame[5] ^= 0x80;
        m_actions.push_back({WireDir::Tx, Bytes(frame), meaning + ", checksum corrupted"});
        return;
    }
    m_actions.push_back({WireDir::Tx, Bytes(frame), meaning, !fate.forge});
}

std::string DescribeFrame(const CommandFrame& frame) {
    const char* name = CommandName(frame[2]);
    if (name == nullptr) {
        return "unknown command " + std::to_string(frame[2]);
    }
    switch (KindOf(frame)) {
        case FrameKind::Set:
            return std::string("set ") + name + " " + ValueText(frame);
        case FrameKind::Query:
            return std::string("query ") + name;
        case FrameKind::Reply:
            return std::string("reply ") + name + " " + ValueText(frame);
        case FrameKind::Other:
            break;
    }
    return "unknown header";
}

std::string HexBytes(const std::vector<std::uint8_t>& bytes) {
    std::string text;
    char pair[4];
    for (std::uint8_t byte : bytes) {
        std::snprintf(pair, sizeof pair, text.empty() ? "%02X" : " %02X", byte);
        text += pair;
    }
    return text;
}

std::string FormatWireLine(std::int64_t ms, WireDir dir, const std::vector<std::uint8_t>& bytes,
                           std::string_view meaning) {
    static constexpr const char* kDirText[] = {"rx", "tx", "--"};
    std::string hex = HexBytes(bytes);
    if (hex.size() < kHexWidth) {
        hex.resize(kHexWidth, ' ');
    }
    char head[40];
    std::snprintf(head, sizeof head, "%6lld.%03lld %s  ", static_cast<long long>(ms / 1000),
                  static_cast<long long>(ms % 1000), kDirText[static_cast<int>(dir)]);
    return head + hex + "  " + std::string(meaning);
}
