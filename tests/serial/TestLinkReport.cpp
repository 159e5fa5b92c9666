// The link's error report text and what a link that was never opened does; no device needed.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "LinkTestSupport.h"
#include "SerialLink.h"

namespace {

using linktest::TestOwner;
using linktest::TestReporter;

TEST(LinkReport, TextFollowsTheReportFormatWithTheSystemText) {
    CSerialLink link;
    TestReporter reporter;
    link.SetErrorReporter(&reporter);
    errno = EIO;
    link.ReportError("SetCommState()");
    ASSERT_EQ(reporter.Count(), 1u);
    EXPECT_EQ(reporter.Captions()[0], "Application Error");
    EXPECT_EQ(reporter.Texts()[0],
              "WARNING:  SetCommState() Failed with the following error: \n"
              "Input/output error\n\nPort: 0\n");
}

TEST(LinkReport, LongTextIsShownWhole) {
    // The Win32 original formats into 200 bytes; nothing may be cut or overrun here.
    CSerialLink link;
    TestReporter reporter;
    link.SetErrorReporter(&reporter);
    const std::string operation = std::string(1000, 'x') + "()";
    errno = ENAMETOOLONG;
    link.ReportError(operation.c_str());
    ASSERT_EQ(reporter.Count(), 1u);
    const std::string text = reporter.Texts()[0];
    EXPECT_EQ(text, "WARNING:  " + operation +
                        " Failed with the following error: \nFile name too long\n\nPort: 0\n");
    EXPECT_GT(text.size(), 1000u);
}

TEST(LinkReport, ErrorWithoutSystemTextStillGivesALine) {
    CSerialLink link;
    TestReporter reporter;
    link.SetErrorReporter(&reporter);
    errno = 99999;
    link.ReportError("ReadFile()");
    ASSERT_EQ(reporter.Count(), 1u);
    EXPECT_NE(reporter.Texts()[0].find("\nUnknown error 99999\n\nPort: 0\n"), std::string::npos)
        << reporter.Texts()[0];
}

TEST(LinkReport, WithoutReporterTheReportGoesToStandardError) {
    CSerialLink link;
    errno = EIO;
    ::testing::internal::CaptureStderr();
    link.ReportError("WaitCommEvent()");
    const std::string written = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(written.find("Application Error"), std::string::npos);
    EXPECT_NE(written.find("WARNING:  WaitCommEvent() Failed with the following error: \n"
                           "Input/output error\n\nPort: 0\n"),
              std::string::npos);
}

TEST(LinkReport, ReportKeepsErrno) {
    CSerialLink link;
    TestReporter reporter;
    link.SetErrorReporter(&reporter);
    errno = ENXIO;
    link.ReportError("ReadFile()");
    EXPECT_EQ(errno, ENXIO);
}

TEST(NeverOpenedLink, SendIsRefused) {
    CSerialLink link;
    const std::uint8_t frame[6] = {0x00, 0x01, 0x01, 0x00, 0x2E, 0x30};
    EXPECT_EQ(link.Send(frame, 6), 0);
    EXPECT_EQ(link.Send(frame, 0), 0);
}

TEST(NeverOpenedLink, StartMonitorIsRefused) {
    CSerialLink link;
    EXPECT_EQ(link.StartMonitor(), 0);
}

TEST(NeverOpenedLink, CloseDispatchAndDestructorDoNothing) {
    TestReporter reporter;
    CSerialLink link;
    TestOwner owner(link);
    link.SetErrorReporter(&reporter);
    link.DispatchPending();
    link.Close();
    link.DetachOwner();
    EXPECT_TRUE(owner.notes.empty());
    EXPECT_EQ(owner.serviceCalls, 0);
    EXPECT_EQ(reporter.Count(), 0u);
}

}  // namespace
