// Throughput of the reply framer and of frame encoding. The line carries 960 bytes/s at
// 9600 baud; the framer should be many orders of magnitude faster than that.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "CommandFrame.h"
#include "ModuleQuantity.h"
#include "ReplyFramer.h"

namespace {

constexpr std::size_t kStreamBytes = 1 << 20;

std::vector<std::uint8_t> ValidReplies() {
    std::vector<std::uint8_t> stream;
    stream.reserve(kStreamBytes);
    std::uint8_t channel = kChannelMin;
    while (stream.size() + kFrameSize <= kStreamBytes) {
        const CommandFrame frame = ReplyFrame(CMD_CHANNEL, 0, channel);
        stream.insert(stream.end(), frame.begin(), frame.end());
        channel = static_cast<std::uint8_t>(channel % kChannelMax + kChannelMin);
    }
    return stream;
}

std::vector<std::uint8_t> RandomBytes() {
    std::mt19937 rng(42);
    std::vector<std::uint8_t> stream(kStreamBytes);
    for (auto& byte : stream) {
        byte = static_cast<std::uint8_t>(rng());
    }
    return stream;
}

void FeedAll(benchmark::State& state, const std::vector<std::uint8_t>& stream) {
    ReplyFramer framer;
    std::size_t accepted = 0;
    for (auto _ : state) {
        for (std::uint8_t byte : stream) {
            accepted += framer.Feed(byte).has_value();
        }
        benchmark::DoNotOptimize(accepted);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * stream.size()));
    state.counters["frames"] = static_cast<double>(accepted);
}

void BM_FramerValidReplies(benchmark::State& state) {
    static const auto stream = ValidReplies();
    FeedAll(state, stream);
}
BENCHMARK(BM_FramerValidReplies);

void BM_FramerRandomBytes(benchmark::State& state) {
    static const auto stream = RandomBytes();
    FeedAll(state, stream);
}
BENCHMARK(BM_FramerRandomBytes);

void BM_EncodeSetFrames(benchmark::State& state) {
    int value = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(SetChannelFrame(value % kChannelMax + kChannelMin).data());
        benchmark::DoNotOptimize(
            SetPowerFrame(kPowerMin + value % (kPowerMax - kPowerMin + 1)).data());
        benchmark::DoNotOptimize(SetOutputFrame(value & 1).data());
        ++value;
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * 3 * kFrameSize));
}
BENCHMARK(BM_EncodeSetFrames);

}  // namespace
