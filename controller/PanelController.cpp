#include "PanelController.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>

#include "ChannelGrid.h"
#include "CommandFrame.h"
#include "LinkMessages.h"
#include "ModuleLink.h"
#include "ModuleQuantity.h"
#include "NumberText.h"
#include "ReadoutText.h"

namespace {

constexpr std::uint8_t kHoldCountMax = 249;
constexpr unsigned kSendPauseMs = 100;
constexpr unsigned kPortPauseMs = 200;
constexpr int kTextOffsetPx = 4;
constexpr int kLastComPort = 254;

// The module's line, with the panel's send buffer, the same on every open.
constexpr LinkSettings kLinkSettings = ModuleLinkSettings(512);

}  // namespace

class PanelController::BusyScope {
public:
    explicit BusyScope(int& depth) : m_depth(depth) { ++m_depth; }
    ~BusyScope() { --m_depth; }
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;

private:
    int& m_depth;
};

PanelController::PanelController(ControllerState& state, IPanelControls& controls,
                                 ITimerHost& timers, ILinkPort& link, IPortProbe& probe,
                                 ILinkOwner* linkOwner)
    : m_state(state),
      m_controls(controls),
      m_timers(timers),
      m_link(link),
      m_probe(probe),
      m_linkOwner(linkOwner) {}

void PanelController::OnInitDialog() {
    m_controls.PortListReset();
    m_state.portCount = 0;
    m_state.synced = false;
    m_state.portOpen = false;
    m_state.selectedPort = 0;
    ScanPorts();
    if (m_state.portCount != 0) {
        m_controls.PortListSelect(0);
    }
    m_controls.EditSetTextOffset(IDC_EDIT_CHANNEL, kTextOffsetPx);
    m_controls.EditSetTextOffset(IDC_EDIT_POWER, kTextOffsetPx);

    m_controls.SliderSetRange(IDC_SLIDER_CHANNEL, kChannelMin, kChannelMax);
    m_controls.SliderClearTicks(IDC_SLIDER_CHANNEL);
    for (int tick = 10; tick <= 80; tick += 10) {
        m_controls.SliderAddTick(IDC_SLIDER_CHANNEL, tick);
    }
    m_controls.SliderSetRange(IDC_SLIDER_POWER, kPowerMin, kPowerMax);
    m_controls.SliderClearTicks(IDC_SLIDER_POWER);
    for (int tick = 800; tick <= 1200; tick += 100) {
        m_controls.SliderAddTick(IDC_SLIDER_POWER, tick);
    }

    m_controls.SetCaption(IDC_BTN_OPENPORT, "OpenPort");
    m_controls.PortListEnable(true);
}

void PanelController::ScanPorts() {
    char name[16];
    for (const int com : m_probe.ListPorts()) {
        // The table has a slot per COM number; a scan without a reset first must not overrun.
        if (m_state.portCount >= m_state.portTable.size()) {
            break;
        }
        if (com < 1 || com > kLastComPort) {
            continue;
        }
        m_state.portTable[m_state.portCount] = static_cast<std::uint8_t>(com);
        std::snprintf(name, sizeof name, "COM%d", com);
        m_controls.PortListInsert(m_state.portCount, name);
        ++m_state.portCount;
    }
}

void PanelController::OnOpenPort() {
    // Only a device change can reach here from inside our own open or close (a report box's
    // loop); a nested open or close would pull the link out from under the outer one.
    if (m_busyDepth != 0 || m_state.portCount == 0) {
        return;
    }
    {
        BusyScope busy(m_busyDepth);
        if (m_state.portOpen) {
            m_link.Close();
            m_timers.Sleep(kPortPauseMs);
            KillAllTimers();
            OnInitDialog();
            m_state.portOpen = false;
            Publish(PortClosure::Operator);
        } else {
            const int position = m_controls.PortListSelection();
            if (position < 0 || position >= m_state.portCount) {
                return;
            }
            m_state.selectedPort = m_state.portTable[static_cast<std::size_t>(position)];
            if (OpenSelectedPort() != 0) {
                m_controls.SetCaption(IDC_BTN_OPENPORT, "ClosePort");
                m_controls.PortListEnable(false);
                m_link.StartMonitor();
                m_state.portOpen = true;
                m_reportedOutput.reset();
                RestartSync();
                if (m_events != nullptr) {
                    m_events->OnPortOpened(m_state.selectedPort);
                }
            } else {
                // Still busy: a nested open or close stays refused while the notice is up, and
                // device changes wait for it.
                ShowOpenFailure();
            }
        }
    }
    RunPendingDeviceChanges();
}

