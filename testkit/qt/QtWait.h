// Waits that keep a Qt panel's event loop running, and an operator who answers its report boxes.
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <functional>

#include "Wait.h"

namespace testkit {

/// Until `done` holds or the deadline passes, running Qt's events meanwhile unless told not to.
inline bool QtWaitUntil(const std::function<bool()>& done, int deadlineMs = kGenerousMs,
                        bool processEvents = true) {
    return WaitUntil(done, deadlineMs, [processEvents](int ms) {
        if (processEvents) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, ms);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
}

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

}  // namespace testkit
