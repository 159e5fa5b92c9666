// Ctrl-C, Ctrl-Break and the console's close through a console control handler. The system
// runs the handler on a thread of its own, so the count and the event are shared with it.
#include "StopSignal.h"

#include <windows.h>

#include <atomic>
#include <mutex>

namespace {

// The system ends the process once the handler of a close returns: the program gets this long
// to stop as asked (switch the output off, write its last record); the system allows about 5 s.
constexpr DWORD kCloseGraceMs = 4000;

// One handler per process, as there is one set of signals per process on POSIX.
std::mutex g_mutex;
HANDLE g_event = nullptr;      // the installed StopSignal's event (g_mutex)
std::function<void()> g_wake;  // g_mutex
std::atomic<int> g_count{0};

BOOL WINAPI OnConsoleEvent(DWORD type) {
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (g_event == nullptr) {
            return FALSE;  // not ours (any more): the default ends the program
        }
        ++g_count;
        ::SetEvent(g_event);
        if (g_wake) {
            g_wake();  // under the lock, so that a waker being destroyed is never called
        }
    }
    if (type == CTRL_CLOSE_EVENT) {
        ::Sleep(kCloseGraceMs);
    }
    return TRUE;
}

}  // namespace

StopSignal::~StopSignal() {
    if (m_event == nullptr) {
        return;
    }
    ::SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_event = nullptr;
        g_wake = nullptr;
    }
    ::CloseHandle(m_event);
}

bool StopSignal::Install() {
    m_event = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (m_event == nullptr) {
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_event = m_event;
        g_count = 0;
    }
    return ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE) != 0;
}

void StopSignal::AlsoWake(std::function<void()> wake) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_wake = std::move(wake);
    if (g_wake && g_count > 0) {
        g_wake();  // a request that came before: the loop is not to wait for the next one
    }
}

int StopSignal::Count() {
    if (m_event != nullptr) {
        m_count = g_count.load();
    }
    return m_count;
}

void StopSignal::WaitAtMost(long long ns) {
    const auto wait = static_cast<DWORD>((ns + 999'999) / 1'000'000);
    if (m_event != nullptr) {
        ::WaitForSingleObject(m_event, wait);
    } else {
        ::Sleep(wait);
    }
}
