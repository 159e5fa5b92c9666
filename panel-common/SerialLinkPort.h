// The serial link as the panel's behaviour drives it, and the real port probe.
#pragma once

#include "PanelHost.h"

class CSerialLink;

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

/// IPortProbe on the COM-port namespace (PortNames.h).
class SystemPortProbe : public IPortProbe {
public:
    bool PortExists(int com) override;
    std::vector<int> ListPorts() override;
};
