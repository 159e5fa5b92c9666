// The panel's behaviour, free of any toolkit: synchronisation, tracking, typed entry, the
// output toggle, step holds, port open/close and device-change recovery, and the readouts.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "ControlIds.h"
#include "ControllerState.h"
#include "PanelHost.h"
#include "ReplyFramer.h"

// Public interface fixed for the window; the private part belongs to the implementation.
class PanelController : public IPanelEntry {
public:
    /// `linkOwner` is handed to the link on every Open (the window, in the program).
    PanelController(ControllerState& state, IPanelControls& controls, ITimerHost& timers,
                    ILinkPort& link, IPortProbe& probe, ILinkOwner* linkOwner);

    /// The panel's reset: clears the port flags, rescans the ports, selects item 0, sets up the
    /// entry fields and sliders, "OpenPort", list enabled. Same code at start-up and after a
    /// close or a lost port. (Icons and focus are the window's.)
    void OnInitDialog();
    void ScanPorts();

    // Buttons.
    void OnOpenPort();
    void OnSetChannel();
    void OnSetPower();
    void OnOutputToggle();

    /// A tick of timer `id`.
    void OnTimer(unsigned id);

    /// One received byte (WM_LINK_RXCHAR): wParam the byte, lParam the port number.
    void OnLinkRxChar(std::uint32_t wParam, std::int32_t lParam);

    /// Left-button press on a step button (IDC_BTN_CH_DOWN, ..._UP, IDC_BTN_POWER_DOWN, ..._UP).
    void OnStepButtonDown(int buttonId);
    /// Left-button release anywhere in the panel.
    void OnMouseUp();
    /// Enter pressed with `focusId` focused: runs the entry's SET for the two fields.
    void OnEnterKey(int focusId);

    /// A device-change notification (an adapter plugged or pulled).
    void OnDeviceChange();

    /// Who is told of replies and of the port opening and closing; nullptr for nobody.
    void SetEventListener(IPanelEvents* listener) { m_events = listener; }

    // IPanelEntry
    bool Synced() const override { return m_state.portOpen && m_state.synced; }
    bool SubmitEntry(Quantity field, const std::string& text) override;
    bool QueryModule(Quantity quantity) override;

    // Steps the handlers are made of; public so tests and the window can name them.
    void AdvanceSync(std::uint8_t command);
    void ApplyChannelReply(int channel);
    void ApplyPowerReply(int power);
    void ApplyOutputReply(bool on);
    void TrackSliders();
    void StepChannelDown();
    void StepChannelUp();
    void StepPowerDown();
    void StepPowerUp();

private:
    /// Marks a close, reopen or open in progress, during which the link may dispatch
    /// deliveries, ticks and device changes back into this controller.
    class BusyScope;

    int OpenSelectedPort();
    /// The operator's notice of why the selected port did not open.
    void ShowOpenFailure();
    void Send(const CommandFrame& frame);
    /// An entry field and how its text becomes a set frame.
    struct TypedField {
        int editId;
        int decimals;  ///< fixed decimals of the field's value in the state
        int minimum;
        int maximum;
        CommandFrame (*encode)(int);
    };
    /// A typed entry's SET: reads `field` into `value`, clamped to its range, and sends it.
    /// Text without a number sends nothing and puts `reportedText` back into the field.
    void ApplyTypedEntry(const TypedField& field, std::int32_t& value,
                         const std::string& reportedText);
    /// Sends a typed or toggled value, pauses, and restarts slider tracking.
    void SendThenResumeTracking(const CommandFrame& frame);
    /// One tick of a held step button: `value` moves by `step` (negative for down), stops at
    /// `limit` on that side only, and is sent with `encode`.
    void StepHeld(std::int32_t& value, int step, int limit, CommandFrame (*encode)(int));
    /// Stops the step timers of a held button.
    void StopHold();
    /// Starts the query chain (channel, power, output) from its first stage.
    void RestartSync();
    void KillAllTimers();
    void RecoverAfterDeviceChange();
    void RunPendingDeviceChanges();
    /// Tells the listener that the port closed.
    void Publish(PortClosure why);

    ControllerState& m_state;
    IPanelControls& m_controls;
    ITimerHost& m_timers;
    ILinkPort& m_link;
    IPortProbe& m_probe;
    ILinkOwner* m_linkOwner;
    ReplyFramer m_framer;
    IPanelEvents* m_events = nullptr;
    /// The output as the module last reported it; empty before its first report.
    std::optional<bool> m_reportedOutput;
    int m_busyDepth = 0;  ///< open/close/recovery sections entered and not yet left
    /// Device changes not yet handled; those raised inside a busy section wait for its end and
    /// then run one at a time, never nested in a half-closed link.
    unsigned m_pendingDeviceChanges = 0;
    /// Entry texts of the module's last channel and power replies; empty before the first.
    std::string m_reportedChannelText;
    std::string m_reportedPowerText;
};
