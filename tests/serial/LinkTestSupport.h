// Test support for the link engine: a pseudo-terminal published as COMn in a port folder of
// its own, an owner whose thread is the test's thread, and a reporter that records reports.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "LinkOwner.h"
#include "SerialLink.h"

namespace linktest {

using namespace std::chrono_literals;

/// A pty whose slave is published as COM<com> in a fresh folder named by $VARNEL_PORTS. The
/// test keeps the master (the far end, the "module") and a slave descriptor of its own, which
/// sees the slave's input queue (FIONREAD) without taking anything from it.
class PtyPort {
public:
    explicit PtyPort(int com = 201) : m_com(com) {
        m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (m_master < 0 || ::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0) {
            return;
        }
        char name[128] = {};
        if (::ptsname_r(m_master, name, sizeof name) != 0) {
            return;
        }
        m_slavePath = name;
        m_slave = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        char folder[] = "/tmp/varnel-linktest-XXXXXX";
        if (::mkdtemp(folder) == nullptr) {
            return;
        }
        m_folder = folder;
        // Before the test starts any link thread; nothing else reads the environment then.
        ::setenv("VARNEL_PORTS", folder, 1);  // NOLINT(concurrency-mt-unsafe)
        std::error_code ignored;
        std::filesystem::create_symlink(m_slavePath, EntryPath(com), ignored);
        ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    }
    ~PtyPort() {
        CloseMaster();
        if (m_slave >= 0) {
            ::close(m_slave);
        }
        if (!m_folder.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(m_folder, ignored);
        }
    }
    PtyPort(const PtyPort&) = delete;
    PtyPort& operator=(const PtyPort&) = delete;

    bool Ok() const { return m_master >= 0 && m_slave >= 0 && !m_folder.empty(); }
    int Com() const { return m_com; }
    int Master() const { return m_master; }
    std::string EntryPath(int com) const { return m_folder + "/COM" + std::to_string(com); }

    /// Closes the far end: the slave hangs up, as when an adapter is pulled.
    void CloseMaster() {
        if (m_master >= 0) {
            ::close(m_master);
            m_master = -1;
        }
    }

    /// The module sends bytes.
    bool Write(const std::vector<std::uint8_t>& bytes) {
        return ::write(m_master, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }

    /// Bytes waiting in the slave's input queue, unread by the link.
    int SlaveQueued() const {
        int queued = -1;
        ::ioctl(m_slave, FIONREAD, &queued);
        return queued;
    }

    /// Waits until the slave's input queue holds at least `count` bytes.
    bool WaitSlaveQueued(int count, std::chrono::milliseconds timeout = 5s) const {
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (SlaveQueued() < count) {
            if (std::chrono::steady_clock::now() > end) {
                return false;
            }
            ::usleep(1000);
        }
        return true;
    }

    /// Reads what the link wrote until `count` bytes have come or nothing came for `quiet`.
    std::vector<std::uint8_t> Read(std::size_t count, std::chrono::milliseconds quiet = 2s) {
        std::vector<std::uint8_t> got;
        std::vector<std::uint8_t> chunk(65536);
        while (got.size() < count) {
            pollfd wait{m_master, POLLIN, 0};
            if (::poll(&wait, 1, static_cast<int>(quiet.count())) <= 0) {
                break;
            }
            const ssize_t n = ::read(m_master, chunk.data(), chunk.size());
            if (n <= 0) {
                break;
            }
            got.insert(got.end(), chunk.begin(), chunk.begin() + n);
        }
        return got;
    }

    /// Whatever the link wrote that is readable now, without waiting.
    std::vector<std::uint8_t> Drain() { return Read(SIZE_MAX, 0ms); }

private:
    int m_com;
    int m_master = -1;
    int m_slave = -1;
    std::string m_slavePath;
    std::string m_folder;
};

/// One notification as the owner received it.
struct Note {
    unsigned message;
    std::uint32_t wParam;
    std::int32_t lParam;
    bool operator==(const Note&) const = default;
};

/// An owner whose thread is the test's thread: WakeOwner only counts (as a posted call would),
/// and the test dispatches with Pump, so every notification is handled where the test says.
class TestOwner : public ILinkOwner {
public:
    explicit TestOwner(CSerialLink& link) : m_link(link) {}

    void OnLinkMessage(unsigned message, std::uint32_t wParam, std::int32_t lParam) override {
        notes.push_back({message, wParam, lParam});
        if (onMessage) {
            onMessage(notes.back());
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

    /// Waits for a wake-up without dispatching; false on timeout.
    bool WaitForWake(std::chrono::milliseconds timeout = 5s) {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!m_cv.wait_for(lock, timeout, [this] { return m_wakes > 0; })) {
            return false;
        }
        --m_wakes;
        return true;
    }
    /// Waits for a wake-up and runs the link's dispatch, as the owner's event loop would.
    bool Pump(std::chrono::milliseconds timeout = 5s) {
        if (!WaitForWake(timeout)) {
            return false;
        }
        m_link.DispatchPending();
        return true;
    }

    // Owner's (the test's) thread only.
    std::vector<Note> notes;
    int serviceCalls = 0;
    std::function<void(const Note&)> onMessage;
    std::function<void()> onService;

private:
    CSerialLink& m_link;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    int m_wakes = 0;
};

/// Records reports. With Hold(), ShowReport blocks its caller until Release(), like a box the
/// operator has not dismissed yet.
class TestReporter : public IErrorReporter {
public:
    void ShowReport(const std::string& caption, const std::string& text) override {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_captions.push_back(caption);
        m_texts.push_back(text);
        m_cv.notify_all();
        m_cv.wait(lock, [this] { return !m_hold; });
    }
    void Hold() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_hold = true;
    }
    void Release() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_hold = false;
        m_cv.notify_all();
    }
    std::size_t Count() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_texts.size();
    }
    bool WaitForCount(std::size_t count, std::chrono::milliseconds timeout = 5s) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_for(lock, timeout, [&] { return m_texts.size() >= count; });
    }
    std::vector<std::string> Texts() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_texts;
    }
    std::vector<std::string> Captions() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_captions;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_hold = false;
    std::vector<std::string> m_captions;
    std::vector<std::string> m_texts;
};

}  // namespace linktest
