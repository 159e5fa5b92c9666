#include "Process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "Wait.h"

extern char** environ;

namespace testkit {

namespace {

// Lines complete in `text` (up to its last newline), removed from it.
std::vector<std::string> TakeLines(std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) {
        lines.push_back(text.substr(start, nl - start));
    }
    text.erase(0, start);
    return lines;
}

void CloseFd(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

}  // namespace

Process::~Process() {
    Stop(3000);
}

bool Process::Start(const std::string& path, const std::vector<std::string>& args,
                    const ProcessOptions& options) {
    Stop(3000);  // a second run of the same object starts afresh
    m_pid = -1;
    m_status = -1;
    m_drained = false;
    m_out.clear();
    m_err.clear();
    m_scanned = 0;
    m_onLine = nullptr;
    int in[2] = {-1, -1};
    int out[2] = {-1, -1};
    int err[2] = {-1, -1};
    if ((options.inputPipe && ::pipe2(in, O_CLOEXEC) != 0) || ::pipe2(out, O_CLOEXEC) != 0 ||
        (!options.mergeErrors && ::pipe2(err, O_CLOEXEC) != 0)) {
        return false;
    }
    // Everything the child needs is built before fork: after it only exec-safe calls run.
    std::vector<std::string> strings{path};
    strings.insert(strings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& s : strings) {
        argv.push_back(s.data());
    }
    argv.push_back(nullptr);
    std::vector<std::string> variables;
    for (char** e = environ; *e != nullptr; ++e) {
        variables.emplace_back(*e);
    }
    for (const auto& [name, value] : options.environment) {
        const std::string prefix = name + "=";
        std::erase_if(variables, [&prefix](const std::string& v) { return v.starts_with(prefix); });
        variables.push_back(prefix + value);
    }
    std::vector<char*> envp;
    for (std::string& v : variables) {
        envp.push_back(v.data());
    }
    envp.push_back(nullptr);
    const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);

    m_pid = ::fork();
    if (m_pid == 0) {
        ::dup2(options.inputPipe ? in[0] : null, 0);
        ::dup2(out[1], 1);
        ::dup2(options.mergeErrors ? out[1] : err[1], 2);
        ::execvpe(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    for (int fd : {in[0], out[1], err[1], null}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    m_input = in[1];
    m_output = out[0];
    m_errors = err[0];
    if (m_pid < 0) {
        CloseFd(m_input);
        CloseFd(m_output);
        CloseFd(m_errors);
        return false;
    }
    m_stop = ::eventfd(0, EFD_CLOEXEC);
    m_reader = std::thread([this] { Read(); });
    return true;
}

void Process::Read() {
    for (;;) {
        pollfd fds[3] = {{m_stop, POLLIN, 0}, {m_output, POLLIN, 0}, {m_errors, POLLIN, 0}};
        if (::poll(fds, 3, -1) < 0 && errno != EINTR) {
            break;
        }
        if (fds[0].revents != 0) {
            break;
        }
        bool open = false;
        for (int i : {1, 2}) {
            if (fds[i].fd < 0) {
                continue;
            }
            char chunk[4096];
            ssize_t n = 0;
            if (fds[i].revents != 0 && (n = ::read(fds[i].fd, chunk, sizeof chunk)) <= 0 &&
                !(n < 0 && errno == EINTR)) {
                CloseFd(i == 1 ? m_output : m_errors);
                continue;
            }
            open = true;
            if (n <= 0) {
                continue;
            }
            std::lock_guard delivering(m_delivering);
            std::vector<std::string> lines;
            {
                std::lock_guard lock(m_mutex);
                (i == 1 ? m_out : m_err).append(chunk, static_cast<std::size_t>(n));
                if (i == 1 && m_onLine) {
                    lines = TakeLines(m_out);
                }
            }
            m_changed.notify_all();
            for (const std::string& line : lines) {
                m_onLine(line);
            }
        }
        if (!open) {
            break;
        }
    }
    std::lock_guard lock(m_mutex);
    m_drained = true;
    m_changed.notify_all();
}

std::string Process::Output() const {
    std::lock_guard lock(m_mutex);
    return m_out;
}

std::string Process::Errors() const {
    std::lock_guard lock(m_mutex);
    return m_err;
}

std::optional<std::string> Process::WaitForLine(const std::string& marker, int deadlineMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadlineMs);
    std::unique_lock lock(m_mutex);
    for (;;) {
        for (std::size_t nl; (nl = m_out.find('\n', m_scanned)) != std::string::npos;) {
            std::string line = m_out.substr(m_scanned, nl - m_scanned);
            m_scanned = nl + 1;
            if (line.find(marker) != std::string::npos) {
                return line;
            }
        }
        if (m_drained || m_changed.wait_until(lock, end) == std::cv_status::timeout) {
            return std::nullopt;
        }
    }
}

void Process::OnLine(std::function<void(const std::string&)> onLine) {
    std::lock_guard delivering(m_delivering);
    std::vector<std::string> lines;
    {
        std::lock_guard lock(m_mutex);
        m_out.erase(0, m_scanned);
        m_scanned = 0;
        m_onLine = std::move(onLine);
        lines = TakeLines(m_out);
    }
    for (const std::string& line : lines) {
        m_onLine(line);
    }
}

bool Process::Reap(bool block) {
    if (m_status < 0 && m_pid > 0) {
        int status = 0;
        if (::waitpid(m_pid, &status, block ? 0 : WNOHANG) != m_pid) {
            return false;
        }
        m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    return true;
}

bool Process::Exited() {
    return Reap(false);
}

int Process::Wait(int deadlineMs) {
    int code = -1;
    if (WaitUntil([this] { return Reap(false); }, deadlineMs, {}, 2)) {
        code = m_status;
    } else if (m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        Reap(true);
    }
    if (m_reader.joinable()) {
        // Its last words are in the pipe; a descendant that holds the pipe open is not waited for.
        std::unique_lock lock(m_mutex);
        if (!m_changed.wait_for(lock, std::chrono::seconds(2), [this] { return m_drained; })) {
            const std::uint64_t one = 1;
            [[maybe_unused]] const ssize_t n = ::write(m_stop, &one, sizeof one);
        }
        lock.unlock();
        m_reader.join();
        CloseFd(m_output);
        CloseFd(m_errors);
        CloseFd(m_stop);
    }
    return code;
}

void Process::Signal(int signal) const {
    if (m_pid > 0 && m_status < 0) {
        ::kill(m_pid, signal);
    }
}

void Process::CloseInput() {
    CloseFd(m_input);
}

int Process::Stop(int graceMs) {
    CloseInput();
    return m_pid > 0 ? Wait(graceMs) : -1;
}

bool StartModule(Process& module, const std::string& path, int com,
                 const std::vector<std::string>& args, std::string* error) {
    std::vector<std::string> all{"--com", std::to_string(com)};
    all.insert(all.end(), args.begin(), args.end());
    const std::string ready = "COM" + std::to_string(com) + " -> ";
    if (module.Start(path, all) && module.WaitForLine(ready, kGenerousMs)) {
        return true;
    }
    module.Stop(1000);
    if (error != nullptr) {
        *error = "varnel-module did not publish COM" + std::to_string(com) + ": " + module.Errors();
    }
    return false;
}

}  // namespace testkit
