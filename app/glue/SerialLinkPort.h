// The serial link as the panel's behaviour drives it, and the real port probe.
#pragma once

#include "PanelHost.h"

class CSerialLink;

/// ILinkPort forwarding to the program's CSerialLink.
class SerialLinkPort : public ILinkPort {
public:
    explicit SerialLinkPort(CSerialLink& link);
    int Open(ILinkOwner* owner, int portNumber, std::uint32_t baudRate, char parity,
             std::uint32_t dataBits, std::uint32_t stopBits, std::uint32_t eventMask,
             std::uint32_t sendBufferSize, std::uint32_t readIntervalTimeout,
             std::uint32_t readTotalTimeoutMultiplier, std::uint32_t readTotalTimeoutConstant,
             std::uint32_t writeTotalTimeoutMultiplier,
             std::uint32_t writeTotalTimeoutConstant) override;
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
};
