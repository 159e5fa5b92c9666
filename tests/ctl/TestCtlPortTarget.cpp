// What varnel-ctl tells about a device path that refuses the user: the serial link's text.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <vector>

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

TEST(CtlPortTarget, APathThatRefusesTheUserNamesTheGroupOnce) {
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

}  // namespace
