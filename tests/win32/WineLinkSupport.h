// Test support for the Win32 link under Wine: the panel's settings, and questions to the
// harness (scripts/wine-tests.sh) about the Linux side of the pseudo-terminal that Wine shows
// as COM5. The owner is RecordingOwner.h's, shared with the POSIX link's tests.
#pragma once

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "RecordingOwner.h"
#include "SerialLink.h"

namespace winetest {

using namespace std::chrono_literals;

/// The COM number the harness links to the module's pty; every other one leads nowhere.
inline constexpr int kModulePort = 5;
inline constexpr int kNoPort = 300;  ///< past every number the prefix pins

/// The panel's settings, at a speed the pty side can tell from its default.
inline LinkSettings PanelSettings(std::uint32_t eventMask = EV_RXCHAR) {
    LinkSettings settings;
    settings.line.baudRate = 19200;
    settings.eventMask = eventMask;
    settings.sendBufferSize = 512;
    settings.timeouts = {1000, 1000, 1000, 1000, 1000};
    return settings;
}

/// The notes the owner records, as the POSIX link's tests have them.
using linktest::Note;

/// Asks the harness a question about the Linux side ("line": stty -a of the pty, "queued":
/// bytes waiting in the pty's input, "sent"/"received": frames the module has sent and
/// received, "unplug": end the module). The
/// harness watches the folder named by VARNEL_WINE_SYNC (a Windows path). Returns the answer, or
/// "no harness" / "no answer" when none comes within 10 s.
inline std::string AskHarness(const std::string& question) {
    const char* folder = std::getenv("VARNEL_WINE_SYNC");
    if (folder == nullptr) {
        return "no harness";
    }
    const std::string base = folder;
    {
        std::ofstream ask(base + "\\ask.tmp", std::ios::trunc);
        ask << question << "\n";
    }
    ::MoveFileExA((base + "\\ask.tmp").c_str(), (base + "\\ask").c_str(),
                  MOVEFILE_REPLACE_EXISTING);
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    const std::string answerPath = base + "\\answer";
    while (std::chrono::steady_clock::now() < deadline) {
        if (::GetFileAttributesA(answerPath.c_str()) != INVALID_FILE_ATTRIBUTES) {
            std::stringstream text;
            text << std::ifstream(answerPath).rdbuf();
            ::DeleteFileA(answerPath.c_str());
            return text.str();
        }
        ::Sleep(10);
    }
    return "no answer";
}

/// Asks `question` until the answer, as a number, satisfies `done` or 10 s have passed;
/// returns the last number (-1 when no number came).
inline long AskUntil(const std::string& question, const std::function<bool(long)>& done) {
    long value = -1;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
        const std::string answer = AskHarness(question);
        value = std::strtol(answer.c_str(), nullptr, 10);
        if (answer.empty() || answer[0] < '0' || answer[0] > '9') {
            value = -1;
        } else if (done(value)) {
            break;
        }
        ::Sleep(20);
    }
    return value;
}

}  // namespace winetest
