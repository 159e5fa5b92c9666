// varnel-ctl serve as a process against varnel-module on a pty, driven by the clients labs use
// (PyVISA with its pure-Python backend, lxi-tools) and by raw sockets for the security limits;
// and through the varnel program itself when it holds the port.
// The port is COM200: beyond the fixed table, so with the module gone it names no device.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <string_view>

#include "PanelProgram.h"
#include "PortFolder.h"
#include "Process.h"

namespace {

constexpr int kCom = 200;
constexpr int kDeadlineMs = 15000;  // only a hung program ever waits this long

// A raw TCP client, optionally from another loopback address; from "::1", over IPv6.
class Socket {
public:
    explicit Socket(int port, const char* from = nullptr, int receiveBuffer = 0) {
        const bool v6 = from != nullptr && std::string_view(from) == "::1";
        m_fd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (receiveBuffer > 0) {
            ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        }
        if (v6) {
            sockaddr_in6 where{};
            where.sin6_family = AF_INET6;
            where.sin6_addr = in6addr_loopback;
            where.sin6_port = htons(static_cast<std::uint16_t>(port));
            m_connected = ::connect(m_fd, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0;
            return;
        }
        sockaddr_in where{};
        where.sin_family = AF_INET;
        bool bound = true;
        if (from != nullptr) {
            ::inet_pton(AF_INET, from, &where.sin_addr);
            bound = ::bind(m_fd, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0;
        }
        ::inet_pton(AF_INET, "127.0.0.1", &where.sin_addr);
        where.sin_port = htons(static_cast<std::uint16_t>(port));
        m_connected =
            bound && ::connect(m_fd, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0;
    }
    ~Socket() { ::close(m_fd); }
    // Ends with a reset when closed: thousands of quick cycles leave no TIME_WAIT behind on
    // the client's side, whose reuse of a port the loopback answers with a second's delay.
    void ResetOnClose() {
        const linger reset{1, 0};
        ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    bool Connected() const { return m_connected; }
    // Ends what it sends, as socat does at the end of its input, and keeps reading.
    void EndInput() { ::shutdown(m_fd, SHUT_WR); }
    bool Send(const std::string& bytes) {
        return ::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(bytes.size());
    }
    // The next line, without its LF; "<closed>" when the server closed or reset without one.
    std::string Line() {
        for (;;) {
            if (const std::size_t lf = m_in.find('\n'); lf != std::string::npos) {
                std::string line = m_in.substr(0, lf);
                m_in.erase(0, lf + 1);
                return line;
            }
            pollfd p{m_fd, POLLIN, 0};
            char buffer[4096];
            const ssize_t got = ::poll(&p, 1, kDeadlineMs) == 1 ? ::recv(m_fd, buffer, 4096, 0) : 0;
            if (got <= 0) {
                return m_in.empty() ? "<closed>" : "<partial>";
            }
            m_in.append(buffer, static_cast<std::size_t>(got));
        }
    }
    // A send that fails met a reset: the same as a close.
    std::string Ask(const std::string& line) { return Send(line + "\n") ? Line() : "<closed>"; }
    // Everything up to the server's close; "<closed>" for nothing at all.
    std::string Rest() {
        char buffer[4096];
        pollfd p{m_fd, POLLIN, 0};
        for (ssize_t got = 1; got > 0;) {
            got = ::poll(&p, 1, kDeadlineMs) == 1 ? ::recv(m_fd, buffer, sizeof buffer, 0) : 0;
            m_in.append(buffer, static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
        }
        return m_in.empty() ? "<closed>" : std::exchange(m_in, {});
    }

private:
    int m_fd = -1;
    bool m_connected = false;
    std::string m_in;
};

// Moves this test (its thread, and every process it starts from now on) into a network of its
// own, with loopback up: there the server may take the portmapper's port 111, and nothing the
// test sends leaves it. Empty when done, else why not (it needs root, as CI has).
std::string PrivateNetwork() {
    if (::unshare(CLONE_NEWNET) != 0) {
        return std::string("no network namespace (unshare: ") + std::strerror(errno) + ")";
    }
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request{};
    std::strcpy(request.ifr_name, "lo");
    const bool up = ::ioctl(fd, SIOCGIFFLAGS, &request) == 0 &&
                    (request.ifr_flags |= IFF_UP, ::ioctl(fd, SIOCSIFFLAGS, &request) == 0);
    ::close(fd);
    return up ? "" : "loopback does not come up in the namespace";
}

// Asks the portmapper for the VXI-11 core channel's TCP port (GETPORT, one UDP datagram)
// first from `outsider`, then from 127.0.0.1; the port answered to the latter (-1: none), and
// whether the outsider had an answer by then.
int AskPortmapper(const char* outsider, bool& outsiderAnswered, int waitMs = kDeadlineMs) {
    const std::uint32_t call[] = {0x1234, 0, 2, 100000, 2, 3, 0, 0, 0, 0, 0x0607AF, 1, 6, 0};
    std::uint32_t wire[14];
    for (int i = 0; i < 14; ++i) {
        wire[i] = htonl(call[i]);
    }
    int fds[2];
    for (int i = 0; i < 2; ++i) {
        fds[i] = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in where{};
        where.sin_family = AF_INET;
        ::inet_pton(AF_INET, i == 0 ? outsider : "127.0.0.1", &where.sin_addr);
        ::bind(fds[i], reinterpret_cast<sockaddr*>(&where), sizeof where);
        ::inet_pton(AF_INET, "127.0.0.1", &where.sin_addr);
        where.sin_port = htons(111);
        ::sendto(fds[i], wire, sizeof wire, 0, reinterpret_cast<sockaddr*>(&where), sizeof where);
    }
    std::uint32_t reply[7] = {};
    pollfd p{fds[1], POLLIN, 0};
    const bool got = ::poll(&p, 1, waitMs) == 1 && ::recv(fds[1], reply, sizeof reply, 0) == 28;
    // One socket answers in arrival order: the outsider's answer would be there by now.
    outsiderAnswered = ::recv(fds[0], wire, sizeof wire, MSG_DONTWAIT) > 0;
    ::close(fds[0]);
    ::close(fds[1]);
    return got ? static_cast<int>(ntohl(reply[6])) : -1;
}

#ifdef __SANITIZE_ADDRESS__
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif

long RssKb(qint64 pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return -1;
}

// The processor time a process has used, in clock ticks.
long CpuTicks(qint64 pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    long ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        ticks += i >= 14 ? std::stol(field) : 0;  // utime and stime
    }
    return ticks;
}

// Lowers a process's descriptor limit so that it can open only `spare` more; `old` gets the
// limit it had.
bool LimitDescriptors(qint64 pid, int spare, rlimit& old) {
    std::set<int> open;
    for (const auto& entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
        open.insert(std::stoi(entry.path().filename().string()));
    }
    rlim_t limit = 0;
    for (; spare > 0; ++limit) {
        spare -= open.count(static_cast<int>(limit)) == 0 ? 1 : 0;
    }
    if (::prlimit(static_cast<pid_t>(pid), RLIMIT_NOFILE, nullptr, &old) != 0) {
        return false;
    }
    const rlimit lowered{limit, old.rlim_max};  // the soft limit alone: it may be raised again
    return ::prlimit(static_cast<pid_t>(pid), RLIMIT_NOFILE, &lowered, nullptr) == 0;
}

class ScpiServe : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_ports.Ok());
        StartModuleAgain();
    }

    void StartModuleAgain(std::vector<std::string> args = {}) {
        std::string error;
        args.insert(args.begin(), "--log");
        ASSERT_TRUE(testkit::StartModule(m_module, VARNEL_MODULE_PATH, kCom, args, &error))
            << error;
    }

    static std::vector<std::string> Strings(const QStringList& list) {
        std::vector<std::string> strings;
        for (const QString& s : list) {
            strings.push_back(s.toStdString());
        }
        return strings;
    }

    // Starts the server with `args`; the TCP port it listens on. VXI-11 and the web page on
    // its own port 80 only in a network of the test's own (m_vxi11 set): they would take ports
    // 111 and 80 of the machine, or register with its rpcbind.
    int Serve(QStringList args) {
        QStringList all{"serve", "COM" + QString::number(kCom), "--listen", "127.0.0.1:0"};
        all << (m_vxi11 ? QStringList{} : QStringList{"--no-vxi11", "--http", "0"}) << args;
        m_server.Start(VARNEL_CTL_PATH, Strings(all));
        const std::optional<std::string> line = m_server.WaitForLine("serving", kDeadlineMs);
        if (!line) {
            m_server.Stop(1000);
            ADD_FAILURE() << "no server: " << m_server.Errors();
            return 0;
        }
        m_serving = *line;
        if (m_vxi11) {
            const std::optional<std::string> core = m_server.WaitForLine("VXI-11", kDeadlineMs);
            m_corePort = core ? std::stoi(core->substr(core->rfind(':') + 1)) : 0;
            EXPECT_NE(m_corePort, 0) << m_server.Errors();
        }
        const std::optional<std::string> web = m_server.WaitForLine("web page on", kDeadlineMs);
        m_webPort = web ? std::atoi(web->c_str() + web->rfind(':') + 1) : 0;
        int port = 0;
        for (std::size_t i = line->rfind(':') + 1; i < line->size() && std::isdigit((*line)[i]);
             ++i) {
            port = port * 10 + ((*line)[i] - '0');
        }
        return port;
    }

    // The server's log after SIGTERM, which must end it with exit code 0.
    std::string StopServer() {
        m_server.Signal(SIGTERM);
        EXPECT_EQ(m_server.Wait(kDeadlineMs), 0) << m_server.Errors();
        return m_server.Errors();
    }

    // What the module saw up to the frame described as `last`, as its wire log's "rx" lines.
    std::string Received(const QByteArray& last) {
        EXPECT_TRUE(m_module.WaitForLine(last.toStdString(), kDeadlineMs)) << last.toStdString();
        std::string rx;
        for (const QByteArray& line : QByteArray::fromStdString(m_module.Output()).split('\n')) {
            if (line.contains(" rx ")) {
                rx += line.mid(line.indexOf(" rx ") + 4).simplified().toStdString() + "\n";
            }
        }
        return rx;
    }

    static std::string Run(const QString& program, const QStringList& args) {
        testkit::Process process;
        if (!process.Start(program.toStdString(), Strings(args), {.inputPipe = false})) {
            return "<not started>";
        }
        if (process.Wait(kDeadlineMs) < 0) {
            return "<hung>";
        }
        return process.Output() + process.Errors();
    }

    // Runs a PyVISA script with `rm`, its resource manager, made.
    static std::string Visa(const QString& script) {
        return Run("/usr/bin/python3",
                   {"-c", "import pyvisa\nrm = pyvisa.ResourceManager('@py')\n" + script});
    }

    testkit::PortFolder m_ports{false};
    testkit::Process m_module;
    testkit::Process m_server;
    std::string m_serving;  // the server's line saying where it serves and by which route
    bool m_vxi11 = false;   // the test has a network of its own: serve VXI-11 there
    int m_corePort = 0;     // the VXI-11 core channel's
    int m_webPort = 0;      // the web page's

    // One HTTP request to the web page (Host and the connection's end added) and its answer.
    std::string Web(const std::string& method, const std::string& path,
                    const std::string& headers = {}, const std::string& body = {},
                    const char* from = nullptr) {
        Socket socket(m_webPort, from);
        const std::string host =
            "127.0.0.1" + (m_webPort == 80 ? "" : ":" + std::to_string(m_webPort));
        socket.Send(method + " " + path + " HTTP/1.1\r\n" +
                    (headers.find("Host:") == std::string::npos ? "Host: " + host + "\r\n" : "") +
                    headers + "Content-Length: " + std::to_string(body.size()) +
                    "\r\nConnection: close\r\n\r\n" + body);
        return socket.Rest();
    }
    // A setting posted as the page posts it, with `origin` (empty: as a client that is no browser).
    std::string Post(const std::string& json, const std::string& origin,
                     const std::string& extra = {}) {
        return Web("POST", "/api/settings",
                   "Content-Type: application/json\r\n" +
                       (origin.empty() ? "" : "Origin: " + origin + "\r\n") + extra,
                   json);
    }
};

// One server: lab clients set and read the module (refused values send nothing), rude clients
// cannot wear it down, and a pulled module is missing until it is back.
TEST_F(ScpiServe, LabClientsAbuseAndAPulledModule) {
    const std::string isolated = PrivateNetwork();
    m_vxi11 = isolated.empty();
    const int port = Serve({});
    ASSERT_NE(port, 0);
    const std::string visa = Run("/usr/bin/python3", {"-c", QString(R"(
import pyvisa
inst = pyvisa.ResourceManager('@py').open_resource(
    'TCPIP0::127.0.0.1::%1::SOCKET', read_termination='\n', timeout=10000)
inst.write('SOUR:CHAN 12')
print(inst.query('CHAN?;FREQ?;:SYST:ERR?'))
inst.write('FREQ 193.9THZ')
print(inst.query('WAV?;CHAN:ITU?'))
inst.write('WAV 1563.86NM;POW 9.5;:OUTP ON')
print(inst.query('CHAN?;POW?;:OUTP?'))
inst.write('POW 13.5;:FREQ 193901.5GHZ')
inst.write('FREQ 193901.5GHZ')
print(inst.query('SYST:ERR?;ERR?;ERR?'))
)")
                                                                .arg(port)});
    EXPECT_EQ(visa,
              "12;192250000000000;0,\"No error\"\n"
              "1.54611892E-06;\"C39\"\n"
              "1;9.50;1\n"
              "-222,\"Data out of range\";-222,\"Data out of range\";0,\"No error\"\n");
    const std::string lxi =
        Run("lxi", {"scpi", "-a", "127.0.0.1", "-p", QString::number(port), "-r", "*IDN?"});
    EXPECT_NE(lxi.find("Varnel,Laser module,0,"), std::string::npos) << lxi;
    // Every setting waited for its reply, every query asked the module; the refused ones sent
    // nothing.
    EXPECT_EQ(Received("query output"),
              "00 01 01 00 0C 0E set channel 12\n01 00 01 00 00 02 query channel\n"
              "01 00 01 00 00 02 query channel\n00 01 01 00 2D 2F set channel 45\n"
              "01 00 01 00 00 02 query channel\n01 00 01 00 00 02 query channel\n"
              "00 01 01 00 01 03 set channel 1\n00 01 02 03 B6 BC set power 9.50 dBm\n"
              "00 01 03 01 01 06 set output on\n01 00 01 00 00 02 query channel\n"
              "01 00 02 00 00 03 query power\n01 00 03 00 00 04 query output\n");
    // As a VXI-11 instrument, found through the server's own portmapper: messages end without
    // a read termination; a device clear drops the answer held, not the error; one link's
    // lock keeps the other's setting out.
    if (m_vxi11) {
        EXPECT_EQ(Visa(R"(
a = rm.open_resource('TCPIP::127.0.0.1::INSTR', timeout=5000)
b = rm.open_resource('TCPIP0::127.0.0.1::inst0::INSTR', timeout=5000)
print(a.query('*IDN?').split(',')[0])
a.write('CHAN 20;POW 8.5;:OUTP OFF')
print(repr(b.query('CHAN?;POW?;:OUTP?')))
a.write('CHAN 99')
a.write('*IDN?')
print(a.read_stb())
a.clear()
print(a.read_stb(), repr(a.query('SYST:ERR?;:CHAN?')))
a.lock_excl()
try:
    b.write('CHAN 3')
    print('not locked out')
except pyvisa.errors.VisaIOError:
    print('locked out')
a.unlock()
b.write('CHAN 3')
print(repr(b.query('CHAN?;:CHAN 1;*OPC?')))
)"),
                  "Varnel\n'20;8.50;0\\n'\n20\n4 '-222,\"Data out of range\";20\\n'\nlocked "
                  "out\n'3;1\\n'\n");
        const std::string rx = Received("set channel 3");
        for (const char* frame : {"set channel 20\n", "set power 8.50 dBm\n", "set output off\n"}) {
            EXPECT_NE(rx.find(frame), std::string::npos) << frame << " in\n" << rx;
        }
        const std::string vxi = Run("lxi", {"scpi", "-a", "127.0.0.1", "*IDN?"});
        EXPECT_NE(vxi.find("Varnel,Laser module,0,"), std::string::npos) << vxi;
    }
    // The web page: the identification is *IDN?'s; a setting from the page goes the way of an
    // SCPI setting; another site's page, a name that is not ours (DNS rebinding), an oversized
    // body and a body in chunks move nothing.
    ASSERT_NE(m_webPort, 0) << m_server.Output();
    const std::string idn = Socket(port).Ask("*IDN?");
    const std::string xml = Web("GET", "/lxi/identification");
    EXPECT_NE(xml.find("Content-Type: text/xml"), std::string::npos) << xml;
    for (const std::string& field : std::vector<std::string>{
             "<Manufacturer>Varnel</Manufacturer>", "<Model>Laser module</Model>",
             "<SerialNumber>0</SerialNumber>",
             "<FirmwareRevision>" + idn.substr(idn.rfind(',') + 1) + "</FirmwareRevision>"}) {
        EXPECT_NE(xml.find(field), std::string::npos) << field << " in " << xml;
    }
    EXPECT_NE(xml.find("TCPIP::127.0.0.1::" + std::to_string(port) + "::SOCKET"),
              std::string::npos);
    EXPECT_EQ(xml.find("::inst0::INSTR") != std::string::npos, m_vxi11) << xml;
    const std::string origin =
        "http://127.0.0.1" + (m_webPort == 80 ? "" : ":" + std::to_string(m_webPort));
    std::string state;  // the first state request sets the module read for the page
    for (QDeadlineTimer deadline(kDeadlineMs);
         state.find(R"("itu":"C17")") == std::string::npos && !deadline.hasExpired();) {
        state = Web("GET", "/api/state");
    }
    EXPECT_NE(state.find(R"("itu":"C17")"), std::string::npos) << state;
    const std::string set = Post(R"({"channel": 46})", origin);
    EXPECT_NE(set.find(R"("itu":"H39")"), std::string::npos) << set;
    const std::string refused = Post(R"({"power": 14})", origin);
    EXPECT_NE(refused.find(R"(422 Unprocessable Content)"), std::string::npos) << refused;
    EXPECT_NE(refused.find(R"("error":"-222,\"Data out of range)"), std::string::npos) << refused;
    const struct {
        std::string answer;
        const char* status;
    } hostile[] = {
        {Post(R"({"channel": 47})", "http://evil.example"), "403 "},
        {Post(R"({"channel": 47})", "", "Sec-Fetch-Site: cross-site\r\n"), "403 "},
        {Post(R"({"channel": 47})", "null"), "403 "},
        {Web("POST", "/api/settings", "Host: evil.example\r\nContent-Type: application/json\r\n",
             R"({"channel": 47})"),
         "421 "},
        {Web("GET", "/api/state", "Host: 127.0.0.1.evil.example\r\n"), "421 "},
        {Post(R"({"channel": 47, "pad": ")" + std::string(2000, 'x') + "\"}", origin), "413 "},
        {Post(R"({"channel": 47;OUTP ON})", origin), "400 "},
        {Post(R"({"channel": "47;OUTP ON"})", origin), "400 "},
        {Web("POST", "/api/settings", "Content-Type: text/plain\r\n", R"({"channel": 47})"),
         "415 "},
        {Web("POST", "/api/settings", "Transfer-Encoding: chunked\r\n", "0\r\n\r\n"), "400 "},
        {Web("GET", "/api/settings"), "405 "},
        {Web("GET", "/../etc/passwd"), "404 "},
    };
    for (const auto& [answer, status] : hostile) {
        EXPECT_EQ(answer.substr(0, 13), std::string("HTTP/1.1 ") + status) << answer;
    }
    EXPECT_NE(Received("set channel 46").find("set channel 46\n"), std::string::npos);
    EXPECT_EQ(m_module.Output().find("channel 47"), std::string::npos) << m_module.Output();
    EXPECT_EQ(Post(R"({"channel": 1})", origin).substr(0, 15), "HTTP/1.1 200 OK");
    // Rude clients leave it responsive, and its memory flat over many connections.
    Socket keeper(port);
    ASSERT_EQ(keeper.Ask("*OPC?"), "1");
    {
        Socket halfLine(port);
        halfLine.Send("SOUR:CHAN 1");  // and vanishes
        Socket binary(port);
        binary.Send(std::string("\0\xff\xfe\x80 *OPC?\x01\n", 12) + std::string(9000, '\x7f'));
        Socket neverReads(port, nullptr, 4096);
        std::string flood;
        for (int i = 0; i < 4000; ++i) {
            flood += "*IDN?;*IDN?;*IDN?\n";
        }
        for (int i = 0; i < 20 && neverReads.Send(flood); ++i) {
        }
    }
    EXPECT_EQ(keeper.Ask("*IDN?").substr(0, 7), "Varnel,");
    long before = 0;
    for (int i = 0; i < 2000; ++i) {
        Socket cycle(i % 2 == 0 ? port : m_webPort);  // the web door's with half a request
        ASSERT_TRUE(cycle.Connected()) << i;
        cycle.Send(i % 2 == 0 ? "" : "GET /api/state HTTP/1.1\r\nHost: 127");
        cycle.ResetOnClose();
        before = i == 200 ? RssKb(m_server.Pid()) : before;
    }
    // Under AddressSanitizer freed blocks stay resident in its quarantine: only the plain
    // build's figure says whether the server keeps what its clients leave behind.
    if (!kAddressSanitizer) {
        EXPECT_LT(RssKb(m_server.Pid()) - before, 1024) << "kB more after 1800 connections";
    }
    EXPECT_EQ(keeper.Ask("SYST:ERR?;:CHAN?"), "0,\"No error\";1");
    Socket late(port);
    EXPECT_EQ(late.Ask("*OPC?"), "1");
    // A pulled module gives "hardware missing" until it is back.
    Socket client(port);
    ASSERT_EQ(client.Ask("CHAN?"), "1");
    m_module.Stop();  // the module ends and its port goes away, as a pulled adapter
    EXPECT_EQ(client.Ask("CHAN?;*OPC?\n*IDN?").substr(0, 6), "Varnel");
    EXPECT_EQ(client.Ask("SYST:ERR?").substr(0, 24), "-241,\"Hardware missing;C");
    EXPECT_EQ(client.Ask("OUTP ON;*OPC?\nSYST:ERR?").substr(0, 5), "-241,");
    StartModuleAgain();
    EXPECT_EQ(client.Ask("CHAN 3;*OPC?"), "1");
    EXPECT_EQ(client.Ask("CHAN?;:SYST:ERR?"), "3;0,\"No error\"");
    if (m_vxi11) {
        // A module that never answers: the VXI-11 client times out, it does not hang.
        m_module.Stop();
        StartModuleAgain({"--silent"});
        EXPECT_EQ(Visa(R"(
i = rm.open_resource('TCPIP::127.0.0.1::INSTR', timeout=1000)
for query in ('CHAN?', 'POW?'):
    try:
        print(i.query(query))
    except pyvisa.errors.VisaIOError as e:
        print(e.error_code == pyvisa.constants.StatusCode.error_timeout)
)"),
                  "True\nTrue\n");
    }
    const std::string log = StopServer();
    EXPECT_NE(log.find(" 127.0.0.1:"), std::string::npos) << log;
    EXPECT_NE(log.find(" SOUR:CHAN 12\n"), std::string::npos) << log;
    EXPECT_NE(log.find(" CHAN 46\n"), std::string::npos) << log;  // from the page
    EXPECT_EQ(log.find("IDN"), std::string::npos) << "queries are not logged: " << log;
    EXPECT_NE(log.find("COM200 went away"), std::string::npos) << log;
    if (!m_vxi11) {
        GTEST_SKIP() << "VXI-11 not tested: " << isolated;  // CI runs as root
    }
}

TEST_F(ScpiServe, SecurityLimits) {
    // Beyond loopback only with --allow, and the refusal says why.
    const std::string refused = Run(VARNEL_CTL_PATH, {"serve", "COM200", "--listen", "0.0.0.0:0"});
    EXPECT_NE(refused.find("--allow"), std::string::npos) << refused;

    // On both families; an IPv4 client is judged by its IPv4 address. Every door keeps the
    // outsider out without a byte: the raw socket, the VXI-11 core channel, the portmapper.
    const std::string isolated = PrivateNetwork();
    m_vxi11 = isolated.empty();
    const int port = Serve({"--listen", "[::]:0", "--allow", "127.0.0.1/32,::1/128,10.77.0.2",
                            "--max-clients", "2", "--read-only"});
    for (const int door : {port, m_corePort, m_vxi11 ? 111 : 0, m_webPort}) {
        if (door != 0) {
            EXPECT_EQ(Socket(door, "127.0.0.2").Ask("*IDN?"), "<closed>") << door;
        }
    }
    EXPECT_EQ(Web("GET", "/", {}, {}, "127.0.0.2"), "<closed>");
    const std::string readOnly = Post(R"({"output": true})", {});
    EXPECT_NE(readOnly.find("403 Forbidden"), std::string::npos) << readOnly;
    if (m_vxi11) {
        // lxi discover from a second network, joined by a veth pair, finds it by broadcast.
        testkit::Process other;  // holds the second network while it is used
        ASSERT_TRUE(other.Start("unshare", {"--net", "sh", "-c", "echo ready; exec cat"}) &&
                    other.WaitForLine("ready", kDeadlineMs));
        const QString there = "--net=/proc/" + QString::number(other.Pid()) + "/ns/net";
        const QString setup =
            "ip link add vA type veth peer name vB netns %1 && ip addr add 10.77.0.1/24 brd + "
            "dev vA && ip link set vA up && nsenter %2 sh -c 'ip addr add 10.77.0.2/24 brd + "
            "dev vB && ip link set vB up'";
        EXPECT_EQ(Run("sh", {"-c", setup.arg(other.Pid()).arg(there)}), "");
        const std::string found = Run("nsenter", {there, "lxi", "discover"});
        EXPECT_NE(found.find("Found \"Varnel,Laser module,0,"), std::string::npos) << found;
        other.Stop();  // the pair goes with its network
        // A second server (a second module) keeps its raw socket and leaves VXI-11 to this one.
        testkit::Process module;
        testkit::Process second;
        std::string error;
        ASSERT_TRUE(testkit::StartModule(module, VARNEL_MODULE_PATH, kCom + 1, {}, &error))
            << error;
        ASSERT_TRUE(second.Start(VARNEL_CTL_PATH, {"serve", "COM201", "--listen", "127.0.0.1:0"}));
        EXPECT_TRUE(second.WaitForLine("serving", kDeadlineMs)) << second.Errors();
        second.Signal(SIGTERM);
        EXPECT_EQ(second.Wait(kDeadlineMs), 0);
        EXPECT_NE(second.Errors().find("VXI-11 is held by the server on port " +
                                       std::to_string(m_corePort)),
                  std::string::npos)
            << second.Errors();
        bool outsiderAnswered = true;
        EXPECT_EQ(AskPortmapper("127.0.0.2", outsiderAnswered), m_corePort);
        EXPECT_FALSE(outsiderAnswered);
        EXPECT_EQ(Visa(R"(
i = rm.open_resource('TCPIP::127.0.0.1::INSTR', timeout=5000)
i.write('CHAN 5')
print(i.query('SYST:ERR?'), end='')
)"),
                  "-203,\"Command protected\"\n");
    }
    EXPECT_EQ(Socket(port, "::1").Ask("*IDN?").substr(0, 7), "Varnel,");
    {
        Socket halfClosed(port);  // its query is the module's already: it still gets the answer
        ASSERT_TRUE(halfClosed.Send("CHAN?;*OPC?\n"));
        halfClosed.EndInput();
        EXPECT_EQ(halfClosed.Line(), "1;1");
        EXPECT_TRUE(m_module.WaitForLine("query channel", kDeadlineMs));  // its, not first's
    }
    Socket first(port);
    Socket second(port);
    EXPECT_EQ(first.Ask("*OPC?"), "1");
    EXPECT_EQ(second.Ask("*OPC?"), "1");
    {
        Socket third(port);
        EXPECT_EQ(third.Ask("*OPC?"), "<closed>");  // refused at once, not left waiting
    }
    if (m_vxi11) {  // a link counts as a client
        EXPECT_EQ(Visa(R"(
try:
    rm.open_resource('TCPIP::127.0.0.1::INSTR', timeout=5000)
    print('opened')
except Exception:
    print('refused')
)"),
                  "refused\n");
    }
    // Read-only: the query reaches the module, the setting and *RST never do.
    EXPECT_EQ(first.Ask("CHAN 5\n*RST\nCHAN?;:SYST:ERR?;ERR?"),
              "1;-203,\"Command protected\";-203,\"Command protected\"");
    EXPECT_EQ(Received("query channel"),
              "01 00 01 00 00 02 query channel\n01 00 01 00 00 02 query channel\n");
    StopServer();
    // Where rpcbind runs (its files on a /run of its own), the server registers with it,
    // replaces what a killed server left, and withdraws on exit.
    testkit::Process rpcbind;
    if (!m_vxi11 || Run("sh", {"-c", "command -v rpcbind"}).empty() ||
        !rpcbind.Start("unshare",
                       {"--mount", "sh", "-c", "mount -t tmpfs tmpfs /run && exec rpcbind -f"})) {
        GTEST_SKIP() << "VXI-11 with rpcbind not tested: "
                     << (m_vxi11 ? "rpcbind is not installed" : isolated);
    }
    bool unused = false;
    int registered = -1;
    for (QDeadlineTimer deadline(kDeadlineMs);
         registered < 0 && !deadline.hasExpired() && !rpcbind.Exited();) {
        registered = AskPortmapper("127.0.0.3", unused, 100);
    }
    ASSERT_EQ(registered, 0) << rpcbind.Errors();
    Serve({});
    EXPECT_EQ(AskPortmapper("127.0.0.3", unused), m_corePort);
    m_server.Signal(SIGKILL);
    m_server.Wait(kDeadlineMs);
    EXPECT_EQ(AskPortmapper("127.0.0.3", unused), m_corePort);  // left behind
    Serve({});
    EXPECT_EQ(AskPortmapper("127.0.0.3", unused), m_corePort);
    EXPECT_EQ(Visa("print(rm.open_resource('TCPIP::127.0.0.1::INSTR').query('*IDN?')[:7])"),
              "Varnel,\n");
    StopServer();
    EXPECT_EQ(AskPortmapper("127.0.0.3", unused), 0);
    rpcbind.Signal(SIGTERM);
    rpcbind.Stop();
}

// Under a slow module (a channel change takes 1.5 s): clients that leave take their queued
// requests with them and free their places at once, a client waiting for its answer is not
// idle, and a process out of descriptors rests from accepting instead of spinning.
TEST_F(ScpiServe, LeaversWaitersAndNoDescriptors) {
    m_module.Stop();
    StartModuleAgain({"--tune-delay", "1500"});
    const int port = Serve({"--idle-timeout", "1", "--max-clients", "3"});
    ASSERT_NE(port, 0);
    // A first answer while descriptors are free: UndefinedBehaviorSanitizer checks a type the
    // first time through a pipe of its own, and would take a full table for a fault.
    auto waiter = std::make_unique<Socket>(port);
    ASSERT_EQ(waiter->Ask("*IDN?").substr(0, 7), "Varnel,");
    rlimit unlimited{};
    ASSERT_TRUE(LimitDescriptors(m_server.Pid(), 2, unlimited));  // the waiter's and two more
    ASSERT_TRUE(waiter->Send("CHAN 45;*OPC?\n"));
    // Each asks the module and leaves before it is its turn: half reset, half close.
    for (int i = 0; i < 60; ++i) {
        Socket leaver(port);
        if (i % 2 == 0) {
            leaver.ResetOnClose();
        }
        ASSERT_EQ(leaver.Ask(i % 2 == 0 ? "*IDN?\nCHAN 46" : "*IDN?\nCHAN?").substr(0, 7),
                  "Varnel,")
            << "refused after " << i << " leavers: " << m_server.Errors();
    }
    EXPECT_EQ(waiter->Line(), "1");  // 1.5 s without a byte, past the idle timeout
    Socket other(port);
    EXPECT_EQ(other.Ask("CHAN?"), "45");  // nothing of the leavers' was left to wait for
    waiter.reset();
    // Out of descriptors, while every client waits for the module: a newcomer stays queued,
    // and the loop does not spin.
    std::unique_ptr<Socket> queued;
    {
        Socket second(port);
        Socket third(port);
        ASSERT_EQ(second.Ask("*OPC?"), "1");
        ASSERT_EQ(third.Ask("*OPC?"), "1");
        queued = std::make_unique<Socket>(port);
        const long before = CpuTicks(m_server.Pid());
        for (Socket* client : {&other, &second, &third}) {
            ASSERT_TRUE(client->Send("CHAN 44;*OPC?\n"));
        }
        EXPECT_EQ(other.Line(), "1");
        const long ticks = CpuTicks(m_server.Pid()) - before;
        EXPECT_LT(ticks, ::sysconf(_SC_CLK_TCK) / 10)
            << "processor time while out of descriptors for 1.5 s";
    }
    EXPECT_EQ(queued->Ask("*OPC?"), "1");  // taken once the leavers made room
    // Room again before it ends, where the sanitizer checks the doors' types through pipes.
    ASSERT_EQ(::prlimit(static_cast<pid_t>(m_server.Pid()), RLIMIT_NOFILE, &unlimited, nullptr), 0);
    const std::string rx = Received("query channel");
    EXPECT_EQ(rx.find("channel 46"), std::string::npos) << rx;
    EXPECT_EQ(rx.find("query channel"), rx.rfind("query channel")) << rx;
    const std::string log = StopServer();
    std::size_t dropped = 0;
    for (std::size_t at = 0; (at = log.find("not sent: CHAN 46\n", at)) != std::string::npos;
         ++at) {
        ++dropped;
    }
    EXPECT_EQ(dropped, 30u) << log;
}

}  // namespace

