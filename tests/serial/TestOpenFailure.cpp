// Why a port did not open, as the operator reads it, and who holds a port; no device needed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "DeviceAccess.h"
#include "PortFacts.h"

namespace {

TEST(DescribeOpenFailure, NamesPortAndDeviceAndSaysWhatToDo) {
    const std::string usb = "COM33 (/dev/ttyUSB0) cannot be opened: ";
    const std::string look = " Check the device's permissions (`ls -l /dev/ttyUSB0`).";
    const std::string plug =
        " Check that the module is plugged in and switched on; `varnel-ctl ports` lists the ports "
        "that exist.";
    struct Row {
        const char* name;
        OpenFailure failure;
        DeviceAccess access;
        std::string text;
    };
    const OpenFailureKind denied = OpenFailureKind::PermissionDenied;
    const Row rows[] = {
        {"Opened", {}, {}, ""},
        {"NoEntryNorTable",
         {OpenFailureKind::NoSuchDevice, 0, "", 0, "", ""},
         {},
         "COM33 cannot be opened: it names no device." + plug},
        {"Unplugged",
         {OpenFailureKind::NoSuchDevice, ENOENT, "/dev/ttyUSB0", 0, "", ""},
         {},
         usb + "the device is not there." + plug},
        {"NotInTheGroup",
         {denied, EACCES, "/dev/ttyUSB0", 0, "", ""},
         {"dialout", true, false, false},
         usb + "permission denied. Your user is not in the group 'dialout' that owns it; add it "
               "with `sudo usermod -aG dialout $USER` and log in again."},
        {"AddedButNotLoggedInAgain",
         {denied, EACCES, "/dev/ttyUSB0", 0, "", ""},
         {"uucp", true, true, false},
         usb + "permission denied. Your user is in the group 'uucp' that owns it, but this "
               "session started before it was added; log out and in again."},
        {"InTheGroupYetDenied",
         {denied, EACCES, "/dev/ttyUSB0", 0, "", ""},
         {"dialout", true, true, true},
         usb + "permission denied, although this session is in the group 'dialout' that owns it." +
             look},
        {"GroupMayNotUseIt",
         {denied, EACCES, "/dev/ttyUSB0", 0, "", ""},
         {"root", false, false, false},
         usb + "permission denied." + look},
        {"BusyNamed",
         {OpenFailureKind::Busy, EBUSY, "/dev/ttyUSB0", 4242, "minicom", ""},
         {},
         usb + "it is in use by minicom (PID 4242). Close that program's connection and try "
               "again."},
        {"BusyPidOnly",
         {OpenFailureKind::Busy, EBUSY, "/dev/ttyUSB0", 4242, "", ""},
         {},
         usb + "it is in use by PID 4242. Close that program's connection and try again."},
        {"BusyUnknown",
         {OpenFailureKind::Busy, EBUSY, "/dev/ttyUSB0", 0, "", ""},
         {},
         usb + "it is in use by another program. Close that program's connection and try again."},
        {"BusyForeignLockFile",
         {OpenFailureKind::Busy, EBUSY, "/dev/ttyUSB0", 0, "", "/run/lock/LCK..ttyUSB0"},
         {},
         usb + "its lock file /run/lock/LCK..ttyUSB0 is not a plain file, so the port counts as "
               "in use. Remove it if no program uses the port."},
        {"NotATerminal",
         {OpenFailureKind::NotATerminal, ENOTTY, "/tmp/notes.txt", 0, "", ""},
         {},
         "COM33 (/tmp/notes.txt) cannot be opened: it is not a serial device. Point COM33 at a "
         "terminal device such as /dev/ttyUSB0."},
        {"Other",
         {OpenFailureKind::Failed, EMFILE, "/dev/ttyUSB0", 0, "", ""},
         {},
         usb + "Too many open files."},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(DescribeOpenFailure(33, row.failure, row.access), row.text);
    }
}

TEST(DescribeOpenFailure, AccessFactsComeFromTheDeviceAndTheUser) {
    const std::filesystem::path file =
        std::filesystem::temp_directory_path() / ("varnel-access-" + std::to_string(::getpid()));
    std::ofstream(file) << "x";
    // A group this process has: its own effective group.
    ASSERT_EQ(::chown(file.c_str(), static_cast<uid_t>(-1), ::getegid()), 0);
    std::filesystem::permissions(file, std::filesystem::perms::owner_all |
                                           std::filesystem::perms::group_read |
                                           std::filesystem::perms::group_write);
    const DeviceAccess access = QueryDeviceAccess(file.string());
    EXPECT_FALSE(access.group.empty());
    EXPECT_TRUE(access.groupMayUse);
    EXPECT_TRUE(access.sessionHasGroup);
    std::filesystem::permissions(file, std::filesystem::perms::owner_all);
    EXPECT_FALSE(QueryDeviceAccess(file.string()).groupMayUse);
    std::filesystem::remove(file);
    EXPECT_TRUE(QueryDeviceAccess(file.string()).group.empty()) << "gone: nothing known";
}

TEST(PortHolder, FindsTheFlockOnTheFileAmongOtherLocks) {
    const std::string locks =
        "1: POSIX  ADVISORY  WRITE 100 00:19:7 0 EOF\n"     // not a flock
        "2: FLOCK  ADVISORY  WRITE 200 00:19:8 0 EOF\n"     // another inode
        "3: FLOCK  ADVISORY  WRITE 300 01:19:7 0 EOF\n"     // another filesystem
        "3: -> FLOCK  ADVISORY  WRITE 400 00:19:7 0 EOF\n"  // a waiter, not the holder
        "4: FLOCK  ADVISORY  WRITE 500 00:19:7 0 EOF\n"
        "garbage\n";
    std::istringstream in(locks);
    EXPECT_EQ(FindFlockHolder(in, {0x00, 0x19, 7}), 500);
    std::istringstream none(locks);
    EXPECT_EQ(FindFlockHolder(none, {0x00, 0x19, 9}), 0);
    EXPECT_EQ(ProgramNameOf(0), "");
    EXPECT_FALSE(ProgramNameOf(::getpid()).empty());
}

}  // namespace
