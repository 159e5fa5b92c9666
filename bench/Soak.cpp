// The fault soak: the panel against a module that drops, corrupts and garbles its replies,
// driven at random by an operator who never rests for long, closed and reopened every ten
// seconds, and once unplugged and plugged back in.
#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>

#include "BenchSupport.h"
#include "ChannelGrid.h"
#include "CommandFrame.h"
#include "Figures.h"
#include "PanelDriver.h"

namespace bench {

namespace {

constexpr int kComSoak = 215;
constexpr std::uint64_t kSeed = 7;
constexpr std::int64_t kSecondNs = 1'000'000'000;
const std::vector<std::string> kFaults = {"--drop", "0.1", "--corrupt", "0.05", "--noise", "0.05"};

void Say(const std::string& text) {
    std::printf("soak: %s\n", text.c_str());
    std::fflush(stdout);
}

std::string Format(const char* format, auto... args) {
    char text[256];
    std::snprintf(text, sizeof text, format, args...);
    return text;
}

// What the module did, read from its wire log as it runs: the value it last reported for
// each command, what became of that report, and when the panel last sent it anything.
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

    void OnLine(const std::string& line) {
        std::istringstream in(line);
        std::string time;
        std::string dir;
        in >> time >> dir;
        if (dir != "rx" && dir != "tx" && dir != "--") {
            return;
        }
        std::vector<std::uint8_t> bytes;
        std::string meaning;
        for (std::string token; in >> token;) {
            if (token.size() == 2 && std::isxdigit(static_cast<unsigned char>(token[0])) &&
                std::isxdigit(static_cast<unsigned char>(token[1]))) {
                bytes.push_back(static_cast<std::uint8_t>(std::stoi(token, nullptr, 16)));
                continue;
            }
            std::string rest;
            std::getline(in, rest);
            meaning = token + rest;
            break;
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        if (dir == "rx") {
            m_lastRxNs = NowNs();
            ++m_rxFrames;
            if (bytes.size() == kFrameSize && bytes[0] == 0x00 && bytes[1] == 0x01 &&
                bytes[2] >= 1 && bytes[2] <= 3) {
                std::vector<int>& sets = m_sets[bytes[2]];
                sets.push_back(ValueOf(bytes));
                if (sets.size() > kSetsKept) {
                    sets.erase(sets.begin());
                }
            }
            return;
        }
        if (meaning == "noise") {
            m_repliesSinceNoise = 0;
            ++m_noise;
            return;
        }
        if (bytes.size() != kFrameSize || bytes[0] != 0x01 || bytes[1] != 0x01 || bytes[2] < 1 ||
            bytes[2] > 3) {
            return;
        }
        Quantity& q = m_quantities[bytes[2]];
        q.known = true;
        switch (bytes[2]) {
            case CMD_CHANNEL:
                q.value = bytes[4];
                break;
            case CMD_POWER:
                q.value = bytes[3] * 256 + bytes[4];
                break;
            default:
                q.value =
                    bytes[3] != 0 && bytes[4] != 0 ? 1 : (bytes[3] == 0 && bytes[4] == 0 ? 0 : -1);
                break;
        }
        if (dir == "--") {
            q.fate = Fate::Dropped;
            ++m_dropped;
            return;
        }
        ++m_repliesSinceNoise;
        q.afterNoise = m_repliesSinceNoise <= 3;
        if (meaning.find("corrupted") != std::string::npos) {
            q.fate = Fate::Corrupted;
            ++m_corrupted;
        } else {
            q.fate = Fate::Intact;
            ++m_intact;
        }
    }

    /// True when one of the last set frames of `command` the module received carried `value`.
    bool ReceivedSet(int command, int value) const {
        std::lock_guard<std::mutex> lock(m_mutex);
        const std::vector<int>& sets = m_sets[static_cast<std::size_t>(command)];
        return std::find(sets.begin(), sets.end(), value) != sets.end();
    }

    std::array<Quantity, 4> Quantities() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_quantities;
    }
    std::int64_t LastRxNs() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_lastRxNs;
    }
    std::string Counts() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return Format(
            "%lld frames received; replies: %lld intact, %lld corrupted, %lld dropped, "
            "%lld with noise",
            m_rxFrames, m_intact, m_corrupted, m_dropped, m_noise);
    }

