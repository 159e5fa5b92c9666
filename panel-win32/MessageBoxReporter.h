// The link's report box on Win32. (The link and the port probe as the controller drives them
// are shared with the Qt panel: SerialLinkPort.h.)
#pragma once

#include <string>

#include "LinkOwner.h"

namespace varnel::win32 {

/// The link's failure reports as a message box with no owner (error icon, OK), shown on
/// whichever thread reports, the monitor thread included; returns when it is dismissed.
class MessageBoxReporter : public IErrorReporter {
public:
    void ShowReport(const std::string& caption, const std::string& text) override;
};

}  // namespace varnel::win32
