#include "DeviceWatcher.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QSocketNotifier>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "LinkBridge.h"
#include "MessageBoxReporter.h"
#include "PortNames.h"
#include "PosixPortNames.h"

namespace {

constexpr std::uint32_t kWatchMask =
    IN_CREATE | IN_DELETE | IN_ATTRIB | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF;

// Close enough to "after the close" without spinning the close loop: a close normally
// ends within a few milliseconds.
constexpr int kDeferRetryMs = 20;

// The recovery closes the link, which waits for the monitor thread. Inside another close, or
// while a report box holds the monitor thread until the operator answers it, that wait would
// nest or never end.
bool MustHoldBack() {
    return LinkBridge::InsideClose() || MessageBoxReporter::IsShowing();
}

}  // namespace

DeviceWatcher::DeviceWatcher(QStringList folders, QObject* parent) : QObject(parent) {
    if (folders.isEmpty()) {
        folders << QStringLiteral("/dev");
        // Made as the simulator makes it (private), unless it is not ours: then it is ignored.
        std::string error;
        if (const std::string ports = PortFolder(); !ports.empty() && MakePortFolder(error)) {
            folders << QString::fromStdString(ports);
        }
    }
    m_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_fd < 0) {
        std::fprintf(stderr, "varnel: device changes are not watched: inotify_init1: %s\n",
                     std::strerror(errno));
        return;
    }
    for (const QString& folder : folders) {
        // The port folder may not exist before the first simulator or udev rule creates it;
        // watching it from the start catches its first entry.
        QDir().mkpath(folder);
        const QByteArray path = QFile::encodeName(folder);
        if (inotify_add_watch(m_fd, path.constData(), kWatchMask) >= 0) {
            ++m_watchCount;
        } else {
            std::fprintf(stderr, "varnel: not watching %s: %s\n", path.constData(),
                         std::strerror(errno));
        }
    }
    m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &DeviceWatcher::ReadBatch);

    m_deferred.setSingleShot(true);
    m_deferred.setInterval(kDeferRetryMs);
    connect(&m_deferred, &QTimer::timeout, this, &DeviceWatcher::EmitHeld);
}

DeviceWatcher::~DeviceWatcher() {
    delete m_notifier;  // before the fd it watches is closed
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

void DeviceWatcher::ReadBatch() {
    // Drain everything queued now: that is one batch and one notification, however many
    // entries changed.
    alignas(inotify_event) char buffer[4096];
    bool any = false;
    for (;;) {
        const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
        if (n > 0) {
            any = true;
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno == EAGAIN) {
            break;
        }
        // Neither data nor "nothing queued": the descriptor is unusable, and a level-triggered
        // notifier on it would fire for ever.
        std::fprintf(stderr, "varnel: device watcher stopped: %s\n",
                     n < 0 ? std::strerror(errno) : "end of file");
        m_notifier->setEnabled(false);
        break;
    }
    if (!any) {
        return;
    }
    // Each batch gets its own recovery, in order: one that must wait waits behind the others.
    ++m_heldBatches;
    EmitHeld();
}

void DeviceWatcher::EmitHeld() {
    while (m_heldBatches != 0) {
        if (MustHoldBack()) {
            m_deferred.start();
            return;
        }
        --m_heldBatches;
        emit deviceChanged();
    }
    m_deferred.stop();
}
