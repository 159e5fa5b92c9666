// The end-to-end scenario both panels run, the Qt one in-process and the Win32 one under Wine:
// the steps are data, each front end supplies an adapter. Standard C++ only, so the Linux and
// the MinGW build compile the same engine.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

namespace scenario {

/// What the module's harness does on the scenario's request.
enum class ModuleEvent { Freeze, Thaw, Unplug, Replug };

/// One front end: its controls by object name (the id's name), its report boxes, the module
/// behind its port and the module's wire log.
class Panel {
public:
    virtual ~Panel() = default;
    /// The port this run created; the only one the scenario ever opens.
    virtual std::string OurPort() const = 0;
    /// A control's caption or text; a slider's position as a number.
    virtual std::string Text(const std::string& control) = 0;
    virtual std::vector<std::string> Ports() = 0;
    /// The closed state: OpenPort caption, port list enabled.
    virtual bool Closed() = 0;
    virtual bool Visible() = 0;
    /// Selects our port, checks that it is the selected one, and presses OpenPort.
    virtual bool OpenOurPort() = 0;
    /// Moves a slider through `positions` at once, as a drag between two tracking ticks.
    virtual void Slide(const std::string& control, const std::vector<int>& positions) = 0;
    /// True when Slide's positions reach the panel with no tracking tick between them.
    virtual bool SlideIsAtomic() const = 0;
    /// Replaces a field's text by typing `chars` one by one through its filter.
    virtual void Type(const std::string& field, const std::string& chars) = 0;
    /// Presses Enter (or Escape) on a control.
    virtual void Key(const std::string& control, bool escape) = 0;
    virtual void Click(const std::string& button) = 0;
    /// Presses (or releases) a button with the mouse.
    virtual void Hold(const std::string& button, bool down) = 0;
    /// True when a report box was up and has been answered with OK since the last call.
    virtual bool AnswerReport() = 0;
    /// Tells the panel the devices changed (where the system does not).
    virtual void DeviceChange() = 0;
    virtual bool Module(ModuleEvent event) = 0;
    /// The wire log of module 1 (the first) or 2 (the one plugged in again).
    virtual std::string WireLog(int module) = 0;
    /// Ends the program with the port open while the module streams; true when it ended by
    /// itself, cleanly.
    virtual bool ExitWithPortOpen(std::string& detail) = 0;
    /// Lets the panel run for up to `ms` (its event loop, or the other process).
    virtual void Idle(int ms) = 0;
    /// Records one outcome.
    virtual void Check(bool passed, const std::string& what, const std::string& detail) = 0;
};

/// What a step does before its check.
enum class Do {
    Nothing,
    Open,
    Slide,
    Type,
    Enter,
    Escape,
    Click,
    Freeze,
    Thaw,
    HoldStep,
    Unplug,
    Replug,
    Exit
};
/// What a step checks, waiting for it up to a generous deadline unless it says Now.
enum class See {
    PortAlone,
    TextIs,
    TextNow,
    StillOpen,
    QueriesInOrder,
    Readouts,
    ReadoutsStart,
    ReadoutsHave,
    Received,
    NeverReceived,
    StepGrows,
    Report,
    ClosedWithoutPort,
    NoSecondReport,
    Listed,
    ExitsCleanly
};

/// One step: its name, its action on `control` with `input`, and its check against `expect`.
struct Step {
    const char* what;
    Do action;
    const char* control;
    const char* input;
    See check;
    const char* expect;
    int module = 1;      ///< whose wire log Received and NeverReceived read
    bool fatal = false;  ///< the rest makes no sense without it
};

/// The scenario: start-up, readouts, typed entry, a toggle that waits for its reply, a held
/// step button, a pulled module reported once, the port listed again, and the exit.
inline const std::vector<Step>& Steps() {
    static const std::vector<Step> steps = {
        {"our port is listed alone", Do::Nothing, "", "", See::PortAlone, ""},
        {"OpenPort opens it; the output reply ends the synchronisation", Do::Open, "", "",
         See::TextIs, "ON", 1, true},
        {"the start-up queries channel, then power, then output", Do::Nothing, "", "",
         See::QueriesInOrder, ""},
        {"readouts C39, 193900 GHz, 1546.12 nm, 12.34 dBm", Do::Nothing, "", "", See::Readouts,
         "45 45 193900 1546.12 C39 | 12.34 1234 | ON"},
        {"a drag is tracked to its last position", Do::Slide, "IDC_SLIDER_CHANNEL", "46 47 48 50",
         See::ReadoutsStart, "50 50 194150 1544.13 H41 |"},
        {"the drag's last position on the wire", Do::Nothing, "", "", See::Received,
         "set channel 50"},
        {"a position the drag passed is never sent", Do::Nothing, "", "", See::NeverReceived,
         "set channel 47"},
        {"a typed channel", Do::Type, "IDC_EDIT_CHANNEL", "12", See::TextIs, "12"},
        {"Enter sets it", Do::Enter, "IDC_EDIT_CHANNEL", "", See::ReadoutsStart,
         "12 12 192250 1559.39 H22 |"},
        {"the power field filters \"a8.x.2\" to 8.2", Do::Type, "IDC_EDIT_POWER", "a8.x.2",
         See::TextIs, "8.2"},
        {"Enter sets power 8.2", Do::Enter, "IDC_EDIT_POWER", "", See::ReadoutsHave,
         "| 8.20 820 |"},
        {"820 hundredths on the wire", Do::Nothing, "", "", See::Received, "set power 8.20 dBm"},
        // Esc in a multi-line field would close the dialog, Enter on a focused button would
        // press it; the "9" typed after them shows when the panel has handled both.
        {"Esc in a field", Do::Escape, "IDC_EDIT_POWER", "", See::StillOpen, ""},
        {"Enter on a button", Do::Enter, "IDC_BTN_OPENPORT", "", See::StillOpen, ""},
        {"typed after them", Do::Type, "IDC_EDIT_POWER", "9", See::TextIs, "9"},
        {"Enter and Esc left the panel open", Do::Nothing, "", "", See::StillOpen, ""},
        // The module is stopped while the toggle is pressed: no reply can turn the caption
        // before it is read.
        {"the module stops", Do::Freeze, "", "", See::TextNow, "ON", 1, true},
        {"the toggle keeps its caption until the reply", Do::Click, "IDC_BTN_OUTPUT", "",
         See::TextNow, "ON"},
        {"the output reply turns the caption", Do::Thaw, "", "", See::TextIs, "OFF"},
        {"set output off on the wire", Do::Nothing, "", "", See::Received, "set output off"},
        {"a held step button steps by 0.01 dBm every tick and then by 0.02 dBm", Do::HoldStep,
         "IDC_BTN_POWER_UP", "", See::StepGrows, "821"},
        {"the pulled module brings up a report box", Do::Unplug, "", "", See::Report, "", 1, true},
        {"a device change returns the panel to OpenPort without our port", Do::Nothing, "", "",
         See::ClosedWithoutPort, ""},
        {"the pulled module is reported once", Do::Nothing, "", "", See::NoSecondReport, ""},
        {"plugged in again, our port is listed", Do::Replug, "", "", See::Listed, "", 2, true},
        {"it opens and synchronises", Do::Open, "", "", See::TextIs, "ON", 2, true},
        {"the readouts are module 2's", Do::Nothing, "", "", See::Readouts,
         "45 45 193900 1546.12 C39 | 12.34 1234 | ON"},
        {"the program ends by itself with the port open while bytes arrive", Do::Exit, "", "",
         See::ExitsCleanly, ""},
    };
    return steps;
}

/// Up to the generous deadline, letting the panel run between looks.
template <typename Done>
bool WaitFor(Panel& panel, Done done, int deadlineMs = 30000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadlineMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end) {
            return done();
        }
        panel.Idle(10);
    }
    return true;
}

