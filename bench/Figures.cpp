#include "Figures.h"

#include <QApplication>
#include <QEvent>
#include <QTimer>
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <random>
#include <regex>

#include "BenchSupport.h"
#include "ControllerDlg.h"
#include "LinkBridge.h"
#include "PanelDriver.h"

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

enum class Goal { AtMost, AtLeast, None };

// One figure line: name, value and unit, the limit it is compared with, the ratio, and the
// ratio the target allows.
void PrintFigure(const char* name, double value, const char* unit, double limit, Goal goal,
                 double target, const std::string& note = {}) {
    const double ratio = limit != 0 ? value / limit : 0;
    const char* verdict = "";
    char wanted[32] = "-";
    if (goal != Goal::None) {
        const bool met = goal == Goal::AtMost ? ratio <= target : ratio >= target;
        verdict = met ? "met" : "MISSED";
        std::snprintf(wanted, sizeof wanted, "%s %.3g", goal == Goal::AtMost ? "<=" : ">=", target);
    }
    std::printf("%-26s %12.3f %-7s limit %12.3f %-7s ratio %8.4f  target %-8s %s%s%s\n", name,
                value, unit, limit, unit, ratio, wanted, verdict, note.empty() ? "" : "  # ",
                note.c_str());
    std::fflush(stdout);
}

void Say(const std::string& text) {
    std::printf("# %s\n", text.c_str());
    std::fflush(stdout);
}

double NsToMs(std::int64_t ns) {
    return static_cast<double>(ns) / 1e6;
}

bool StartModule(const BenchConfig& config, ModuleProcess& module, int com,
                 const std::vector<std::string>& args, const char* tag) {
    std::string error;
    const auto stderrFile = config.folder / (std::string("module-") + tag + ".err");
    if (!module.Start(config.modulePath, com, args, stderrFile, error)) {
        Say(std::string("cannot start the module for ") + tag + ": " + error);
        return false;
    }
    return true;
}

// "sent N frames, M bytes" from the module's report, or -1s.
std::pair<long long, long long> SentCounts(const std::string& report) {
    std::smatch match;
    static const std::regex kSent("sent ([0-9]+) frames, ([0-9]+) bytes");
    if (std::regex_search(report, match, kSent)) {
        return {std::stoll(match[1]), std::stoll(match[2])};
    }
    return {-1, -1};
}

bool OpenAndSync(PanelDriver& panel, int com, const char* what) {
    if (!panel.OpenCom(com, kOpenDeadlineMs)) {
        Say(std::string(what) + ": the panel did not open COM" + std::to_string(com));
        return false;
    }
    if (!panel.WaitSynced(kSyncDeadlineMs)) {
        Say(std::string(what) + ": the panel did not synchronise with COM" + std::to_string(com));
        panel.ClosePort();
        return false;
    }
    return true;
}

// A module on `com` with `args`, and the panel open and synchronised with it; on failure
// nothing is left running.
bool StartModuleAndSync(const BenchConfig& config, PanelDriver& panel, ModuleProcess& module,
                        int com, const std::vector<std::string>& args, const char* what) {
    if (!StartModule(config, module, com, args, what)) {
        return false;
    }
    if (!OpenAndSync(panel, com, what)) {
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
    HandOffCounter(ControllerState& state, bool watchReplies, bool moduleOutputOn)
        : m_state(state), m_watchReplies(watchReplies), m_moduleOutputOn(moduleOutputOn) {
        qApp->installEventFilter(this);
    }
    ~HandOffCounter() override { qApp->removeEventFilter(this); }

    void Reset() {
        m_bytes = 0;
        m_replies = 0;
        m_lost = 0;
        m_sinceReply = -1;
    }
    long long Bytes() const { return m_bytes; }
    long long Replies() const { return m_replies; }
    // Replies the framer should have accepted and the panel did not apply: every gap between
    // two applied replies longer than one frame, and a tail of more than one frame.
    long long Lost() const {
        const long long tail = m_sinceReply > 6 ? m_sinceReply / 6 - 1 : 0;
        return m_lost + tail;
    }

protected:
    bool eventFilter(QObject* target, QEvent* event) override {
        if (event->type() != QEvent::MetaCall || qobject_cast<LinkBridge*>(target) == nullptr) {
            return false;
        }
        ++m_bytes;
        if (m_sinceReply >= 0) {
            ++m_sinceReply;
        }
        if (!m_watchReplies) {
            return false;
        }
        const std::int32_t channel = m_state.currentChannel;
        const std::int32_t power = m_state.currentPower;
        const bool output = m_state.outputOn;
        m_state.currentChannel = kMarker;
        m_state.currentPower = kMarker;
        m_state.outputOn = !m_moduleOutputOn;
        target->event(event);
        bool applied = false;
        if (m_state.currentChannel != kMarker) {
            applied = true;
        } else {
            m_state.currentChannel = channel;
        }
        if (m_state.currentPower != kMarker) {
            applied = true;
        } else {
            m_state.currentPower = power;
        }
        if (m_state.outputOn == m_moduleOutputOn) {
            applied = true;  // only an output reply turns the marker back
        } else {
            m_state.outputOn = output;
        }
        if (applied) {
            ++m_replies;
            if (m_sinceReply > 6) {
                m_lost += (m_sinceReply + 5) / 6 - 1;
            }
            m_sinceReply = 0;
        }
        return true;  // handled above
    }

private:
    static constexpr std::int32_t kMarker = -1000000;
    ControllerState& m_state;
    bool m_watchReplies;
    bool m_moduleOutputOn;
    long long m_bytes = 0;
    long long m_replies = 0;
    long long m_lost = 0;
    long long m_sinceReply = -1;  // bytes since the last applied reply; -1 before the first
};

}  // namespace

