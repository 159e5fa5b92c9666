// One control session of a panel: the line framing of every client, the queue of requests
// that need the module, and the answers. It knows no socket, no clock and no toolkit: bytes
// come in through calls, lines go out through a writer, time passes when the host says so.
#pragma once

#include <array>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ControlProtocol.h"
#include "PanelHost.h"

/// Where the session's lines go, per client (the socket adapter in the panel).
class IControlWriter {
public:
    virtual ~IControlWriter() = default;
    /// One answer line, newline included.
    virtual void WriteLine(int client, const std::string& line) = 0;
    /// Whether the session takes more bytes from `client` now; it says so again when it does.
    virtual void SetReading(int client, bool reading) = 0;
};

/// What the session needs from its surroundings beyond the panel itself.
class IControlHost {
public:
    virtual ~IControlHost() = default;
    /// Serve clients (a port was opened) or stop: then every client has had its last line and
    /// is to be closed, and no new one accepted.
    virtual void Serve(bool serving) = 0;
    /// A box of ours waits for the operator: the panel's controls are out of reach.
    virtual bool OperatorBusy() const = 0;
    /// Hello's facts: this process and the port COM `com` as the operator knows it.
    virtual long Pid() const = 0;
    virtual std::string PortName(int com) const = 0;
    virtual std::string DevicePath(int com) const = 0;
    /// The one timer: (re)starts it to call OnTimer once after `ms`; StopTimer cancels it.
    virtual void StartTimer(int ms) = 0;
    virtual void StopTimer() = 0;
    /// Runs `work` from the event loop, after the current call has returned.
    virtual void Post(std::function<void()> work) = 0;
};

/// Serves the control protocol of one panel to any number of clients. Requests that need the
/// module run one at a time, in the order they came, each as the operator's own action.
class ControlSession : public IPanelEvents {
public:
    /// How long a request that needs the module waits for its reply.
    static constexpr int kReplyWaitMs = 2000;
    /// How often a request held back by a box waiting for the operator looks again.
    static constexpr int kBusyRetryMs = 50;
    /// Requests a client may have sent ahead of the answers it waits for, in bytes; beyond
    /// that its bytes are not read until it has been answered.
    static constexpr std::size_t kMaxPendingIn = 4 * kMaxControlLine;

    ControlSession(IPanelEntry& panel, IControlWriter& writer, IControlHost& host);

    /// A new client; returns its id.
    int Connect();
    /// Bytes `client` sent.
    void Receive(int client, std::string_view bytes);
    /// `client` has gone: what it sent before is still done (a set is the operator's Enter and
    /// runs to its end), only not answered.
    void Disconnect(int client);
    /// The timer started through the host has run out.
    void OnTimer();
    /// The panel stops serving (it ends): every client gets `code` and `message` as its last
    /// line.
    void End(const char* code, const std::string& message);

    // IPanelEvents
    void OnModuleReply(const ModuleReply& reply) override;
    void OnPortOpened(int com) override;
    void OnPortClosed(PortClosure why) override;

private:
    /// A received line, or the mark of one over kMaxControlLine (its bytes thrown away).
    struct Line {
        std::string text;
        bool oversize = false;
    };
    struct Client {
        std::string partial;      ///< the line being received
        std::deque<Line> lines;   ///< received, not handled yet
        std::size_t pending = 0;  ///< bytes in `lines`, a newline counted for each
        bool busy = false;        ///< a request of this client waits for the module
        bool skipping = false;    ///< the rest of an oversize line is being thrown away
        bool reading = true;      ///< as last told to the writer
    };
    /// A request that needs the module: the quantities still to be reported, in order.
    struct Job {
        int client;
        ControlRequest request;
        std::vector<Quantity> awaiting;
    };

    void HandleLines(int client);
    void UpdateReading(int client);
    /// The answer for a request that needs no module reply; empty when it was queued.
    std::string Handle(int client, const ControlRequest& request);
    void StartNextJob();
    void FinishJob(const std::string& answer);
    void Answer(int client, const std::string& line);
    void Stop(const char* code, const std::string& message);
    std::string StateAnswer(std::optional<Quantity> what) const;
    std::string ValueAnswer(Quantity quantity, int value) const;
    std::optional<int>& Reported(Quantity quantity);

    IPanelEntry& m_panel;
    IControlWriter& m_writer;
    IControlHost& m_host;
    int m_com = 0;  ///< the open port; 0 while closed
    std::map<int, Client> m_clients;
    int m_nextClient = 1;
    std::deque<Job> m_jobs;  ///< the front one is on the wire when m_jobRunning
    bool m_jobRunning = false;
    bool m_waitingForOperator = false;  ///< the timer looks for the end of a box
    /// What the module last reported since the port opened, by Quantity.
    std::array<std::optional<int>, 3> m_reported;
};
