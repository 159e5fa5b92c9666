// How the programs and rigs of this project say a line of their own on a console.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

/// A program's voice: each line goes out whole, after the program's prefix, and at once, so
/// lines of several processes on one terminal or log never mix.
struct Voice {
    const char* prefix;          ///< put before every line ("varnel-module: ", "# ")
    std::FILE* stream = stdout;  ///< where the lines go

    void operator()(std::string_view text) const {
        std::string line(prefix);
        line.append(text).push_back('\n');
        std::fwrite(line.data(), 1, line.size(), stream);
        std::fflush(stream);
    }
};