void PrintFigureHeader() {
    std::printf(
        "# figure, value and unit, the limit it is compared with, ratio = value / limit, "
        "the target on the ratio, verdict\n");
    std::fflush(stdout);
}

// Figures 1 and 6: open to synchronised, and ClosePort to the panel's reset, over cycles
// against a module that answers at once.
bool RunSyncAndClose(const BenchConfig& config, PanelDriver& panel) {
    ModuleProcess module;
    if (!StartModule(config, module, kComPlain, {}, "sync")) {
        return false;
    }
    const int cycles = config.smoke ? 2 : 50;
    std::vector<double> syncMs;
    std::vector<double> closeMs;
    bool ok = true;
    for (int i = 0; i < cycles && ok; ++i) {
        std::int64_t clicked = 0;
        std::int64_t synced = 0;
        if (!panel.OpenCom(kComPlain, kOpenDeadlineMs, &clicked) ||
            !panel.WaitSynced(kSyncDeadlineMs, &synced)) {
            Say("sync: cycle " + std::to_string(i) + " did not synchronise");
            ok = false;
            break;
        }
        syncMs.push_back(NsToMs(synced - clicked));
        // A synchronised panel sits a while, as an operator's would, before the close.
        panel.Idle(30);
        const std::int64_t closeNs = panel.ClosePort();
        if (closeNs < 0 || !panel.IsClosed()) {
            Say("close: cycle " + std::to_string(i) + " did not return the panel to closed");
            ok = false;
            break;
        }
        closeMs.push_back(NsToMs(closeNs));
    }
    module.Stop();
    if (syncMs.empty() || closeMs.empty()) {
        return false;
    }
    const double floorMs = 3 * kQueryPeriodMs + 36 * 1000.0 / kLineBytesPerSecond;
    const std::string n = "n=" + std::to_string(syncMs.size());
    PrintFigure("sync.median", Median(syncMs), "ms", floorMs, Goal::AtMost, 1.05, n);
    PrintFigure("sync.worst", Worst(syncMs), "ms", floorMs, Goal::AtMost, 1.2, n);
    PrintFigure("close.median", Median(closeMs), "ms", kClosePauseMs, Goal::AtMost, 1.1, n);
    PrintFigure("close.worst", Worst(closeMs), "ms", kClosePauseMs, Goal::AtMost, 1.1, n);
    return ok;
}

// Figure 2: the module streams replies as fast as the pty takes them; the panel hands over
// and applies every one.
bool RunReceiveCapacity(const BenchConfig& config, PanelDriver& panel) {
    ModuleProcess module;
    if (!StartModuleAndSync(config, panel, module, kComFlood, {"--stream", "max"}, "receive")) {
        return false;
    }
    // Ten one-second samples, or one short one for the smoke run.
    const int samples = config.smoke ? 1 : 10;
    const int sampleMs = config.smoke ? 500 : 1000;
    std::vector<double> perSecond;
    long long bytes = 0;
    long long replies = 0;
    long long lost = 0;
    double elapsedS = 0;
    {
        // The module's output starts off and nothing here changes it.
        HandOffCounter counter(panel.MutableState(), true, false);
        panel.Idle(config.smoke ? 100 : 300);
        counter.Reset();
        const std::int64_t start = NowNs();
        long long lastBytes = 0;
        std::int64_t lastAt = start;
        for (int s = 0; s < samples; ++s) {
            panel.Idle(sampleMs);
            const std::int64_t now = NowNs();
            perSecond.push_back(static_cast<double>(counter.Bytes() - lastBytes) /
                                (static_cast<double>(now - lastAt) / 1e9));
            lastBytes = counter.Bytes();
            lastAt = now;
        }
        elapsedS = static_cast<double>(NowNs() - start) / 1e9;
        bytes = counter.Bytes();
        replies = counter.Replies();
        lost = counter.Lost();
    }
    panel.ClosePort();
    const auto [frames, sentBytes] = SentCounts(module.Stop());
    const double rate = static_cast<double>(bytes) / elapsedS;
    char note[160];
    std::snprintf(note, sizeof note, "%lld bytes, %lld replies applied, %lld lost, in %.1f s",
                  bytes, replies, lost, elapsedS);
    PrintFigure("receive.mean", rate, "B/s", kLineBytesPerSecond, Goal::AtLeast, 50, note);
    const double worst = *std::min_element(perSecond.begin(), perSecond.end());
    std::string trace = "per sample:";
    for (double r : perSecond) {
        trace += " " + std::to_string(static_cast<long long>(r));
    }
    PrintFigure("receive.worst_second", worst, "B/s", kLineBytesPerSecond, Goal::AtLeast, 50,
                trace);
    PrintFigure("receive.lost_replies", static_cast<double>(lost), "frames", 1, Goal::AtMost, 0);
    if (sentBytes >= 0) {
        Say("receive: the module sent " + std::to_string(sentBytes) + " bytes in all (" +
            std::to_string(frames) + " replies), including before the window");
    }
    return true;
}

