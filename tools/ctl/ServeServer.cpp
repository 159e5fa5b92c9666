#include "ServeServer.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "CtlOptions.h"
#include "ModuleSession.h"
#include "NetAddress.h"
#include "PanelRoute.h"
#include "Record.h"
#include "ScpiEngine.h"
#include "SerialSession.h"
#include "ServeAnnounce.h"
#include "ServeOptions.h"
#include "ServePortmap.h"
#include "ServeSocket.h"
#include "ServeVxi11.h"
#include "StopSignal.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kReadChunk = 4096;
/// Unread answers beyond this mean a client that does not read: it is dropped.
constexpr std::size_t kOutputLimit = std::size_t{64} * 1024;
constexpr const char* kModel = "Laser module";
/// How long accepting rests when the process is out of descriptors: the connections stay
/// queued, and asking again at once would only spin. Clients wait until some are closed.
constexpr auto kAcceptPause = std::chrono::milliseconds(250);

/// Opens the module's session (on the worker thread, which then owns it); null with the
/// reason in `error` when it cannot; `route` says which way it went.
using SessionOpener =
    std::function<std::unique_ptr<ModuleSession>(std::string& error, std::string& route)>;

struct Job {
    std::uint64_t client;
    ModuleRequest request;
    bool committed = false;  // handed to an idle worker: as good as on the wire
};

struct Done {
    std::uint64_t client;
    ExchangeResult outcome;
};

// The one thread that talks to the module, one exchange at a time. A lost port is opened again
// on the next request; until then every request ends at once with PortLost. The queue holds at
// most one job per client (its engine waits for each answer before it asks again), and the job
// of a client that left is taken out before it reaches the module.
class ModuleWorker {
public:
    ModuleWorker(SessionOpener opener, std::string label, net::Waker& waker)
        : m_opener(std::move(opener)), m_label(std::move(label)), m_waker(waker) {}
    ~ModuleWorker() {
        {
            std::lock_guard lock(m_mutex);
            m_stop = true;
        }
        m_wake.notify_all();
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }
    ModuleWorker(const ModuleWorker&) = delete;
    ModuleWorker& operator=(const ModuleWorker&) = delete;

    // Starts the thread and waits for the first open; false with the reason when it failed.
    bool Start(std::string& error, std::string& route) {
        m_thread = std::thread([this] { Run(); });
        std::unique_lock lock(m_mutex);
        m_wake.wait(lock, [this] { return m_openDone; });
        error = m_openError;
        route = m_route;
        return m_openError.empty();
    }

    void Submit(Job job) {
        {
            std::lock_guard lock(m_mutex);
            job.committed = !m_busy && m_jobs.empty();
            m_jobs.push_back(job);
        }
        m_wake.notify_all();
    }

    // Takes out the job of a client that left, unless the worker already has it in hand; the
    // request taken out, if any.
    std::optional<ModuleRequest> Cancel(std::uint64_t client) {
        std::lock_guard lock(m_mutex);
        const auto job = std::find_if(m_jobs.begin(), m_jobs.end(), [client](const Job& queued) {
            return queued.client == client && !queued.committed;
        });
        if (job == m_jobs.end()) {
            return std::nullopt;
        }
        const ModuleRequest request = job->request;
        m_jobs.erase(job);
        return request;
    }

    std::vector<Done> TakeDone() {
        std::lock_guard lock(m_mutex);
        return std::exchange(m_done, {});
    }

private:
    void Run() {
        std::string error;
        std::string route;
        m_session = m_opener(error, route);
        {
            std::lock_guard lock(m_mutex);
            m_openDone = true;
            m_openError = m_session ? "" : (error.empty() ? "cannot be opened" : error);
            m_route = route;
        }
        m_wake.notify_all();
        if (!m_session) {
            return;
        }
        for (;;) {
            std::unique_lock lock(m_mutex);
            m_wake.wait(lock, [this] { return m_stop || !m_jobs.empty(); });
            if (m_stop) {
                break;
            }
            const Job job = m_jobs.front();
            m_jobs.pop_front();
            m_busy = true;
            lock.unlock();
            Done done{job.client, Exchange(job.request)};
            lock.lock();
            m_busy = false;
            m_done.push_back(std::move(done));
            lock.unlock();
            m_waker.Wake();
        }
        m_session.reset();  // on this thread, which owns the link
    }

