// A private port folder and lock folder: no test or bench run sees or opens a port it did not
// create, and no lock file lands in the machine's lock folder.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace testkit {

/// A fresh folder named by VARNEL_PORTS while it lives, with a "locks" folder inside named by
/// VARNEL_LOCK_DIR (not the port folder itself: a panel watches that one, and each lock file
/// would be a device change). Removed with everything in it; the variables' old values are
/// restored.
class PortFolder {
public:
    /// With `hideFixedPorts`, COM1..COM96 are dangling entries (/nonexistent/ttyN), which
    /// outrank the fixed tty table: no COM number reaches a device of the machine (a real UART
    /// at COM1).
    explicit PortFolder(bool hideFixedPorts = true);
    ~PortFolder();
    PortFolder(const PortFolder&) = delete;
    PortFolder& operator=(const PortFolder&) = delete;

    bool Ok() const { return !m_path.empty(); }
    const std::string& Path() const { return m_path; }
    std::string Entry(int com) const { return m_path + "/COM" + std::to_string(com); }
    std::string LockFolder() const { return m_path + "/locks"; }

private:
    std::string m_path;
    std::vector<std::pair<const char*, std::optional<std::string>>> m_old;
};

/// Makes COM1..COM96 in `folder` dangling entries, where there is no entry yet.
bool HideFixedPorts(const std::string& folder);

}  // namespace testkit
