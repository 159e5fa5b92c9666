// The control socket's folder and path: never follows, opens or removes what is not ours. And
// the connection pump its clients (and serve's) run on, on such a socket.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "ConnectionPump.h"
#include "ControlSocketPath.h"

namespace fs = std::filesystem;

namespace {

class ControlSocketPathTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/varnel-control-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        m_root = pattern;
        m_folder = m_root / "varnel";
        std::string error;
        ASSERT_TRUE(PrepareControlFolder(m_folder, error)) << error;
    }
    void TearDown() override { fs::remove_all(m_root); }

    fs::path m_root;
    fs::path m_folder;
};

TEST_F(ControlSocketPathTest, OnlyAFolderOfOursIsUsedAndMadePrivate) {
    struct stat st {};
    ASSERT_EQ(::stat(m_folder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    // Ours but open to others: closed, then used.
    fs::create_directory(m_root / "open");
    fs::permissions(m_root / "open", fs::perms(0755));
    std::string error;
    EXPECT_TRUE(PrepareControlFolder(m_root / "open", error)) << error;
    ASSERT_EQ(::stat((m_root / "open").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    fs::create_directory_symlink(m_folder, m_root / "link");
    std::ofstream(m_root / "file") << "x";
    for (const char* name : {"link", "file"}) {
        SCOPED_TRACE(name);
        std::string error;
        EXPECT_FALSE(PrepareControlFolder(m_root / name, error));
        EXPECT_FALSE(error.empty());
    }
    EXPECT_TRUE(fs::is_symlink(m_root / "link")) << "left alone";
}

TEST_F(ControlSocketPathTest, WhatSitsAtTheSocketPathIsNeverFollowedOrRemoved) {
    const fs::path target = m_root / "target";
    std::ofstream(target) << "keep\n";
    const fs::path path = m_folder / "panel-1.sock";
    const struct {
        const char* name;
        void (*make)(const fs::path& path, const fs::path& target);
    } rows[] = {
        // clang-format off
        {"plain file", [](const fs::path& p, const fs::path&) { std::ofstream(p) << "keep\n"; }},
        {"symlink to a file", [](const fs::path& p, const fs::path& t) { fs::create_symlink(t, p); }},
        {"dangling symlink", [](const fs::path& p, const fs::path& t) { fs::create_symlink(t.string() + "-no", p); }},
        {"folder", [](const fs::path& p, const fs::path&) { fs::create_directory(p); }},
        // clang-format on
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        row.make(path, target);
        const auto type = fs::symlink_status(path).type();
        std::string error;
        EXPECT_EQ(ListenControlSocket(path, error), -1);
        EXPECT_NE(error.find("left alone"), std::string::npos) << error;
        EXPECT_EQ(fs::symlink_status(path).type(), type) << "still there, as it was";
        EXPECT_EQ(ConnectControlSocket(path), -1);
        fs::remove(path);
    }
    std::ifstream in(target);
    std::string text;
    std::getline(in, text);
    EXPECT_EQ(text, "keep");
}

TEST_F(ControlSocketPathTest, AStaleSocketIsReplacedALiveOneIsNot) {
    const std::string path = m_folder / "panel-2.sock";
    std::string error;
    const int first = ListenControlSocket(path, error);
    ASSERT_GE(first, 0) << error;
    struct stat st {};
    ASSERT_EQ(::lstat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(ListenControlSocket(path, error), -1) << "someone listens";
    EXPECT_NE(error.find("in use"), std::string::npos) << error;
    EXPECT_EQ(ListControlSockets(m_folder), std::vector<std::string>{path});

    const int client = ConnectControlSocket(path);
    ASSERT_GE(client, 0);
    EXPECT_TRUE(PeerIsThisUser(client));
    ::close(client);

    ::close(first);  // a crash: the socket file stays, nobody listens
    const int second = ListenControlSocket(path, error);
    EXPECT_GE(second, 0) << error;
    RemoveStaleControlSockets(m_folder);
    EXPECT_EQ(ListControlSockets(m_folder).size(), 1u) << "a live one stays";
    ::close(second);
    RemoveStaleControlSockets(m_folder);
    EXPECT_TRUE(ListControlSockets(m_folder).empty());
}

// Another user is refused even where the file modes would let it in. Needs root, to run the
// client as another user.
TEST_F(ControlSocketPathTest, AnotherUsersConnectionIsToldApart) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "only root can connect as another user";
    }
    const fs::path open = m_root / "open-to-all";
    fs::create_directory(open);
    fs::permissions(m_root, fs::perms(0755));
    fs::permissions(open, fs::perms(0777));
    const std::string path = open / "panel-3.sock";
    std::string error;
    const int listener = ListenControlSocket(path, error);
    ASSERT_GE(listener, 0) << error;
    ::chmod(path.c_str(), 0777);
    const pid_t child = ::fork();
    if (child == 0) {
        // nobody connects and leaves: the kernel keeps the credentials of the connect.
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        const bool nobody = ::setgid(65534) == 0 && ::setuid(65534) == 0;
        ::_exit(nobody && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0
                    ? 0
                    : 1);
    }
    ASSERT_GT(child, 0);
    pollfd ready{listener, POLLIN, 0};
    ASSERT_EQ(::poll(&ready, 1, 10000), 1);
    const int fd = ::accept(listener, nullptr, nullptr);
    ASSERT_GE(fd, 0);
    EXPECT_FALSE(PeerIsThisUser(fd));
    ::close(fd);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the child could connect";
    ::close(listener);
}

// A door whose clients echo each line; "flood" answers 1 MiB, "last" ends every client.
class EchoDoor final : public net::Door {
public:
    explicit EchoDoor(net::ConnectionPump& pump) : m_pump(pump) {}
    bool Admits(int, const net::Peer&) override { return true; }
    std::unique_ptr<net::ClientHandler> Open(net::ClientId id, const net::Peer&) override {
        struct Echo final : net::ClientHandler {
            EchoDoor& door;
            net::ClientId id;
            Echo(EchoDoor& door, net::ClientId id) : door(door), id(id) {}
            void Received(std::string_view bytes) override { door.Line(id, bytes); }
            bool Reading() const override { return true; }
            void Left() override { ++door.left; }
        };
        return std::make_unique<Echo>(*this, id);
    }
    void Line(net::ClientId id, std::string_view bytes) {
        m_pump.Write(id, bytes == "flood\n" ? std::string(1 << 20, 'x') : std::string(bytes));
        if (bytes == "last\n") {
            m_pump.CloseAll();
        }
    }
    int left = 0;

private:
    net::ConnectionPump& m_pump;
};

// What client `fd` gets, up to `want` bytes or its end, within a bounded wait, the pump
// stepping meanwhile; `ended` says whether the connection ended.
std::string Collect(net::ConnectionPump& pump, int fd, std::size_t want, bool& ended) {
    std::string got;
    ended = false;
    for (int round = 0; round < 100 && !ended && got.size() < want; ++round) {
        pump.Step(50);
        char buffer[4096];
        ssize_t count = 0;
        while ((count = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0) {
            got.append(buffer, static_cast<std::size_t>(count));
        }
        ended = count == 0 || (count < 0 && errno != EAGAIN);
    }
    return got;
}

// The limit refuses a newcomer without a byte, yet one that left makes room in the same round;
// a client that does not read is let go; ending every client within a step still delivers
// their last line and tells none of them.
TEST_F(ControlSocketPathTest, ThePumpHoldsItsLimits) {
    const std::string path = m_folder / "panel-4.sock";
    std::string error;
    const int listener = ListenControlSocket(path, error);
    ASSERT_GE(listener, 0) << error;
    net::ConnectionPump pump({2, 0});
    EchoDoor door(pump);
    pump.AddDoor(listener, door);
    bool ended = false;
    const int a = ConnectControlSocket(path);
    const int b = ConnectControlSocket(path);
    ASSERT_EQ(::send(b, "hi\n", 3, 0), 3);
    EXPECT_EQ(Collect(pump, b, 3, ended), "hi\n");
    const int over = ConnectControlSocket(path);
    EXPECT_EQ(Collect(pump, over, 1, ended), "");
    EXPECT_TRUE(ended) << "refused";
    ::close(a);
    const int c = ConnectControlSocket(path);
    ASSERT_EQ(::send(c, "in\n", 3, 0), 3);
    EXPECT_EQ(Collect(pump, c, 3, ended), "in\n") << "a's place was free";
    EXPECT_EQ(door.left, 1);

    ASSERT_EQ(::send(c, "flood\n", 6, 0), 6);
    for (int round = 0; round < 100 && pump.ClientCount() > 1; ++round) {
        pump.Step(50);
    }
    EXPECT_EQ(pump.ClientCount(), 1u) << "c, which does not read, is gone";
    EXPECT_EQ(door.left, 2);
    ASSERT_EQ(::send(b, "last\n", 5, 0), 5);
    EXPECT_EQ(Collect(pump, b, 99, ended), "last\n");
    EXPECT_TRUE(ended);
    EXPECT_EQ(door.left, 2) << "not told";
    for (const int fd : {b, c, over, listener}) {
        ::close(fd);
    }
}

}  // namespace
