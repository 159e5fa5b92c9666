// The fault soak: the panel against a module that drops, corrupts and garbles its replies,
// driven at random by an operator who never rests for long, closed and reopened every ten
// seconds, and once unplugged and plugged back in.
#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <algorithm>
#include <array>
#include <random>

#include "ChannelGrid.h"
#include "CommandFrame.h"
#include "Figures.h"
#include "ModuleQuantity.h"
#include "Process.h"
#include "ReadoutText.h"
#include "SoakModuleView.h"

namespace bench {

namespace {

constexpr int kComSoak = 215;
constexpr std::uint64_t kSeed = 7;
constexpr std::int64_t kSecondNs = 1'000'000'000;
const std::vector<std::string> kFaults = {"--drop", "0.1", "--corrupt", "0.05", "--noise", "0.05"};
const Voice SoakSay{"soak: "};

const char* Name(int command) {
    return QuantityName(QuantityOfCommand(static_cast<std::uint8_t>(command)).value());
}

class Soak {
public:
    Soak(const BenchConfig& config, BenchPanel& panel, int seconds)
        : m_config(config), m_state(panel.state), m_panel(panel.driver), m_seconds(seconds) {}

    bool Run() {
        SoakSay(
            Format("%d s against varnel-module --drop 0.1 --corrupt 0.05 --noise 0.05 "
                   "--seed %llu, COM%d",
                   m_seconds, static_cast<unsigned long long>(kSeed), kComSoak));
        // The pull comes early, so that the one-off costs of the first report box and the
        // second module are behind the memory baseline, which is taken after it.
        const double pullAfterS = std::max(3.0, m_seconds * 0.15);
        if (!StartModule(m_first, m_firstView, pullAfterS, kSeed)) {
            return false;
        }
        m_start = MonotonicNs();
        m_pullPlannedNs = m_start + static_cast<std::int64_t>(pullAfterS * 1e9);
        QTimer watcher;
        QObject::connect(&watcher, &QTimer::timeout, [this] { Watch(); });
        watcher.start(50);
        QTimer sampler;
        QObject::connect(&sampler, &QTimer::timeout, [this] { SampleRss(); });
        sampler.start(1000);
        SampleRss();

        m_view = &m_firstView;
        OpenAndSync("first open");
        const std::int64_t end = m_start + m_seconds * kSecondNs;
        std::int64_t nextReopen = m_start + 10 * kSecondNs;
        while (MonotonicNs() < end) {
            if (!m_pulled && m_first.Exited()) {
                HandlePull();
            } else if (MonotonicNs() >= nextReopen) {
                CloseAndReopen();
                nextReopen += 10 * kSecondNs;
            } else if (Synced()) {
                Burst(end);
                QuietCheck();
            } else {
                // Closed by something other than the bench (only the pull does that): wait
                // for the pull to show, or the next round to reopen.
                m_panel.Idle(100);
            }
        }
        QuietCheck();
        SampleRss();
        m_panel.ClosePort();
        m_first.Stop();
        m_second.Stop();
        return Report();
    }

private:
    bool StartModule(testkit::Process& module, ModuleView& view, double unplugAfterS,
                     std::uint64_t seed) {
        std::vector<std::string> args = kFaults;
        args.insert(args.end(), {"--seed", std::to_string(seed), "--log"});
        if (unplugAfterS > 0) {
            args.insert(args.end(), {"--unplug-after", Format("%.1f", unplugAfterS)});
        }
        std::string error;
        if (!testkit::StartModule(module, m_config.modulePath, kComSoak, args, &error)) {
            SoakSay("cannot start the module: " + error);
            return false;
        }
        // Read on the kit's thread, handled on the GUI thread like the panel's own events.
        module.OnLine([this, &view](const std::string& line) {
            QMetaObject::invokeMethod(&m_lines, [&view, line] { view.OnLine(line); });
        });
        return true;
    }

    bool Synced() const { return m_state.synced && m_state.portOpen; }
    bool Pulling() { return !m_pulled && m_first.Exited(); }
    double Elapsed() const { return static_cast<double>(MonotonicNs() - m_start) / 1e9; }
    void SampleRss() { m_rss.emplace_back(MonotonicNs() - m_start, SelfRssKb()); }
    void Fail(const std::string& what) { m_failures.push_back(what); }

