#include "SerialLinkPort.h"

#include "PortNames.h"
#include "SerialLink.h"

SerialLinkPort::SerialLinkPort(CSerialLink& link) : m_link(link) {}

int SerialLinkPort::Open(ILinkOwner* owner, int portNumber, std::uint32_t baudRate, char parity,
                         std::uint32_t dataBits, std::uint32_t stopBits, std::uint32_t eventMask,
                         std::uint32_t sendBufferSize, std::uint32_t readIntervalTimeout,
                         std::uint32_t readTotalTimeoutMultiplier,
                         std::uint32_t readTotalTimeoutConstant,
                         std::uint32_t writeTotalTimeoutMultiplier,
                         std::uint32_t writeTotalTimeoutConstant) {
    return m_link.Open(owner, portNumber, baudRate, parity, dataBits, stopBits, eventMask,
                       sendBufferSize, readIntervalTimeout, readTotalTimeoutMultiplier,
                       readTotalTimeoutConstant, writeTotalTimeoutMultiplier,
                       writeTotalTimeoutConstant);
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
