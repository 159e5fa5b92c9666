// The real panel dialog offscreen, driven as an operator would: clicks and presses through
// the window, typed keys, slider moves. Waiting always happens in a real event loop that
// blocks, so the bench itself costs nothing while the panel is being measured.
#pragma once

#include <QObject>
#include <QPoint>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>

#include "ControllerState.h"
#include "SerialLink.h"

class CControllerDlg;
class QWidget;

namespace bench {

/// One panel window with its own state and link, as the program has them.
class PanelDriver {
public:
    PanelDriver();
    ~PanelDriver();
    PanelDriver(const PanelDriver&) = delete;
    PanelDriver& operator=(const PanelDriver&) = delete;

    CControllerDlg& Dialog() { return *m_dialog; }
    const ControllerState& State() const { return m_state; }
    ControllerState& MutableState() { return m_state; }

    QWidget* Control(const char* name) const;
    QString Text(const char* name) const;
    int SliderValue(const char* name) const;

    /// Waits until "COM<com>" is listed, selects it and clicks OpenPort. True when the port
    /// opened; `clickedAtNs` gets the moment of the click.
    bool OpenCom(int com, int deadlineMs, std::int64_t* clickedAtNs = nullptr);
    /// Waits for the synchronisation; the moment it was seen complete goes to `syncedAtNs`.
    bool WaitSynced(int deadlineMs, std::int64_t* syncedAtNs = nullptr);
    /// Clicks ClosePort on an open port; returns the time the click took (the close), in ns,
    /// or -1 when no port was open.
    std::int64_t ClosePort();
    bool IsClosed() const;

    /// A left click through the window at the centre of the control.
    void ClickThroughWindow(const char* name);
    /// Left-button press through the window on the control, and the release.
    void PressThroughWindow(const char* name);
    void ReleaseThroughWindow();
    /// Types `text` into the entry field, replacing what it holds, then Enter.
    void TypeAndEnter(const char* name, const QString& text);
    void MoveSlider(const char* name, int value);

    /// Runs the event loop until `done` holds (checked whenever the loop is about to sleep and
    /// every `pollMs`) or `deadlineMs` pass; returns `done()`. The check's time goes to
    /// `doneAtNs`.
    bool WaitFor(const std::function<bool()>& done, int deadlineMs, int pollMs = 5,
                 std::int64_t* doneAtNs = nullptr);
    /// Runs the event loop for `ms`, doing nothing else.
    void Idle(int ms);

private:
    ControllerState m_state;
    CSerialLink m_link;
    std::unique_ptr<CControllerDlg> m_dialog;
    QPoint m_pressedAt;  // where the last press went, in window coordinates
};

}  // namespace bench
