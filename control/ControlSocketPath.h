// Where a panel's control socket lives and how it is made, found and reached: a per-user
// folder (0700, ours, never a link) holding panel-<pid>.sock (0600). Nothing here follows,
// opens or removes a path that is a link, a plain file, or another user's.
#pragma once

#include <string>
#include <vector>

/// The runtime folder (RuntimeFolder(): $XDG_RUNTIME_DIR/varnel, else /tmp/varnel-<euid>),
/// shared with the port folder below it.
std::string ControlFolder();

/// The socket path of the panel with process id `pid` in `folder`.
std::string ControlSocketPath(const std::string& folder, long pid);

/// Makes `folder` (0700) when missing; accepts it only when it is a real folder (not a link)
/// owned by this user, and takes away any access of others (MakePrivateFolder, the port
/// folder's rule too). False with the reason in `error` otherwise.
bool PrepareControlFolder(const std::string& folder, std::string& error);

/// A listening, non-blocking socket at `path` (0600). A socket of ours that nobody answers
/// (left by a run that crashed) is replaced; anything else at the path (a file, a link, a
/// folder, another user's socket, a live socket) is left alone and refused. -1 with the
/// reason in `error` when it cannot listen.
int ListenControlSocket(const std::string& path, std::string& error);

/// True when the peer of connected socket `fd` runs as this user (SO_PEERCRED).
bool PeerIsThisUser(int fd);

/// Removes the panel sockets in `folder` that nobody listens on any more (left by runs that
/// crashed): only sockets of this user that refuse a connection.
void RemoveStaleControlSockets(const std::string& folder);

/// The panel sockets in `folder`: sockets named panel-*.sock that belong to this user.
std::vector<std::string> ListControlSockets(const std::string& folder);

/// A blocking connection to the socket at `path`, only when it is a socket of this user and
/// the process behind it runs as this user; -1 (errno set) otherwise.
int ConnectControlSocket(const std::string& path);