void PanelController::OnSetChannel() {
    ApplyTypedEntry({IDC_EDIT_CHANNEL, 0, kChannelMin, kChannelMax, SetChannelFrame},
                    m_state.currentChannel, m_reportedChannelText);
}

void PanelController::OnSetPower() {
    // The field holds dBm; the state counts hundredths, read straight from the digits.
    ApplyTypedEntry({IDC_EDIT_POWER, 2, kPowerMin, kPowerMax, SetPowerFrame}, m_state.currentPower,
                    m_reportedPowerText);
}

void PanelController::ApplyTypedEntry(const TypedField& field, std::int32_t& value,
                                      const std::string& reportedText) {
    if (!m_state.synced || !m_state.portOpen) {
        return;
    }
    const std::string text = m_controls.GetItemText(field.editId);
    if (text.empty()) {
        return;
    }
    const std::optional<int> typed =
        ReadClampedDecimal(text, field.decimals, field.minimum, field.maximum);
    if (!typed) {
        // Words, a lone sign, other scripts' digits: nothing to send, and the field shows the
        // module's value again rather than text that looks like a pending setting.
        m_controls.SetItemText(field.editId, reportedText);
        return;
    }
    m_timers.KillTimer(TIMER_TRACK);
    value = *typed;
    SendThenResumeTracking(field.encode(value));
}

void PanelController::OnOutputToggle() {
    if (!m_state.portOpen || !m_state.synced) {
        return;
    }
    m_timers.KillTimer(TIMER_TRACK);
    m_state.outputOn = !m_state.outputOn;
    // The caption waits for the module's output reply.
    SendThenResumeTracking(SetOutputFrame(m_state.outputOn));
}

void PanelController::SendThenResumeTracking(const CommandFrame& frame) {
    // The pause paces the module; restarting the timer afterwards keeps the next tracking
    // tick a full period away, so it cannot undo the value before a reply could arrive.
    Send(frame);
    m_timers.Sleep(kSendPauseMs);
    m_timers.SetTimer(TIMER_TRACK, kTrackPeriodMs);
}

void PanelController::OnTimer(unsigned id) {
    switch (id) {
        case TIMER_TRACK:
            TrackSliders();
            break;
        case TIMER_CH_DOWN:
        case TIMER_CH_UP:
        case TIMER_PW_DOWN:
        case TIMER_PW_UP:
            if (m_state.holdCount < kHoldCountMax) {
                ++m_state.holdCount;
            }
            if (id == TIMER_CH_DOWN) {
                StepChannelDown();
            } else if (id == TIMER_CH_UP) {
                StepChannelUp();
            } else if (id == TIMER_PW_DOWN) {
                StepPowerDown();
            } else {
                StepPowerUp();
            }
            break;
        case TIMER_QUERY_CHANNEL:
        case TIMER_QUERY_POWER:
        case TIMER_QUERY_OUTPUT:
            if (m_state.portOpen) {
                const std::uint8_t command =
                    static_cast<std::uint8_t>(CMD_CHANNEL + (id - TIMER_QUERY_CHANNEL));
                if (const CommandFrame* query = QueryFrame(command)) {
                    Send(*query);
                }
            }
            break;
        default:
            break;
    }
}

void PanelController::OnLinkRxChar(std::uint32_t wParam, std::int32_t /*lParam*/) {
    const auto frame = m_framer.Feed(static_cast<std::uint8_t>(wParam & 0xFF));
    if (!frame) {
        return;
    }
    // A reply the module cannot have meant (out of range, shifted by a stray byte) is dropped
    // like a failed checksum: applied, it would move a slider that tracking then sends.
    const std::optional<ModuleReply> reply = DecodeReply(*frame);
    if (!reply) {
        return;
    }
    switch (reply->quantity) {
        case Quantity::Channel:
            ApplyChannelReply(reply->value);
            break;
        case Quantity::Power:
            ApplyPowerReply(reply->value);
            break;
        case Quantity::Output:
            ApplyOutputReply(reply->value != 0);
            break;
    }
    AdvanceSync(QuantityCommand(reply->quantity));
    if (m_events != nullptr) {
        m_events->OnModuleReply(*reply);
    }
}

