#include "LinkAdapters.h"

#include "PortNames.h"
#include "SerialLink.h"

// After the project's headers, which declare names that windows.h defines as macros.
#include <windows.h>

namespace varnel::win32 {

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

void MessageBoxReporter::ShowReport(const std::string& caption, const std::string& text) {
    ::MessageBoxA(nullptr, text.c_str(), caption.c_str(), MB_OK | MB_ICONERROR);
}

}  // namespace varnel::win32
