// varnel-ctl serve as a process against varnel-module on a pty, driven by the clients labs use
// (PyVISA with its pure-Python backend, lxi-tools) and by raw sockets for the security limits.
// The port is COM200: beyond the fixed table, so with the module gone it names no device.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QByteArray>
#include <QStringList>
#include <cctype>
#include <chrono>
#include <fstream>
#include <string>

#include "PortFolder.h"
#include "Process.h"

namespace {

constexpr int kCom = 200;
constexpr int kDeadlineMs = 15000;  // only a hung program ever waits this long

// A raw TCP client, optionally from another loopback address.
class Socket {
public:
    explicit Socket(int port, const char* from = nullptr, int receiveBuffer = 0) {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in where{};
        where.sin_family = AF_INET;
        if (from != nullptr) {
            ::inet_pton(AF_INET, from, &where.sin_addr);
            ::bind(m_fd, reinterpret_cast<sockaddr*>(&where), sizeof where);
        }
        if (receiveBuffer > 0) {
            ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        }
        ::inet_pton(AF_INET, "127.0.0.1", &where.sin_addr);
        where.sin_port = htons(static_cast<std::uint16_t>(port));
        m_connected = ::connect(m_fd, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0;
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

private:
    int m_fd = -1;
    bool m_connected = false;
    std::string m_in;
};

long RssKb(qint64 pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return -1;
}

class ScpiServe : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_ports.Ok());
        StartModuleAgain();
    }

    void StartModuleAgain() {
        std::string error;
        ASSERT_TRUE(testkit::StartModule(m_module, VARNEL_MODULE_PATH, kCom, {"--log"}, &error))
            << error;
    }

    static std::vector<std::string> Strings(const QStringList& list) {
        std::vector<std::string> strings;
        for (const QString& s : list) {
            strings.push_back(s.toStdString());
        }
        return strings;
    }

    // Starts the server with `args`; the TCP port it listens on.
    int Serve(QStringList args) {
        m_server.Start(VARNEL_CTL_PATH, Strings(QStringList{"serve", "COM" + QString::number(kCom),
                                                            "--listen", "127.0.0.1:0"} +
                                                args));
        const std::optional<std::string> line = m_server.WaitForLine("serving", kDeadlineMs);
        if (!line) {
            m_server.Stop(1000);
            ADD_FAILURE() << "no server: " << m_server.Errors();
            return 0;
        }
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
        EXPECT_EQ(m_server.Wait(kDeadlineMs), 0);
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

    testkit::PortFolder m_ports{false};
    testkit::Process m_module;
    testkit::Process m_server;
};

TEST_F(ScpiServe, LabClientsSetAndReadTheModuleAndRefusedValuesSendNothing) {
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
    const std::string log = StopServer();
    EXPECT_NE(log.find(" 127.0.0.1:"), std::string::npos) << log;
    EXPECT_NE(log.find(" SOUR:CHAN 12\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("IDN"), std::string::npos) << "queries are not logged: " << log;
}

TEST_F(ScpiServe, PulledModuleGivesHardwareMissingUntilItIsBack) {
    const int port = Serve({});
    Socket client(port);
    ASSERT_EQ(client.Ask("CHAN?"), "1");
    m_module.Stop();  // the module ends and its port goes away, as a pulled adapter
    EXPECT_EQ(client.Ask("CHAN?;*OPC?\n*IDN?").substr(0, 6), "Varnel");
    EXPECT_EQ(client.Ask("SYST:ERR?").substr(0, 24), "-241,\"Hardware missing;C");
    EXPECT_EQ(client.Ask("OUTP ON;*OPC?\nSYST:ERR?").substr(0, 5), "-241,");
    StartModuleAgain();
    EXPECT_EQ(client.Ask("CHAN 3;*OPC?"), "1");
    EXPECT_EQ(client.Ask("CHAN?;:SYST:ERR?"), "3;0,\"No error\"");
    const std::string log = StopServer();
    EXPECT_NE(log.find("COM200 went away"), std::string::npos) << log;
}

TEST_F(ScpiServe, SecurityLimits) {
    // Beyond loopback only with --allow, and the refusal says why.
    const std::string refused = Run(VARNEL_CTL_PATH, {"serve", "COM200", "--listen", "0.0.0.0:0"});
    EXPECT_NE(refused.find("--allow"), std::string::npos) << refused;

    const int port = Serve({"--allow", "127.0.0.1/32", "--max-clients", "2", "--read-only"});
    Socket outsider(port, "127.0.0.2");
    EXPECT_EQ(outsider.Ask("*IDN?"), "<closed>");  // reset without a byte
    Socket first(port);
    Socket second(port);
    EXPECT_EQ(first.Ask("*OPC?"), "1");
    EXPECT_EQ(second.Ask("*OPC?"), "1");
    {
        Socket third(port);
        EXPECT_EQ(third.Ask("*OPC?"), "<closed>");  // refused at once, not left waiting
    }
    // Read-only: the query reaches the module, the setting and *RST never do.
    EXPECT_EQ(first.Ask("CHAN 5\n*RST\nCHAN?;:SYST:ERR?;ERR?"),
              "1;-203,\"Command protected\";-203,\"Command protected\"");
    EXPECT_EQ(Received("query channel"), "01 00 01 00 00 02 query channel\n");
    StopServer();
}

TEST_F(ScpiServe, StaysResponsiveAndFlatUnderAbuse) {
    const int port = Serve({});
    Socket keeper(port);
    ASSERT_EQ(keeper.Ask("*OPC?"), "1");
    {
        Socket halfLine(port);
        halfLine.Send("SOUR:CHAN 1");  // and vanishes
        Socket binary(port);
        binary.Send(std::string("\0\xff\xfe\x80 *IDN?\x01\n", 12) + std::string(9000, '\x7f'));
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
        Socket cycle(port);
        ASSERT_TRUE(cycle.Connected()) << i;
        cycle.ResetOnClose();
        before = i == 200 ? RssKb(m_server.Pid()) : before;
    }
    EXPECT_LT(RssKb(m_server.Pid()) - before, 1024) << "kB more after 1800 connections";
    EXPECT_EQ(keeper.Ask("SYST:ERR?;:CHAN?"), "0,\"No error\";1");
    Socket late(port);
    EXPECT_EQ(late.Ask("*OPC?"), "1");
    StopServer();
}

}  // namespace
