// The module's pty published as COMn in the port folder for as long as the module runs.
#pragma once

#include <unistd.h>

#include <climits>
#include <string>
#include <utility>

#include "PtyPair.h"
#include "Voice.h"

/// Exit codes of varnel-module that the port's set-up decides.
inline constexpr int kExitFailure = 1;
inline constexpr int kExitPortTaken = 2;

/// How varnel-module says a line of its own: on standard error.
inline const Voice Say{"varnel-module: ", stderr};

/// Our COMn link: removed on every way out, but only while it still points at our pty, so a
/// replacement made by someone else in the meantime is left alone.
class PortEntry {
public:
    PortEntry() = default;
    PortEntry(const PortEntry&) = delete;
    PortEntry& operator=(const PortEntry&) = delete;
    ~PortEntry() { Remove(); }

    void Adopt(std::string path, std::string target) {
        m_path = std::move(path);
        m_target = std::move(target);
    }
    void Remove() {
        if (m_path.empty()) {
            return;
        }
        char link[PATH_MAX];
        const ssize_t len = ::readlink(m_path.c_str(), link, sizeof link - 1);
        if (len > 0 && std::string(link, static_cast<std::size_t>(len)) == m_target) {
            ::unlink(m_path.c_str());
        }
        m_path.clear();
    }

private:
    std::string m_path;
    std::string m_target;
};

/// Publishes the slave as COMn (`com` 0: the first free number, which it is set to). Returns
/// the exit code to stop with, or 0 once published.
int Publish(int& com, const std::string& slavePath, PortEntry& entry);