private:
    static constexpr std::size_t kSetsKept = 16;

    static int ValueOf(const std::vector<std::uint8_t>& frame) {
        switch (frame[2]) {
            case CMD_CHANNEL:
                return frame[4];
            case CMD_POWER:
                return frame[3] * 256 + frame[4];
            default:
                return frame[3] != 0 && frame[4] != 0 ? 1
                                                      : (frame[3] == 0 && frame[4] == 0 ? 0 : -1);
        }
    }

    mutable std::mutex m_mutex;
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

class Soak {
public:
    Soak(const BenchConfig& config, PanelDriver& panel, int seconds)
        : m_config(config), m_panel(panel), m_seconds(seconds), m_random(kSeed) {}

    bool Run() {
        Say(
            Format("%d s against varnel-module --drop 0.1 --corrupt 0.05 --noise 0.05 --seed "
                   "%llu, COM%d",
                   m_seconds, static_cast<unsigned long long>(kSeed), kComSoak));
        // The pull comes early, so that the one-off costs of the first report box and the
        // second module are behind the memory baseline, which is taken after it.
        const double pullAfterS = std::max(3.0, m_seconds * 0.15);
        if (!StartModule(m_first, m_firstView, pullAfterS, kSeed, "first")) {
            return false;
        }
        m_start = NowNs();
        m_pullPlannedNs = m_start + static_cast<std::int64_t>(pullAfterS * 1e9);
        QTimer watcher;
        QObject::connect(&watcher, &QTimer::timeout, [this] { Watch(); });
        watcher.start(50);
        QTimer sampler;
        QObject::connect(&sampler, &QTimer::timeout,
                         [this] { m_rss.emplace_back(NowNs() - m_start, SelfRssKb()); });
        sampler.start(1000);
        m_rss.emplace_back(0, SelfRssKb());

        m_view = &m_firstView;
        OpenAndSync("first open");
        const std::int64_t end = m_start + m_seconds * kSecondNs;
        std::int64_t nextReopen = m_start + 10 * kSecondNs;
        while (NowNs() < end) {
            if (!m_pulled && m_first.Process().Exited()) {
                HandlePull();
            } else if (NowNs() >= nextReopen) {
                CloseAndReopen();
                nextReopen += 10 * kSecondNs;
            } else if (m_panel.State().synced && m_panel.State().portOpen) {
                Burst(end);
                QuietCheck();
            } else {
                // Closed by something other than the bench (only the pull does that): wait
                // for the pull to show, or the next round to reopen.
                m_panel.Idle(100);
            }
        }
        QuietCheck();
        m_rss.emplace_back(NowNs() - m_start, SelfRssKb());
        m_panel.ClosePort();
        m_first.Stop();
        m_second.Stop();
        return Report();
    }

private:
    bool StartModule(ModuleProcess& module, ModuleView& view, double unplugAfterS,
                     std::uint64_t seed, const char* tag) {
        std::vector<std::string> args = kFaults;
        args.insert(args.end(), {"--seed", std::to_string(seed), "--log"});
        if (unplugAfterS > 0) {
            args.insert(args.end(), {"--unplug-after", Format("%.1f", unplugAfterS)});
        }
        std::string error;
        if (!module.Start(m_config.modulePath, kComSoak, args,
                          m_config.folder / (std::string("soak-") + tag + ".err"), error)) {
            Say("cannot start the module: " + error);
            return false;
        }
        module.Process().ReadLinesInBackground(
            [&view](const std::string& line) { view.OnLine(line); });
        return true;
    }

    void OpenAndSync(const char* what) {
        ++m_opens;
        if (!m_panel.OpenCom(kComSoak, 10000)) {
            if (!Pulling()) {
                m_failures.push_back(Format("%s: the port did not open", what));
            }
            return;
        }
        if (m_panel.WaitSynced(20000)) {
            ++m_syncs;
        } else if (!Pulling()) {
            m_failures.push_back(
                Format("%s at %.1f s: the synchronisation did not complete", what, Elapsed()));
        }
    }

    bool Pulling() { return !m_pulled && m_first.Process().Exited(); }

    double Elapsed() const { return static_cast<double>(NowNs() - m_start) / 1e9; }

