// Varnel's per-user runtime folder, and the one check that a folder may be trusted with what
// only this user may put there: COM entries, which say where the panel sends its frames, and
// control sockets, which move the laser.
#pragma once

#include <string>
#include <vector>

/// $XDG_RUNTIME_DIR/varnel when XDG_RUNTIME_DIR is an absolute path, else /tmp/varnel-<euid>.
std::string RuntimeFolder();

/// True when `folder` is private: a folder, reached without following a link, owned by this
/// user, that neither its group nor others may write to. Also true when there is nothing at
/// `folder` yet. Otherwise false with a sentence naming the folder and why in `error`.
bool IsPrivateFolder(const std::string& folder, std::string& error);

/// IsPrivateFolder, and the names of the entries of a private `folder` (none when it is not
/// there yet; names starting with a dot left out), read from the very folder that was vetted.
bool ReadPrivateFolder(const std::string& folder, std::vector<std::string>& names,
                       std::string& error);

/// Makes `folder` (mode 0700) when missing, its parent being there, and closes a folder of
/// ours to everyone else; then true only when it is a private folder. False with the reason
/// in `error` otherwise.
bool MakePrivateFolder(const std::string& folder, std::string& error);