    void OpenAndSync(const char* what) {
        ++m_opens;
        if (!m_panel.OpenCom(kComSoak, 10000)) {
            if (!Pulling()) {
                Fail(Format("%s: the port did not open", what));
            }
        } else if (m_panel.WaitSynced(20000)) {
            ++m_syncs;
        } else if (!Pulling()) {
            Fail(Format("%s at %.1f s: the synchronisation did not complete", what, Elapsed()));
        }
    }

    void CloseAndReopen() {
        if (Pulling()) {
            return;
        }
        if (m_state.portOpen) {
            m_panel.ClosePort();
            if (!m_panel.IsClosed()) {
                Fail(Format("close at %.1f s: the panel did not reset", Elapsed()));
            }
        }
        ++m_reopens;
        OpenAndSync("reopen");
        if (m_state.synced) {
            QuietCheck();
        }
    }

    void HandlePull() {
        m_pulled = true;
        const bool closed = m_panel.WaitFor([this] { return m_panel.IsClosed(); }, 10000);
        if (!closed) {
            Fail("pull: the panel did not return to its closed state");
        } else if (m_closedAfterPullNs != 0) {
            m_pullNote = Format(
                "the panel was back in its closed state %.0f ms (+-50) after the module hung up",
                static_cast<double>(m_closedAfterPullNs - m_hungUpNs) / 1e6);
        }
        m_first.Stop();
        if (!StartModule(m_second, m_secondView, 0, kSeed + 1)) {
            Fail("pull: the module could not be published again");
            return;
        }
        m_view = &m_secondView;
        OpenAndSync("open after the pull");
        m_baselineFromNs = MonotonicNs() - m_start;
    }

    // Slider moves, typed values, held steps and output toggles at random, for 1 to 2.5 s.
    void Burst(std::int64_t end) {
        static const char* const kSteps[] = {"IDC_BTN_CH_DOWN", "IDC_BTN_CH_UP",
                                             "IDC_BTN_POWER_DOWN", "IDC_BTN_POWER_UP"};
        static const char* const kOdd[] = {"0", "120", "12.7", "-5", "-"};
        const std::int64_t until =
            std::min(end, MonotonicNs() + static_cast<std::int64_t>(Uniform(1.0, 2.5) * 1e9));
        while (MonotonicNs() < until && Synced()) {
            const int pick = Int(0, 99);
            if (pick < 30) {
                if (Int(0, 1) == 0) {
                    m_panel.MoveSlider("IDC_SLIDER_CHANNEL", Int(kChannelMin, kChannelMax));
                } else {
                    m_panel.MoveSlider("IDC_SLIDER_POWER", Int(kPowerMin, kPowerMax));
                }
                ++m_moves;
            } else if (pick < 50) {
                if (Int(0, 1) == 0) {
                    m_panel.TypeAndEnter("IDC_EDIT_CHANNEL",
                                         Int(0, 9) == 0
                                             ? QString::fromLatin1(kOdd[Int(0, 4)])
                                             : QString::number(Int(kChannelMin, kChannelMax)));
                } else {
                    const int hundredths = Int(kPowerMin - 50, kPowerMax + 50);  // some beyond
                    m_panel.TypeAndEnter("IDC_EDIT_POWER",
                                         QString::number(hundredths / 100.0, 'f', Int(0, 2)));
                }
                ++m_typed;
            } else if (pick < 70) {
                m_panel.PressThroughWindow(kSteps[Int(0, 3)]);
                m_panel.Idle(Int(100, 2500));
                m_panel.ReleaseThroughWindow();
                ++m_holds;
            } else if (pick < 85) {
                m_panel.ClickThroughWindow("IDC_BTN_OUTPUT");
                ++m_toggles;
            }
            m_panel.Idle(Int(50, 400));
        }
    }