    void CloseAndReopen() {
        if (Pulling()) {
            return;
        }
        if (m_panel.State().portOpen) {
            m_panel.ClosePort();
            if (!m_panel.IsClosed()) {
                m_failures.push_back(Format("close at %.1f s: the panel did not reset", Elapsed()));
            }
        }
        ++m_reopens;
        OpenAndSync("reopen");
        if (m_panel.State().synced) {
            QuietCheck();
        }
    }

    void HandlePull() {
        m_pulled = true;
        const bool closed = m_panel.WaitFor([this] { return m_panel.IsClosed(); }, 10000);
        if (!closed) {
            m_failures.push_back("pull: the panel did not return to its closed state");
        }
        if (closed && m_closedAfterPullNs != 0) {
            m_pullNote = Format(
                "the panel was back in its closed state %.0f ms (+-50) after the "
                "module hung up",
                static_cast<double>(m_closedAfterPullNs - m_hungUpNs) / 1e6);
        }
        m_first.Stop();
        if (!StartModule(m_second, m_secondView, 0, kSeed + 1, "second")) {
            m_failures.push_back("pull: the module could not be published again");
            return;
        }
        m_view = &m_secondView;
        OpenAndSync("open after the pull");
        m_baselineFromNs = NowNs() - m_start;
    }

    void Burst(std::int64_t end) {
        const std::int64_t until =
            std::min(end, NowNs() + static_cast<std::int64_t>(Uniform(1.0, 2.5) * 1e9));
        while (NowNs() < until && m_panel.State().synced && m_panel.State().portOpen) {
            const int pick = Int(0, 99);
            if (pick < 30) {
                MoveSlider();
            } else if (pick < 50) {
                TypeValue();
            } else if (pick < 70) {
                HoldStep();
            } else if (pick < 85) {
                m_panel.ClickThroughWindow("IDC_BTN_OUTPUT");
                ++m_toggles;
            }
            m_panel.Idle(Int(50, 400));
        }
    }

    void MoveSlider() {
        if (Int(0, 1) == 0) {
            m_panel.MoveSlider("IDC_SLIDER_CHANNEL", Int(1, 89));
        } else {
            m_panel.MoveSlider("IDC_SLIDER_POWER", Int(700, 1300));
        }
        ++m_moves;
    }

    void TypeValue() {
        if (Int(0, 1) == 0) {
            static const char* const kOdd[] = {"0", "120", "12.7", "-5", "-"};
            const QString text =
                Int(0, 9) == 0 ? QString::fromLatin1(kOdd[Int(0, 4)]) : QString::number(Int(1, 89));
            m_panel.TypeAndEnter("IDC_EDIT_CHANNEL", text);
        } else {
            const int hundredths = Int(650, 1350);
            m_panel.TypeAndEnter("IDC_EDIT_POWER",
                                 QString::number(hundredths / 100.0, 'f', Int(0, 2)));
        }
        ++m_typed;
    }

    void HoldStep() {
        static const char* const kButtons[] = {"IDC_BTN_CH_DOWN", "IDC_BTN_CH_UP",
                                               "IDC_BTN_POWER_DOWN", "IDC_BTN_POWER_UP"};
        m_panel.PressThroughWindow(kButtons[Int(0, 3)]);
        m_panel.Idle(Int(100, 2500));
        m_panel.ReleaseThroughWindow();
        ++m_holds;
    }

    // After a quiet second, the panel's readouts must show the module's state, unless the
    // module's last report of a value was one the faults took away.
    void QuietCheck() {
        if (!m_panel.State().synced || !m_panel.State().portOpen) {
            return;
        }
        m_panel.Idle(1000);
        // A last tracking tick may still send a slider position: wait until the module has
        // heard nothing for most of a tracking period.
        m_panel.WaitFor([this] { return NowNs() - m_view->LastRxNs() > 700'000'000; }, 4000, 50);
        if (!m_panel.State().synced || !m_panel.State().portOpen) {
            return;
        }
        ++m_checks;
        const auto module = m_view->Quantities();
        bool allEqual = true;
        for (int command = CMD_CHANNEL; command <= CMD_OUTPUT; ++command) {
            const ModuleView::Quantity& q = module[command];
            if (!q.known) {
                continue;
            }
            const std::string shown = Shown(command);
            if (shown == Expected(command, q.value)) {
                continue;
            }
            allEqual = false;
            const bool explained = q.fate != ModuleView::Fate::Intact || q.afterNoise;
            if (explained) {
                ++m_staleAfterFault;
                continue;
            }
            // The panel holds a value it sent that the module never received (a later Send can
            // replace a frame in the link's one-slot send buffer before it is written).
            // Tracking then sees slider and state agree and never sends it again.
            const int held = PanelValue(command);
            if (held != q.value && !m_view->ReceivedSet(command, held)) {
                ++m_sendReplaced;
                Say(
                    Format("check at %.1f s: the panel holds %s %d, which never reached the "
                           "module (it has %d): %s",
                           Elapsed(), Name(command), held, q.value, shown.c_str()));
                continue;
            }
            ++m_unexplained;
            m_failures.push_back(
                Format("check at %.1f s: the panel shows %s, the module's %s is "
                       "%d and its last report went out intact",
                       Elapsed(), shown.c_str(), Name(command), q.value));
        }
        if (allEqual) {
            ++m_equal;
        }
    }

