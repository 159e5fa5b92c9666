#include "Figures.h"

#include <QApplication>
#include <QEvent>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <random>
#include <regex>
#include <utility>

#include "CommandFrame.h"
#include "LinkBridge.h"
#include "Process.h"

namespace bench {

namespace {

// COM numbers outside the fixed tty table, so only the bench's folder can name them.
constexpr int kComPlain = 211;
constexpr int kComFlood = 212;
constexpr int kComLineRate = 213;
constexpr int kComInProcess = 214;

// The line: 9600 baud, 8N1, ten bit times per byte.
constexpr double kLineBytesPerSecond = 960.0;
constexpr double kQueryPeriodMs = 200.0;
constexpr double kTrackPeriodMs = 500.0;
constexpr double kClosePauseMs = 200.0;

constexpr int kOpenDeadlineMs = 10000;
constexpr int kSyncDeadlineMs = 10000;

double NsToMs(std::int64_t ns) {
    return static_cast<double>(ns) / 1e6;
}

bool OpenAndSync(BenchPanel& panel, int com, const char* what) {
    if (!panel.driver.OpenCom(com, kOpenDeadlineMs)) {
        Say(Format("%s: the panel did not open COM%d", what, com));
        return false;
    }
    if (!panel.driver.WaitSynced(kSyncDeadlineMs)) {
        Say(Format("%s: the panel did not synchronise with COM%d", what, com));
        panel.driver.ClosePort();
        return false;
    }
    return true;
}

// A module on `com` with `args` and, unless `panel` is null, the panel open and synchronised
// with it; on failure nothing is left running.
bool StartModule(const BenchConfig& config, BenchPanel* panel, testkit::Process& module, int com,
                 const std::vector<std::string>& args, const char* what) {
    std::string error;
    if (!testkit::StartModule(module, config.modulePath, com, args, &error)) {
        Say(std::string("cannot start the module for ") + what + ": " + error);
        return false;
    }
    if (panel != nullptr && !OpenAndSync(*panel, com, what)) {
        module.Stop();
        return false;
    }
    return true;
}

// Counts the bytes the link hands to the panel (each a queued call to its bridge) and, when
// asked, which of them completed a reply the panel applied. For that it runs the hand-off
// itself between two looks at the state: a reply writes its value over a marker value that
// no reply can carry, and the marker is taken back when none did.
class HandOffCounter : public QObject {
public:
    HandOffCounter(ControllerState& state, bool watchReplies)
        : m_state(state), m_watchReplies(watchReplies) {
        qApp->installEventFilter(this);
    }
    ~HandOffCounter() override { qApp->removeEventFilter(this); }

