#include "BenchSupport.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "CommandFrame.h"
#include "PortNames.h"

extern char** environ;

namespace bench {

namespace {

// Fixed-size, lock-free tables: EmergencyCleanup runs on the watchdog thread while the GUI
// thread may be anywhere.
constexpr std::size_t kMaxChildren = 16;
std::array<std::atomic<pid_t>, kMaxChildren> g_children{};
std::mutex g_foldersMutex;
std::vector<std::filesystem::path> g_folders;

void CloseFd(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

}  // namespace

std::int64_t NowNs() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

double NowMs() {
    return static_cast<double>(NowNs()) / 1e6;
}

double SelfCpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& tv) {
        return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

ThreadCpu SelfThreadCpu() {
    ThreadCpu cpu;
    const std::string self = std::to_string(::getpid());
    std::error_code ec;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task", ec)) {
        std::ifstream schedstat(task.path() / "schedstat");
        double runNs = 0;
        if (!(schedstat >> runNs)) {
            continue;  // the thread ended meanwhile
        }
        (task.path().filename() == self ? cpu.mainThread : cpu.otherThreads) += runNs / 1e9;
    }
    return cpu;
}

long SelfRssKb() {
    std::ifstream statm("/proc/self/statm");
    long size = 0;
    long resident = 0;
    statm >> size >> resident;
    return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

void RegisterChild(pid_t pid) {
    for (auto& slot : g_children) {
        pid_t empty = 0;
        if (slot.compare_exchange_strong(empty, pid)) {
            return;
        }
    }
}

void UnregisterChild(pid_t pid) {
    for (auto& slot : g_children) {
        pid_t expected = pid;
        if (slot.compare_exchange_strong(expected, 0)) {
            return;
        }
    }
}

void EmergencyCleanup() {
    for (auto& slot : g_children) {
        const pid_t pid = slot.exchange(0);
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
    std::lock_guard<std::mutex> lock(g_foldersMutex);
    for (const auto& folder : g_folders) {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }
    g_folders.clear();
}

// --- TempPortFolder -------------------------------------------------------------------------

TempPortFolder::TempPortFolder() {
    char pattern[] = "/tmp/varnel-bench-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        return;
    }
    m_dir = pattern;
    if (const char* old = std::getenv("VARNEL_PORTS")) {
        m_old = old;
    }
    ::setenv("VARNEL_PORTS", m_dir.c_str(), 1);
    std::lock_guard<std::mutex> lock(g_foldersMutex);
    g_folders.push_back(m_dir);
}

TempPortFolder::~TempPortFolder() {
    if (m_dir.empty()) {
        return;
    }
    if (m_old) {
        ::setenv("VARNEL_PORTS", m_old->c_str(), 1);
    } else {
        ::unsetenv("VARNEL_PORTS");
    }
    std::error_code ignored;
    std::filesystem::remove_all(m_dir, ignored);
    std::lock_guard<std::mutex> lock(g_foldersMutex);
    std::erase(g_folders, m_dir);
}

// --- ChildProcess ---------------------------------------------------------------------------

ChildProcess::~ChildProcess() {
    if (m_pid > 0) {
        Stop(1000);
    }
    JoinReader();
    CloseFd(m_stdout);
}

bool ChildProcess::Start(const std::string& path, const std::vector<std::string>& args,
                         const std::string& stderrFile, std::string& error) {
    int in[2];
    int out[2];
    if (::pipe2(in, O_CLOEXEC) != 0) {
        error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    if (::pipe2(out, O_CLOEXEC) != 0) {
        error = std::string("pipe: ") + std::strerror(errno);
        ::close(in[0]);
        ::close(in[1]);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    if (!stderrFile.empty()) {
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, stderrFile.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
    }
    // The bench blocks its stop signals for its own threads; the child must get them back.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);

    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const std::string& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, path.c_str(), &actions, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    ::close(in[0]);
    ::close(out[1]);
    if (rc != 0) {
        error = "cannot start " + path + ": " + std::strerror(rc);
        ::close(in[1]);
        ::close(out[0]);
        return false;
    }
    m_pid = pid;
    m_stdin = in[1];
    m_stdout = out[0];
    m_reaped = false;
    RegisterChild(pid);
    return true;
}

std::optional<std::string> ChildProcess::WaitForLine(const std::string& marker, int deadlineMs) {
    const double end = NowMs() + deadlineMs;
    for (;;) {
        for (std::size_t nl; (nl = m_buffered.find('\n')) != std::string::npos;) {
            std::string line = m_buffered.substr(0, nl);
            m_buffered.erase(0, nl + 1);
            if (line.find(marker) != std::string::npos) {
                return line;
            }
        }
        const double left = end - NowMs();
        if (left <= 0 || m_stdout < 0) {
            return std::nullopt;
        }
        pollfd fd{m_stdout, POLLIN, 0};
        const int ready = ::poll(&fd, 1, static_cast<int>(left) + 1);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return std::nullopt;
        }
        char buf[4096];
        const ssize_t n = ::read(m_stdout, buf, sizeof buf);
        if (n <= 0) {
            return std::nullopt;  // the child ended before saying it
        }
        m_buffered.append(buf, static_cast<std::size_t>(n));
    }
}

void ChildProcess::ReadLinesInBackground(std::function<void(const std::string&)> onLine) {
    JoinReader();
    const int fd = m_stdout;
    m_stdout = -1;
    // The reader ends at end of file, which comes when the child ends (it holds the only
    // write end), so Stop() can always join it.
    m_reader = std::thread([fd, onLine = std::move(onLine), pending = m_buffered]() mutable {
        char buf[8192];
        for (;;) {
            for (std::size_t nl; (nl = pending.find('\n')) != std::string::npos;) {
                onLine(pending.substr(0, nl));
                pending.erase(0, nl + 1);
            }
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                break;
            }
            pending.append(buf, static_cast<std::size_t>(n));
        }
        ::close(fd);
    });
    m_buffered.clear();
}

void ChildProcess::JoinReader() {
    if (m_reader.joinable()) {
        m_reader.join();
    }
}

bool ChildProcess::Exited(int* status) {
    if (m_pid <= 0) {
        return true;
    }
    if (!m_reaped) {
        int wstatus = 0;
        const pid_t done = ::waitpid(m_pid, &wstatus, WNOHANG);
        if (done == m_pid) {
            m_reaped = true;
            m_status = wstatus;
            UnregisterChild(m_pid);
        }
    }
    if (m_reaped && status != nullptr) {
        *status = m_status;
    }
    return m_reaped;
}

void ChildProcess::Signal(int sig) {
    if (m_pid > 0 && !m_reaped) {
        ::kill(m_pid, sig);
    }
}

int ChildProcess::Stop(int graceMs) {
    if (m_pid <= 0) {
        return m_status;
    }
    CloseFd(m_stdin);
    const double end = NowMs() + graceMs;
    while (!Exited() && NowMs() < end) {
        ::usleep(2000);
    }
    if (!Exited()) {
        ::kill(m_pid, SIGKILL);
        int wstatus = 0;
        ::waitpid(m_pid, &wstatus, 0);
        m_reaped = true;
        m_status = wstatus;
        UnregisterChild(m_pid);
    }
    JoinReader();
    CloseFd(m_stdout);
    m_pid = -1;
    return m_status;
}

// --- ModuleProcess --------------------------------------------------------------------------

bool ModuleProcess::Start(const std::string& modulePath, int com,
                          const std::vector<std::string>& extraArgs,
                          const std::filesystem::path& stderrFile, std::string& error) {
    std::vector<std::string> args{"--com", std::to_string(com)};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    m_stderrFile = stderrFile;
    if (!m_child.Start(modulePath, args, stderrFile.string(), error)) {
        return false;
    }
    const std::string ready = "COM" + std::to_string(com) + " -> ";
    if (!m_child.WaitForLine(ready, 10000)) {
        m_child.Stop(1000);
        std::ifstream text(stderrFile);
        std::stringstream said;
        said << text.rdbuf();
        error = "varnel-module did not publish COM" + std::to_string(com) + ": " + said.str();
        return false;
    }
    return true;
}

std::string ModuleProcess::Stop() {
    m_child.Stop();
    std::ifstream text(m_stderrFile);
    std::stringstream said;
    said << text.rdbuf();
    return said.str();
}

// --- InProcessModule ------------------------------------------------------------------------

InProcessModule::~InProcessModule() {
    Stop();
}

bool InProcessModule::Start(int com, const ModuleConfig& config, std::string& error) {
    m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_master < 0 || ::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0) {
        error = std::string("posix_openpt: ") + std::strerror(errno);
        Stop();
        return false;
    }
    char name[128];
    if (::ptsname_r(m_master, name, sizeof name) != 0) {
        error = std::string("ptsname: ") + std::strerror(errno);
        Stop();
        return false;
    }
    // Held open by us, so the master never reports a hang-up while the panel is closed.
    m_slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios tio{};
    if (m_slave < 0 || ::tcgetattr(m_slave, &tio) != 0) {
        error = std::string("open ") + name + ": " + std::strerror(errno);
        Stop();
        return false;
    }
    ::cfmakeraw(&tio);
    ::tcsetattr(m_slave, TCSANOW, &tio);
    m_stopFd = ::eventfd(0, EFD_CLOEXEC);
    m_entry = PortEntryPath(com);
    std::error_code ec;
    std::filesystem::create_symlink(name, m_entry, ec);
    if (ec || m_stopFd < 0) {
        error = "cannot publish " + m_entry.string() + ": " + ec.message();
        m_entry.clear();
        Stop();
        return false;
    }
    m_core.emplace(config);
    m_thread = std::thread([this] { Run(); });
    return true;
}

void InProcessModule::Stop() {
    if (m_thread.joinable()) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(m_stopFd, &one, sizeof one);
        m_thread.join();
    }
    if (!m_entry.empty()) {
        std::error_code ignored;
        std::filesystem::remove(m_entry, ignored);
        m_entry.clear();
    }
    CloseFd(m_master);
    CloseFd(m_slave);
    CloseFd(m_stopFd);
}

