#include "PortNames.h"
#include "PosixPortNames.h"
#include "RuntimeFolder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace {

// UNIX98 pty slaves (/dev/pts/N) use majors 136 to 143 and have no node in /sys/class/tty.
constexpr unsigned kPtySlaveFirstMajor = 136;
constexpr unsigned kPtySlaveLastMajor = 143;
// Major 5 holds /dev/tty, /dev/console and /dev/ptmx: terminals, but never a port.
constexpr unsigned kTtyAuxMajor = 5;

struct TableRange {
    int firstCom;
    std::string_view prefix;
};
constexpr TableRange kTable[] = {{1, "/dev/ttyS"}, {33, "/dev/ttyUSB"}, {65, "/dev/ttyACM"}};
constexpr int kTableSpan = 32;

std::string EnvOrEmpty(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::string(value) : std::string();
}

// Reads the first whitespace-separated word of a sysfs attribute; false when unreadable.
// Plain reads: a stream costs more than the whole check.
bool ReadWord(const std::string& path, std::string& word) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    char buffer[64];
    ssize_t length = 0;
    do {
        length = ::read(fd, buffer, sizeof buffer);
    } while (length < 0 && errno == EINTR);
    ::close(fd);
    const std::string_view text(buffer, length > 0 ? static_cast<std::size_t>(length) : 0);
    const std::size_t begin = text.find_first_not_of(" \t\n");
    if (begin == std::string_view::npos) {
        return false;
    }
    word = text.substr(begin, text.find_first_of(" \t\n", begin) - begin);
    return true;
}

// sysfs prints numbers in decimal or as 0x-prefixed hex.
bool ReadsZero(const std::string& path) {
    std::string word;
    if (!ReadWord(path, word)) {
        return false;
    }
    char* end = nullptr;
    const unsigned long long value = std::strtoull(word.c_str(), &end, 0);
    return end != word.c_str() && *end == '\0' && value == 0;
}

bool IsLegacySerialName(std::string_view name) {
    return name.size() > 4 && name.substr(0, 4) == "ttyS" &&
           name.find_first_not_of("0123456789", 4) == std::string_view::npos;
}

// What sysfs says about a character device.
struct SysTty {
    bool known = false;  // sysfs answered
    bool isTty = false;
    std::string folder;  // the device's sysfs folder, e.g. .../tty/ttyS0
};

SysTty AskSysfs(dev_t rdev) {
    SysTty tty;
    struct stat st {};
    if (::stat("/sys/dev/char", &st) != 0) {
        return tty;  // no sysfs to ask (a bare container)
    }
    tty.known = true;
    const std::string node =
        "/sys/dev/char/" + std::to_string(::major(rdev)) + ":" + std::to_string(::minor(rdev));
    char* real = ::realpath(node.c_str(), nullptr);
    if (real == nullptr) {
        return tty;  // a node with no driver behind it
    }
    tty.folder = real;
    std::free(real);
    char subsystem[PATH_MAX];
    const ssize_t len = ::readlink((node + "/subsystem").c_str(), subsystem, sizeof subsystem - 1);
    tty.isTty =
        len > 0 && std::string_view(subsystem, static_cast<std::size_t>(len)).ends_with("/tty");
    return tty;
}

// What a character device is, as a port.
enum class TtyKind { NotATerminal, Terminal, LegacyWithoutUart };

TtyKind ClassifyCharDevice(dev_t rdev) {
    const unsigned major = ::major(rdev);
    if (major >= kPtySlaveFirstMajor && major <= kPtySlaveLastMajor) {
        return TtyKind::Terminal;
    }
    if (major == kTtyAuxMajor) {
        return TtyKind::NotATerminal;
    }
    const SysTty tty = AskSysfs(rdev);
    if (!tty.known) {
        return TtyKind::Terminal;  // without sysfs a character device is the best we can tell
    }
    if (!tty.isTty) {
        return TtyKind::NotATerminal;
    }
    const std::string_view name = std::string_view(tty.folder).substr(tty.folder.rfind('/') + 1);
    return IsLegacySerialName(name) && SysfsTtyLacksUart(tty.folder) ? TtyKind::LegacyWithoutUart
                                                                     : TtyKind::Terminal;
}

// The port folder's path; `refusal` already says why when the runtime folder above the
// default one is not private: whoever may rename entries in it may swap the port folder for
// one of their own.
PortFolderChoice PortFolderPath() {
    PortFolderChoice choice;
    choice.path = EnvOrEmpty("VARNEL_PORTS");
    if (choice.path.empty()) {
        const std::string runtime = RuntimeFolder();
        choice.path = runtime + "/ports";
        IsPrivateFolder(runtime, choice.refusal);
    }
    return choice;
}

// Once per process: a folder that is ignored would otherwise be named on every scan.
void TellIgnored(const PortFolderChoice& choice) {
    static std::atomic<bool> told{false};
    if (!told.exchange(true)) {
        std::fprintf(stderr,
                     "%s: the port folder %s is ignored (%s); COM numbers name the fixed table "
                     "only\n",
                     program_invocation_short_name, choice.path.c_str(), choice.refusal.c_str());
    }
}