bool PanelController::SubmitEntry(Quantity field, const std::string& text) {
    if (!Synced()) {
        return false;
    }
    switch (field) {
        case Quantity::Channel:
            m_controls.SetItemText(IDC_EDIT_CHANNEL, text);
            OnSetChannel();
            return true;
        case Quantity::Power:
            m_controls.SetItemText(IDC_EDIT_POWER, text);
            OnSetPower();
            return true;
        case Quantity::Output:
            break;
    }
    // Decided from what the module reported, not from what was last asked of it: two requests
    // for the same state must not toggle it twice.
    const bool on = text == "on";
    if (m_reportedOutput == on) {
        return false;
    }
    m_state.outputOn = !on;
    OnOutputToggle();
    return true;
}

bool PanelController::QueryModule(Quantity quantity) {
    const CommandFrame* query = QueryFrame(QuantityCommand(quantity));
    if (!Synced() || query == nullptr) {
        return false;
    }
    Send(*query);
    return true;
}

void PanelController::OnStepButtonDown(int buttonId) {
    unsigned own = 0;
    switch (buttonId) {
        case IDC_BTN_CH_DOWN:
            own = TIMER_CH_DOWN;
            break;
        case IDC_BTN_CH_UP:
            own = TIMER_CH_UP;
            break;
        case IDC_BTN_POWER_DOWN:
            own = TIMER_PW_DOWN;
            break;
        case IDC_BTN_POWER_UP:
            own = TIMER_PW_UP;
            break;
        default:
            return;
    }
    if (!m_state.synced) {
        return;
    }
    m_timers.KillTimer(TIMER_TRACK);
    for (unsigned id = TIMER_CH_DOWN; id <= TIMER_PW_UP; ++id) {
        if (id != own) {
            m_timers.KillTimer(id);
        }
    }
    m_state.holdCount = 0;
    m_timers.SetTimer(own, kStepPeriodMs);
}

void PanelController::OnMouseUp() {
    if (!m_state.synced) {
        return;
    }
    StopHold();
    m_timers.SetTimer(TIMER_TRACK, kTrackPeriodMs);
}

void PanelController::StopHold() {
    for (unsigned id = TIMER_CH_DOWN; id <= TIMER_PW_UP; ++id) {
        m_timers.KillTimer(id);
    }
    m_state.holdCount = 0;
}

void PanelController::OnEnterKey(int focusId) {
    if (focusId == IDC_EDIT_CHANNEL) {
        OnSetChannel();
    } else if (focusId == IDC_EDIT_POWER) {
        OnSetPower();
    }
}

void PanelController::OnDeviceChange() {
    ++m_pendingDeviceChanges;
    // Inside our own open or close the link is half torn down: run it once that is over.
    if (m_busyDepth != 0) {
        return;
    }
    RunPendingDeviceChanges();
}

void PanelController::RestartSync() {
    m_state.synced = false;
    m_timers.KillTimer(TIMER_QUERY_POWER);
    m_timers.KillTimer(TIMER_QUERY_OUTPUT);
    m_timers.SetTimer(TIMER_QUERY_CHANNEL, kQueryPeriodMs);
}

void PanelController::AdvanceSync(std::uint8_t command) {
    if (m_state.synced) {
        return;
    }
    switch (command) {
        case CMD_CHANNEL:
            m_timers.KillTimer(TIMER_QUERY_CHANNEL);
            m_timers.SetTimer(TIMER_QUERY_POWER, kQueryPeriodMs);
            break;
        case CMD_POWER:
            m_timers.KillTimer(TIMER_QUERY_POWER);
            m_timers.SetTimer(TIMER_QUERY_OUTPUT, kQueryPeriodMs);
            break;
        case CMD_OUTPUT:
            m_state.synced = true;
            m_timers.KillTimer(TIMER_QUERY_OUTPUT);
            m_timers.SetTimer(TIMER_TRACK, kTrackPeriodMs);
            break;
        default:
            break;
    }
}

void PanelController::ApplyChannelReply(int channel) {
    m_state.currentChannel = channel;
    m_reportedChannelText = std::to_string(channel);
    m_controls.SetItemText(IDC_EDIT_CHANNEL, m_reportedChannelText);
    m_controls.SliderSetPosition(IDC_SLIDER_CHANNEL, channel);
    m_controls.SetItemText(IDC_TXT_FREQUENCY, std::to_string(ChannelFrequency(channel)));
    m_controls.SetItemText(IDC_TXT_WAVELENGTH, WavelengthText(channel));
    m_controls.SetItemText(IDC_TXT_ITU, ItuChannelLabel(channel).data());
}