// Figure 3: the panel's CPU while the module streams at exactly the line rate.
bool RunLineRateCost(const BenchConfig& config, PanelDriver& panel) {
    ModuleProcess module;
    if (!StartModuleAndSync(config, panel, module, kComLineRate, {"--stream", "960"}, "linerate")) {
        return false;
    }
    const int windowMs = config.smoke ? 500 : 10000;
    HandOffCounter counter(panel.MutableState(), false, false);
    panel.Idle(config.smoke ? 100 : 500);
    counter.Reset();
    const ThreadCpu threads0 = SelfThreadCpu();
    const double cpu0 = SelfCpuSeconds();
    const std::int64_t start = NowNs();
    panel.Idle(windowMs);
    const double cpu = SelfCpuSeconds() - cpu0;
    const double wall = static_cast<double>(NowNs() - start) / 1e9;
    const ThreadCpu threads1 = SelfThreadCpu();
    const long long bytes = counter.Bytes();
    panel.ClosePort();
    module.Stop();
    char note[200];
    std::snprintf(note, sizeof note,
                  "%.1f ms CPU in %.1f s (GUI thread %.1f ms, other threads %.1f ms), %.0f B/s "
                  "received",
                  cpu * 1e3, wall, (threads1.mainThread - threads0.mainThread) * 1e3,
                  (threads1.otherThreads - threads0.otherThreads) * 1e3,
                  static_cast<double>(bytes) / wall);
    PrintFigure("cpu.line_rate", 100.0 * cpu / wall, "%core", 2.0, Goal::AtMost, 1, note);
    return true;
}

// Figure 4: the panel's CPU with the port open and synchronised and nothing happening.
bool RunIdleCost(const BenchConfig& config, PanelDriver& panel) {
    ModuleProcess module;
    if (!StartModuleAndSync(config, panel, module, kComPlain, {}, "idle")) {
        return false;
    }
    const int windowMs = config.smoke ? 500 : 10000;
    panel.Idle(config.smoke ? 100 : 1000);
    const ThreadCpu threads0 = SelfThreadCpu();
    const double cpu0 = SelfCpuSeconds();
    const std::int64_t start = NowNs();
    panel.Idle(windowMs);
    const double cpu = SelfCpuSeconds() - cpu0;
    const double wall = static_cast<double>(NowNs() - start) / 1e9;
    const ThreadCpu threads1 = SelfThreadCpu();
    panel.ClosePort();
    module.Stop();
    char note[160];
    std::snprintf(note, sizeof note,
                  "%.2f ms CPU in %.1f s (GUI thread %.2f ms, other threads %.2f ms)", cpu * 1e3,
                  wall, (threads1.mainThread - threads0.mainThread) * 1e3,
                  (threads1.otherThreads - threads0.otherThreads) * 1e3);
    PrintFigure("cpu.idle", 100.0 * cpu / wall, "%core", 0.1, Goal::AtMost, 1, note);
    return true;
}