    void Reset() { m_bytes = m_replies = m_lost = 0, m_sinceReply = -1; }
    long long Bytes() const { return m_bytes; }
    long long Replies() const { return m_replies; }
    // Replies the framer should have accepted and the panel did not apply: every gap between
    // two applied replies longer than one frame, and a tail of more than one frame.
    long long Lost() const { return m_lost + (m_sinceReply > 6 ? m_sinceReply / 6 - 1 : 0); }

protected:
    bool eventFilter(QObject* target, QEvent* event) override {
        if (event->type() != QEvent::MetaCall || qobject_cast<LinkBridge*>(target) == nullptr) {
            return false;
        }
        ++m_bytes;
        m_sinceReply += m_sinceReply >= 0 ? 1 : 0;
        if (!m_watchReplies) {
            return false;
        }
        // The module's output is off and nothing here turns it on: only an output reply
        // turns the marker back.
        const std::int32_t channel = std::exchange(m_state.currentChannel, kMarker);
        const std::int32_t power = std::exchange(m_state.currentPower, kMarker);
        const bool output = std::exchange(m_state.outputOn, true);
        target->event(event);
        bool applied = false;
        for (auto [value, before] : {std::pair{&m_state.currentChannel, channel},
                                     std::pair{&m_state.currentPower, power}}) {
            applied = applied || *value != kMarker;
            *value = *value == kMarker ? before : *value;
        }
        applied = applied || !m_state.outputOn;
        m_state.outputOn = m_state.outputOn ? output : false;
        if (applied) {
            ++m_replies;
            m_lost += m_sinceReply > 6 ? (m_sinceReply + 5) / 6 - 1 : 0;
            m_sinceReply = 0;
        }
        return true;  // handled above
    }

private:
    static constexpr std::int32_t kMarker = -1000000;
    ControllerState& m_state;
    bool m_watchReplies;
    long long m_bytes = 0;
    long long m_replies = 0;
    long long m_lost = 0;
    long long m_sinceReply = -1;  // bytes since the last applied reply; -1 before the first
};

}  // namespace

void PrintFigureHeader() {
    Say("figure, value and unit, the limit it is compared with, ratio = value / limit, the "
        "target on the ratio, verdict");
}

void PrintFigures(const std::vector<Figure>& rows) {
    for (const Figure& row : rows) {
        const double ratio = row.limit != 0 ? row.value / row.limit : 0;
        const char* verdict = "";
        std::string wanted = "-";
        if (row.goal != Goal::None) {
            const bool atMost = row.goal == Goal::AtMost;
            verdict = (atMost ? ratio <= row.target : ratio >= row.target) ? "met" : "MISSED";
            wanted = Format("%s %.3g", atMost ? "<=" : ">=", row.target);
        }
        std::printf("%-26s %12.3f %-7s limit %12.3f %-7s ratio %8.4f  target %-8s %s%s%s\n",
                    row.name, row.value, row.unit, row.limit, row.unit, ratio, wanted.c_str(),
                    verdict, row.note.empty() ? "" : "  # ", row.note.c_str());
    }
    std::fflush(stdout);
}

// Open to synchronised, and ClosePort to the panel's reset, over cycles against a module
// that answers at once.
bool RunSyncAndClose(const BenchConfig& config, BenchPanel& panel) {
    testkit::Process module;
    if (!StartModule(config, nullptr, module, kComPlain, {}, "sync")) {
        return false;
    }
    PanelDriver& driver = panel.driver;
    std::vector<double> syncMs;
    std::vector<double> closeMs;
    bool ok = true;
    for (int i = 0; i < (config.smoke ? 2 : 50) && ok; ++i) {
        std::int64_t clicked = 0;
        std::int64_t synced = 0;
        ok = driver.OpenCom(kComPlain, kOpenDeadlineMs, &clicked) &&
             driver.WaitSynced(kSyncDeadlineMs, &synced);
        if (!ok) {
            Say(Format("sync: cycle %d did not synchronise", i));
            break;
        }
        syncMs.push_back(NsToMs(synced - clicked));
        // A synchronised panel sits a while, as an operator's would, before the close.
        driver.Idle(30);
        const std::int64_t closeNs = driver.ClosePort();
        ok = closeNs >= 0 && driver.IsClosed();
        if (!ok) {
            Say(Format("close: cycle %d did not return the panel to closed", i));
            break;
        }
        closeMs.push_back(NsToMs(closeNs));
    }
    module.Stop();
    if (syncMs.empty() || closeMs.empty()) {
        return false;
    }
    const double floorMs = 3 * kQueryPeriodMs + 36 * 1000.0 / kLineBytesPerSecond;
    const std::string n = Format("n=%zu", syncMs.size());
    PrintFigures({{"sync.median", Median(syncMs), "ms", floorMs, Goal::AtMost, 1.05, n},
                  {"sync.worst", Worst(syncMs), "ms", floorMs, Goal::AtMost, 1.2, n},
                  {"close.median", Median(closeMs), "ms", kClosePauseMs, Goal::AtMost, 1.1, n},
                  {"close.worst", Worst(closeMs), "ms", kClosePauseMs, Goal::AtMost, 1.1, n}});
    return ok;
}

// The module streams replies as fast as the pty takes them; the panel hands over and
// applies every one.
bool RunReceiveCapacity(const BenchConfig& config, BenchPanel& panel) {
    testkit::Process module;
    if (!StartModule(config, &panel, module, kComFlood, {"--stream", "max"}, "receive")) {
        return false;
    }
    // Ten one-second samples, or one short one for the smoke run.
    const int samples = config.smoke ? 1 : 10;
    std::vector<double> perSecond;
    long long bytes = 0;
    long long replies = 0;
    long long lost = 0;
    double elapsedS = 0;
    {
        HandOffCounter counter(panel.state, true);
        panel.driver.Idle(config.smoke ? 100 : 300);
        counter.Reset();
        const std::int64_t start = MonotonicNs();
        std::int64_t lastAt = start;
        for (int s = 0; s < samples; ++s) {
            panel.driver.Idle(config.smoke ? 500 : 1000);
            const std::int64_t now = MonotonicNs();
            perSecond.push_back(static_cast<double>(counter.Bytes() - bytes) /
                                (static_cast<double>(now - lastAt) / 1e9));
            bytes = counter.Bytes();
            lastAt = now;
        }
        elapsedS = static_cast<double>(MonotonicNs() - start) / 1e9;
        bytes = counter.Bytes();
        replies = counter.Replies();
        lost = counter.Lost();
    }
    panel.driver.ClosePort();
    module.Stop();
    const std::string report = module.Errors();
    std::string trace = "per sample:";
    for (double r : perSecond) {
        trace += " " + std::to_string(static_cast<long long>(r));
    }
    PrintFigures(
        {{"receive.mean", static_cast<double>(bytes) / elapsedS, "B/s", kLineBytesPerSecond,
          Goal::AtLeast, 50,
          Format("%lld bytes, %lld replies applied, %lld lost, in %.1f s", bytes, replies, lost,
                 elapsedS)},
         {"receive.worst_second", *std::min_element(perSecond.begin(), perSecond.end()), "B/s",
          kLineBytesPerSecond, Goal::AtLeast, 50, trace},
         {"receive.lost_replies", static_cast<double>(lost), "frames", 1, Goal::AtMost, 0, ""}});
    std::smatch sent;
    if (std::regex_search(report, sent, std::regex("sent ([0-9]+) frames, ([0-9]+) bytes"))) {
        Say("receive: the module sent " + sent[2].str() + " bytes in all (" + sent[1].str() +
            " replies), including before the window");
    }
    return true;
}

// The panel's CPU while the module streams at exactly the line rate, or with the port open
// and synchronised and nothing happening.
bool RunCpuCost(const BenchConfig& config, BenchPanel& panel, bool lineRate) {
    testkit::Process module;
    const std::vector<std::string> args =
        lineRate ? std::vector<std::string>{"--stream", "960"} : std::vector<std::string>{};
    if (!StartModule(config, &panel, module, lineRate ? kComLineRate : kComPlain, args,
                     lineRate ? "linerate" : "idle")) {
        return false;
    }
    if (!lineRate) {
        // The panel serves scripts while a port is open: the idle figure includes that socket.
        Say(panel.dialog.Server().Path().empty()
                ? "idle: the control socket is not open"
                : "idle: the control socket is open, no client connected");
    }
    std::optional<HandOffCounter> counter;
    if (lineRate) {
        counter.emplace(panel.state, false);
    }
    panel.driver.Idle(config.smoke ? 100 : lineRate ? 500 : 1000);
    if (counter) {
        counter->Reset();
    }
    const CpuTime before = SelfCpu();
    const std::int64_t start = MonotonicNs();
    panel.driver.Idle(config.smoke ? 500 : 10000);
    const double wall = static_cast<double>(MonotonicNs() - start) / 1e9;
    const CpuTime after = SelfCpu();
    const double bytesPerSecond = counter ? static_cast<double>(counter->Bytes()) / wall : 0;
    panel.driver.ClosePort();
    module.Stop();
    const double cpu = after.all - before.all;
    const double gui = after.mainThread - before.mainThread;
    const double other = after.otherThreads - before.otherThreads;
    PrintFigures({{lineRate ? "cpu.line_rate" : "cpu.idle", 100.0 * cpu / wall, "%core",
                   lineRate ? 2.0 : 0.1, Goal::AtMost, 1,
                   lineRate ? Format("%.1f ms CPU in %.1f s (GUI thread %.1f ms, other threads "
                                     "%.1f ms), %.0f B/s received",
                                     cpu * 1e3, wall, gui * 1e3, other * 1e3, bytesPerSecond)
                            : Format("%.2f ms CPU in %.1f s (GUI thread %.2f ms, other threads "
                                     "%.2f ms)",
                                     cpu * 1e3, wall, gui * 1e3, other * 1e3)}});
    return true;
}

bool RunLineRateCost(const BenchConfig& config, BenchPanel& panel) {
    return RunCpuCost(config, panel, true);
}

bool RunIdleCost(const BenchConfig& config, BenchPanel& panel) {
    return RunCpuCost(config, panel, false);
}

// A slider moved at a random moment, to the first byte of its set frame as the module side
// reads it. The module runs on a thread here so both ends share one clock.
bool RunSliderToWire(const BenchConfig& config, BenchPanel& panel) {
    ModuleConfig moduleConfig;
    moduleConfig.channel = 40;
    moduleConfig.power = 1000;
    InProcessModule module(kComInProcess, moduleConfig);
    if (!module.Error().empty()) {
        Say("slider: " + module.Error());
        return false;
    }
    if (!OpenAndSync(panel, kComInProcess, "slider")) {
        return false;
    }
    PanelDriver& driver = panel.driver;
    const int moves = config.smoke ? 3 : 50;
    // Random moments spread evenly over the tracking period: one in each of `moves` equal
    // slices, in shuffled order, so that even a short run sees moves just after a tick.
    std::mt19937 random(20240607);
    std::uniform_real_distribution<double> within(0, 1);
    std::vector<int> waits;
    waits.reserve(static_cast<std::size_t>(moves));
    for (int i = 0; i < moves; ++i) {
        waits.push_back(static_cast<int>((i + within(random)) * kTrackPeriodMs / moves));
    }
    std::shuffle(waits.begin(), waits.end(), random);
    std::vector<double> latencyMs;
    bool ok = true;
    for (int i = 0; i < moves && ok; ++i) {
        driver.Idle(waits[static_cast<std::size_t>(i)]);
        const bool channel = i % 2 == 0;
        const char* slider = channel ? "IDC_SLIDER_CHANNEL" : "IDC_SLIDER_POWER";
        const int now = driver.SliderValue(slider);
        const int value = channel ? (now == 40 ? 41 : 40) : (now == 1000 ? 1001 : 1000);
        const std::size_t seen = module.Frames().size();
        const std::int64_t moved = MonotonicNs();
        driver.MoveSlider(slider, value);
        std::int64_t wire = 0;
        const std::uint8_t command = channel ? CMD_CHANNEL : CMD_POWER;
        // Waits for the set frame, then for the reply that brings the panel back in step.
        ok = driver.WaitFor(
            [&] {
                const auto frames = module.Frames();
                for (std::size_t k = seen; k < frames.size(); ++k) {
                    const CommandFrame& f = frames[k].frame;
                    if (KindOf(f) == FrameKind::Set && f[2] == command) {
                        wire = frames[k].atNs;
                        return true;
                    }
                }
                return false;
            },
            3000, 2);
        if (!ok) {
            Say(Format("slider: move %d never reached the module", i));
            break;
        }
        latencyMs.push_back(NsToMs(wire - moved));
        driver.WaitFor(
            [&] {
                return panel.state.currentChannel == driver.SliderValue("IDC_SLIDER_CHANNEL") &&
                       panel.state.currentPower == driver.SliderValue("IDC_SLIDER_POWER");
            },
            2000);
    }
    driver.ClosePort();
    if (latencyMs.empty()) {
        return false;
    }
    const std::string n = Format("n=%zu", latencyMs.size());
    PrintFigures(
        {{"slider_to_wire.median", Median(latencyMs), "ms", kTrackPeriodMs, Goal::None, 0, n},
         {"slider_to_wire.worst", Worst(latencyMs), "ms", kTrackPeriodMs, Goal::AtMost, 1.1, n}});
    return ok;
}

// Process start to the first painted frame, and peak resident memory, of the panel program
// and of a minimal dialog program built the same way.
bool RunStartup(const BenchConfig& config, BenchPanel& /*panel*/) {
    // Start-up in ms and peak memory in KiB of one run of `path`, added to `ms` and `kb`.
    auto runOnce = [](const std::string& path, std::vector<double>& ms, std::vector<double>& kb) {
        testkit::Process child;
        const std::int64_t spawned = MonotonicNs();
        std::optional<std::string> painted;
        std::optional<std::string> peak;
        int exitCode = -1;
        if (child.Start(path, {})) {
            painted = child.WaitForLine("first-frame ", 20000);
            peak = child.WaitForLine("peak-rss ", 10000);
            exitCode = child.Stop(10000);
        }
        if (!painted || !peak || exitCode != 0) {
            Say("startup: " + path + " did not report its first frame and end cleanly");
            return false;
        }
        // "first-frame <ns>", "peak-rss <KiB>"
        ms.push_back(NsToMs(std::atoll(painted->c_str() + painted->find(' ')) - spawned));
        kb.push_back(std::atof(peak->c_str() + peak->find(' ')));
        return true;
    };
    std::vector<double> panelMs, minimalMs, panelKb, minimalKb, unused;
    // One unmeasured run of each first: font and shared-library caches are warm for both.
    if (!config.smoke && (!runOnce(config.startupPanelPath, unused, unused) ||
                          !runOnce(config.startupMinimalPath, unused, unused))) {
        return false;
    }
    const int runs = config.smoke ? 1 : 11;
    for (int i = 0; i < runs; ++i) {
        // Alternated, so a slow moment of the machine falls on both alike.
        if (!runOnce(config.startupMinimalPath, minimalMs, minimalKb) ||
            !runOnce(config.startupPanelPath, panelMs, panelKb)) {
            return false;
        }
    }
    const std::string n = Format("n=%d, limit = minimal Qt dialog", runs);
    PrintFigures(
        {{"startup.first_frame", Median(panelMs), "ms", Median(minimalMs), Goal::AtMost, 1.3, n},
         {"startup.peak_rss", Median(panelKb), "KiB", Median(minimalKb), Goal::AtMost, 1.3, n}});
    return true;
}

}  // namespace bench
