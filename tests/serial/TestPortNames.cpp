// The COM-port namespace on a private folder of entries pointing at real pseudo-terminals.
#include "PortNames.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// Sets or clears an environment variable for one test and puts the old value back.
class EnvGuard {
public:
    EnvGuard(const char* name, const std::optional<std::string>& value) : m_name(name) {
        if (const char* old = std::getenv(name)) {
            m_old = old;
        }
        Set(value);
    }
    ~EnvGuard() { Set(m_old); }

private:
    void Set(const std::optional<std::string>& value) {
        if (value) {
            ::setenv(m_name, value->c_str(), 1);
        } else {
            ::unsetenv(m_name);
        }
    }
    const char* m_name;
    std::optional<std::string> m_old;
};

// A pty master whose slave stays available for as long as the object lives.
class Pty {
public:
    Pty() : m_fd(::posix_openpt(O_RDWR | O_NOCTTY)) {
        EXPECT_GE(m_fd, 0);
        EXPECT_EQ(::grantpt(m_fd), 0);
        EXPECT_EQ(::unlockpt(m_fd), 0);
    }
    ~Pty() { ::close(m_fd); }
    std::string Slave() const { return ::ptsname(m_fd); }

private:
    int m_fd;
};

class PortNamesTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/varnel-portnames-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        m_dir = pattern;
        m_env.emplace("VARNEL_PORTS", m_dir.string());
    }
    void TearDown() override {
        m_env.reset();
        fs::remove_all(m_dir);
    }
    void Link(int com, const fs::path& target) {
        fs::create_symlink(target, m_dir / PortDisplayName(com));
    }

    fs::path m_dir;
    std::optional<EnvGuard> m_env;
};

TEST_F(PortNamesTest, FolderEntryResolvesAndProbes) {
    Pty a, b, c;
    const fs::path regular = m_dir / "plain.txt";
    std::ofstream(regular) << "not a tty";
    Link(3, a.Slave());
    Link(4, "/nonexistent/ttyUSB9");
    Link(5, regular);
    std::ofstream(m_dir / "COM6") << "an entry that is no link";
    Link(7, "/dev/null");
    Link(8, "/dev/ptmx");
    Link(9, b.Slave());
    Link(10, c.Slave());
    Link(2, "/nonexistent/ttyS1");  // a dangling entry hides the table's ttyS1

    struct Row {
        const char* name;
        int com;
        bool exists;
    };
    const Row rows[] = {
        {"pty slave", 3, true},
        {"dangling link", 4, false},
        {"regular file", 5, false},
        {"plain file entry", 6, false},
        {"not a tty", 7, false},
        {"pty multiplexer", 8, false},
        {"COM9 beside COM10", 9, true},
        {"COM10 not COM1", 10, true},
        {"dangling over table", 2, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(PortDevicePath(row.com), (m_dir / PortDisplayName(row.com)).string());
        EXPECT_EQ(PortExists(row.com), row.exists);
    }
    EXPECT_EQ(fs::read_symlink(PortDevicePath(10)), c.Slave());
}

TEST_F(PortNamesTest, FixedTableBehindTheFolder) {
    const std::pair<int, const char*> rows[] = {
        {1, "/dev/ttyS0"},
        {32, "/dev/ttyS31"},
        {33, "/dev/ttyUSB0"},
        {64, "/dev/ttyUSB31"},
        {65, "/dev/ttyACM0"},
        {96, "/dev/ttyACM31"},
        {97, ""},
        {254, ""},
        {0, ""},
        {255, ""},
        {-1, ""},
    };
    for (const auto& [com, path] : rows) {
        SCOPED_TRACE(com);
        EXPECT_EQ(PortDevicePath(com), path);
        if (*path == '\0') {
            EXPECT_FALSE(PortExists(com));
        }
    }
    EXPECT_EQ(PortEntryPath(255), "");
    EXPECT_EQ(PortDisplayName(17), "COM17");
}

TEST_F(PortNamesTest, FolderFromEnvironment) {
    const std::string uid = std::to_string(::getuid());
    struct Row {
        std::optional<std::string> ports, runtime;
        std::string folder;
    };
    const Row rows[] = {
        {"/srv/ports", "/run/user/7", "/srv/ports"},
        {"", "/run/user/7", "/run/user/7/varnel/ports"},
        {std::nullopt, std::nullopt, "/tmp/varnel-" + uid + "/ports"},
        {std::nullopt, "", "/tmp/varnel-" + uid + "/ports"},
    };
    for (const Row& row : rows) {
        EnvGuard ports("VARNEL_PORTS", row.ports);
        EnvGuard runtime("XDG_RUNTIME_DIR", row.runtime);
        EXPECT_EQ(PortFolder(), row.folder);
        EXPECT_EQ(PortEntryPath(12), row.folder + "/COM12");
    }
}

TEST_F(PortNamesTest, MakePortFolderCreatesParentsAndExplainsFailure) {
    std::string error;
    {
        EnvGuard ports("VARNEL_PORTS", (m_dir / "a/b/ports").string());
        ASSERT_TRUE(MakePortFolder(error)) << error;
        EXPECT_TRUE(fs::is_directory(m_dir / "a/b/ports"));
        EXPECT_TRUE(MakePortFolder(error)) << "an existing folder is fine";
    }
    std::ofstream(m_dir / "file") << "x";
    EnvGuard ports("VARNEL_PORTS", (m_dir / "file/ports").string());
    EXPECT_FALSE(MakePortFolder(error));
    EXPECT_NE(error.find((m_dir / "file/ports").string()), std::string::npos) << error;
}

TEST_F(PortNamesTest, LegacySerialWithoutUartDoesNotCount) {
    struct Row {
        const char* name;
        std::vector<std::pair<const char*, const char*>> files;
        bool lacks;
    };
    const Row rows[] = {
        {"type 0", {{"type", "0"}, {"port", "0x2F8"}}, true},
        {"16550A", {{"type", "4"}, {"port", "0x3F8"}, {"iomem_base", "0x0"}}, false},
        {"no address", {{"port", "0x0"}, {"iomem_base", "0x0"}}, true},
        {"memory mapped", {{"port", "0x0"}, {"iomem_base", "0xFE215040"}}, false},
        {"nothing known", {}, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const fs::path dir = m_dir / row.name;
        fs::create_directory(dir);
        for (const auto& [file, text] : row.files) {
            std::ofstream(dir / file) << text << "\n";
        }
        EXPECT_EQ(SysfsTtyLacksUart(dir.string()), row.lacks);
    }
    // The host's own placeholders, when it has any, must not be listed.
    for (int n = 0; n < 32; ++n) {
        const std::string sys = "/sys/class/tty/ttyS" + std::to_string(n);
        if (fs::exists(sys) && SysfsTtyLacksUart(sys)) {
            EXPECT_FALSE(PortExists(n + 1)) << sys;
        }
    }
}

}  // namespace
