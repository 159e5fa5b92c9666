// A child program with its standard input on a pipe held here, so it ends when its owner
// does, however that ends; and varnel-module started as one.
#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

namespace testkit {

/// A child program whose standard output is read line by line on the owner's thread.
class ChildProcess {
public:
    ChildProcess();
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    /// Starts `path` with `args`; false when it could not be started.
    bool Start(const QString& path, const QStringList& args);
    /// Waits, blocking, until a line containing `marker` arrives or `deadlineMs` pass; returns
    /// that line. Lines before it are passed over.
    std::optional<QByteArray> WaitForLine(const QByteArray& marker, int deadlineMs);
    /// Hands every later line to `onLine` instead of keeping it in Output().
    void OnLine(std::function<void(const QByteArray&)> onLine);
    /// Standard output so far (unless handed to OnLine).
    const QByteArray& Output() const { return m_output; }
    /// True once it has ended; seen when the owner's event loop runs.
    bool Exited() const { return m_process.state() == QProcess::NotRunning; }
    /// Closes its standard input, waits up to `graceMs` for it to end, then kills it. Returns
    /// its standard error; `exitCode` gets its exit code, or -1 when it did not end by itself.
    QByteArray Stop(int graceMs = 10000, int* exitCode = nullptr);
    /// Kills it at once (SIGKILL: it cleans nothing up) and waits for the end.
    void Kill();
    /// Its process id; 0 when not running.
    qint64 Pid() const { return m_process.processId(); }

private:
    void ReadLines();

    QProcess m_process;
    QByteArray m_output;
    qsizetype m_scanned = 0;  // Output() up to here was looked at by WaitForLine
    QByteArray m_partial;     // the unfinished last line, for OnLine
    std::function<void(const QByteArray&)> m_onLine;
};

/// Starts varnel-module at `path` on COM `com` with `args` and waits until it has published
/// the port; false with `error` (its own words) when it did not.
bool StartModule(ChildProcess& module, const QString& path, int com, const QStringList& args,
                 QString* error = nullptr);

}  // namespace testkit
