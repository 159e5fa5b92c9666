// The bench's start-up and memory samples, built twice: as the panel program the way
// panel-qt/main.cpp builds it (VARNEL_STARTUP_PANEL), and as the smallest dialog program worth the
// name, the yardstick the panel is divided by. Each reports on standard output the moment
// the first frame of its dialog has been painted, closes the dialog so that the program ends
// the way it normally does, and at the end reports its peak resident memory.
#include <time.h>

#include <QApplication>
#include <QDialog>
#include <QEvent>
#include <QPointer>
#include <QTimer>
#include <cstdio>
#include <fstream>
#include <string>

#ifdef VARNEL_STARTUP_PANEL
#include "ControllerApp.h"
#include "Globals.h"
#else
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>
#endif

namespace {

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

// "peak-rss <KiB>": the high-water mark of this program's own memory map. wait4's ru_maxrss
// cannot be used: a child started by vfork or fork inherits the launcher's mark.
void PrintPeakRss() {
    std::ifstream status("/proc/self/status");
    long peakKb = -1;
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("VmHWM:")) {
            peakKb = std::stol(line.substr(6));
        }
    }
    std::printf("peak-rss %ld\n", peakKb);
    std::fflush(stdout);
}

}  // namespace

int main(int /*argc*/, char** /*argv*/) {
#ifdef VARNEL_STARTUP_PANEL
    static char programName[] = "varnel";
#else
    static char programName[] = "minimal";
#endif
    char* qtArgv[] = {programName, nullptr};
    int qtArgc = 1;
    QApplication application(qtArgc, qtArgv);
    FirstFrameProbe probe;
    application.installEventFilter(&probe);
#ifdef VARNEL_STARTUP_PANEL
    theApp.InitInstance();
#else
    QDialog dialog;
    dialog.setWindowTitle(QStringLiteral("Minimal"));
    auto* layout = new QVBoxLayout(&dialog);
    layout->addWidget(new QLabel(QStringLiteral("A minimal dialog"), &dialog));
    layout->addWidget(new QPushButton(QStringLiteral("OK"), &dialog));
    dialog.exec();
#endif
    PrintPeakRss();
    return 0;
}