/// The received ("rx") lines of a wire log whose meaning starts with `prefix`, in order: the
/// text after the prefix. A line: "  12.345 rx  00 01 02 03 04 05  set power 8.20 dBm".
inline std::vector<std::string> Received(const std::string& log, const std::string& prefix) {
    std::vector<std::string> values;
    std::istringstream lines(log);
    const std::string marker = "  " + prefix;
    for (std::string line; std::getline(lines, line);) {
        const std::size_t at = line.find(marker);
        if (line.find(" rx ") != std::string::npos && at != std::string::npos) {
            values.push_back(line.substr(at + marker.size()));
        }
    }
    return values;
}

/// The line number of the first received line whose meaning is `meaning`; npos when none.
inline std::size_t FirstReceived(const std::string& log, const std::string& meaning) {
    std::istringstream lines(log);
    std::size_t index = 0;
    for (std::string line; std::getline(lines, line); ++index) {
        if (line.find(" rx ") != std::string::npos && line.size() >= meaning.size() + 2 &&
            line.ends_with("  " + meaning)) {
            return index;
        }
    }
    return std::string::npos;
}

/// Entry, slider and grid readouts of the channel | power | output caption.
inline std::string Readouts(Panel& panel) {
    std::string text;
    for (const char* name :
         {"IDC_EDIT_CHANNEL", "IDC_SLIDER_CHANNEL", "IDC_TXT_FREQUENCY", "IDC_TXT_WAVELENGTH",
          "IDC_TXT_ITU", "|", "IDC_EDIT_POWER", "IDC_SLIDER_POWER", "|", "IDC_BTN_OUTPUT"}) {
        if (!text.empty()) {
            text += ' ';
        }
        text += name[0] == '|' ? std::string("|") : panel.Text(name);
    }
    return text;
}