// The varnel program holds the port: the server goes through its control socket, so the module
// gets the panel's frames and the panel's readouts show what the client set.
TEST_F(ScpiServe, ThroughARunningPanelItsReadoutsFollow) {
    QTemporaryDir runtime;  // the panel's control socket where no other panel's is
    const QByteArray oldRuntime = qgetenv("XDG_RUNTIME_DIR");
    qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
    testkit::PanelProgram panel;
    std::string error;
    ASSERT_TRUE(testkit::HideFixedPorts(m_ports.Path()));
    ASSERT_TRUE(panel.Start(VARNEL_PATH, error)) << error;
    ASSERT_TRUE(panel.PressSpace());  // OpenPort has the focus, the module's port is item 0
    std::string shown;
    for (QDeadlineTimer deadline(kDeadlineMs);
         shown.find(" synced") == std::string::npos && !deadline.hasExpired();
         QThread::msleep(50)) {
        shown = Run(VARNEL_CTL_PATH, {"panels"});  // once it holds the port and read the module
    }
    ASSERT_NE(shown.find("COM200  "), std::string::npos) << shown << panel.Stop();

    const int port = Serve({});
    EXPECT_NE(m_serving.find("through the panel"), std::string::npos) << m_serving;
    Socket client(port);
    EXPECT_EQ(client.Ask("CHAN 12;POW 9.5;:OUTP ON;*OPC?"), "1");
    EXPECT_EQ(client.Ask("CHAN?;POW?;:OUTP?;:SYST:ERR?"), "12;9.50;1;0,\"No error\"");
    const std::string rx = Received("set output on");
    for (const char* frame : {"set channel 12\n", "set power 9.50 dBm\n", "set output on\n"}) {
        EXPECT_NE(rx.find(frame), std::string::npos) << frame << " in\n" << rx;
    }
    shown = Run(VARNEL_CTL_PATH, {"COM" + QString::number(kCom), "get"});
    for (const char* readout : {"channel 12 ", "power 9.50 dBm", "output on"}) {
        EXPECT_NE(shown.find(readout), std::string::npos) << readout << " in\n" << shown;
    }
    StopServer();
    panel.Stop();
    qputenv("XDG_RUNTIME_DIR", oldRuntime);
}

