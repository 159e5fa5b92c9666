// Helpers of the end-to-end tests: waiting with generous deadlines and an operator who answers
// report boxes; the port folder and the published pty come from the shared test kit.
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QTimer>
#include <functional>
#include <thread>

#include "PortFolder.h"

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

using testkit::PortFolderScope;
using testkit::PublishedPty;

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