    ExchangeResult Exchange(const ModuleRequest& request) {
        if (!m_session) {
            std::string error;
            std::string route;
            m_session = m_opener(error, route);
            if (!m_session) {
                return {ExchangeStatus::PortLost, 0, 0, error};
            }
            std::fprintf(stderr, "varnel-ctl: %s is back (%s)\n", m_label.c_str(), route.c_str());
        }
        ExchangeResult result = m_session->Run(request);
        if (result.status == ExchangeStatus::PortLost) {
            m_session.reset();
            std::fprintf(stderr, "varnel-ctl: %s went away; answering -241 until it is back\n",
                         m_label.c_str());
        }
        return result;
    }

    SessionOpener m_opener;
    std::string m_label;
    net::Waker& m_waker;
    std::unique_ptr<ModuleSession> m_session;  // the worker thread's alone

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Job> m_jobs;
    std::vector<Done> m_done;
    bool m_busy = false;  // an exchange is under way
    bool m_stop = false;
    bool m_openDone = false;
    std::string m_openError;
    std::string m_route;
    std::thread m_thread;
};

// A client's command as the log shows it: bytes that are not printable shown as '?', so that a
// client cannot forge log lines.
std::string LogText(std::string_view command) {
    std::string text(command.substr(0, 200));
    for (char& c : text) {
        c = c >= ' ' && c <= '~' ? c : '?';
    }
    return text;
}

// One line on standard error about a client's setting: UTC time, the client, what happened.
void Log(const net::Peer& peer, const std::string& text) {
    std::fprintf(stderr, "%s %s %s\n", IsoTime(std::chrono::system_clock::now()).c_str(),
                 net::EndpointText(peer.address, peer.port).c_str(), text.c_str());
}

class Server;

// One connection: its socket, its engine and its unsent answers.
class Client final : public scpi::EngineHost {
public:
    Client(const scpi::EngineConfig& config, ModuleWorker& worker, int fd, std::uint64_t id,
           net::Peer peer)
        : fd(fd),
          id(id),
          peer(peer),
          heard(Clock::now()),
          m_worker(worker),
          engine(config, *this) {}

    void Answer(std::string_view message) override { out.append(message); }
    void Request(const ModuleRequest& request) override { m_worker.Submit({id, request}); }
    void Setting(std::string_view command) override {
        setting = LogText(command);
        Log(peer, setting);
    }
    // Something of its own is under way: a module request, or answers not sent yet.
    bool Outstanding() const { return engine.Waiting() || !out.empty(); }

    int fd;
    std::uint64_t id;
    net::Peer peer;
    std::string out;
    std::string setting;      // the last setting, as logged
    Clock::time_point heard;  // last input, output, or end of a module request
    bool closed = false;
    bool inputEnded = false;  // it closed (or half-closed) while waiting for the module

private:
    ModuleWorker& m_worker;

public:
    scpi::Engine engine;  // last: it is built with the members above in place
};

