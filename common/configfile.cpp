#include "configfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <strings.h>

namespace kpx {

namespace {

bool isseparator(char c) {
    return c == '=' || c == ' ' || c == '\n';
}

} // namespace

std::string getparam(const std::string& line, int n, int maxchars) {
    std::size_t i = 0;
    const std::size_t len = line.size();
    for (int t = 0;; ++t) {
        while (i < len && isseparator(line[i]))
            ++i;
        if (i >= len) return {};
        std::size_t start = i;
        while (i < len && !isseparator(line[i]))
            ++i;
        if (t == n) {
            // Over-long tokens are cut to the size of their buffer.
            std::size_t count = i - start;
            if (maxchars >= 0 && count > static_cast<std::size_t>(maxchars))
                count = static_cast<std::size_t>(maxchars);
            return line.substr(start, count);
        }
    }
}

bool sameword(const std::string& a, const char* b) {
    return strcasecmp(a.c_str(), b) == 0;
}

std::string getcommand(const std::string& line) {
    return getparam(line, 0, KEYCHARS);
}

FilePtr openconfig(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) return nullptr;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(fd);
        errno = EISDIR;
        return nullptr;
    }
    std::FILE* f = ::fdopen(fd, "r");
    if (f == nullptr) ::close(fd);
    return FilePtr(f);
}

void eachconfigline(std::FILE* f, const std::function<void(const std::string&)>& line,
                    const std::function<void()>& counted) {
    char buf[INILINECHARS + 1];
    while (!std::feof(f) && !std::ferror(f)) {
        const char* got = std::fgets(buf, sizeof buf, f);
        if (counted) counted();
        if (got != nullptr && !std::feof(f) && !std::ferror(f)) line(buf);
    }
}

} // namespace kpx
