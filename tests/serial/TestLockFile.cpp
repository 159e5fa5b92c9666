// UUCP lock files in a lock folder of the test's own ($VARNEL_LOCK_DIR); no device needed.
#include "LockFile.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>

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
    const std::pair<std::string, long> pids[] = {
        {"      1234\n", 1234}, {"1234", 1234}, {"", 0}, {"pid\n", 0}, {"-5\n", 0}, {"0\n", 0}};
    for (const auto& [text, pid] : pids) {
        EXPECT_EQ(ParseLockPid(text), pid) << text;
    }
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

TEST_F(LockFolderTest, ALiveHolderIsHonouredAStaleOrUnreadableLockIsReplaced) {
    char ours[16];
    std::snprintf(ours, sizeof ours, "%10ld\n", static_cast<long>(::getpid()));
    struct Row {
        const char* name;
        std::optional<std::string> existing;
        CUucpLock::Outcome outcome;
        long holder;
    };
    const Row rows[] = {
        {"None", std::nullopt, CUucpLock::Outcome::Taken, 0},
        {"LiveHolder", "         1\n", CUucpLock::Outcome::Held, 1},
        {"StalePid", "   4194305\n", CUucpLock::Outcome::Taken, 0},  // above any pid_max
        {"NoPid", "garbage", CUucpLock::Outcome::Taken, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.existing) {
            std::ofstream(m_file) << *row.existing;
        }
        CUucpLock lock;
        long holder = -1;
        EXPECT_EQ(lock.Acquire("/dev/ttyUSB7", holder), row.outcome);
        EXPECT_EQ(holder, row.holder);
        EXPECT_EQ(Text(), row.outcome == CUucpLock::Outcome::Taken ? ours : *row.existing);
        lock.Release();
        EXPECT_EQ(fs::exists(m_file), row.outcome == CUucpLock::Outcome::Held)
            << "only our own lock file is removed";
        fs::remove(m_file);
    }
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
