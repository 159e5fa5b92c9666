// Device-change notifications: inotify on /dev and on the port-name folder.
#pragma once

#include <QObject>
#include <QStringList>

/// Emits deviceChanged() once for each batch of inotify events read at once from the watched
/// folders (a tty node or COMn entry appearing or vanishing).
class DeviceWatcher : public QObject {
    Q_OBJECT
public:
    /// Watches `folders` (created when missing and allowed); by default /dev and PortFolder().
    explicit DeviceWatcher(QStringList folders = {}, QObject* parent = nullptr);
    ~DeviceWatcher() override;

signals:
    void deviceChanged();
};
