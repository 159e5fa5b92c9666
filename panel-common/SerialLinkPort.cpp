#include "SerialLinkPort.h"

#include "PortNames.h"
#include "SerialLink.h"

SerialLinkPort::SerialLinkPort(CSerialLink& link) : m_link(link) {}

int SerialLinkPort::Open(ILinkOwner* owner, int portNumber, const LinkSettings& settings) {
    return m_link.Open(owner, portNumber, settings);
}

std::string SerialLinkPort::OpenFailureText(int portNumber) const {
    return DescribeOpenFailure(portNumber, m_link.LastOpenFailure());
}

int SerialLinkPort::StartMonitor() {
    return m_link.StartMonitor();
}

int SerialLinkPort::Send(const std::uint8_t* bytes, int length) {
    return m_link.Send(bytes, length);
}

void SerialLinkPort::Close() {
    m_link.Close();
}

bool SystemPortProbe::PortExists(int com) {
    return ::PortExists(com);
}

std::vector<int> SystemPortProbe::ListPorts() {
    return ::ListPorts();
}
