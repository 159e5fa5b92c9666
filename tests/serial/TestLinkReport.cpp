// The link's error report; no device needed.
#include <gtest/gtest.h>

#include <cerrno>

#include "LinkReport.h"
#include "RecordingOwner.h"

namespace {

TEST(LinkReport, TextIsWholeWhateverItsLength) {
    const std::string longStep = std::string(1000, 'x') + "()";  // a fixed buffer held 200
    EXPECT_EQ(FormatLinkReport(longStep.c_str(), "File name too long\n", 7),
              "WARNING:  " + longStep +
                  " Failed with the following error: \nFile name too long\n\n"
                  "Port: 7\n");
    EXPECT_EQ(FormatLinkReport(nullptr, "Access is denied.\r\n", 254),
              "WARNING:   Failed with the following error: \nAccess is denied.\r\n\nPort: 254\n");
}

TEST(LinkReport, GoesToTheReporterOrStandardErrorWithTheGivenErrorAndKeepsErrno) {
    struct Row {
        const char* name;
        const char* step;
        int error;
        const char* systemText;
        bool toStandardError;
    };
    const Row rows[] = {
        {"Reporter", "SetCommState()", EIO, "Input/output error", false},
        {"StandardError", "WaitCommEvent()", EIO, "Input/output error", true},
        {"NoSystemText", "ReadFile()", 99999, "Unknown error 99999", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        CSerialLink link;
        linktest::RecordingOwner panel(link);
        link.SetErrorReporter(row.toStandardError ? nullptr : &panel);
        ::testing::internal::CaptureStderr();
        errno = EINTR;  // whatever errno says, the argument is reported
        link.ReportError(row.step, row.error);
        EXPECT_EQ(errno, EINTR);
        std::string shown = ::testing::internal::GetCapturedStderr();
        for (const std::string& text : panel.Reports()) {
            shown += text;
        }
        EXPECT_EQ(shown, linktest::Report(row.step, row.systemText, 0));
    }
}

}  // namespace