    int PanelValue(int command) const {
        const ControllerState& state = m_panel.State();
        return command == CMD_CHANNEL ? state.currentChannel
               : command == CMD_POWER ? state.currentPower
                                      : (state.outputOn ? 1 : 0);
    }

    static const char* Name(int command) {
        return command == CMD_CHANNEL ? "channel" : command == CMD_POWER ? "power" : "output";
    }

    // The readouts of one value as text, and what they would be for the module's value.
    std::string Shown(int command) const {
        switch (command) {
            case CMD_CHANNEL:
                return Format("frequency %s, slider %d",
                              m_panel.Text("IDC_TXT_FREQUENCY").toStdString().c_str(),
                              m_panel.SliderValue("IDC_SLIDER_CHANNEL"));
            case CMD_POWER:
                return Format("power %s, slider %d",
                              m_panel.Text("IDC_EDIT_POWER").toStdString().c_str(),
                              m_panel.SliderValue("IDC_SLIDER_POWER"));
            default:
                return "output " + m_panel.Text("IDC_BTN_OUTPUT").toStdString();
        }
    }
    static std::string Expected(int command, int value) {
        switch (command) {
            case CMD_CHANNEL:
                return Format("frequency %d, slider %d", ChannelFrequency(value), value);
            case CMD_POWER:
                return Format("power %d.%02d, slider %d", value / 100, value % 100, value);
            default:
                return value == 1 ? "output ON" : "output OFF";
        }
    }

    // Every 50 ms, whatever the bench is doing: report boxes are dismissed, and the moments
    // the module hung up and the panel was back in its closed state are noted.
    void Watch() {
        DismissReportBoxes();
        if (m_hungUpNs == 0 && m_first.Process().Exited()) {
            m_hungUpNs = NowNs();
        }
        if (m_hungUpNs != 0 && m_closedAfterPullNs == 0 && m_panel.IsClosed()) {
            m_closedAfterPullNs = NowNs();
        }
    }