// Figure 5: a slider moved at a random moment, to the first byte of its set frame as the
// module side reads it. The module runs on a thread here so both ends share one clock.
bool RunSliderToWire(const BenchConfig& config, PanelDriver& panel) {
    InProcessModule module;
    std::string error;
    ModuleConfig moduleConfig;
    moduleConfig.channel = 40;
    moduleConfig.power = 1000;
    if (!module.Start(kComInProcess, moduleConfig, error)) {
        Say("slider: " + error);
        return false;
    }
    if (!OpenAndSync(panel, kComInProcess, "slider")) {
        return false;
    }
    const int moves = config.smoke ? 3 : 50;
    // Random moments spread evenly over the tracking period: one in each of `moves` equal
    // slices, in shuffled order, so that even a short run sees moves just after a tick.
    std::mt19937 random(20240607);
    std::uniform_real_distribution<double> within(0, 1);
    std::vector<int> waits;
    for (int i = 0; i < moves; ++i) {
        waits.push_back(static_cast<int>((i + within(random)) * kTrackPeriodMs / moves));
    }
    std::shuffle(waits.begin(), waits.end(), random);
    std::vector<double> latencyMs;
    bool ok = true;
    for (int i = 0; i < moves && ok; ++i) {
        panel.Idle(waits[static_cast<std::size_t>(i)]);
        const bool channel = i % 2 == 0;
        const char* slider = channel ? "IDC_SLIDER_CHANNEL" : "IDC_SLIDER_POWER";
        const int now = panel.SliderValue(slider);
        const int value = channel ? (now == 40 ? 41 : 40) : (now == 1000 ? 1001 : 1000);
        const std::size_t seen = module.Frames().size();
        const std::int64_t moved = NowNs();
        panel.MoveSlider(slider, value);
        std::int64_t wire = 0;
        const std::uint8_t command = channel ? CMD_CHANNEL : CMD_POWER;
        // Waits for the set frame, then for the reply that brings the panel back in step.
        const bool arrived = panel.WaitFor(
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
        if (!arrived) {
            Say("slider: move " + std::to_string(i) + " never reached the module");
            ok = false;
            break;
        }
        latencyMs.push_back(NsToMs(wire - moved));
        panel.WaitFor(
            [&] {
                return panel.State().currentChannel == panel.SliderValue("IDC_SLIDER_CHANNEL") &&
                       panel.State().currentPower == panel.SliderValue("IDC_SLIDER_POWER");
            },
            2000);
    }
    panel.ClosePort();
    module.Stop();
    if (latencyMs.empty()) {
        return false;
    }
    const std::string n = "n=" + std::to_string(latencyMs.size());
    PrintFigure("slider_to_wire.median", Median(latencyMs), "ms", kTrackPeriodMs, Goal::None, 0, n);
    PrintFigure("slider_to_wire.worst", Worst(latencyMs), "ms", kTrackPeriodMs, Goal::AtMost, 1.1,
                n);
    return ok;
}

// Figure 7: process start to the first painted frame, and peak resident memory, of the panel
// program and of a minimal dialog program built the same way.
bool RunStartup(const BenchConfig& config) {
    struct Sample {
        double startMs;
        long rssKb;
    };
    auto runOnce = [&config](const std::string& path, Sample& sample) {
        ChildProcess child;
        std::string error;
        const std::int64_t spawned = NowNs();
        if (!child.Start(path, {}, (config.folder / "startup.err").string(), error)) {
            Say("startup: " + error);
            return false;
        }
        const auto line = child.WaitForLine("first-frame ", 20000);
        const auto peak = child.WaitForLine("peak-rss ", 10000);
        const int status = child.Stop(10000);
        if (!line || !peak || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            Say("startup: " + path + " did not report its first frame and end cleanly");
            return false;
        }
        const std::int64_t painted = std::stoll(line->substr(line->find(' ') + 1));
        sample = {NsToMs(painted - spawned), std::stol(peak->substr(peak->find(' ') + 1))};
        return true;
    };
    const int runs = config.smoke ? 1 : 11;
    std::vector<double> panelMs, minimalMs, panelKb, minimalKb;
    Sample sample{};
    // One unmeasured run of each first: font and shared-library caches are warm for both.
    if (!config.smoke && (!runOnce(config.startupPanelPath, sample) ||
                          !runOnce(config.startupMinimalPath, sample))) {
        return false;
    }
    for (int i = 0; i < runs; ++i) {
        // Alternated, so a slow moment of the machine falls on both alike.
        if (!runOnce(config.startupMinimalPath, sample)) {
            return false;
        }
        minimalMs.push_back(sample.startMs);
        minimalKb.push_back(static_cast<double>(sample.rssKb));
        if (!runOnce(config.startupPanelPath, sample)) {
            return false;
        }
        panelMs.push_back(sample.startMs);
        panelKb.push_back(static_cast<double>(sample.rssKb));
    }
    const std::string n = "n=" + std::to_string(runs) + ", limit = minimal Qt dialog";
    PrintFigure("startup.first_frame", Median(panelMs), "ms", Median(minimalMs), Goal::AtMost, 1.5,
                n);
    PrintFigure("startup.peak_rss", Median(panelKb), "KiB", Median(minimalKb), Goal::AtMost, 1.3,
                n);
    return true;
}

}  // namespace bench
