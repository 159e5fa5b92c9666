// The COM-port namespace on a private folder of entries pointing at real pseudo-terminals.
#include "PortNames.h"
#include "PosixPortNames.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "PortFolder.h"
#include "Pty.h"

namespace fs = std::filesystem;

namespace {

void SetEnv(const char* name, const std::optional<std::string>& value) {
    (void)(value ? ::setenv(name, value->c_str(), 1) : ::unsetenv(name));
}

// COM3 is a pty published in $VARNEL_PORTS, the folder the tests fill; another pty is not.
class PortNamesTest : public ::testing::Test {
protected:
    void Link(int com, const fs::path& target) { fs::create_symlink(target, Entry(com)); }
    std::string Entry(int com) const { return m_folder.Entry(com); }

    testkit::PortFolder m_folder{false};
    testkit::Pty m_pty10;
    testkit::Pty m_pty3{3};
    fs::path m_dir = m_folder.Path();
};

TEST_F(PortNamesTest, FolderEntryFirstThenTheFixedTableAndOnlyLiveTerminalsExist) {
    std::ofstream(m_dir / "plain.txt") << "not a tty";
    Link(2, "/nonexistent/ttyS1");  // a dangling entry hides the table's device
    Link(4, "/nonexistent/ttyUSB9");
    Link(5, m_dir / "plain.txt");
    Link(7, "/dev/null");
    Link(8, "/dev/ptmx");
    Link(10, m_pty10.SlavePath());  // not to be taken for COM1
    Link(0, m_pty10.SlavePath());   // outside 1..254 even with an entry
    Link(255, m_pty10.SlavePath());
    fs::create_symlink(m_pty10.SlavePath(), m_dir / "COM011");  // not COM11's name
    const std::pair<int, bool> entries[] = {{2, false}, {3, true},  {4, false}, {5, false},
                                            {7, false}, {8, false}, {10, true}};
    for (const auto& [com, exists] : entries) {
        SCOPED_TRACE(com);
        EXPECT_EQ(PortDevicePath(com), Entry(com));
        EXPECT_EQ(PortExists(com), exists);
    }
    std::string table;  // the boundaries of each range, and past the table and 1..254
    for (const int com : {1, 32, 33, 64, 65, 96, 97, 0, 255}) {
        table += PortDevicePath(com) + ";";
    }
    EXPECT_EQ(table,
              "/dev/ttyS0;/dev/ttyS31;/dev/ttyUSB0;/dev/ttyUSB31;/dev/ttyACM0;/dev/ttyACM31;;;;");
    // A scan reads the folder once and must list exactly what each number's probe says.
    std::vector<int> each;
    for (int com = 0; com <= 256; ++com) {
        if (PortExists(com)) {
            each.push_back(com);
        }
    }
    EXPECT_EQ(ListPorts(), each);
    EXPECT_EQ(std::count(each.begin(), each.end(), 11), 0);
}

TEST_F(PortNamesTest, FolderFromEnvironmentUsedOnlyWhenNoOtherUserCanPlaceEntries) {
    const std::string uid = std::to_string(::geteuid());
    const fs::path xdg = m_dir / "xdg";  // $XDG_RUNTIME_DIR
    const uid_t stranger = 4242;         // as root, folders are handed to another user
    const auto folder = [](const fs::path& path, fs::perms mode, uid_t owner) {
        fs::create_directories(path);
        fs::permissions(path, mode);
        ASSERT_EQ(::chown(path.c_str(), owner, static_cast<gid_t>(-1)), 0);
    };
    const fs::perms mine = fs::perms::owner_all;
    const struct Row {
        const char* name;
        std::optional<std::string> ports, runtime;
        std::function<void()> make;
        std::string folder;   // the entries' folder, empty when refused
        std::string refusal;  // part of why
    } rows[] = {
        {"PortsVariable", "/srv/ports", "/run/user/7", [] {}, "/srv/ports", ""},
        {"Runtime", "", "/run/user/7", [] {}, "/run/user/7/varnel/ports", ""},
        {"Tmp", std::nullopt, std::nullopt, [] {}, "/tmp/varnel-" + uid + "/ports", ""},
        {"TmpWhenRuntimeIsRelative", std::nullopt, "run", [] {}, "/tmp/varnel-" + uid + "/ports",
         ""},
        {"OursPrivate", std::nullopt, xdg.string(),
         [&] { folder(xdg / "varnel/ports", mine, ::geteuid()); }, (xdg / "varnel/ports").string(),
         ""},
        {"StrangersPortFolder", std::nullopt, xdg.string(),
         [&] { folder(xdg / "varnel/ports", mine, stranger); }, "", "belongs to another user"},
        {"StrangersRuntimeFolder", std::nullopt, xdg.string(),
         [&] {
             folder(xdg / "varnel/ports", mine, ::geteuid());
             folder(xdg / "varnel", mine, stranger);
         },
         "", "belongs to another user"},
        {"OthersMayWrite", (m_dir / "open").string(), std::nullopt,
         [&] { folder(m_dir / "open", fs::perms::all, ::geteuid()); }, "", "may be written"},
        {"Link", (m_dir / "link").string(), std::nullopt,
         [&] { fs::create_directory_symlink(m_dir, m_dir / "link"); }, "", "is a link"},
    };
    testing::internal::CaptureStderr();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        fs::remove_all(xdg);
        row.make();
        SetEnv("VARNEL_PORTS", row.ports);
        SetEnv("XDG_RUNTIME_DIR", row.runtime);
        const PortFolderChoice choice = ChoosePortFolder();
        EXPECT_NE(choice.refusal.find(row.refusal), std::string::npos) << choice.refusal;
        EXPECT_EQ(choice.refusal.empty(), row.refusal.empty()) << choice.refusal;
        EXPECT_EQ(PortEntryPath(12), row.folder.empty() ? "" : row.folder + "/COM12");
        if (row.folder.empty()) {
            // An entry of another user's never names a port; the fixed table still does.
            fs::create_symlink(m_pty10.SlavePath(), choice.path + "/COM150");
            EXPECT_EQ(PortDevicePath(150), "");
            EXPECT_FALSE(PortExists(150));
            const std::vector<int> listed = ListPorts();
            EXPECT_EQ(std::count(listed.begin(), listed.end(), 150), 0);
            EXPECT_EQ(PortDevicePath(1), "/dev/ttyS0");
            fs::remove(choice.path + "/COM150");
        }
    }
    const std::string told = testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::count(told.begin(), told.end(), '\n'), 1) << "said once: " << told;
    EXPECT_NE(told.find("is ignored"), std::string::npos) << told;
}

