// A scripted walk through the panel: the real dialog and link, driven as an operator would.
#pragma once

#include <QString>
#include <functional>

#include "PanelDriver.h"

/// What the tour is asked to do.
struct TourOptions {
    int com = 0;                 ///< the port to open, as listed ("COM<n>")
    QString screenshotPath;      ///< where the synchronised panel's PNG goes; empty: none
    bool exitWhileOpen = false;  ///< after synchronising, close the window with the port open
    int stepDeadlineMs = 15000;  ///< how long one step may take to show its result
};

/// Drives one panel dialog through open, synchronise, typed channel, typed power, output
/// toggle and close (or, asked to, closes the window right after synchronising), printing
/// what the readouts show after each step. Each step waits for the module's reply to appear
/// in the controls; a step that does not get there within the deadline ends the tour with a
/// message saying what was expected.
class PanelTour {
public:
    PanelTour(QDialog& dialog, const ControllerState& state, TourOptions options);

    /// Runs every step; true when each reached its expected state.
    bool Run();

private:
    bool OpenPort();
    bool WaitForSync();
    bool TypeChannel();
    bool TypePower();
    bool ToggleOutput();
    bool ClosePort();
    bool CloseWindowWithPortOpen();

    bool WaitFor(const char* what, const std::function<bool()>& reached);
    /// `reached`, after saying what the tour gave up waiting for when it is false.
    bool Expect(const char* what, bool reached);
    void PrintReadouts(const char* step) const;
    bool SaveScreenshot();

    PanelDriver m_panel;
    TourOptions m_options;
};