class Server {
public:
    // `vxi11Listener` (-1: none) is the VXI-11 core channel's, served through `portmap`.
    Server(const ServeOptions& options, const scpi::EngineConfig& config, ModuleWorker& worker,
           net::Waker& waker, StopSignal& stop, int listener, int vxi11Listener,
           PortmapDoor* portmap)
        : m_options(options),
          m_config(config),
          m_worker(worker),
          m_waker(waker),
          m_stop(stop),
          m_listener(listener),
          m_portmap(portmap) {
        if (vxi11Listener >= 0) {
            Vxi11Setup setup{
                .config = &m_config,
                .allow = m_options.allow,
                .maxConnections = static_cast<std::size_t>(m_options.maxClients) * 2 + 2,
                .submit =
                    [this](std::uint64_t client, const ModuleRequest& request) {
                        m_worker.Submit({client, request});
                    },
                .cancel = [this](std::uint64_t client) { return m_worker.Cancel(client); },
                .hasRoom = [this] { return HasRoom(); },
                .log = Log,
                .logText = LogText};
            m_vxi11 = std::make_unique<Vxi11Door>(std::move(setup), vxi11Listener);
        }
    }
    ~Server() {
        m_stop.AlsoWake(nullptr);
        for (const std::unique_ptr<Client>& client : m_clients) {
            net::Close(client->fd);
        }
    }
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    void Run() {
        std::vector<net::PollFd> fds;
        // Where the stop has no descriptor (Windows), the handler rouses the loop's waker.
        m_stop.AlsoWake([this] { m_waker.Wake(); });
        for (;;) {
            fds.clear();
            fds.push_back({m_stop.Fd(), net::kReadable, 0});
            fds.push_back({m_waker.Fd(), net::kReadable, 0});
            fds.push_back({m_acceptPause ? -1 : m_listener, net::kReadable, 0});
            for (const std::unique_ptr<Client>& client : m_clients) {
                fds.push_back({client->fd, Events(*client), 0});
            }
            const std::size_t rawEnd = fds.size();
            if (m_vxi11) {
                m_vxi11->AddPolls(fds);
            }
            if (m_portmap != nullptr) {
                m_portmap->AddPolls(fds);
            }
            if (!net::Poll(fds, WaitMs())) {
                std::perror("varnel-ctl: poll");
                return;
            }
            if ((fds[0].revents != 0 || fds[1].revents != 0) && m_stop.Count() > 0) {
                return;
            }
            if (fds[1].revents != 0) {
                m_waker.Drain();
                for (Done& done : m_worker.TakeDone()) {
                    if (m_vxi11 && m_vxi11->Complete(done.client, done.outcome)) {
                        continue;  // a VXI-11 link's
                    }
                    if (Client* client = Find(done.client)) {
                        client->heard = Clock::now();  // idle from here on, not from its ask
                        client->engine.Complete(done.outcome);
                    }
                }
            }
            for (std::size_t i = 0; i < m_clients.size() && i + 3 < rawEnd; ++i) {
                Serve(*m_clients[i], fds[i + 3].revents);
            }
            for (const std::unique_ptr<Client>& client : m_clients) {
                Flush(*client);
            }
            // Clients that left make room before newcomers are counted against the limit.
            DropIdleAndClosed();
            if (m_vxi11) {
                m_vxi11->Handle(fds);
            }
            if (m_portmap != nullptr) {
                m_portmap->Handle(fds);
            }
            if (m_acceptPause && Clock::now() >= *m_acceptPause) {
                m_acceptPause.reset();
            }
            if (fds[2].revents != 0) {
                AcceptAll();
            }
        }
    }

private:
    Client* Find(std::uint64_t id) {
        for (const std::unique_ptr<Client>& client : m_clients) {
            if (client->id == id) {
                return client.get();
            }
        }
        return nullptr;
    }

    // A client waiting for the module is not read: its later lines wait in the kernel, so its
    // buffers stay bounded. Its leaving is still watched for (once), so that it frees its place
    // and its queued request at once.
    static short Events(const Client& client) {
        short events = net::kReadable;
        if (client.engine.Waiting()) {
            events = client.inputEnded ? 0 : net::kPeerClosed;
        }
        return client.out.empty() ? events : static_cast<short>(events | net::kWritable);
    }

    void AcceptAll() {
        for (;;) {
            net::Peer peer;
            const int fd = net::Accept(m_listener, peer);
            if (fd == net::kExhausted) {
                m_acceptPause = Clock::now() + kAcceptPause;
            }
            if (fd < 0) {
                return;
            }
            if (net::Admits(m_options.allow, peer.address) && !HasRoom()) {
                DropDeparted();  // a client may have left since the poll looked
            }
            if (!net::Admits(m_options.allow, peer.address) || !HasRoom()) {
                net::Refuse(fd);
                continue;
            }
            m_clients.push_back(std::make_unique<Client>(m_config, m_worker, fd, ++m_lastId, peer));
        }
    }