TEST_F(PortNamesTest, MakePortFolderCreatesParentsAndExplainsFailure) {
    std::string error;
    SetEnv("VARNEL_PORTS", (m_dir / "a/b/ports").string());
    EXPECT_TRUE(MakePortFolder(error) && MakePortFolder(error)) << error;
    EXPECT_TRUE(fs::is_directory(m_dir / "a/b/ports"));
    std::ofstream(m_dir / "file") << "x";
    SetEnv("VARNEL_PORTS", (m_dir / "file/ports").string());
    EXPECT_FALSE(MakePortFolder(error));
    EXPECT_NE(error.find((m_dir / "file/ports").string()), std::string::npos) << error;
}

TEST_F(PortNamesTest, LegacySerialWithoutUartDoesNotCount) {
    const struct {
        const char* name;
        std::vector<std::pair<const char*, const char*>> files;
        bool lacks;
    } rows[] = {
        {"type 0", {{"type", "0"}, {"port", "0x2F8"}}, true},
        {"16550A", {{"type", "4"}, {"port", "0x3F8"}, {"iomem_base", "0x0"}}, false},
        {"no address", {{"port", "0x0"}, {"iomem_base", "0x0"}}, true},
        {"memory mapped", {{"port", "0x0"}, {"iomem_base", "0xFE215040"}}, false},
        {"nothing known", {}, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const fs::path dir = m_dir / row.name;
        fs::create_directory(dir);
        for (const auto& [file, text] : row.files) {
            std::ofstream(dir / file) << text << "\n";
        }
        EXPECT_EQ(SysfsTtyLacksUart(dir.string()), row.lacks);
    }
    // The host's own placeholders, when it has any, must not be listed.
    SetEnv("VARNEL_PORTS", (m_dir / "empty").string());
    for (int n = 0; n < 32; ++n) {
        const std::string sys = "/sys/class/tty/ttyS" + std::to_string(n);
        if (fs::exists(sys) && SysfsTtyLacksUart(sys)) {
            EXPECT_FALSE(PortExists(n + 1)) << sys;
        }
    }
}

}  // namespace
