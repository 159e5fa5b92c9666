// The program's strings, UTF-8 in the standard library's types, as Qt text.
#pragma once

#include <QString>
#include <string_view>

/// `text`, UTF-8, as a QString.
inline QString ToQString(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}
