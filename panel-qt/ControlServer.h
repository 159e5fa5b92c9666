// The panel's control socket: while a port is open, scripts on this user's account reach the
// module through the panel (varnel-ctl routes through it). This is the Qt side only: the
// listening socket, its clients' descriptors, the notifiers and the timer; what the clients
// say and what the panel does about it is the ControlSession's. Idle (no client, nothing
// asked) it costs nothing: no timer runs and no frame is sent.
#pragma once

#include <QObject>
#include <QTimer>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "ControlSession.h"
#include "PanelController.h"

class QSocketNotifier;

/// Serves the control socket of one panel window.
class ControlServer : public QObject, public IControlWriter, public IControlHost {
    Q_OBJECT
public:
    /// How long the panel stops accepting when it has no descriptor left for a client.
    static constexpr int kAcceptPauseMs = 250;

    /// Follows `controller`'s port: listens while it is open.
    explicit ControlServer(PanelController& controller);
    ~ControlServer() override;

    /// The socket's path while listening, else empty.
    const std::string& Path() const { return m_path; }

    // IControlWriter
    void WriteLine(int client, const std::string& line) override;
    void SetReading(int client, bool reading) override;
    // IControlHost
    void Serve(bool serving) override;
    bool OperatorBusy() const override;
    long Pid() const override;
    std::string PortName(int com) const override;
    std::string DevicePath(int com) const override;
    void StartTimer(int ms) override;
    void StopTimer() override;
    void Post(std::function<void()> work) override;

private:
    struct Client;

    void Listen();
    void StopListening();
    void Accept();
    void ReadFrom(int id);
    /// Sends what `id` has not read yet, as far as its socket takes it; drops it (later) when
    /// the socket failed or it lets too much pile up.
    void Flush(int id);
    /// False when the socket failed or `id` does not read its answers.
    bool Send(int id);
    void Drop(int id);

    PanelController& m_controller;
    ControlSession m_session;
    int m_listenFd = -1;
    QSocketNotifier* m_listenNotifier = nullptr;
    QTimer m_acceptPause;  ///< runs while descriptors ran out
    std::string m_path;
    unsigned long m_socketInode = 0;  ///< of the socket we made at m_path
    std::map<int, std::unique_ptr<Client>> m_clients;
    QTimer m_timer;  ///< the session's one timer
};