std::vector<ReceivedFrame> InProcessModule::Frames() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_frames;
}

void InProcessModule::Run() {
    const std::int64_t start = NowNs();
    for (;;) {
        pollfd fds[2] = {{m_stopFd, POLLIN, 0}, {m_master, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (fds[0].revents != 0) {
            return;
        }
        const std::int64_t woke = NowNs();
        if ((fds[1].revents & POLLIN) == 0) {
            // The panel closed its side; with our slave open this does not repeat.
            ::usleep(1000);
            continue;
        }
        std::uint8_t buf[512];
        const ssize_t n = ::read(m_master, buf, sizeof buf);
        if (n <= 0) {
            continue;
        }
        m_core->Receive(buf, static_cast<std::size_t>(n), (woke - start) / 1'000'000);
        for (const WireAction& action : m_core->TakeActions()) {
            if (action.dir == WireDir::Rx && action.bytes.size() == kFrameSize) {
                ReceivedFrame received{woke, {}};
                std::copy(action.bytes.begin(), action.bytes.end(), received.frame.begin());
                std::lock_guard<std::mutex> lock(m_mutex);
                m_frames.push_back(received);
            } else if (action.dir == WireDir::Tx) {
                // A few bytes into an empty pty always fit at once.
                [[maybe_unused]] const ssize_t w =
                    ::write(m_master, action.bytes.data(), action.bytes.size());
            }
        }
    }
}

double Median(std::vector<double> values) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const std::size_t mid = values.size() / 2;
    return values.size() % 2 == 1 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

double Worst(const std::vector<double>& values) {
    return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
}

}  // namespace bench
