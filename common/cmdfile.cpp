#include "cmdfile.h"

#include "hooks.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace kpx {

int fileexists(const char* path) {
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return 0;
    ::close(fd);
    return 1;
}

int writeall(int fd, const char* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, data + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return n < 0 ? errno : EIO;
        done += static_cast<std::size_t>(n);
    }
    return 0;
}

placed placerequest(const std::string& path, const std::string& line, int& error, fileid& id) {
    error = 0;
    int pauses = 0;
    for (;;) {
        // Wait for the previous request to be taken.
        while (fileexists(path.c_str())) {
            if (pauses >= cmd_maxpauses) return placed::busy;
            hooks.pause(cmd_pausems);
            ++pauses;
        }
        hooks.pause(cmd_pausems);
        // Created exclusively: a writer that lost the race to another must not replace that
        // writer's request, it waits for the file to be free again.
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            struct stat st {};
            if (::fstat(fd, &st) == 0) id = fileid{st.st_dev, st.st_ino};
            error = writeall(fd, line.data(), line.size());
            if (::close(fd) != 0 && error == 0) error = errno;
            if (error != 0) {
                ::unlink(path.c_str());
                return placed::failed;
            }
            return placed::written;
        }
        if (errno != EEXIST) {
            error = errno;
            return placed::failed;
        }
        if (++pauses > cmd_maxpauses) return placed::busy;
    }
}

bool awaittaken(const std::string& path) {
    int waited = 0;
    while (fileexists(path.c_str())) {
        if (waited >= cmd_maxpauses) return false;
        hooks.pause(cmd_pausems);
        ++waited;
    }
    return true;
}

handed handover(const std::string& path, const std::string& line, bool withdraw, int& error) {
    fileid id;
    switch (placerequest(path, line, error, id)) {
    case placed::written:
        break;
    case placed::busy:
        return handed::busy;
    case placed::failed:
        return handed::failed;
    }
    if (awaittaken(path)) return handed::taken;
    if (!withdraw) return handed::nottaken;
    return withdrawrequest(path, line, id) ? handed::withdrawn : handed::taken;
}

bool withdrawrequest(const std::string& path, const std::string& line, const fileid& id) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    bool ours = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_dev == id.dev &&
                st.st_ino == id.ino && static_cast<std::size_t>(st.st_size) == line.size();
    if (ours) {
        std::string text(line.size(), '\0');
        std::size_t got = 0;
        while (got < text.size()) {
            const ssize_t n = ::read(fd, text.data() + got, text.size() - got);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got += static_cast<std::size_t>(n);
        }
        ours = got == text.size() && text == line;
    }
    ::close(fd);
    return ours && ::unlink(path.c_str()) == 0;
}

} // namespace kpx