// The fixed table's device for COM `com`; empty outside it.
std::string TablePath(int com) {
    for (const TableRange& range : kTable) {
        if (com >= range.firstCom && com < range.firstCom + kTableSpan) {
            return std::string(range.prefix) + std::to_string(com - range.firstCom);
        }
    }
    return {};
}

// The COM number an entry of the port folder names: "COM<n>" exactly as PortDisplayName
// writes it, within 1..kMaxComPort; else 0.
int ComOfEntry(std::string_view name) {
    if (!name.starts_with("COM") || name.size() < 4 || name.size() > 6 || name[3] == '0' ||
        name.find_first_not_of("0123456789", 3) != std::string_view::npos) {
        return 0;
    }
    const int com = std::atoi(std::string(name.substr(3)).c_str());
    return com <= kMaxComPort ? com : 0;
}

// True when `path` leads to a terminal that is really there. stat follows an entry's link;
// opening the device is never needed, since closing a real UART would drop DTR and RTS under
// whoever else uses the line.
bool IsPortDevice(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode) &&
           ClassifyCharDevice(st.st_rdev) == TtyKind::Terminal;
}

// The names /dev holds, read at once, so that the many table numbers without a node cost no
// look-up of their own. None when /dev cannot be listed: each node is then asked for itself.
std::optional<std::unordered_set<std::string>> DevNames() {
    DIR* dev = ::opendir("/dev");
    if (dev == nullptr) {
        return std::nullopt;
    }
    std::unordered_set<std::string> names;
    while (const dirent* entry = ::readdir(dev)) {
        names.emplace(entry->d_name);
    }
    ::closedir(dev);
    return names;
}

}  // namespace

bool CharDeviceIsTerminal(dev_t rdev) {
    return ClassifyCharDevice(rdev) != TtyKind::NotATerminal;
}

PortFolderChoice ChoosePortFolder() {
    PortFolderChoice choice = PortFolderPath();
    if (choice.refusal.empty()) {
        IsPrivateFolder(choice.path, choice.refusal);
    }
    return choice;
}

std::string PortFolder() {
    const PortFolderChoice choice = ChoosePortFolder();
    if (choice.refusal.empty()) {
        return choice.path;
    }
    TellIgnored(choice);
    return {};
}

std::string PortEntryPath(int com) {
    const std::string folder = PortFolder();
    if (com < 1 || com > kMaxComPort || folder.empty()) {
        return {};
    }
    return folder + "/" + PortDisplayName(com);
}

bool MakePortFolder(std::string& error) {
    std::string folder = EnvOrEmpty("VARNEL_PORTS");
    if (folder.empty()) {
        folder = RuntimeFolder() + "/ports";
        if (!MakePrivateFolder(RuntimeFolder(), error)) {
            error = "cannot use the port-name folder " + folder + ": " + error;
            return false;
        }
    }
    // Walk the path so every missing parent is created too, as `mkdir -p` would.
    for (std::size_t pos = folder.find('/', 1); pos != std::string::npos;
         pos = folder.find('/', pos + 1)) {
        const std::string part = folder.substr(0, pos);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            error = "cannot create the port-name folder " + folder + " (" + part +
                    "): " + std::strerror(errno);
            return false;
        }
    }
    if (!MakePrivateFolder(folder, error)) {
        error = "cannot use the port-name folder " + folder + ": " + error;
        return false;
    }
    return true;
}

bool SysfsTtyLacksUart(const std::string& sysTtyDir) {
    if (ReadsZero(sysTtyDir + "/type")) {
        return true;
    }
    return ReadsZero(sysTtyDir + "/port") && ReadsZero(sysTtyDir + "/iomem_base");
}

std::string PortDevicePath(int com) {
    if (com < 1 || com > kMaxComPort) {
        return {};
    }
    std::string entry = PortEntryPath(com);
    struct stat st {};
    // The entry wins even when it dangles: a folder entry always names the port.
    if (!entry.empty() && ::lstat(entry.c_str(), &st) == 0) {
        return entry;
    }
    return TablePath(com);
}

bool PortExists(int com) {
    return IsPortDevice(PortDevicePath(com));
}

std::vector<int> ListPorts() {
    // The folder is vetted and read once, however many numbers it names.
    PortFolderChoice choice = PortFolderPath();
    std::vector<std::string> names;
    if (choice.refusal.empty()) {
        ReadPrivateFolder(choice.path, names, choice.refusal);
    }
    std::vector<bool> inFolder(kMaxComPort + 1, false);
    if (choice.refusal.empty()) {
        for (const std::string& name : names) {
            if (const int com = ComOfEntry(name); com != 0) {
                inFolder[static_cast<std::size_t>(com)] = true;
            }
        }
    } else {
        TellIgnored(choice);
    }
    const auto devNames = DevNames();
    constexpr std::string_view kDev = "/dev/";
    std::vector<int> ports;
    for (int com = 1; com <= kMaxComPort; ++com) {
        std::string path;
        if (inFolder[static_cast<std::size_t>(com)]) {
            path = choice.path + "/" + PortDisplayName(com);
        } else {
            path = TablePath(com);
            if (path.empty() || (devNames && !devNames->contains(path.substr(kDev.size())))) {
                continue;
            }
        }
        if (IsPortDevice(path)) {
            ports.push_back(com);
        }
    }
    return ports;
}

std::string ResolvedPath(const std::string& path) {
    std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
    return real ? std::string(real.get()) : path;
}
