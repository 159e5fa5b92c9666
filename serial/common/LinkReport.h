// The text of the link's failure reports, the same on every back end.
#pragma once

#include <string>

#include "LinkOwner.h"

/// Caption of every failure report the link shows.
inline constexpr char kLinkReportCaption[] = "Application Error";

/// "WARNING:  <operation> Failed with the following error: \n<systemText>\nPort: <port>\n".
/// `systemText` is the system's message for the error with its line break (strerror's text
/// plus "\n" on POSIX; FormatMessage's own ends with one); a null `operation` reads as "".
/// Never truncated, however long the parts are.
std::string FormatLinkReport(const char* operation, const std::string& systemText, int port);

/// Shows `text` through `reporter`, or writes it to standard error when there is none.
void ShowLinkReport(IErrorReporter* reporter, const std::string& text);