// --announce publishes through Avahi, never from loopback. The daemons are the test's own: a
// private message bus (as the system bus of every client here) and avahi-daemon on it.
TEST_F(ScpiServe, AnnouncedThroughAvahiOnlyBeyondLoopback) {
    QTemporaryDir folder;
    const QString bus = folder.filePath("bus");
    QFile config(folder.filePath("bus.conf"));
    ASSERT_TRUE(config.open(QIODevice::WriteOnly));
    config.write(("<busconfig><type>system</type><listen>unix:path=" + bus +
                  "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow user=\"*\"/>"
                  "<allow own=\"*\"/><allow send_destination=\"*\"/>"
                  "<allow receive_sender=\"*\"/></policy></busconfig>")
                     .toUtf8());
    config.close();
    const QByteArray oldBus = qgetenv("DBUS_SYSTEM_BUS_ADDRESS");
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + bus.toUtf8());
    testkit::Process dbus;
    testkit::Process avahi;
    std::string browse = "Failed to start dbus-daemon and avahi-daemon";
    if (dbus.Start("dbus-daemon", {"--nofork", "--print-address",
                                   "--config-file=" + config.fileName().toStdString()}) &&
        dbus.WaitForLine("unix:", kDeadlineMs) &&
        avahi.Start("avahi-daemon", {"--no-drop-root", "--no-chroot", "--no-rlimits"})) {
        for (QDeadlineTimer deadline(kDeadlineMs);
             browse.find("ailed") != std::string::npos && !deadline.hasExpired() && !avahi.Exited();
             QThread::msleep(100)) {
            browse = Run("avahi-browse", {"-tp", "_scpi-raw._tcp"});  // "Failed ..." till it runs
        }
    }
    if (browse.find("ailed") != std::string::npos) {
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", oldBus);
        GTEST_SKIP() << "cannot start a private avahi-daemon here (another may run, or it is not "
                        "installed), so --announce is not tested: "
                     << browse << (avahi.Stop(1000), avahi.Errors());
    }
    Serve({"--announce"});
    EXPECT_NE(StopServer().find("not announced: listening on loopback only"), std::string::npos);
    m_server.Start(VARNEL_CTL_PATH,
                   {"serve", "COM" + std::to_string(kCom), "--listen", "0.0.0.0:0", "--allow",
                    "127.0.0.1/32", "--announce", "--no-vxi11", "--http", "0"});
    const std::optional<std::string> serving = m_server.WaitForLine("serving", kDeadlineMs);
    ASSERT_TRUE(serving) << (m_server.Stop(1000), m_server.Errors());
    std::string port = serving->substr(serving->rfind(':') + 1);
    while (!port.empty() && std::isspace(static_cast<unsigned char>(port.back()))) {
        port.pop_back();
    }
    for (QDeadlineTimer deadline(kDeadlineMs);
         browse.find("Varnel\\032laser\\032on\\032COM200;_scpi-raw._tcp;local;") ==
             std::string::npos &&
         !deadline.hasExpired();) {
        browse = Run("avahi-browse", {"-rtp", "_scpi-raw._tcp"});
    }
    EXPECT_NE(browse.find("127.0.0.1;" + port + ";"), std::string::npos) << browse;
    // The web page as an LXI instrument's and as any web server's, in the same group.
    const std::optional<std::string> web = m_server.WaitForLine("web page on", kDeadlineMs);
    ASSERT_TRUE(web);
    const std::string webPort = web->substr(web->rfind(':') + 1, web->size() - web->rfind(':') - 2);
    for (const QString type : {"_lxi._tcp", "_http._tcp"}) {
        const std::string found = Run("avahi-browse", {"-rtpk", type});  // -k: types as sent
        EXPECT_NE(found.find(";" + type.toStdString() + ";local;"), std::string::npos) << found;
        EXPECT_NE(found.find("127.0.0.1;" + webPort + ";"), std::string::npos) << found;
    }
    StopServer();
    for (testkit::Process* daemon : {&avahi, &dbus}) {
        daemon->Signal(SIGTERM);
        daemon->Stop();
    }
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", oldBus);
}