/// Holds a step button until the module has seen a step of 0.02 dBm (after 26 ticks of
/// 200 ms), then lets go; true when the steps began at `first` hundredths and never fell or
/// jumped. `seen` gets the values.
inline bool HoldUntilTheStepGrows(Panel& panel, const std::string& button, int first,
                                  std::string& seen) {
    const std::size_t before = Received(panel.WireLog(1), "set power ").size();
    auto steps = [&] {
        std::vector<int> values;
        const std::vector<std::string> all = Received(panel.WireLog(1), "set power ");
        for (std::size_t i = before; i < all.size(); ++i) {
            int units = 0;
            int hundredths = 0;
            const bool ok = std::sscanf(all[i].c_str(), "%d.%d", &units, &hundredths) == 2;
            values.push_back(ok ? units * 100 + hundredths : -1);
        }
        return values;
    };
    panel.Hold(button, true);
    const bool grew = WaitFor(
        panel,
        [&] {
            const std::vector<int> v = steps();
            return v.size() >= 2 && v.back() - v[v.size() - 2] == 2;
        },
        60000);
    panel.Hold(button, false);
    const std::vector<int> values = steps();
    bool ordered = values.size() >= 2 && values[0] == first;
    for (std::size_t i = 0; i < values.size(); ++i) {
        seen += std::to_string(values[i]) + " ";
        ordered =
            ordered && (i == 0 || (values[i] >= values[i - 1] && values[i] - values[i - 1] <= 2));
    }
    return grew && ordered;
}

