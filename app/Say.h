// One line of a program's progress output. Qt-free, so the tools and benchmarks can use it too.
#pragma once

#include <cstdio>
#include <string_view>

/// Writes `prefix`, `text` and a newline to `stream` and flushes it, so that a program reading
/// the pipe sees each line whole and in order with the writer's other output.
inline void Say(std::string_view prefix, std::string_view text, std::FILE* stream = stdout) {
    std::fprintf(stream, "%.*s%.*s\n", static_cast<int>(prefix.size()), prefix.data(),
                 static_cast<int>(text.size()), text.data());
    std::fflush(stream);
}
