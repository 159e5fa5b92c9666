// The two small interfaces through which the panel's behaviour reaches the window, plus the
// link and port probe it drives. The window (or a test) implements them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "LinkSettings.h"
#include "ModuleQuantity.h"

class ILinkOwner;

/// The control operations the behaviour uses, per control kind, addressed by control id.
class IPanelControls {
public:
    virtual ~IPanelControls() = default;

    // Port list (IDC_COMBO_PORTS): positions index ControllerState::portTable; never sorted.
    virtual void PortListReset() = 0;
    virtual void PortListInsert(int position, const std::string& text) = 0;
    virtual void PortListSelect(int position) = 0;
    /// Selected position, -1 when nothing is selected.
    virtual int PortListSelection() const = 0;
    virtual void PortListEnable(bool enable) = 0;

    // Trackbars (IDC_SLIDER_CHANNEL, IDC_SLIDER_POWER). A position outside the range puts the
    // thumb at the nearest end.
    virtual void SliderSetRange(int id, int minimum, int maximum) = 0;
    virtual void SliderClearTicks(int id) = 0;
    virtual void SliderAddTick(int id, int position) = 0;
    virtual int SliderPosition(int id) const = 0;
    virtual void SliderSetPosition(int id, int position) = 0;

    // Entry fields (IDC_EDIT_*): text drawn `dy` pixels below where a plain field draws it,
    // derived from the field's own rectangle each time, so repeating it never adds up.
    virtual void EditSetTextOffset(int id, int dy) = 0;

    // Entry fields and readouts: whole text by control id.
    virtual std::string GetItemText(int id) const = 0;
    virtual void SetItemText(int id, const std::string& text) = 0;

    // OpenPort and ON/OFF buttons.
    virtual void SetCaption(int id, const std::string& text) = 0;

    /// A modal notice with an OK button, over the panel; returns once it was dismissed.
    virtual void ShowNotice(const std::string& caption, const std::string& text) = 0;
};

/// The window's timers by id and the blocking pause of the window's thread.
class ITimerHost {
public:
    virtual ~ITimerHost() = default;
    /// Starts (or restarts) timer `id`; the first tick comes one full period later.
    virtual void SetTimer(unsigned id, unsigned periodMs) = 0;
    /// Stops timer `id`; no effect when it is not running.
    virtual void KillTimer(unsigned id) = 0;
    /// Blocks the window's thread for `ms`: nothing is handled meanwhile.
    virtual void Sleep(unsigned ms) = 0;
};

/// The serial link as the behaviour drives it (CSerialLink in the program).
class ILinkPort {
public:
    virtual ~ILinkPort() = default;
    /// Opens COM `portNumber` with `settings`; non-zero when the device opened.
    virtual int Open(ILinkOwner* owner, int portNumber, const LinkSettings& settings) = 0;
    /// The operator's text for why the last Open of COM `portNumber` failed; empty when it
    /// did not fail.
    virtual std::string OpenFailureText(int portNumber) const = 0;
    virtual int StartMonitor() = 0;
    virtual int Send(const std::uint8_t* bytes, int length) = 0;
    virtual void Close() = 0;
};

/// Which COM ports exist (PortNames.h in the program).
class IPortProbe {
public:
    virtual ~IPortProbe() = default;
    /// Whether COM `com` exists (PortExists).
    virtual bool PortExists(int com) = 0;
    /// The COM numbers that exist, in order, from one look at the system (ListPorts): a scan
    /// of the whole list costs one look, not one per number.
    virtual std::vector<int> ListPorts() = 0;
};

/// Why the panel's port closed.
enum class PortClosure {
    Operator,  ///< the operator pressed ClosePort
    Gone,      ///< the device went away and did not open again
};

/// What the panel tells the one who follows it (the control socket); a follower overrides the
/// events it needs. Replies arrive after the panel applied them, and only those that
/// DecodeReply accepted.
class IPanelEvents {
public:
    virtual ~IPanelEvents() = default;
    virtual void OnModuleReply(const ModuleReply& /*reply*/) {}
    /// COM `com` opened; the synchronisation with the module starts.
    virtual void OnPortOpened(int /*com*/) {}
    virtual void OnPortClosed(PortClosure /*why*/) {}
};

/// What a script may do with the panel: what the operator does by typing into an entry field
/// and pressing Enter, or with the ON/OFF button, and a query of the module.
class IPanelEntry {
public:
    virtual ~IPanelEntry() = default;
    /// The start-up synchronisation with the module has completed on an open port.
    virtual bool Synced() const = 0;
    /// Channel or power: `text` typed into the field, then Enter. Output: "on" or "off", the
    /// button pressed when the module last reported the other state. False when nothing went
    /// out (not synchronised; the output already so).
    virtual bool SubmitEntry(Quantity field, const std::string& text) = 0;
    /// Sends the query frame of `quantity`; false when nothing was sent.
    virtual bool QueryModule(Quantity quantity) = 0;
};