/// Runs `steps` on `panel`; false when a fatal step failed (the rest were skipped).
inline bool Run(Panel& panel, const std::vector<Step>& steps = Steps()) {
    for (const Step& step : steps) {
        const std::string control = step.control;
        const std::string expect = step.expect;
        std::string detail;
        bool passed = true;
        switch (step.action) {
            case Do::Nothing:
                break;
            case Do::Open:
                passed = panel.OpenOurPort();
                break;
            case Do::Slide: {
                std::vector<int> positions;
                std::istringstream in(step.input);
                for (int p; in >> p;) {
                    positions.push_back(p);
                }
                panel.Slide(control, positions);
                break;
            }
            case Do::Type:
                panel.Type(control, step.input);
                break;
            case Do::Enter:
                panel.Key(control, false);
                break;
            case Do::Escape:
                panel.Key(control, true);
                break;
            case Do::Click:
                panel.Click(control);
                break;
            case Do::Freeze:
                passed = panel.Module(ModuleEvent::Freeze);
                break;
            case Do::Thaw:
                passed = panel.Module(ModuleEvent::Thaw);
                break;
            case Do::Unplug:
                passed = panel.Module(ModuleEvent::Unplug);
                break;
            case Do::Replug:
                passed = panel.Module(ModuleEvent::Replug);
                panel.DeviceChange();
                break;
            case Do::HoldStep:
                break;
            case Do::Exit:
                break;
        }
        auto log = [&] { return panel.WireLog(step.module); };
        switch (step.check) {
            case See::PortAlone:
                passed = passed && panel.Ports() == std::vector<std::string>{panel.OurPort()};
                detail = std::to_string(panel.Ports().size()) + " ports";
                break;
            case See::TextIs:
                passed =
                    passed && WaitFor(panel, [&] {
                        return panel.Text(control.empty() ? "IDC_BTN_OUTPUT" : control) == expect;
                    });
                detail = Readouts(panel);
                break;
            case See::TextNow:
                passed = passed && panel.Text("IDC_BTN_OUTPUT") == expect;
                break;
            case See::StillOpen:
                passed = passed && panel.Visible() && panel.Text("IDC_BTN_OPENPORT") == "ClosePort";
                break;
            case See::QueriesInOrder: {
                const std::string wire = log();
                const std::size_t channel = FirstReceived(wire, "query channel");
                const std::size_t power = FirstReceived(wire, "query power");
                const std::size_t output = FirstReceived(wire, "query output");
                passed = channel < power && power < output && output != std::string::npos;
                break;
            }
            case See::Readouts:
            case See::ReadoutsStart:
            case See::ReadoutsHave:
                passed = passed && WaitFor(panel, [&] {
                             const std::string now = Readouts(panel);
                             return step.check == See::Readouts ? now == expect
                                    : step.check == See::ReadoutsStart
                                        ? now.starts_with(expect)
                                        : now.find(expect) != std::string::npos;
                         });
                detail = Readouts(panel);
                break;
            case See::Received:
                passed = passed && WaitFor(panel, [&] {
                             return FirstReceived(log(), expect) != std::string::npos;
                         });
                break;
            case See::NeverReceived:
                if (!panel.SlideIsAtomic()) {
                    continue;  // a tick may fall between the positions: nothing to tell
                }
                passed = FirstReceived(log(), expect) == std::string::npos;
                break;
            case See::StepGrows:
                passed = HoldUntilTheStepGrows(panel, control, std::stoi(expect), detail);
                break;
            case See::Report:
                passed = passed && WaitFor(panel, [&] { return panel.AnswerReport(); });
                panel.DeviceChange();
                break;
            case See::ClosedWithoutPort:
                passed = WaitFor(panel, [&] {
                    const std::vector<std::string> ports = panel.Ports();
                    return panel.Closed() &&
                           std::find(ports.begin(), ports.end(), panel.OurPort()) == ports.end();
                });
                break;
            case See::NoSecondReport:
                panel.Idle(300);
                passed = !panel.AnswerReport();
                break;
            case See::Listed:
                passed = passed && WaitFor(panel, [&] {
                             const std::vector<std::string> ports = panel.Ports();
                             return std::find(ports.begin(), ports.end(), panel.OurPort()) !=
                                    ports.end();
                         });
                break;
            case See::ExitsCleanly:
                passed = panel.ExitWithPortOpen(detail);
                break;
        }
        panel.Check(passed, step.what, detail);
        if (!passed && step.fatal) {
            return false;
        }
    }
    return true;
}

}  // namespace scenario
