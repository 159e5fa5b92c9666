// A child program for tests and the bench, with no toolkit: fork and exec, its output read on
// a thread of its own (so a chatty child never blocks on a full pipe), every wait bounded.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Wait.h"

namespace testkit {

/// How a child is started.
struct ProcessOptions {
    /// Standard input on a pipe held here, so the child sees end of file when its owner ends,
    /// however that ends; otherwise /dev/null.
    bool inputPipe = true;
    /// Standard error into the same stream as standard output.
    bool mergeErrors = false;
    /// Variables set for the child only.
    std::vector<std::pair<std::string, std::string>> environment = {};
};

/// One child program. Its exit code is the program's, or 128 + the signal that ended it.
class Process {
public:
    Process() = default;
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    /// Starts `path` (looked up in PATH when it has no slash) with `args`; false when it
    /// could not be started.
    bool Start(const std::string& path, const std::vector<std::string>& args,
               const ProcessOptions& options = {});
    /// Standard output so far (unless handed to OnLine).
    std::string Output() const;
    /// Standard error so far.
    std::string Errors() const;
    /// Waits until a line containing `marker` arrives or `deadlineMs` pass; returns that line.
    /// Lines before it are passed over.
    std::optional<std::string> WaitForLine(const std::string& marker, int deadlineMs);
    /// Hands every complete line from now on (and those not yet passed over) to `onLine`, on
    /// the reading thread, instead of keeping them in Output().
    void OnLine(std::function<void(const std::string&)> onLine);

    /// True once it has ended; never blocks.
    bool Exited();
    /// Waits up to `deadlineMs` for the end and for the last of its output; kills it when the
    /// deadline passes. Returns the exit code, -1 when it had to be killed.
    int Wait(int deadlineMs);
    void Signal(int signal) const;
    /// Closes its standard input.
    void CloseInput();
    /// Closes its standard input, waits up to `graceMs` for it to end, then kills it. Returns
    /// the exit code, -1 when it did not end by itself.
    int Stop(int graceMs = 10000);
    pid_t Pid() const { return m_pid; }

private:
    void Read();
    bool Reap(bool block);

    pid_t m_pid = -1;
    int m_status = -1;  // exit code once reaped
    int m_input = -1;
    int m_output = -1;
    int m_errors = -1;
    int m_stop = -1;  // wakes the reader when the owner gives up on a child's descendants
    std::thread m_reader;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_drained = false;
    std::string m_out;
    std::string m_err;
    std::size_t m_scanned = 0;  // Output() up to here was looked at by WaitForLine
    std::mutex m_delivering;    // keeps OnLine's lines in order across threads
    std::function<void(const std::string&)> m_onLine;
};

/// Starts varnel-module at `path` as COM `com` with `args`, its input on a pipe, and waits
/// until it has published the port; false with `error` (its own words) when it did not.
bool StartModule(Process& module, const std::string& path, int com,
                 const std::vector<std::string>& args, std::string* error = nullptr);

}  // namespace testkit
