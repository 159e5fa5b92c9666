// A private port folder and a pty published in it: no test or bench run sees or opens a
// port it did not create.
#pragma once

#include <QTemporaryDir>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace testkit {

/// A private folder named by VARNEL_PORTS while it lives; removed with everything in it, and
/// the variable's old value restored.
class PortFolderScope {
public:
    PortFolderScope();
    ~PortFolderScope();
    PortFolderScope(const PortFolderScope&) = delete;
    PortFolderScope& operator=(const PortFolderScope&) = delete;

    bool Ok() const { return m_dir.isValid(); }
    std::string Path() const { return m_dir.path().toStdString(); }

private:
    QTemporaryDir m_dir;
    std::vector<std::pair<const char*, QByteArray>> m_old;  // variables set before, restored
};

/// A pty published as COM `com` in the port folder; its owner plays the far end on Master().
/// The far side is held open too, so the master never reports a hang-up while the panel has
/// the port closed.
class PublishedPty {
public:
    explicit PublishedPty(int com);
    ~PublishedPty();
    PublishedPty(const PublishedPty&) = delete;
    PublishedPty& operator=(const PublishedPty&) = delete;

    /// Empty when the pty is published, else what failed.
    const std::string& Error() const { return m_error; }
    int Master() const { return m_master; }
    bool Write(const std::string& bytes) const;

private:
    int m_master = -1;
    int m_slave = -1;
    std::string m_entry;
    std::string m_error;
};

}  // namespace testkit