    // Links count as clients.
    bool HasRoom() const {
        return m_clients.size() + (m_vxi11 ? m_vxi11->LinkCount() : 0) <
               static_cast<std::size_t>(m_options.maxClients);
    }

    // Looks again, without waiting, for clients that left.
    void DropDeparted() {
        std::vector<net::PollFd> fds;
        for (const std::unique_ptr<Client>& client : m_clients) {
            fds.push_back({client->fd, Events(*client), 0});
        }
        if (!net::Poll(fds, 0)) {
            return;
        }
        for (std::size_t i = 0; i < m_clients.size(); ++i) {
            Serve(*m_clients[i], fds[i].revents);
            Flush(*m_clients[i]);
        }
        DropIdleAndClosed();
    }

    void Serve(Client& client, short revents) {
        if ((revents & (net::kError | net::kInvalid)) != 0) {
            client.closed = true;
            return;
        }
        if (client.engine.Waiting()) {
            // It is not read while it waits. A reset means it has gone; the end of its input
            // (a close, or a half-close as socat's) is judged with its request (Gone).
            client.closed = client.closed || (revents & net::kHangUp) != 0;
            client.inputEnded = client.inputEnded || (revents & net::kPeerClosed) != 0;
            return;
        }
        if ((revents & (net::kReadable | net::kHangUp)) == 0) {
            return;
        }
        char buffer[kReadChunk];
        std::size_t count = 0;
        switch (net::Receive(client.fd, buffer, sizeof buffer, count)) {
            case net::Io::Done:
                client.heard = Clock::now();
                client.engine.Feed(std::string_view(buffer, count));
                break;
            case net::Io::WouldBlock:
                break;
            case net::Io::Closed:
                client.closed = true;
                break;
        }
    }

    void Flush(Client& client) {
        if (client.closed || client.out.empty()) {
            return;
        }
        std::size_t sent = 0;
        if (net::Send(client.fd, client.out.data(), client.out.size(), sent) == net::Io::Closed) {
            client.closed = true;
            return;
        }
        client.out.erase(0, sent);
        if (sent > 0) {
            client.heard = Clock::now();
        }
        if (client.out.size() > kOutputLimit) {
            client.closed = true;  // it does not read: its answers would pile up for ever
        }
    }

    // Until the next client may turn idle, or the accept pause ends; -1: no such time.
    int WaitMs() const {
        Clock::time_point next = m_acceptPause.value_or(Clock::time_point::max());
        for (const auto& due : {m_vxi11 ? m_vxi11->NextDeadline() : std::nullopt,
                                m_portmap != nullptr ? m_portmap->NextDeadline() : std::nullopt}) {
            next = std::min(next, due.value_or(Clock::time_point::max()));
        }
        if (m_options.idleTimeoutS > 0) {
            for (const std::unique_ptr<Client>& client : m_clients) {
                if (!client->Outstanding()) {
                    next = std::min(next, client->heard + IdleLimit());
                }
            }
        }
        if (next == Clock::time_point::max()) {
            return -1;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now());
        return static_cast<int>(std::clamp<long long>(left.count(), 0, 60000));
    }

    Clock::duration IdleLimit() const { return std::chrono::seconds(m_options.idleTimeoutS); }

    // A client is idle only with nothing of its own under way.
    bool Idle(const Client& client, Clock::time_point now) const {
        return m_options.idleTimeoutS > 0 && !client.Outstanding() &&
               now - client.heard >= IdleLimit();
    }

    void DropIdleAndClosed() {
        const Clock::time_point now = Clock::now();
        std::erase_if(m_clients, [&](const std::unique_ptr<Client>& client) {
            const bool gone = client->closed || Idle(*client, now);
            if (!gone && !(client->inputEnded && client->engine.Waiting())) {
                return false;
            }
            // Its queued request goes with it. One the module has already is answered to a
            // client that only ended its input: it may still read (a half-close).
            const std::optional<ModuleRequest> dropped = m_worker.Cancel(client->id);
            if (!gone && !dropped) {
                return false;
            }
            if (dropped && dropped->isSet) {
                Log(client->peer, "left before the module had it: not sent: " + client->setting);
            }
            net::Close(client->fd);
            return true;
        });
    }

