// Failure reports of the serial link as modal message boxes on the GUI thread.
#pragma once

#include <QObject>
#include <string>

#include "LinkOwner.h"

/// Shows each report in a modal error box ("Application Error", OK) on the GUI thread. Called
/// from another thread, it hands the box to the GUI thread and blocks until it is dismissed;
/// the GUI thread shows it from its event loop or from inside the link's Close(), which keeps
/// running queued calls. With no QApplication (any more) the report goes to standard error.
///
/// Destroying the reporter releases a caller still waiting for its box; the link must not be
/// given the reporter after that (SetErrorReporter(nullptr) first).
class MessageBoxReporter : public QObject, public IErrorReporter {
    Q_OBJECT
public:
    explicit MessageBoxReporter(QObject* parent = nullptr);
    void ShowReport(const std::string& caption, const std::string& text) override;

    /// True while a report box is open on the GUI thread. The monitor thread that raised it
    /// waits for the operator, so nothing may wait for that thread meanwhile (a close would
    /// hang: it lets no operator input through).
    static bool IsShowing() { return m_showing > 0; }

private:
    static int m_showing;  // GUI thread only

    static void ShowBox(const std::string& caption, const std::string& text);
    static void WriteToStderr(const std::string& caption, const std::string& text);
};
