// Shared by the two start-up programs of the bench: reports on standard output the moment
// the first frame of the program's dialog has been painted, then closes the dialog so the
// program ends the way it normally does; at the end it reports its peak resident memory.
#pragma once

#include <time.h>

#include <QDialog>
#include <QEvent>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

class FirstFrameProbe : public QObject {
public:
    bool eventFilter(QObject* target, QEvent* event) override {
        if (m_seen || event->type() != QEvent::Paint || !target->isWidgetType()) {
            return false;
        }
        auto* dialog = qobject_cast<QDialog*>(static_cast<QWidget*>(target)->window());
        if (dialog == nullptr) {
            return false;
        }
        m_seen = true;
        // A zero timer runs once the whole batch of paints of this frame is done.
        QPointer<QDialog> window(dialog);
        QTimer::singleShot(0, [window] {
            timespec ts{};
            ::clock_gettime(CLOCK_MONOTONIC, &ts);
            std::printf("first-frame %lld\n",
                        static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec);
            std::fflush(stdout);
            if (window) {
                window->close();
            }
        });
        return false;
    }

private:
    bool m_seen = false;
};

/// Prints "peak-rss <KiB>": the high-water mark of this program's own memory map. wait4's
/// ru_maxrss cannot be used: a child started by vfork or fork inherits the launcher's mark.
inline void PrintPeakRss() {
    long peakKb = -1;
    if (std::FILE* status = std::fopen("/proc/self/status", "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, status) != nullptr) {
            if (std::strncmp(line, "VmHWM:", 6) == 0) {
                peakKb = std::strtol(line + 6, nullptr, 10);
            }
        }
        std::fclose(status);
    }
    std::printf("peak-rss %ld\n", peakKb);
    std::fflush(stdout);
}
