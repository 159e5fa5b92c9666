#include "BenchSupport.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>

#include "CommandFrame.h"

namespace bench {

CpuTime SelfCpu() {
    CpuTime cpu;
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
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    for (const timeval& tv : {usage.ru_utime, usage.ru_stime}) {
        cpu.all += static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
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

InProcessModule::InProcessModule(int com, const ModuleConfig& config)
    : m_pty(com, true), m_stopFd(::eventfd(0, EFD_CLOEXEC)), m_core(config) {
    if (m_pty.Error().empty()) {
        m_thread = std::thread([this] { Run(); });
    }
}

InProcessModule::~InProcessModule() {
    if (m_thread.joinable()) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(m_stopFd, &one, sizeof one);
        m_thread.join();
    }
    ::close(m_stopFd);
}

std::vector<ReceivedFrame> InProcessModule::Frames() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_frames;
}

void InProcessModule::Run() {
    const std::int64_t start = MonotonicNs();
    for (;;) {
        pollfd fds[2] = {{m_stopFd, POLLIN, 0}, {m_pty.Master(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (fds[0].revents != 0) {
            return;
        }
        const std::int64_t woke = MonotonicNs();
        if ((fds[1].revents & POLLIN) == 0) {
            // The panel closed its side; with the far side held open this does not repeat.
            ::usleep(1000);
            continue;
        }
        std::uint8_t buf[512];
        const ssize_t n = ::read(m_pty.Master(), buf, sizeof buf);
        if (n <= 0) {
            continue;
        }
        m_core.Receive(buf, static_cast<std::size_t>(n), (woke - start) / 1'000'000);
        for (const WireAction& action : m_core.TakeActions()) {
            if (action.dir == WireDir::Rx && action.bytes.size() == kFrameSize) {
                ReceivedFrame received{woke, {}};
                std::copy(action.bytes.begin(), action.bytes.end(), received.frame.begin());
                std::lock_guard<std::mutex> lock(m_mutex);
                m_frames.push_back(received);
            } else if (action.dir == WireDir::Tx) {
                // A few bytes into an empty pty always fit at once.
                [[maybe_unused]] const ssize_t w =
                    ::write(m_pty.Master(), action.bytes.data(), action.bytes.size());
            }
        }
    }
}

}  // namespace bench
