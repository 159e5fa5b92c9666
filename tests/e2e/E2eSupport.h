// Helpers of the end-to-end tests: waiting with generous deadlines, a private port folder, a
// published pty, and an operator who answers report boxes.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTimer>
#include <filesystem>
#include <functional>
#include <thread>

#include "PortNames.h"

namespace e2e {

/// Long enough for a loaded CI machine under the sanitizers: a miss means a fault.
inline constexpr int kGenerousMs = 20000;

/// Until `done` holds or the deadline passes; processes Qt events unless told not to.
inline bool WaitUntil(const std::function<bool()>& done, int deadlineMs = kGenerousMs,
                      bool processEvents = true) {
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < deadlineMs) {
        if (processEvents) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return done();
}

/// A private VARNEL_PORTS folder for one test: no test sees or opens a port it did not create.
class PortFolderScope {
public:
    PortFolderScope() { qputenv("VARNEL_PORTS", m_dir.path().toLocal8Bit()); }
    ~PortFolderScope() { qunsetenv("VARNEL_PORTS"); }

private:
    QTemporaryDir m_dir;
};

/// A pty published as COM `com` in the port folder; the test plays the far end.
class PublishedPty {
public:
    explicit PublishedPty(int com) : m_master(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC)) {
        ::grantpt(m_master);
        ::unlockpt(m_master);
        std::filesystem::create_symlink(::ptsname(m_master),
                                        PortFolder() + "/COM" + std::to_string(com));
    }
    ~PublishedPty() { ::close(m_master); }
    bool Write(const std::string& bytes) const {
        return ::write(m_master, bytes.data(), bytes.size()) == ssize_t(bytes.size());
    }

private:
    int m_master;
};

/// Answers report boxes with OK after looking at them. A box runs its own modal loop, so the
/// answer comes from a timer inside that loop.
class Operator {
public:
    explicit Operator(std::function<void(QMessageBox*)> look = {}) {
        QObject::connect(&m_timer, &QTimer::timeout, [this, look] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                if (look) {
                    look(box);
                }
                ++m_answered;
                box->button(QMessageBox::Ok)->click();
            }
        });
        m_timer.start(10);
    }
    int Answered() const { return m_answered; }

private:
    QTimer m_timer;
    int m_answered = 0;
};

}  // namespace e2e
