#include "RuntimeFolder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

enum class Vetting { Missing, Private, Refused };

// Opened without following a link, so that the checks and a mode fix act on one folder. With
// `keep`, a private folder stays open and its descriptor goes there (else -1).
Vetting Vet(const std::string& folder, bool close, std::string& error, int* keep = nullptr) {
    if (keep != nullptr) {
        *keep = -1;
    }
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) {
            return Vetting::Missing;
        }
        const int openError = errno;
        struct stat st {};
        const bool there = ::lstat(folder.c_str(), &st) == 0;
        if (there && S_ISLNK(st.st_mode)) {
            error = folder + " is a link, not a folder";
        } else if (there && !S_ISDIR(st.st_mode)) {
            error = folder + " is not a folder";
        } else {
            error = folder + ": " + std::strerror(openError);
        }
        return Vetting::Refused;
    }
    struct stat st {};
    Vetting result = Vetting::Private;
    if (::fstat(fd, &st) != 0) {
        error = folder + ": " + std::strerror(errno);
        result = Vetting::Refused;
    } else if (st.st_uid != ::geteuid()) {
        error = folder + " belongs to another user";
        result = Vetting::Refused;
    } else if (close && (st.st_mode & 077) != 0 && ::fchmod(fd, 0700) != 0) {
        // Ours but open to others (made by hand, or by an older program): closed first.
        error = folder + " is open to other users and cannot be closed: " + std::strerror(errno);
        result = Vetting::Refused;
    } else if (!close && (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        error = folder + " may be written by other users";
        result = Vetting::Refused;
    }
    if (keep != nullptr && result == Vetting::Private) {
        *keep = fd;
    } else {
        ::close(fd);
    }
    return result;
}

}  // namespace

std::string RuntimeFolder() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && *runtime == '/') {
        return std::string(runtime) + "/varnel";
    }
    return "/tmp/varnel-" + std::to_string(::geteuid());
}

bool IsPrivateFolder(const std::string& folder, std::string& error) {
    return Vet(folder, false, error) != Vetting::Refused;
}

bool ReadPrivateFolder(const std::string& folder, std::vector<std::string>& names,
                       std::string& error) {
    names.clear();
    int fd = -1;
    if (Vet(folder, false, error, &fd) == Vetting::Refused) {
        return false;
    }
    if (fd < 0) {
        return true;  // nothing there yet: no entries
    }
    DIR* dir = ::fdopendir(fd);
    if (dir == nullptr) {
        error = folder + ": " + std::strerror(errno);
        ::close(fd);
        return false;
    }
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] != '.') {
            names.emplace_back(entry->d_name);
        }
    }
    ::closedir(dir);
    return true;
}

bool MakePrivateFolder(const std::string& folder, std::string& error) {
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        error = "cannot make " + folder + ": " + std::strerror(errno);
        return false;
    }
    switch (Vet(folder, true, error)) {
        case Vetting::Private:
            return true;
        case Vetting::Missing:
            error = folder + " went away";
            return false;
        case Vetting::Refused:
            break;
    }
    return false;
}
