// Helpers of the end-to-end tests: waiting on the Qt event loop with a generous deadline, a
// private port folder, and a pseudo-terminal published in it.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QTimer>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>

#include "PortNames.h"

namespace e2e {

/// Deadline for anything that should happen "soon": long enough for a loaded CI machine
/// under the sanitizers, so a miss means a fault rather than slowness.
inline constexpr int kGenerousMs = 20000;

/// Processes Qt events until `done` holds or the deadline passes; returns `done()`.
inline bool WaitUntil(const std::function<bool()>& done, int deadlineMs = kGenerousMs) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > deadlineMs) {
            return done();
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

/// Waits without touching the event loop (for a state another thread reaches by itself).
inline bool SpinUntil(const std::function<bool()>& done, int deadlineMs = kGenerousMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadlineMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) {
            return done();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

/// Plays the operator for report boxes: a box runs its own modal loop, so the answer has to
/// come from a timer inside that loop. Looks at each box, then presses OK.
class Operator {
public:
    explicit Operator(std::function<void(QMessageBox*)> onBox = {}) : m_onBox(std::move(onBox)) {
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box != nullptr && box->isVisible()) {
                if (m_onBox) {
                    m_onBox(box);
                }
                ++m_answered;
                box->button(QMessageBox::Ok)->click();
            }
        });
        m_timer.start(10);
    }
    int Answered() const { return m_answered; }

private:
    std::function<void(QMessageBox*)> m_onBox;
    QTimer m_timer;
    int m_answered = 0;
};

/// A private port folder for one test, named by VARNEL_PORTS while it lives, so no test ever
/// sees (or opens) a port it did not create.
class PortFolderScope {
public:
    PortFolderScope() {
        char pattern[] = "/tmp/varnel-e2e-XXXXXX";
        if (::mkdtemp(pattern) != nullptr) {
            m_dir = pattern;
        }
        if (const char* old = std::getenv("VARNEL_PORTS")) {
            m_old = old;
        }
        ::setenv("VARNEL_PORTS", m_dir.c_str(), 1);
    }
    ~PortFolderScope() {
        if (m_old) {
            ::setenv("VARNEL_PORTS", m_old->c_str(), 1);
        } else {
            ::unsetenv("VARNEL_PORTS");
        }
        std::error_code ignored;
        std::filesystem::remove_all(m_dir, ignored);
    }
    PortFolderScope(const PortFolderScope&) = delete;
    PortFolderScope& operator=(const PortFolderScope&) = delete;

    const std::filesystem::path& Path() const { return m_dir; }

private:
    std::filesystem::path m_dir;
    std::optional<std::string> m_old;
};

/// A pty whose slave is published as COM `com` in the current port folder; the test plays the
/// far end on the master.
class PublishedPty {
public:
    explicit PublishedPty(int com) : m_master(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC)) {
        if (m_master >= 0 && ::grantpt(m_master) == 0 && ::unlockpt(m_master) == 0) {
            m_link = std::filesystem::path(PortFolder()) / PortDisplayName(com);
            std::error_code ignored;
            std::filesystem::create_symlink(::ptsname(m_master), m_link, ignored);
        }
    }
    ~PublishedPty() {
        std::error_code ignored;
        std::filesystem::remove(m_link, ignored);
        if (m_master >= 0) {
            ::close(m_master);
        }
    }
    PublishedPty(const PublishedPty&) = delete;
    PublishedPty& operator=(const PublishedPty&) = delete;

    bool Ok() const { return m_master >= 0 && std::filesystem::is_symlink(m_link); }
    bool Write(const std::string& bytes) const {
        return ::write(m_master, bytes.data(), bytes.size()) == ssize_t(bytes.size());
    }

private:
    int m_master;
    std::filesystem::path m_link;
};

}  // namespace e2e
