// The link's error report; no device needed.
#include <gtest/gtest.h>

#include <cerrno>

#include "LinkTestSupport.h"

namespace {

TEST(LinkReport, ShowsTheWholeTextOnceAndKeepsErrno) {
    struct Row {
        const char* name;
        std::string step;
        int error;
        const char* systemText;
        bool toStandardError;
    };
    const Row rows[] = {
        {"Reporter", "SetCommState()", EIO, "Input/output error", false},
        {"StandardError", "WaitCommEvent()", EIO, "Input/output error", true},
        // Far longer than the 200 bytes a fixed buffer once held.
        {"Long", std::string(1000, 'x') + "()", ENAMETOOLONG, "File name too long", false},
        {"NoSystemText", "ReadFile()", 99999, "Unknown error 99999", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        CSerialLink link;
        linktest::TestPanel panel(link);
        link.SetErrorReporter(row.toStandardError ? nullptr : &panel);
        ::testing::internal::CaptureStderr();
        errno = EINTR;  // whatever errno says, the argument is reported
        link.ReportError(row.step.c_str(), row.error);
        EXPECT_EQ(errno, EINTR);
        std::string shown = ::testing::internal::GetCapturedStderr();
        for (const std::string& text : panel.Reports()) {
            shown += text;
        }
        EXPECT_EQ(shown, linktest::Report(row.step, row.systemText, 0));
    }
}

}  // namespace
