#include "RecordSink.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

std::FILE* OpenRecordFile(const std::string& path, std::string& error) {
    // Only a plain file or a terminal: neither a FIFO nor a device keeps the records. Nothing
    // but a new or plain file is truncated.
    const auto refuse = [&]() -> std::FILE* {
        error = "cannot write " + path + ": not a plain file or a terminal";
        return nullptr;
    };
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISCHR(st.st_mode)) {
        return refuse();
    }
    const bool plain = !S_ISCHR(st.st_mode);
    int fd = -1;
    do {
        fd = ::open(path.c_str(),
                    O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | (plain ? O_TRUNC : 0),
                    0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        return nullptr;
    }
    // What was opened may differ from what was looked at.
    if (::fstat(fd, &st) != 0 || !(S_ISREG(st.st_mode) || ::isatty(fd) != 0)) {
        ::close(fd);
        return refuse();
    }
    // Writes wait again, as to standard output: a terminal that is slow to draw is no error.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    std::FILE* file = ::fdopen(fd, "w");
    if (file == nullptr) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        ::close(fd);
    }
    return file;
}

bool ErrorIsTerminal() {
    return ::isatty(STDERR_FILENO) != 0;
}

void SurviveLostReader() {
    ::signal(SIGPIPE, SIG_IGN);
}