    // After a quiet second, the panel's readouts must show the module's state, unless the
    // module's last report of a value was one the faults took away.
    void QuietCheck() {
        if (!Synced()) {
            return;
        }
        m_panel.Idle(1000);
        // A last tracking tick may still send a slider position: wait until the module has
        // heard nothing for most of a tracking period.
        m_panel.WaitFor([this] { return MonotonicNs() - m_view->LastRxNs() > 700'000'000; }, 4000,
                        50);
        if (!Synced()) {
            return;
        }
        ++m_checks;
        bool allEqual = true;
        for (int command = CMD_CHANNEL; command <= CMD_OUTPUT; ++command) {
            const ModuleView::Quantity& q = m_view->Quantities()[command];
            const std::string shown = Shown(command);
            if (!q.known || shown == Expected(command, q.value)) {
                continue;
            }
            allEqual = false;
            if (q.fate != ModuleView::Fate::Intact || q.afterNoise) {
                ++m_staleAfterFault;
                continue;
            }
            // The panel holds a value it sent that the module never received (a later Send can
            // replace a frame in the link's one-slot send buffer before it is written).
            // Tracking then sees slider and state agree and never sends it again.
            const int held = command == CMD_CHANNEL ? m_state.currentChannel
                             : command == CMD_POWER ? m_state.currentPower
                                                    : (m_state.outputOn ? 1 : 0);
            if (held != q.value && !m_view->ReceivedSet(command, held)) {
                ++m_sendReplaced;
                SoakSay(
                    Format("check at %.1f s: the panel holds %s %d, which never reached the "
                           "module (it has %d): %s",
                           Elapsed(), Name(command), held, q.value, shown.c_str()));
                continue;
            }
            ++m_unexplained;
            Fail(
                Format("check at %.1f s: the panel shows %s, the module's %s is %d and its last "
                       "report went out intact",
                       Elapsed(), shown.c_str(), Name(command), q.value));
        }
        m_equal += allEqual ? 1 : 0;
    }

    // The readouts of one value as text, and what they would be for the module's value.
    std::string Shown(int command) const {
        const auto text = [this](const char* name) { return m_panel.Text(name).toStdString(); };
        switch (command) {
            case CMD_CHANNEL:
                return "frequency " + text("IDC_TXT_FREQUENCY") + ", slider " +
                       text("IDC_SLIDER_CHANNEL");
            case CMD_POWER:
                return "power " + text("IDC_EDIT_POWER") + ", slider " + text("IDC_SLIDER_POWER");
            default:
                return "output " + text("IDC_BTN_OUTPUT");
        }
    }
    static std::string Expected(int command, int value) {
        switch (command) {
            case CMD_CHANNEL:
                return Format("frequency %d, slider %d", ChannelFrequency(value), value);
            case CMD_POWER:
                return "power " + PowerText(value) + ", slider " + std::to_string(value);
            default:
                return value == 1 ? "output ON" : "output OFF";
        }
    }

    // Every 50 ms, whatever the bench is doing: report boxes are dismissed, and the moments
    // the module hung up and the panel was back in its closed state are noted.
    void Watch() {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            auto* box = qobject_cast<QMessageBox*>(widget);
            if (box != nullptr && box->isVisible()) {
                Dismiss(*box);
            }
        }
        if (m_hungUpNs == 0 && m_first.Exited()) {
            m_hungUpNs = MonotonicNs();
        }
        if (m_hungUpNs != 0 && m_closedAfterPullNs == 0 && m_panel.IsClosed()) {
            m_closedAfterPullNs = MonotonicNs();
        }
    }

    void Dismiss(QMessageBox& box) {
        const std::string text = box.text().simplified().toStdString();
        // The pulled device may be reported: from just before the module hangs up until the
        // panel has opened the new one.
        const bool aroundPull = MonotonicNs() >= m_pullPlannedNs - kSecondNs &&
                                (!m_pulled || m_secondView.LastRxNs() == 0);
        if (aroundPull) {
            ++m_pullBoxes;
        } else {
            ++m_otherBoxes;
            Fail(Format("report box at %.1f s: %s", Elapsed(), text.c_str()));
        }
        SoakSay(Format("report box at %.1f s (%s): %s", Elapsed(),
                       aroundPull ? "pulled device" : "UNEXPECTED", text.c_str()));
        box.done(QMessageBox::Ok);
    }

