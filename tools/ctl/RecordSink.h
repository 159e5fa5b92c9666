// Where records go: standard output (a line for a person, or JSON Lines), a CSV file, and a
// progress bar on standard error.
#pragma once

#include <cstdio>
#include <string>

#include "Record.h"

/// Writes each record at once and flushes it, so a crash loses at most the record being
/// made.
class RecordSink {
public:
    /// `out` is standard output in the program, a buffer in tests.
    RecordSink(std::FILE* out, bool json);
    ~RecordSink();
    RecordSink(const RecordSink&) = delete;
    RecordSink& operator=(const RecordSink&) = delete;

    /// Creates (or empties) the CSV file and writes its header.
    bool OpenCsv(const std::string& path, std::string& error);
    /// Writes one record everywhere; false (with `error`) when a write failed.
    bool Write(const Record& record, std::string& error);

private:
    std::FILE* m_out;
    bool m_json;
    std::FILE* m_csv = nullptr;
    std::string m_csvPath;
};

/// The platform's part (RecordSinkPosix.cpp, RecordSinkWin32.cpp).
/// Creates (or empties) `path` for writing: only a plain file (or, on POSIX, a terminal),
/// checked without opening anything else, for a FIFO's open would wait for a reader and a
/// device may act on being opened. Null with the reason in `error`.
std::FILE* OpenRecordFile(const std::string& path, std::string& error);
/// True when standard error is a terminal that draws the progress bar.
bool ErrorIsTerminal();
/// A reader of standard output that goes away (| head) makes the writes fail instead of
/// ending the program.
void SurviveLostReader();

/// A one-line progress bar with elapsed and remaining time, drawn on standard error only
/// when it is a terminal.
class ProgressBar {
public:
    /// Enabled when `enabled` and standard error is a terminal.
    ProgressBar(int total, bool enabled);
    ~ProgressBar();
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    /// Redraws after `done` of the steps.
    void Update(int done);
    /// Removes the bar, so that a line on the terminal is not drawn over it.
    void Clear();

private:
    int m_total;
    bool m_enabled;
    bool m_drawn = false;
    double m_startMs;  // MonotonicMs() when made
};
