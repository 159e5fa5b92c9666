// The serial link and the port probe as the panel's behaviour drives them, and the report box,
// over the Win32 CSerialLink and the COM-port namespace.
#pragma once

#include <string>

#include "LinkOwner.h"
#include "PanelHost.h"

class CSerialLink;

namespace varnel::win32 {

/// ILinkPort forwarding to the program's CSerialLink.
class SerialLinkPort : public ILinkPort {
public:
    explicit SerialLinkPort(CSerialLink& link);
    int Open(ILinkOwner* owner, int portNumber, const LinkSettings& settings) override;
    std::string OpenFailureText(int portNumber) const override;
    int StartMonitor() override;
    int Send(const std::uint8_t* bytes, int length) override;
    void Close() override;

private:
    CSerialLink& m_link;
};

/// IPortProbe on \\.\COMn: opened with no access rights and closed again at once.
class SystemPortProbe : public IPortProbe {
public:
    bool PortExists(int com) override;
};

/// The link's failure reports as a message box with no owner (error icon, OK), shown on
/// whichever thread reports, the monitor thread included; returns when it is dismissed.
class MessageBoxReporter : public IErrorReporter {
public:
    void ShowReport(const std::string& caption, const std::string& text) override;
};

}  // namespace varnel::win32
