// What varnel-ctl tells about a port it cannot have: who holds it, and a device that refuses
// the user. The texts and lock names are the serial link's own.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

#include "LockFile.h"
#include "PortProbe.h"
#include "PortTarget.h"

namespace fs = std::filesystem;

namespace {

// A group this process is not in, with no members listed; nullptr when there is none.
const group* ForeignGroup() {
    for (const char* name : {"dialout", "uucp", "tty", "nogroup"}) {
        const group* entry = ::getgrnam(name);
        if (entry == nullptr || entry->gr_gid == ::getegid() || entry->gr_mem[0] != nullptr) {
            continue;
        }
        std::vector<gid_t> mine(static_cast<std::size_t>(::getgroups(0, nullptr)) + 1);
        mine.resize(
            static_cast<std::size_t>(::getgroups(static_cast<int>(mine.size()), mine.data())));
        if (std::find(mine.begin(), mine.end(), entry->gr_gid) == mine.end()) {
            return entry;
        }
    }
    return nullptr;
}

TEST(CtlPortProbe, APathThatRefusesTheUserNamesTheGroupOnce) {
    char pattern[] = "/tmp/varnel-ctl-probe-XXXXXX";
    const int fd = ::mkstemp(pattern);
    ASSERT_NE(fd, -1);
    ::fchmod(fd, 0660);
    ::close(fd);
    const fs::path file = pattern;
    const group* foreign = ForeignGroup();
    if (foreign == nullptr || ::chown(file.c_str(), static_cast<uid_t>(-1), foreign->gr_gid) != 0) {
        fs::remove(file);
        GTEST_SKIP() << "no group to hand the file to";
    }
    const std::string name = foreign->gr_name;
    OpenFailure denied;
    denied.kind = OpenFailureKind::PermissionDenied;
    denied.error = EACCES;
    const std::string text = DescribePortFailure({file.string(), 0, file.string()}, denied);
    fs::remove(file);
    EXPECT_EQ(text, file.string() + " cannot be opened: permission denied. Your user is not in " +
                        "the group '" + name + "' that owns it; add it with `sudo usermod -aG " +
                        name + " $USER` and log in again.");
}

// The lock file another program (or the panel's link) writes for a pty is LCK..pts-N in the
// link's lock folder; a dead holder's lock is stale and names nobody.
TEST(CtlPortProbe, LockFilesAreFoundWhereAndAsTheLinkWritesThem) {
    char folder[] = "/tmp/varnel-ctl-locks-XXXXXX";
    ASSERT_NE(::mkdtemp(folder), nullptr);
    ::setenv("VARNEL_LOCK_DIR", folder, 1);
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    const std::string pty = ::ptsname(master);
    const std::string lock = std::string(folder) + "/" + LockFileName(pty);
    EXPECT_EQ(LockFileName(pty).rfind("LCK..pts-", 0), 0u) << LockFileName(pty);

    const struct {
        const char* name;
        long pid;
        long expected;
    } rows[] = {
        {"live holder", static_cast<long>(::getppid()), static_cast<long>(::getppid())},
        {"stale holder", 999999999L, 0},
        {"ourselves", static_cast<long>(::getpid()), 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        char text[32];
        std::snprintf(text, sizeof text, "%10ld\n", row.pid);
        std::ofstream(lock) << text;
        EXPECT_EQ(FindLockHolder(pty).pid, row.expected);
    }
    fs::remove(lock);
    EXPECT_EQ(FindLockHolder(pty).pid, 0);
    ::close(master);
    ::unsetenv("VARNEL_LOCK_DIR");
    fs::remove_all(folder);
}

}  // namespace
