// The application object of the Win32 panel.
#pragma once

/// Runs the panel dialog until its window is closed; the program then ends.
class CControllerApp {
public:
    /// Registers the common controls the template uses and runs the panel. Always returns
    /// false: there is no message loop after the panel.
    bool InitInstance();
};
