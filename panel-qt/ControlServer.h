// The panel's control socket: while a port is open, scripts on this user's account reach the
// module through the panel (varnel-ctl routes through it). This is the Qt side only: the
// listening socket and the notifiers and the timer that drive the connection pump from Qt's
// loop (one non-blocking step of the pump per notice); the clients' buffers are the pump's,
// what they say and what the panel does about it the ControlSession's. Idle (no client,
// nothing asked) it costs nothing: no timer runs and no frame is sent.
#pragma once

#include <QObject>
#include <QTimer>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "ConnectionPump.h"
#include "ControlSession.h"
#include "PanelController.h"

class QSocketNotifier;

/// Serves the control socket of one panel window.
class ControlServer : public QObject,
                      public IControlWriter,
                      public IControlHost,
                      private net::Door {
    Q_OBJECT
public:
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
    class Client;
    struct Notifiers {
        QSocketNotifier* reader = nullptr;
        QSocketNotifier* writer = nullptr;
    };

    // net::Door
    bool Admits(int fd, const net::Peer& peer) override;
    std::unique_ptr<net::ClientHandler> Open(net::ClientId id, const net::Peer& peer) override;

    void Listen();
    void StopListening();
    /// One step of the pump, for a notice of Qt's loop.
    void Step();
    /// Sets the notifiers and the timer to what the pump waits for next.
    void Follow();
    QSocketNotifier* Notifier(QSocketNotifier*& slot, int fd, bool wanted, bool reader);

    PanelController& m_controller;
    ControlSession m_session;
    std::map<int, Client*> m_clients;  ///< by the session's id; the pump owns them
    net::ConnectionPump m_pump;        ///< after m_clients: its clients leave that list
    int m_listenFd = -1;
    std::string m_path;
    unsigned long m_socketInode = 0;       ///< of the socket we made at m_path
    std::map<int, Notifiers> m_notifiers;  ///< by descriptor
    QTimer m_due;                          ///< the pump's next time (the end of an accept pause)
    QTimer m_timer;                        ///< the session's one timer
    bool m_stepping = false;
    bool m_stepAgain = false;  ///< a notice came while a step ran (a nested loop)
};
