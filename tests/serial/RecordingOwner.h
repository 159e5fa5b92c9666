// The owner and reporter the link's tests use on every platform: its thread is the test's.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "SerialLink.h"

namespace linktest {

using namespace std::chrono_literals;

/// A report as the reporter records it and as standard error shows it.
inline std::string Report(const std::string& step, const std::string& systemText, int port) {
    return "Application Error: WARNING:  " + step + " Failed with the following error: \n" +
           systemText + "\n\nPort: " + std::to_string(port) + "\n";
}

using Note = std::tuple<unsigned, std::uint32_t, std::int32_t>;  // message, wParam, lParam

/// The owner and reporter of a link. WakeOwner only counts (as a posted call would) and the
/// test dispatches with Pump. Reports are recorded as "<caption>: <text>"; with Hold(),
/// ShowReport blocks until Hold(false), like a box still up.
class RecordingOwner : public ILinkOwner, public IErrorReporter {
public:
    explicit RecordingOwner(CSerialLink& link) : m_link(link) {}

    void OnLinkMessage(unsigned message, std::uint32_t wParam, std::int32_t lParam) override {
        notes.emplace_back(message, wParam, lParam);
        if (onMessage) {
            onMessage();
        }
    }
    void WakeOwner() override {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_wakes;
        m_cv.notify_all();
    }
    void ServiceWhileClosing() override {
        ++serviceCalls;
        if (onService) {
            onService();
        }
    }
    void ShowReport(const std::string& caption, const std::string& text) override {
        if (onShow) {
            onShow();
        }
        std::unique_lock<std::mutex> lock(m_mutex);
        m_reports.push_back(caption + ": " + text);
        m_cv.notify_all();
        m_cv.wait(lock, [this] { return !m_hold; });
    }
    void Hold(bool hold = true) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_hold = hold;
        m_cv.notify_all();
    }
    bool WaitForWake(std::chrono::milliseconds timeout = 5s) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_for(lock, timeout, [this] { return m_wakes > 0; }) && m_wakes-- > 0;
    }
    /// Waits for a wake-up and dispatches, as the owner's event loop would.
    bool Pump(std::chrono::milliseconds timeout = 5s) {
        const bool woken = WaitForWake(timeout);
        m_link.DispatchPending();
        return woken;
    }
    bool WaitForReports(std::size_t count = 1, std::chrono::milliseconds timeout = 5s) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_for(lock, timeout, [&] { return m_reports.size() >= count; });
    }
    std::vector<std::string> Reports() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_reports;
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

    // Set before the link runs; the hooks run on the owner's thread, onShow where it reports.
    std::vector<Note> notes;
    int serviceCalls = 0;
    std::function<void()> onMessage, onService, onShow;

private:
    CSerialLink& m_link;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    int m_wakes = 0;
    bool m_hold = false;
    std::vector<std::string> m_reports;
};

}  // namespace linktest