    const ServeOptions& m_options;
    const scpi::EngineConfig& m_config;
    ModuleWorker& m_worker;
    net::Waker& m_waker;
    StopSignal& m_stop;
    int m_listener;
    PortmapDoor* m_portmap;
    std::optional<Clock::time_point> m_acceptPause;  // accepting rests until then
    std::vector<std::unique_ptr<Client>> m_clients;
    std::unique_ptr<Vxi11Door> m_vxi11;  // last: its links end before the clients' list
    std::uint64_t m_lastId = 0;
};

}  // namespace

int RunServe(const std::vector<std::string>& args, const char* version) {
    ServeOptions options;
    if (const std::string error = ParseServeOptions(args, options); !error.empty()) {
        std::fprintf(stderr, "varnel-ctl: %s\n", error.c_str());
        return kExitUsage;
    }
    if (options.help) {
        std::fputs(ServeHelpText().c_str(), stdout);
        return kExitOk;
    }
    if (const std::string warning = net::EveryoneWarning(options.allow); !warning.empty()) {
        std::fprintf(stderr, "varnel-ctl: warning: %s\n", warning.c_str());
    }
    // Before any thread starts, so that every thread inherits the blocked signals.
    StopSignal stop;
    if (!stop.Install()) {
        std::perror("varnel-ctl: cannot receive signals");
        return kExitFailure;
    }
    std::string error;
    const int listener = net::Listen(options.listenAddress, options.listenPort, error);
    if (listener < 0) {
        std::fprintf(stderr, "varnel-ctl: cannot listen on %s: %s\n",
                     net::EndpointText(options.listenAddress, options.listenPort).c_str(),
                     error.c_str());
        return kExitFailure;
    }
    net::Waker waker;
    // The other commands' route: the running panel that holds the port, else the port itself.
    SessionOpener opener = [&options](std::string& why,
                                      std::string& route) -> std::unique_ptr<ModuleSession> {
        if (!options.direct) {
            const PanelRoute panel(options.port);
            if (panel.Found()) {
                route = "through the panel, PID " + std::to_string(panel.Pid());
                return panel.Connect(nullptr, true, why);
            }
        }
        auto session = std::make_unique<SerialSession>(options.timing, nullptr);
        route = kDirectRoute;
        return session->Open(options.port, why) ? std::move(session) : nullptr;
    };
    int code = kExitOk;
    {
        ModuleWorker worker(opener, options.port.label, waker);
        std::string route;
        if (!worker.Start(error, route)) {
            std::fprintf(stderr, "varnel-ctl: %s\n", error.c_str());
            code = kExitPort;
        } else {
            // On standard output: standard error carries the settings' log alone.
            std::printf("varnel-ctl: serving %s (%s) as an SCPI instrument on %s%s\n",
                        options.port.label.c_str(), route.c_str(),
                        net::EndpointText(options.listenAddress, net::BoundPort(listener)).c_str(),
                        options.readOnly ? ", read-only" : "");
            std::fflush(stdout);
            const scpi::EngineConfig config{std::string("Varnel,") + kModel + ",0," + version,
                                            options.readOnly};
            int vxi11Listener = -1;
            std::unique_ptr<PortmapDoor> portmap;
            if (!options.noVxi11) {
                vxi11Listener = OpenVxi11(options, portmap);
            }
            // Loopback is this machine's alone: nothing there for the network to discover.
            std::unique_ptr<Announcement> announcement;
            if (options.announce && net::IsLoopback(options.listenAddress)) {
                std::fprintf(stderr, "varnel-ctl: not announced: listening on loopback only\n");
            } else if (options.announce) {
                announcement = std::make_unique<Announcement>(
                    "Varnel laser on " + options.port.label, net::BoundPort(listener),
                    vxi11Listener >= 0 ? net::BoundPort(vxi11Listener) : 0);
            }
            Server server(options, config, worker, waker, stop, listener, vxi11Listener,
                          portmap.get());
            server.Run();
        }
        // The server's clients are closed here; the worker ends next and releases the port.
    }
    net::Close(listener);
    return code;
}
