#include "PortFolder.h"

#include <stdlib.h>

#include <filesystem>

namespace testkit {

namespace fs = std::filesystem;

PortFolder::PortFolder(bool hideFixedPorts) {
    char pattern[] = "/tmp/varnel-test-XXXXXX";
    std::error_code ec;
    if (::mkdtemp(pattern) == nullptr || !fs::create_directory(fs::path(pattern) / "locks", ec) ||
        (hideFixedPorts && !HideFixedPorts(pattern))) {
        return;
    }
    m_path = pattern;
    for (const auto& [name, value] :
         {std::pair{"VARNEL_PORTS", m_path}, std::pair{"VARNEL_LOCK_DIR", LockFolder()}}) {
        const char* old = ::getenv(name);
        m_old.emplace_back(name, old != nullptr ? std::optional<std::string>(old) : std::nullopt);
        ::setenv(name, value.c_str(), 1);
    }
}

PortFolder::~PortFolder() {
    for (const auto& [name, value] : m_old) {
        (void)(value ? ::setenv(name, value->c_str(), 1) : ::unsetenv(name));
    }
    if (!m_path.empty()) {
        std::error_code ignored;
        fs::remove_all(m_path, ignored);
    }
}

bool HideFixedPorts(const std::string& folder) {
    std::error_code ec;
    for (int com = 1; com <= 96 && !ec; ++com) {
        const fs::path entry = fs::path(folder) / ("COM" + std::to_string(com));
        if (!fs::is_symlink(entry)) {
            fs::create_symlink("/nonexistent/tty" + std::to_string(com), entry, ec);
        }
    }
    return !ec;
}

}  // namespace testkit
