// Test support for the Win32 link under Wine: an owner whose thread is the test's thread and
// that records reports, and questions to the harness (scripts/wine-tests.sh) about the Linux
// side of the pseudo-terminal that Wine shows as COM5.
#pragma once

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "SerialLink.h"

namespace winetest {

using namespace std::chrono_literals;

/// The COM number the harness links to the module's pty; every other one leads nowhere.
inline constexpr int kModulePort = 5;
inline constexpr int kNoPort = 300;  ///< past every number the prefix pins

/// The panel's settings, at a speed the pty side can tell from its default.
inline LinkSettings PanelSettings(std::uint32_t eventMask = EV_RXCHAR) {
    LinkSettings settings;
    settings.line.baudRate = 19200;
    settings.eventMask = eventMask;
    settings.sendBufferSize = 512;
    settings.timeouts = {1000, 1000, 1000, 1000, 1000};
    return settings;
}

using Note = std::tuple<unsigned, std::uint32_t, std::int32_t>;  // message, wParam, lParam

/// The owner and reporter of a link. WakeOwner only counts (as a posted message would) and
/// the test dispatches with Pump. With Hold(), ShowReport blocks until Hold(false).
class TestOwner : public ILinkOwner, public IErrorReporter {
public:
    explicit TestOwner(CSerialLink& link) : m_link(link) {}

    void OnLinkMessage(unsigned message, std::uint32_t wParam, std::int32_t lParam) override {
        notes.emplace_back(message, wParam, lParam);
    }
    void WakeOwner() override {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_wakes;
        m_cv.notify_all();
    }
    void ShowReport(const std::string& caption, const std::string& text) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_reports.push_back(caption + ": " + text);
        m_cv.notify_all();
    }
    bool WaitForWake(std::chrono::milliseconds timeout = 5s) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_for(lock, timeout, [this] { return m_wakes > 0; }) && m_wakes-- > 0;
    }
    /// Waits for a wake-up and dispatches, as the owner's message loop would.
    bool Pump(std::chrono::milliseconds timeout = 5s) {
        const bool woken = WaitForWake(timeout);
        m_link.DispatchPending();
        return woken;
    }
    /// Received bytes (WM_LINK_RXCHAR) in delivery order.
    std::vector<std::uint8_t> Bytes() const {
        std::vector<std::uint8_t> bytes;
        for (const auto& [message, wParam, lParam] : notes) {
            if (message == WM_LINK_RXCHAR) {
                bytes.push_back(static_cast<std::uint8_t>(wParam));
            }
        }
        return bytes;
    }
    bool WaitForReports(std::size_t count, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_for(lock, timeout, [&] { return m_reports.size() >= count; });
    }
    std::vector<std::string> Reports() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_reports;
    }

    std::vector<Note> notes;

private:
    CSerialLink& m_link;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    int m_wakes = 0;
    std::vector<std::string> m_reports;
};

/// Asks the harness a question about the Linux side ("line": stty -a of the pty, "queued":
/// bytes waiting in the pty's input, "sent"/"received": frames the module has sent and
/// received, "unplug": end the module). The
/// harness watches the folder named by VARNEL_WINE_SYNC (a Windows path). Returns the answer, or
/// "no harness" / "no answer" when none comes within 10 s.
inline std::string AskHarness(const std::string& question) {
    const char* folder = std::getenv("VARNEL_WINE_SYNC");
    if (folder == nullptr) {
        return "no harness";
    }
    const std::string base = folder;
    {
        std::ofstream ask(base + "\\ask.tmp", std::ios::trunc);
        ask << question << "\n";
    }
    ::MoveFileExA((base + "\\ask.tmp").c_str(), (base + "\\ask").c_str(),
                  MOVEFILE_REPLACE_EXISTING);
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    const std::string answerPath = base + "\\answer";
    while (std::chrono::steady_clock::now() < deadline) {
        if (::GetFileAttributesA(answerPath.c_str()) != INVALID_FILE_ATTRIBUTES) {
            std::stringstream text;
            text << std::ifstream(answerPath).rdbuf();
            ::DeleteFileA(answerPath.c_str());
            return text.str();
        }
        ::Sleep(10);
    }
    return "no answer";
}

/// Asks `question` until the answer, as a number, satisfies `done` or 10 s have passed;
/// returns the last number (-1 when no number came).
inline long AskUntil(const std::string& question, const std::function<bool(long)>& done) {
    long value = -1;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
        const std::string answer = AskHarness(question);
        value = std::strtol(answer.c_str(), nullptr, 10);
        if (answer.empty() || answer[0] < '0' || answer[0] > '9') {
            value = -1;
        } else if (done(value)) {
            break;
        }
        ::Sleep(20);
    }
    return value;
}

}  // namespace winetest
