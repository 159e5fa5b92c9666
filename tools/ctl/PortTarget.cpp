#include "PortTarget.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <filesystem>

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
    // A path is shown as given; a COM number with the device it resolved to.
    std::string text = target.label;
    if (target.com != 0 && !failure.device.empty()) {
        text += " (" + ShownDevice(failure.device) + ")";
    }
    const std::string device = target.com != 0 ? failure.device : target.path;
    text += " cannot be opened: ";
    switch (failure.kind) {
        case OpenFailureKind::None:
            return {};
        case OpenFailureKind::NoSuchDevice:
            return text + "no such device. Run `varnel-ctl ports` to see the ports there are.";
        case OpenFailureKind::PermissionDenied: {
            const std::string advice = PermissionAdvice(device);
            return text + "permission denied." + (advice.empty() ? "" : " " + advice);
        }
        case OpenFailureKind::Busy: {
            if (failure.holderPid == 0) {
                const PortHolder holder = FindHolder(device);
                failure.holderPid = holder.pid;
                failure.holderName = holder.name;
            }
            text += "another program holds it";
            if (failure.holderPid != 0) {
                text += " (" +
                        (failure.holderName.empty() ? "PID " : failure.holderName + ", PID ") +
                        std::to_string(failure.holderPid) + ")";
            }
            return text + ". Close that program, or end its use of the port, and try again.";
        }
        case OpenFailureKind::NotATerminal:
            return text + "it is not a terminal device. Give a serial port, such as " +
                   "/dev/ttyUSB0; `varnel-ctl ports` lists them.";
        case OpenFailureKind::Failed:
            break;
    }
    return text + (failure.error != 0 ? std::strerror(failure.error) : "the system refused") + ".";
}
