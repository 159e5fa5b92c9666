// What varnel-ctl tells about a device path that refuses the user: the serial link's text, with
// the access facts of the path itself.
#include <gtest/gtest.h>

#include <grp.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

#include "PortArgument.h"

namespace fs = std::filesystem;

namespace {

TEST(CtlPortTarget, APathThatRefusesTheUserIsLookedUpAndNamedOnce) {
    const fs::path file =
        fs::temp_directory_path() / ("varnel-ctl-probe-" + std::to_string(::getpid()));
    std::ofstream(file) << "x";
    fs::permissions(file, fs::perms(0660));
    const group* own = ::getgrgid(::getegid());
    ASSERT_NE(own, nullptr);
    ASSERT_EQ(::chown(file.c_str(), static_cast<uid_t>(-1), own->gr_gid), 0);
    OpenFailure denied;
    denied.kind = OpenFailureKind::PermissionDenied;
    denied.error = EACCES;
    const std::string text = DescribePortFailure({file.string(), 0, file.string()}, denied);
    fs::remove(file);
    EXPECT_EQ(text, file.string() + " cannot be opened: permission denied, although this session " +
                        "is in the group '" + own->gr_name + "' that owns it. Check the device's " +
                        "permissions (`ls -l " + file.string() + "`).");
}

}  // namespace