    bool Report() {
        SoakSay(
            Format("operator: %d slider moves, %d typed values, %d step holds, %d output "
                   "toggles",
                   m_moves, m_typed, m_holds, m_toggles));
        SoakSay("first module: " + m_firstView.Counts());
        SoakSay("second module: " + m_secondView.Counts());
        SoakSay(Format("synchronisations completed: %d of %d opens (%d close-and-reopen rounds)",
                       m_syncs, m_opens, m_reopens));
        SoakSay(
            Format("quiet checks: %d; all readouts equal the module: %d; a readout stale "
                   "after an injected fault: %d; a set frame that never reached the module: "
                   "%d; unexplained: %d",
                   m_checks, m_equal, m_staleAfterFault, m_sendReplaced, m_unexplained));
        SoakSay("pull and re-publish: " +
                std::string(!m_pulled            ? "NOT DONE"
                            : m_pullNote.empty() ? "done"
                                                 : "done, ") +
                m_pullNote);
        SoakSay(
            Format("report boxes: %d for the pulled device, %d other", m_pullBoxes, m_otherBoxes));
        if (!m_pulled) {
            Fail("the module was never pulled (the soak ended first)");
        }
        if (m_syncs != m_opens) {
            Fail(Format("%d of %d synchronisations did not complete", m_opens - m_syncs, m_opens));
        }
        ReportMemory();
        for (const std::string& failure : m_failures) {
            SoakSay("FAILED: " + failure);
        }
        SoakSay(m_failures.empty() ? "PASS: no crash, no hang, every check held" : "FAIL");
        return m_failures.empty();
    }

    // First and last minute, or first and last ten seconds of a soak under three minutes. The
    // first window starts once the pull has been recovered from: the first report box and the
    // second module cost memory once, and a leak is what is looked for.
    void ReportMemory() {
        const std::int64_t window = (m_seconds >= 180 ? 60 : 10) * kSecondNs;
        const long long windowS = window / kSecondNs;
        const std::int64_t last = m_rss.back().first;
        long start = 0;
        long first = 0;
        long final = 0;
        std::string trace;
        for (std::size_t i = 0; i < m_rss.size(); ++i) {
            const auto [at, kb] = m_rss[i];
            start = at <= window ? std::max(start, kb) : start;
            const bool inFirst = at >= m_baselineFromNs && at <= m_baselineFromNs + window;
            first = inFirst ? std::max(first, kb) : first;
            final = at >= last - window ? std::max(final, kb) : final;
            if (i % 5 == 0) {
                trace += Format(" %lld:%ld", static_cast<long long>(at / kSecondNs), kb);
            }
        }
        SoakSay("resident memory (s:KiB) every 5 s:" + trace);
        SoakSay(
            Format("resident memory: peak %ld KiB in the first %lld s, %ld KiB in the %lld s "
                   "after the pull's recovery (at %.1f s), %ld KiB in the last %lld s",
                   start, windowS, first, windowS, static_cast<double>(m_baselineFromNs) / 1e9,
                   final, windowS));
        const long growth = final - first;
        SoakSay(
            Format("resident memory growth after the recovery: %ld KiB (limit 1024 KiB); "
                   "from the very start: %ld KiB",
                   growth, final - start));
        if (m_baselineFromNs + window > last - window) {
            Fail("the soak is too short for two memory windows");
        } else if (growth >= 1024) {
            Fail(Format("resident memory grew by %ld KiB", growth));
        }
    }

    int Int(int low, int high) { return std::uniform_int_distribution<int>(low, high)(m_random); }
    double Uniform(double low, double high) {
        return std::uniform_real_distribution<double>(low, high)(m_random);
    }

    const BenchConfig& m_config;
    const ControllerState& m_state;
    PanelDriver& m_panel;
    int m_seconds;
    std::mt19937 m_random{kSeed};
    ModuleView m_firstView;
    ModuleView m_secondView;
    // Ends (with the lines still queued) after the modules' readers, before the views.
    QObject m_lines;
    testkit::Process m_first;
    testkit::Process m_second;
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
    int m_opens = 0, m_syncs = 0, m_reopens = 0;
    int m_moves = 0, m_typed = 0, m_holds = 0, m_toggles = 0;
    int m_checks = 0, m_equal = 0, m_staleAfterFault = 0, m_sendReplaced = 0, m_unexplained = 0;
    int m_pullBoxes = 0, m_otherBoxes = 0;
};

}  // namespace

bool RunSoak(const BenchConfig& config, BenchPanel& panel, int seconds) {
    return Soak(config, panel, seconds).Run();
}

}  // namespace bench