    void DismissReportBoxes() {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            auto* box = qobject_cast<QMessageBox*>(widget);
            if (box == nullptr || !box->isVisible()) {
                continue;
            }
            const std::string text = box->text().simplified().toStdString();
            // The pulled device may be reported: from just before the module hangs up until
            // the panel has opened the new one.
            const bool aroundPull = NowNs() >= m_pullPlannedNs - kSecondNs &&
                                    (!m_pulled || m_secondView.LastRxNs() == 0);
            if (aroundPull) {
                ++m_pullBoxes;
            } else {
                ++m_otherBoxes;
                m_failures.push_back(Format("report box at %.1f s: %s", Elapsed(), text.c_str()));
            }
            Say(Format("report box at %.1f s (%s): %s", Elapsed(),
                       aroundPull ? "pulled device" : "UNEXPECTED", text.c_str()));
            box->done(QMessageBox::Ok);
        }
    }

    bool Report() {
        Say(Format("operator: %d slider moves, %d typed values, %d step holds, %d output toggles",
                   m_moves, m_typed, m_holds, m_toggles));
        Say("first module: " + m_firstView.Counts());
        Say("second module: " + m_secondView.Counts());
        Say(Format("synchronisations completed: %d of %d opens (%d close-and-reopen rounds)",
                   m_syncs, m_opens, m_reopens));
        Say(
            Format("quiet checks: %d; all readouts equal the module: %d; a readout stale after an "
                   "injected fault: %d; a set frame that never reached the module: %d; "
                   "unexplained: %d",
                   m_checks, m_equal, m_staleAfterFault, m_sendReplaced, m_unexplained));
        const std::string pull = !m_pulled            ? "NOT DONE"
                                 : m_pullNote.empty() ? "done"
                                                      : "done, " + m_pullNote;
        Say("pull and re-publish: " + pull);
        Say(Format("report boxes: %d for the pulled device, %d other", m_pullBoxes, m_otherBoxes));
        if (!m_pulled) {
            m_failures.push_back("the module was never pulled (the soak ended first)");
        }
        if (m_syncs != m_opens) {
            m_failures.push_back(
                Format("%d of %d synchronisations did not complete", m_opens - m_syncs, m_opens));
        }
        // First and last minute, or first and last ten seconds of a soak under three minutes. The
        // first window starts once the pull has been recovered from: the first report box and the
        // second module cost memory once, and a leak is what is looked for.
        const std::int64_t window = (m_seconds >= 180 ? 60 : 10) * kSecondNs;
        const long long windowS = window / kSecondNs;
        const std::int64_t last = m_rss.back().first;
        long start = 0;
        long first = 0;
        long final = 0;
        for (const auto& [at, kb] : m_rss) {
            if (at <= window) {
                start = std::max(start, kb);
            }
            if (at >= m_baselineFromNs && at <= m_baselineFromNs + window) {
                first = std::max(first, kb);
            }
            if (at >= last - window) {
                final = std::max(final, kb);
            }
        }
        std::string trace;
        for (std::size_t i = 0; i < m_rss.size(); i += 5) {
            trace += Format(" %lld:%ld", static_cast<long long>(m_rss[i].first / kSecondNs),
                            m_rss[i].second);
        }
        Say("resident memory (s:KiB) every 5 s:" + trace);
        const long growth = final - first;
        Say(
            Format("resident memory: peak %ld KiB in the first %lld s, %ld KiB in the %lld s "
                   "after the pull's recovery (at %.1f s), %ld KiB in the last %lld s",
                   start, windowS, first, windowS, static_cast<double>(m_baselineFromNs) / 1e9,
                   final, windowS));
        Say(
            Format("resident memory growth after the recovery: %ld KiB (limit 1024 KiB); from "
                   "the very start: %ld KiB",
                   growth, final - start));
        if (m_baselineFromNs + window > last - window) {
            m_failures.push_back("the soak is too short for two memory windows");
        } else if (growth >= 1024) {
            m_failures.push_back(Format("resident memory grew by %ld KiB", growth));
        }
        for (const std::string& failure : m_failures) {
            Say("FAILED: " + failure);
        }
        Say(m_failures.empty() ? "PASS: no crash, no hang, every check held" : "FAIL");
        return m_failures.empty();
    }

    int Int(int low, int high) { return std::uniform_int_distribution<int>(low, high)(m_random); }
    double Uniform(double low, double high) {
        return std::uniform_real_distribution<double>(low, high)(m_random);
    }

    const BenchConfig& m_config;
    PanelDriver& m_panel;
    int m_seconds;
    std::mt19937 m_random;
    ModuleProcess m_first;
    ModuleProcess m_second;
    ModuleView m_firstView;
    ModuleView m_secondView;
    ModuleView* m_view = nullptr;
    std::int64_t m_start = 0;
    std::int64_t m_pullPlannedNs = 0;
    bool m_pulled = false;
    std::int64_t m_hungUpNs = 0;
    std::int64_t m_closedAfterPullNs = 0;
    std::int64_t m_baselineFromNs = 0;  // memory baseline: from the reopen after the pull
    std::string m_pullNote;
    std::vector<std::pair<std::int64_t, long>> m_rss;
    std::vector<std::string> m_failures;
    int m_opens = 0;
    int m_syncs = 0;
    int m_reopens = 0;
    int m_moves = 0;
    int m_typed = 0;
    int m_holds = 0;
    int m_toggles = 0;
    int m_checks = 0;
    int m_equal = 0;
    int m_staleAfterFault = 0;
    int m_sendReplaced = 0;
    int m_unexplained = 0;
    int m_pullBoxes = 0;
    int m_otherBoxes = 0;
};

}  // namespace

bool RunSoak(const BenchConfig& config, PanelDriver& panel, int seconds) {
    Soak soak(config, panel, seconds);
    return soak.Run();
}

}  // namespace bench
