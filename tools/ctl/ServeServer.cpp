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

#include "ConnectionPump.h"
#include "CtlOptions.h"
#include "Identification.h"
#include "ModuleSession.h"
#include "NetAddress.h"
#include "PanelRoute.h"
#include "Record.h"
#include "ScpiEngine.h"
#include "SerialSession.h"
#include "ServeAnnounce.h"
#include "ServeHttp.h"
#include "ServeOptions.h"
#include "ServePortmap.h"
#include "ServeSocket.h"
#include "ServeVxi11.h"
#include "StopSignal.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kModel = "Laser module";

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
    ModuleRequest request;
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

    // The way to the module as it is now (it may change when a lost port is opened again).
    std::string Route() const {
        std::lock_guard lock(m_mutex);
        return m_route;
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
            Done done{job.client, job.request, Exchange(job.request)};
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
            std::lock_guard lock(m_mutex);
            m_route = route;
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

    mutable std::mutex m_mutex;
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

// One connection's SCPI side: its engine, and the module requests it queued.
class Client final : public net::ClientHandler, public scpi::EngineHost {
public:
    Client(const scpi::EngineConfig& config, ModuleWorker& worker, net::ConnectionPump& pump,
           net::ClientId id, net::Peer peer)
        : m_id(id), m_peer(peer), m_worker(worker), m_pump(pump), m_engine(config, *this) {}

    // net::ClientHandler
    void Received(std::string_view bytes) override { m_engine.Feed(bytes); }
    // A client waiting for the module is not read.
    bool Reading() const override { return !m_engine.Waiting(); }
    // Its request goes with it unless the module has it already: then it is answered, as a
    // client that only ended its input may still read (a half-close).
    bool InputEnded() override { return Cancel(); }
    void Left() override { Cancel(); }

    // scpi::EngineHost
    void Answer(std::string_view message) override { m_pump.Write(m_id, message); }
    void Request(const ModuleRequest& request) override { m_worker.Submit({m_id, request}); }
    void Setting(std::string_view command) override {
        m_setting = LogText(command);
        Log(m_peer, m_setting);
    }

    void Complete(const ExchangeResult& outcome) { m_engine.Complete(outcome); }

private:
    // Takes its queued request out of the worker's queue; true when there was one.
    bool Cancel() {
        const std::optional<ModuleRequest> dropped = m_worker.Cancel(m_id);
        if (dropped && dropped->isSet) {
            Log(m_peer, "left before the module had it: not sent: " + m_setting);
        }
        return dropped.has_value();
    }

    net::ClientId m_id;
    net::Peer m_peer;
    std::string m_setting;  // the last setting, as logged
    ModuleWorker& m_worker;
    net::ConnectionPump& m_pump;
    scpi::Engine m_engine;  // last: it is built with the members above in place
};

// The raw SCPI door: a line-framed engine per client, for peers the allow list admits.
class ScpiDoor final : public net::Door {
public:
    ScpiDoor(const ServeOptions& options, const scpi::EngineConfig& config, ModuleWorker& worker,
             net::ConnectionPump& pump)
        : m_options(options), m_config(config), m_worker(worker), m_pump(pump) {}

    // VXI-11 links count against --max-clients beside the connections the pump holds.
    bool Admits(int /*fd*/, const net::Peer& peer) override {
        return net::Admits(m_options.allow, peer.address) &&
               (m_vxi11 == nullptr || m_pump.ClientCount() + m_vxi11->LinkCount() <
                                          static_cast<std::size_t>(m_options.maxClients));
    }
    std::unique_ptr<net::ClientHandler> Open(net::ClientId id, const net::Peer& peer) override {
        return std::make_unique<Client>(m_config, m_worker, m_pump, id, peer);
    }

    void CountLinksOf(const Vxi11Door* vxi11) { m_vxi11 = vxi11; }

private:
    const ServeOptions& m_options;
    const scpi::EngineConfig& m_config;
    ModuleWorker& m_worker;
    net::ConnectionPump& m_pump;
    const Vxi11Door* m_vxi11 = nullptr;
};

// The listening sockets of the doors; -1 where there is none.
struct Listeners {
    int scpi = -1;
    int vxi11 = -1;  ///< found through the portmapper
    int http = -1;
    PortmapDoor* portmap = nullptr;
};

// The web door's part of the server: the page's facts, the same allow list and the same engine
// configuration as the SCPI doors.
HttpSetup WebSetup(const ServeOptions& options, const scpi::EngineConfig& config,
                   ModuleWorker& worker, const Listeners& listeners, int httpPort) {
    web::OurHosts ours = web::FindOurHosts(options.listenAddress, httpPort);
    HttpSetup setup{.config = &config,
                    .allow = options.allow,
                    .ours = ours,
                    .hostName = ours.names.size() > 1 ? ours.names[1] : "localhost",
                    .facts = {.identity = web::SplitIdentity(config.identity),
                              .visa = {},
                              .port = options.port.label,
                              .route = {},
                              .readOnly = options.readOnly},
                    .socketPort = net::BoundPort(listeners.scpi),
                    .vxi11 = listeners.vxi11 >= 0,
                    .submit =
                        [&worker](std::uint64_t client, const ModuleRequest& request) {
                            worker.Submit({client, request});
                        },
                    .cancel = [&worker](std::uint64_t client) { return worker.Cancel(client); },
                    .route = [&worker] { return worker.Route(); },
                    .shared = [&worker] { return worker.Route() != kDirectRoute; },
                    .log = Log,
                    .logText = LogText};
    return setup;
}

// The loop: the stop, the worker's completions, the SCPI door, the VXI-11 core channel and the
// web door (those that have a listener), on one pump.
bool RunLoop(const ServeOptions& options, const scpi::EngineConfig& config, ModuleWorker& worker,
             net::Waker& waker, StopSignal& stop, const Listeners& listeners) {
    const int vxi11Listener = listeners.vxi11;
    PortmapDoor* portmap = listeners.portmap;
    net::ConnectionPump pump({options.maxClients, options.idleTimeoutS});
    ScpiDoor door(options, config, worker, pump);
    std::unique_ptr<HttpDoor> http;
    if (listeners.http >= 0) {
        http = std::make_unique<HttpDoor>(
            WebSetup(options, config, worker, listeners, net::BoundPort(listeners.http)),
            listeners.http, pump);
    }
    std::unique_ptr<Vxi11Door> vxi11;
    if (vxi11Listener >= 0) {
        Vxi11Setup setup{
            .config = &config,
            .allow = options.allow,
            .maxConnections = static_cast<std::size_t>(options.maxClients) * 2 + 2,
            .submit =
                [&worker](std::uint64_t client, const ModuleRequest& request) {
                    worker.Submit({client, request});
                },
            .cancel = [&worker](std::uint64_t client) { return worker.Cancel(client); },
            .hasRoom =
                [&pump, &options, &vxi11] {
                    return pump.ClientCount() + vxi11->LinkCount() <
                           static_cast<std::size_t>(options.maxClients);
                },
            .log = Log,
            .logText = LogText};
        vxi11 = std::make_unique<Vxi11Door>(std::move(setup), vxi11Listener, pump);
        door.CountLinksOf(vxi11.get());
    }
    if (portmap != nullptr) {
        portmap->Attach(pump);
    }
    pump.Watch(stop.Fd(), net::kReadable, [&](short) {
        if (stop.Count() > 0) {
            pump.Stop();
        }
    });
    pump.Watch(waker.Fd(), net::kReadable, [&](short) {
        if (stop.Count() > 0) {
            pump.Stop();  // where the stop has no descriptor (Windows), it rouses the waker
            return;
        }
        waker.Drain();
        for (Done& done : worker.TakeDone()) {
            if (http) {
                http->Observe(done.request, done.outcome);
                if (http->Complete(done.client, done.outcome)) {
                    continue;
                }
            }
            if (vxi11 && vxi11->Complete(done.client, done.outcome)) {
                continue;
            }
            // Idle from here on, not from its ask.
            if (auto* client = static_cast<Client*>(pump.Heard(done.client))) {
                client->Complete(done.outcome);
            }
        }
    });
    pump.AddDoor(listeners.scpi, door);
    stop.AlsoWake([&waker] { waker.Wake(); });
    const bool ran = pump.Run();
    stop.AlsoWake(nullptr);
    return ran;
}

// The web door's listener on the SCPI socket's address, or -1: none asked for, or the port
// is taken or needs a privilege this process has not (said once; the rest serves on).
int OpenHttp(const ServeOptions& options) {
    if (options.httpPort < 0) {
        return -1;
    }
    std::string error;
    net::BindFailure failure = net::BindFailure::Other;
    const int listener = net::Listen(options.listenAddress, options.httpPort, error, &failure);
    if (listener < 0) {
        const char* hint =
            failure == net::BindFailure::NoPrivilege
                ? " (a port below 1024 needs root or CAP_NET_BIND_SERVICE; --http PORT picks "
                  "another)"
            : failure == net::BindFailure::InUse ? " (--http PORT picks another)"
                                                 : "";
        std::fprintf(stderr, "varnel-ctl: no web page: cannot listen on %s: %s%s\n",
                     net::EndpointText(options.listenAddress, options.httpPort).c_str(),
                     error.c_str(), hint);
        return -1;
    }
    std::printf("varnel-ctl: web page on http://%s/\n",
                net::EndpointText(options.listenAddress, net::BoundPort(listener)).c_str());
    std::fflush(stdout);
    return listener;
}

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
            const int httpListener = OpenHttp(options);
            // Loopback is this machine's alone: nothing there for the network to discover.
            std::unique_ptr<Announcement> announcement;
            if (options.announce && net::IsLoopback(options.listenAddress)) {
                std::fprintf(stderr, "varnel-ctl: not announced: listening on loopback only\n");
            } else if (options.announce) {
                std::vector<AnnouncedService> services{
                    {"_scpi-raw._tcp", net::BoundPort(listener), ""}};
                if (vxi11Listener >= 0) {
                    services.push_back({"_vxi-11._tcp", net::BoundPort(vxi11Listener), ""});
                }
                if (httpListener >= 0) {
                    services.push_back({"_lxi._tcp", net::BoundPort(httpListener), ""});
                    services.push_back({"_http._tcp", net::BoundPort(httpListener), "path=/"});
                }
                announcement = std::make_unique<Announcement>(
                    "Varnel laser on " + options.port.label, std::move(services));
            }
            if (!RunLoop(options, config, worker, waker, stop,
                         {listener, vxi11Listener, httpListener, portmap.get()})) {
                std::perror("varnel-ctl: poll");
            }
        }
        // The server's clients are closed here; the worker ends next and releases the port.
    }
    net::Close(listener);
    return code;
}
