#include "RecordSink.h"

#include "Monotonic.h"

#include <cerrno>
#include <cmath>
#include <cstring>

namespace {

constexpr int kBarWidth = 24;

std::string Clock(double seconds) {
    const long total = std::lround(seconds);
    char text[32];
    std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", total / 3600, total / 60 % 60, total % 60);
    return text;
}

bool PutLine(std::FILE* file, const std::string& line) {
    return std::fputs(line.c_str(), file) >= 0 && std::fputc('\n', file) != EOF &&
           std::fflush(file) == 0;
}

}  // namespace

RecordSink::RecordSink(std::FILE* out, bool json) : m_out(out), m_json(json) {}

RecordSink::~RecordSink() {
    if (m_csv != nullptr) {
        std::fclose(m_csv);
    }
}

bool RecordSink::OpenCsv(const std::string& path, std::string& error) {
    m_csv = OpenRecordFile(path, error);
    if (m_csv == nullptr) {
        return false;
    }
    if (!PutLine(m_csv, CsvHeader())) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    m_csvPath = path;
    return true;
}

bool RecordSink::Write(const Record& record, std::string& error) {
    // The CSV first: it is the record that must survive the stdout reader going away.
    if (m_csv != nullptr && !PutLine(m_csv, CsvRow(record))) {
        error = "cannot write " + m_csvPath + ": " + std::strerror(errno);
        return false;
    }
    if (!PutLine(m_out, m_json ? JsonLine(record) : HumanLine(record))) {
        error = std::string("cannot write to standard output: ") + std::strerror(errno);
        return false;
    }
    return true;
}

ProgressBar::ProgressBar(int total, bool enabled)
    : m_total(total),
      m_enabled(enabled && total > 0 && ErrorIsTerminal()),
      m_startMs(MonotonicMs()) {}

ProgressBar::~ProgressBar() {
    Clear();
}

void ProgressBar::Update(int done) {
    if (!m_enabled) {
        return;
    }
    const double elapsed = (MonotonicMs() - m_startMs) / 1000.0;
    const double left = done > 0 ? elapsed / done * (m_total - done) : 0;
    const int filled = m_total > 0 ? kBarWidth * done / m_total : 0;
    std::string bar(static_cast<std::size_t>(filled), '#');
    bar.resize(kBarWidth, '.');
    std::fprintf(stderr, "\r[%s] %d/%d  %s elapsed  %s left\x1b[K", bar.c_str(), done, m_total,
                 Clock(elapsed).c_str(), done > 0 ? Clock(left).c_str() : "?");
    std::fflush(stderr);
    m_drawn = true;
}

void ProgressBar::Clear() {
    if (m_drawn) {
        std::fputs("\r\x1b[K", stderr);
        std::fflush(stderr);
        m_drawn = false;
    }
}