void PanelController::ApplyPowerReply(int power) {
    m_state.currentPower = power;
    m_reportedPowerText = PowerText(power);
    m_controls.SetItemText(IDC_EDIT_POWER, m_reportedPowerText);
    m_controls.SliderSetPosition(IDC_SLIDER_POWER, power);
}

void PanelController::ApplyOutputReply(bool on) {
    m_state.outputOn = on;
    m_reportedOutput = on;
    m_controls.SetCaption(IDC_BTN_OUTPUT, on ? "ON" : "OFF");
}

void PanelController::TrackSliders() {
    const int channel = m_controls.SliderPosition(IDC_SLIDER_CHANNEL);
    if (channel != m_state.currentChannel && m_state.portOpen) {
        m_state.currentChannel = channel;
        Send(SetChannelFrame(channel));
        m_timers.Sleep(kSendPauseMs);
    }
    const int power = m_controls.SliderPosition(IDC_SLIDER_POWER);
    if (power != m_state.currentPower && m_state.portOpen) {
        m_state.currentPower = power;
        Send(SetPowerFrame(power));
        m_timers.Sleep(kSendPauseMs);
    }
}

void PanelController::StepHeld(std::int32_t& value, int step, int limit,
                               CommandFrame (*encode)(int)) {
    if (!m_state.synced || !m_state.portOpen) {
        return;
    }
    const int next = value + step;
    value = step < 0 ? std::max(next, limit) : std::min(next, limit);
    Send(encode(value));
}

// Steps grow the longer the button is held: the channel by one more every 51 ticks, the
// power by one more hundredth every 26.
void PanelController::StepChannelDown() {
    StepHeld(m_state.currentChannel, -(m_state.holdCount / 51 + 1), kChannelMin, SetChannelFrame);
}

void PanelController::StepChannelUp() {
    StepHeld(m_state.currentChannel, m_state.holdCount / 51 + 1, kChannelMax, SetChannelFrame);
}

void PanelController::StepPowerDown() {
    StepHeld(m_state.currentPower, -(m_state.holdCount / 26 + 1), kPowerMin, SetPowerFrame);
}

void PanelController::StepPowerUp() {
    StepHeld(m_state.currentPower, m_state.holdCount / 26 + 1, kPowerMax, SetPowerFrame);
}

int PanelController::OpenSelectedPort() {
    return m_link.Open(m_linkOwner, m_state.selectedPort, kLinkSettings);
}

void PanelController::ShowOpenFailure() {
    std::string text = m_link.OpenFailureText(m_state.selectedPort);
    if (text.empty()) {
        text = "COM" + std::to_string(m_state.selectedPort) + " cannot be opened.";
    }
    m_controls.ShowNotice("Varnel", text);
}

void PanelController::Send(const CommandFrame& frame) {
    m_link.Send(frame.data(), static_cast<int>(frame.size()));
}

void PanelController::KillAllTimers() {
    for (unsigned id = TIMER_TRACK; id <= TIMER_QUERY_OUTPUT; ++id) {
        m_timers.KillTimer(id);
    }
}

void PanelController::RecoverAfterDeviceChange() {
    BusyScope busy(m_busyDepth);
    m_timers.Sleep(kPortPauseMs);
    if (!m_state.portOpen) {
        m_timers.Sleep(kPortPauseMs);
        OnInitDialog();
        return;
    }
    m_link.Close();
    m_state.portOpen = false;
    m_timers.Sleep(kPortPauseMs);
    if (m_probe.PortExists(m_state.selectedPort) && OpenSelectedPort() != 0) {
        m_link.StartMonitor();
        m_state.portOpen = true;
        // Another module, or the same one after a power cycle, may be behind the port now:
        // every readout must come from it again. Tracking carries on; a hold ends, since its
        // release would come while unsynchronised, where a release is not handled, and the
        // steps would then go on by themselves once synchronised.
        StopHold();
        RestartSync();
        return;
    }
    // Gone, or listed but no longer opening: either way the panel must offer to open again
    // rather than show "ClosePort" for a closed port.
    KillAllTimers();
    OnInitDialog();
    Publish(PortClosure::Gone);
}

void PanelController::Publish(PortClosure why) {
    if (m_events != nullptr) {
        m_events->OnPortClosed(why);
    }
}

void PanelController::RunPendingDeviceChanges() {
    // A device change raised inside a recovery only counts up; the outer loop runs it.
    if (m_busyDepth != 0) {
        return;
    }
    while (m_pendingDeviceChanges != 0) {
        --m_pendingDeviceChanges;
        RecoverAfterDeviceChange();
    }
}
