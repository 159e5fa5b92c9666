// Device-change notifications: inotify on /dev and on the port-name folder.
#pragma once

#include <QObject>
#include <QStringList>
#include <QTimer>

class QSocketNotifier;

/// Emits deviceChanged() once for each batch of inotify events read at once from the watched
/// folders (a tty node or COMn entry appearing or vanishing). Batches read while the GUI thread
/// is inside a link's Close(), or while a report box is open, are held back and emitted once
/// that has ended, one notification each, so the recovery each starts never waits for the link
/// inside either.
class DeviceWatcher : public QObject {
    Q_OBJECT
public:
    /// Watches `folders` (created when missing and allowed); by default /dev and PortFolder().
    explicit DeviceWatcher(QStringList folders = {}, QObject* parent = nullptr);
    ~DeviceWatcher() override;

    /// True when at least one folder is watched.
    bool IsWatching() const { return m_fd >= 0 && m_watchCount > 0; }

    /// True while a batch waits for a close or a report box to end.
    bool IsHoldingBack() const { return m_heldBatches != 0; }
    /// Batches waiting for a close or a report box to end.
    unsigned HeldBatches() const { return m_heldBatches; }

signals:
    void deviceChanged();

private:
    void ReadBatch();
    void EmitHeld();

    int m_fd = -1;
    int m_watchCount = 0;
    QSocketNotifier* m_notifier = nullptr;
    unsigned m_heldBatches = 0;  // batches read but not yet announced
    QTimer m_deferred;           // retries the held batches until they may go out
};
