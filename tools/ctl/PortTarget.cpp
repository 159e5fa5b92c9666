#include "PortTarget.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "DeviceAccess.h"
#include "PortNames.h"
#include "PortProbe.h"

namespace {

bool IsComName(std::string_view text) {
    return text.size() > 3 && (text[0] == 'C' || text[0] == 'c') &&
           (text[1] == 'O' || text[1] == 'o') && (text[2] == 'M' || text[2] == 'm');
}

std::string TempFolderBase() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && *runtime != '\0' && ::access(runtime, W_OK | X_OK) == 0) {
        return runtime;
    }
    const char* tmp = std::getenv("TMPDIR");
    return tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
}

}  // namespace

std::string ParsePortTarget(std::string_view text, PortTarget& target) {
    target = {};
    target.label = std::string(text);
    if (text.empty()) {
        return "the port is empty; give COMn or a device path such as /dev/ttyUSB0";
    }
    if (IsComName(text) && text.find('/') == std::string_view::npos) {
        const std::string_view digits = text.substr(3);
        int com = 0;
        const auto [end, error] =
            std::from_chars(digits.data(), digits.data() + digits.size(), com);
        if (error != std::errc() || end != digits.data() + digits.size() || com < 1 ||
            com > kMaxComPort) {
            return "\"" + target.label + "\": a COM port is COM1 to COM" +
                   std::to_string(kMaxComPort);
        }
        target.com = com;
        target.label = PortDisplayName(com);
        return {};
    }
    target.path =
        text.find('/') == std::string_view::npos ? "/dev/" + std::string(text) : std::string(text);
    target.label = target.path;
    return {};
}

ComNumberFor::ComNumberFor(const PortTarget& target) {
    if (target.com != 0) {
        m_number = target.com;
        return;
    }
    std::string pattern = TempFolderBase() + "/varnel-ctl-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        m_error = "cannot make a private port folder in " + TempFolderBase() + ": " +
                  std::strerror(errno);
        return;
    }
    m_folder = pattern;
    std::error_code ignored;
    const std::filesystem::path absolute = std::filesystem::absolute(target.path, ignored);
    m_entry = m_folder + "/" + PortDisplayName(1);
    if (::symlink(absolute.c_str(), m_entry.c_str()) != 0) {
        m_error = "cannot make a port entry in " + m_folder + ": " + std::strerror(errno);
        return;
    }
    const char* old = std::getenv("VARNEL_PORTS");
    m_hadPorts = old != nullptr;
    m_oldPorts = old != nullptr ? old : "";
    ::setenv("VARNEL_PORTS", m_folder.c_str(), 1);
    m_number = 1;
}

ComNumberFor::~ComNumberFor() {
    if (m_folder.empty()) {
        return;
    }
    if (!m_entry.empty()) {
        ::unlink(m_entry.c_str());
    }
    ::rmdir(m_folder.c_str());
    if (m_number != 0) {
        if (m_hadPorts) {
            ::setenv("VARNEL_PORTS", m_oldPorts.c_str(), 1);
        } else {
            ::unsetenv("VARNEL_PORTS");
        }
    }
}

bool CheckPortPresent(int com, OpenFailure& failure) {
    if (PortExists(com)) {
        return true;
    }
    failure = {};
    failure.device = PortDevicePath(com);
    struct stat st {};
    if (failure.device.empty() || ::stat(failure.device.c_str(), &st) != 0) {
        failure.kind = OpenFailureKind::NoSuchDevice;
        failure.error = ENOENT;
    } else {
        failure.kind = OpenFailureKind::NotATerminal;
        failure.error = ENOTTY;
    }
    return false;
}

std::string DescribePortFailure(const PortTarget& target, OpenFailure failure) {
    // A COM number is shown with the device it resolved to; a path is shown as given.
    failure.device = target.com != 0 ? ShownDevice(failure.device) : target.path;
    if (failure.kind == OpenFailureKind::Busy && failure.holderPid == 0) {
        // The link names lock holders; a program that only has the device open is found here.
        const PortHolder holder = FindHolder(failure.device);
        failure.holderPid = holder.pid;
        failure.holderName = holder.name;
    }
    if (failure.kind == OpenFailureKind::NotATerminal && target.com == 0) {
        return target.path + " cannot be opened: it is not a terminal device. Give a serial " +
               "port, such as /dev/ttyUSB0; `varnel-ctl ports` lists them.";
    }
    const DeviceAccess access = failure.kind == OpenFailureKind::PermissionDenied
                                    ? QueryDeviceAccess(failure.device)
                                    : DeviceAccess{};
    return DescribeOpenFailure(target.label, failure, access);
}
