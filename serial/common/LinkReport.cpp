#include "LinkReport.h"

#include <cstdio>

std::string FormatLinkReport(const char* operation, const std::string& systemText, int port) {
    const char* name = operation != nullptr ? operation : "";
    // Sized by a first pass, so the report holds the whole text however long it is.
    auto format = [&](char* buffer, std::size_t size) {
        return std::snprintf(buffer, size,
                             "WARNING:  %s Failed with the following error: \n%s\nPort: %d\n", name,
                             systemText.c_str(), port);
    };
    const int length = format(nullptr, 0);
    std::string text(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
    format(text.data(), text.size() + 1);
    return text;
}

void ShowLinkReport(IErrorReporter* reporter, const std::string& text) {
    if (reporter != nullptr) {
        reporter->ShowReport(kLinkReportCaption, text);
        return;
    }
    // Nowhere else to tell if standard error fails too.
    (void)std::fprintf(stderr, "%s: %s", kLinkReportCaption, text.c_str());
    (void)std::fflush(stderr);
}
