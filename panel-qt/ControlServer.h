// The panel's control socket: while a port is open, scripts on this user's account reach the
// module through the panel (varnel-ctl routes through it). Each request does what the
// operator's typed entry + Enter or the ON/OFF button does; the answer carries what the module
// replied. Idle (no client, nothing asked) it costs nothing: no timer runs and no frame is sent.
#pragma once

#include <QObject>
#include <QTimer>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ControlProtocol.h"
#include "ControllerState.h"
#include "PanelController.h"
#include "PanelHost.h"

class QSocketNotifier;

/// Serves the control socket of one panel window.
class ControlServer : public QObject, public IReplyListener {
    Q_OBJECT
public:
    /// How long a request that needs the module waits for its reply.
    static constexpr int kReplyWaitMs = 2000;
    /// How often a request held back by a box waiting for the operator looks again.
    static constexpr int kModalRetryMs = 50;

    ControlServer(ControllerState& state, IPanelControls& controls, PanelController& controller);
    ~ControlServer() override;

    /// Why the socket stops: the error code and text pending requests are answered with.
    struct StopReason {
        const char* code;
        std::string message;
    };

    /// Listens while the port is open and stops (answering what is pending with `closed`)
    /// once it is not. Call after anything that may open or close the port.
    void FollowPort(const StopReason& closed);
    /// The socket's path while listening, else empty.
    const std::string& Path() const { return m_path; }

    // IReplyListener
    void OnModuleReply(const ModuleReply& reply) override;

private:
    struct Client;
    /// A request that needs the module: the commands still to be answered, in order.
    struct Job {
        int client;
        ControlRequest request;
        std::vector<std::uint8_t> awaiting;
    };

    bool Listen();
    void Stop(const StopReason& reason);
    void Accept();
    void ReadFrom(int id);
    void WriteTo(int id);
    void Drop(int id);
    void HandleLines(int id);
    /// The answer line for a request that needs no module reply; empty when it does (queued).
    std::string Handle(int id, const ControlRequest& request);
    void StartNextJob();
    void FinishJob(const std::string& answer);
    void OnJobTimeout();
    void Answer(int id, const std::string& line);
    std::string StateAnswer(ControlQuantity what) const;
    std::string HelloAnswer() const;

    ControllerState& m_state;
    IPanelControls& m_controls;
    PanelController& m_controller;
    int m_listenFd = -1;
    QSocketNotifier* m_listenNotifier = nullptr;
    std::string m_path;
    unsigned long m_socketInode = 0;  ///< of the socket we made at m_path
    std::map<int, std::unique_ptr<Client>> m_clients;
    int m_nextClient = 1;
    std::deque<Job> m_jobs;  ///< the front one is on the wire when m_jobRunning
    bool m_jobRunning = false;
    bool m_retryPending = false;  ///< a look for the end of a box is due
    QTimer m_jobTimer;            ///< runs only while a job waits for the module
    // What the module last reported since the port opened.
    std::optional<int> m_channel;
    std::optional<int> m_power;
    std::optional<bool> m_output;
};
