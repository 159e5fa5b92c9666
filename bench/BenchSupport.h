// Plumbing of the end-to-end bench: clocks, CPU and memory readings, a private port folder,
// the module simulator as a child process, and a module run inside the bench on a pty.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ModuleCore.h"

namespace bench {

/// CLOCK_MONOTONIC in nanoseconds: the one clock every figure is read from, shared with the
/// start-up children.
std::int64_t NowNs();
/// CLOCK_MONOTONIC in milliseconds.
double NowMs();

/// User plus system CPU time of this whole process (all threads), in seconds.
double SelfCpuSeconds();
/// CPU time of this process's main (GUI) thread and of all its other threads together, in
/// seconds, from the scheduler's nanosecond counters.
struct ThreadCpu {
    double mainThread = 0;
    double otherThreads = 0;
};
ThreadCpu SelfThreadCpu();
/// Resident set size of this process now, in KiB.
long SelfRssKb();

/// Children and folders to remove however the bench ends: the watchdog and the signal path
/// call EmergencyCleanup() before leaving without unwinding.
void RegisterChild(pid_t pid);
void UnregisterChild(pid_t pid);
void EmergencyCleanup();

/// A private port folder named by VARNEL_PORTS while it lives, so the panel lists only the
/// ports the bench created. Removed with everything in it.
class TempPortFolder {
public:
    TempPortFolder();
    ~TempPortFolder();
    TempPortFolder(const TempPortFolder&) = delete;
    TempPortFolder& operator=(const TempPortFolder&) = delete;

    bool Ok() const { return !m_dir.empty(); }
    const std::filesystem::path& Path() const { return m_dir; }

private:
    std::filesystem::path m_dir;
    std::optional<std::string> m_old;
};

/// A child process with its standard input on a pipe held by the bench, so it ends when the
/// bench does, whatever way the bench ends.
class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    /// Starts `path` with `args`; standard output on a pipe read by the bench, standard error
    /// into `stderrFile` (or inherited when empty). Returns false with `error` filled in.
    bool Start(const std::string& path, const std::vector<std::string>& args,
               const std::string& stderrFile, std::string& error);
    /// Reads standard output until a line containing `marker` arrives or `deadlineMs` pass;
    /// returns that line, or nothing.
    std::optional<std::string> WaitForLine(const std::string& marker, int deadlineMs);
    /// Hands every later line of standard output to `onLine`, on a reader thread of its own.
    void ReadLinesInBackground(std::function<void(const std::string&)> onLine);
    /// True once the child has ended (reaped here); its exit status in `status`.
    bool Exited(int* status = nullptr);
    /// Closes its standard input, waits up to `graceMs` for the end, then kills it.
    /// Returns the wait status.
    int Stop(int graceMs = 3000);
    void Signal(int sig);
    pid_t Pid() const { return m_pid; }

private:
    void JoinReader();

    pid_t m_pid = -1;
    int m_stdin = -1;
    int m_stdout = -1;
    std::string m_buffered;  // read past the last line handed out
    bool m_reaped = false;
    int m_status = 0;
    std::thread m_reader;
};

/// varnel-module as a child: started, waited for until it has published its COM port.
class ModuleProcess {
public:
    /// Starts the module on COM `com` with `extraArgs`; false with `error` on failure.
    bool Start(const std::string& modulePath, int com, const std::vector<std::string>& extraArgs,
               const std::filesystem::path& stderrFile, std::string& error);
    /// Ends it (end of input) and returns its standard error text.
    std::string Stop();
    ChildProcess& Process() { return m_child; }

private:
    ChildProcess m_child;
    std::filesystem::path m_stderrFile;
};

/// One frame the in-process module received, with the time its bytes were read.
struct ReceivedFrame {
    std::int64_t atNs;   ///< when the read that returned its first byte woke
    CommandFrame frame;  ///< the frame as received
};

/// The module's core run on a thread of the bench, on a pty published as COM `com`. Used
/// where a figure needs the module side's own clock: the moment a frame's first byte is
/// there to be read.
class InProcessModule {
public:
    InProcessModule() = default;
    ~InProcessModule();
    InProcessModule(const InProcessModule&) = delete;
    InProcessModule& operator=(const InProcessModule&) = delete;

    bool Start(int com, const ModuleConfig& config, std::string& error);
    void Stop();
    /// Set and query frames received so far.
    std::vector<ReceivedFrame> Frames() const;

private:
    void Run();

    int m_master = -1;
    int m_slave = -1;
    int m_stopFd = -1;
    std::filesystem::path m_entry;
    std::optional<ModuleCore> m_core;
    std::thread m_thread;
    mutable std::mutex m_mutex;
    std::vector<ReceivedFrame> m_frames;
};

/// Median of `values` (which it sorts); 0 for none.
double Median(std::vector<double> values);
/// Largest of `values`; 0 for none.
double Worst(const std::vector<double>& values);

}  // namespace bench
