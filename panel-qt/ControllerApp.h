// The application object.
#pragma once

/// Runs the panel. It holds no data; main() creates the QApplication first (widgets need it)
/// and then calls InitInstance().
class CControllerApp {
public:
    /// Runs the panel dialog modally until its window is closed. Always returns false, so the
    /// program ends as soon as the panel does, however the dialog ended.
    bool InitInstance();
};
