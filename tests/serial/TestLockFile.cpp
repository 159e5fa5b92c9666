// UUCP lock files in a lock folder of the test's own ($VARNEL_LOCK_DIR); no device needed.
#include "LockFile.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>

namespace fs = std::filesystem;

namespace {

TEST(LockFile, NameFollowsTheDeviceAndPidTextIsTheUsualOne) {
    const std::pair<std::string, std::string> names[] = {
        {"/dev/ttyUSB0", "LCK..ttyUSB0"},
        {"/dev/pts/3", "LCK..pts-3"},  // not a bare "LCK..3"
        {"/nonexistent/ttyACM1", "LCK..ttyACM1"},
    };
    for (const auto& [device, name] : names) {
        EXPECT_EQ(LockFileName(device), name) << device;
    }
    // kill() would read a cut-down 4294967297 as PID 1 and 4294967295 as -1, every process.
    const std::pair<std::string, long> pids[] = {{"      1234\n", 1234},
                                                 {"1234", 1234},
                                                 {"", 0},
                                                 {"pid\n", 0},
                                                 {"-5\n", 0},
                                                 {"0\n", 0},
                                                 {"4294967297\n", 0},
                                                 {"4294967295\n", 0},
                                                 {"2147483648\n", 0},
                                                 {"99999999999999999999\n", 0}};
    for (const auto& [text, pid] : pids) {
        EXPECT_EQ(ParseLockPid(text), pid) << text;
    }
    EXPECT_FALSE(ProcessAlive(4294967297L) || ProcessAlive(-1));
}

class LockFolderTest : public ::testing::Test {
protected:
    LockFolderTest() {
        char folder[] = "/tmp/varnel-locktest-XXXXXX";
        m_folder = ::mkdtemp(folder);
        m_file = m_folder / "LCK..ttyUSB7";
        ::setenv("VARNEL_LOCK_DIR", m_folder.c_str(), 1);
    }
    ~LockFolderTest() override {
        ::unsetenv("VARNEL_LOCK_DIR");
        fs::remove_all(m_folder);
    }
    std::string Text() const {
        std::ifstream in(m_file);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    fs::path m_folder;
    fs::path m_file;
};

TEST_F(LockFolderTest, ALiveHolderIsHonouredAStaleLockReplacedAndAForeignEntryNeverOpened) {
    char ours[16];
    std::snprintf(ours, sizeof ours, "%10ld\n", static_cast<long>(::getpid()));
    const std::string target = (m_folder / "target").string();
    std::ofstream(target) << "         1\n";
    using Outcome = CUucpLock::Outcome;
    struct Row {
        const char* name;
        std::function<void()> make;  // what is at the lock's name before
        Outcome outcome;
        long holder;
    };
    const auto text = [&](const char* t) { return [&, t] { std::ofstream(m_file) << t; }; };
    const Row rows[] = {
        {"None", [] {}, Outcome::Taken, 0},
        {"LiveHolder", text("         1\n"), Outcome::Held, 1},
        {"StalePid", text("   4194305\n"), Outcome::Taken, 0},  // above any pid_max
        {"NoPid", text("garbage"), Outcome::Taken, 0},
        {"BeyondPidT", text("4294967297\n"), Outcome::Taken, 0},
        {"MinusOneCutDown", text("4294967295\n"), Outcome::Taken, 0},
        // An open of a FIFO would wait for a writer for ever.
        {"Fifo", [&] { ASSERT_EQ(::mkfifo(m_file.c_str(), 0600), 0); }, Outcome::Foreign, 0},
        {"Link", [&] { fs::create_symlink(target, m_file); }, Outcome::Foreign, 0},
        {"Folder", [&] { fs::create_directory(m_file); }, Outcome::Foreign, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        row.make();
        const fs::file_type type = fs::symlink_status(m_file).type();
        const std::string before = type == fs::file_type::regular ? Text() : "";
        EXPECT_EQ(LockFileHolder("/dev/ttyUSB7"), row.holder) << "as a port's holder is named";
        CUucpLock lock;
        long holder = -1;
        EXPECT_EQ(lock.Acquire("/dev/ttyUSB7", holder), row.outcome);
        EXPECT_EQ(LockFileHolder("/dev/ttyUSB7"), row.holder) << "never ourselves";
        EXPECT_EQ(holder, row.holder);
        EXPECT_EQ(lock.Path().empty(), row.outcome != Outcome::Taken);
        if (row.outcome == Outcome::Taken) {
            EXPECT_EQ(Text(), ours);
        } else {
            EXPECT_EQ(fs::symlink_status(m_file).type(), type) << "left as it was";
            EXPECT_EQ(type == fs::file_type::regular ? Text() : "", before);
        }
        lock.Release();
        EXPECT_EQ(fs::exists(fs::symlink_status(m_file)), row.outcome != Outcome::Taken)
            << "only our own lock file is removed";
        fs::remove(m_file);
    }
    EXPECT_EQ(Text(), "") << "the link's target was never written";
    EXPECT_EQ(std::ifstream(target).get(), ' ');
}

TEST_F(LockFolderTest, ReleaseLeavesALockFileThatIsNoLongerOurs) {
    CUucpLock lock;
    long holder = -1;
    ASSERT_EQ(lock.Acquire("/dev/ttyUSB7", holder), CUucpLock::Outcome::Taken);
    std::ofstream(m_file) << "         1\n";  // replaced by a program that took ours for stale
    lock.Release();
    EXPECT_EQ(Text(), "         1\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(m_folder), fs::directory_iterator()), 1)
        << "no temporary file left behind";
}

TEST_F(LockFolderTest, AnUnwritableFolderIsNoReasonToRefuse) {
    ::setenv("VARNEL_LOCK_DIR", (m_folder / "missing").c_str(), 1);
    CUucpLock lock;
    long holder = -1;
    EXPECT_EQ(lock.Acquire("/dev/ttyUSB7", holder), CUucpLock::Outcome::Skipped);
    EXPECT_EQ(lock.Path(), "");
}

}  // namespace
