// The real panel driven as an operator would, by the object names of its controls: clicks
// and presses through the window, typed keys, slider moves. Waiting always happens in an
// event loop that blocks, so the driver costs nothing while the panel is being measured.
// Part of the test kit; shared by the tour, the end-to-end tests and the bench.
#pragma once

#include <QPoint>
#include <QString>
#include <cstdint>
#include <functional>

#include "ControllerState.h"
#include "Monotonic.h"

class QDialog;
class QWidget;

/// One panel dialog and the state record it serves.
class PanelDriver {
public:
    PanelDriver(QDialog& dialog, const ControllerState& state);

    QDialog& Dialog() const { return m_dialog; }
    const ControllerState& State() const { return m_state; }

    /// The control named `name`, nullptr when the panel has none.
    QWidget* Control(const char* name) const;
    /// A control's caption or text; a slider's position as a number.
    QString Text(const char* name) const;
    /// A slider's position, -1 for no slider of that name.
    int SliderValue(const char* name) const;

    /// Shows the window and waits until it is active: typed keys go to the focused field.
    bool Show(int deadlineMs);
    /// Waits until "COM<com>" is listed, selects it and clicks OpenPort. True when the port
    /// opened; `clickedAtNs` gets the moment of the click.
    bool OpenCom(int com, int deadlineMs, std::int64_t* clickedAtNs = nullptr);
    /// Waits for the synchronisation; the moment it was seen complete goes to `syncedAtNs`.
    bool WaitSynced(int deadlineMs, std::int64_t* syncedAtNs = nullptr);
    /// Clicks ClosePort on an open port; returns the time the click took (the close), in ns,
    /// or -1 when no port was open.
    std::int64_t ClosePort();
    /// The panel's closed state: port closed, button reads OpenPort, port list enabled.
    bool IsClosed() const;

    /// Clicks a button as a program would (no mouse).
    void Click(const char* name);
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
    static bool WaitFor(const std::function<bool()>& done, int deadlineMs, int pollMs = 5,
                        std::int64_t* doneAtNs = nullptr);
    /// Runs the event loop for `ms`, doing nothing else.
    static void Idle(int ms);

private:
    QDialog& m_dialog;
    const ControllerState& m_state;
    QPoint m_pressedAt;  // where the last press went, in window coordinates
};
