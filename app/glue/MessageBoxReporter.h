// Failure reports of the serial link as modal message boxes on the GUI thread.
#pragma once

#include <QObject>
#include <string>

#include "LinkOwner.h"

/// Shows each report in a modal error box ("Application Error", OK) on the GUI thread. Called
/// from another thread, it hands the box to the GUI thread and blocks until it is dismissed.
class MessageBoxReporter : public QObject, public IErrorReporter {
    Q_OBJECT
public:
    explicit MessageBoxReporter(QObject* parent = nullptr);
    void ShowReport(const std::string& caption, const std::string& text) override;
};
