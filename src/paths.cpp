// The path rules: trees by byte prefix, exclusions and mounts by whole components, the mount table.
#include "src/paths.hpp"

#include "zelu/wire.hpp"

#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char* UNIT = "src/paths";
constexpr std::size_t READ_CHUNK = 8192;

} // namespace

bool path_under(const char* path, const monitor* list) {
    for (const monitor* m = list; m != nullptr; m = m->next)
        if (strncmp(path, m->path, strlen(m->path)) == 0)
            return true;
    return false;
}

bool is_monitored(const char* path, const monitor* list) {
    char* canonical = realpath(path, nullptr);
    if (canonical == nullptr) {
        // ENOENT is expected: a file deleted before its event carries the kernel's " (deleted)" suffix.
        if (errno != ENOENT)
            syslog(LOG_DEBUG, "is_monitored: realpath(%s): %m", path);
        canonical = strdup(path);
        if (canonical == nullptr) {
            syslog(LOG_WARNING, "%s:%u: malloc(): %m", UNIT, __LINE__);
            return false;
        }
    }
    bool matched = path_under(canonical, list);
    free(canonical);
    return matched;
}

bool path_excluded(const char* path, const monitor* list) {
    for (const monitor* m = list; m != nullptr; m = m->next)
        if (zelu::wire::within(path, m->path))
            return true;
    return false;
}

std::string unescape_octal(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); i++) {
        if (text[i] == '\\' && i + 3 < text.size() && isdigit(static_cast<unsigned char>(text[i + 1])) &&
            isdigit(static_cast<unsigned char>(text[i + 2])) &&
            isdigit(static_cast<unsigned char>(text[i + 3]))) {
            out +=
                static_cast<char>((text[i + 1] - '0') * 64 + (text[i + 2] - '0') * 8 + (text[i + 3] - '0'));
            i += 3;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::vector<std::string> read_mounts_below(int fd, const monitor* trees) {
    std::string table;
    char buf[READ_CHUNK];
    ssize_t n;
    for (off_t off = 0; (n = pread(fd, buf, sizeof buf, off)) > 0; off += n)
        table.append(buf, static_cast<std::size_t>(n));
    std::vector<std::string> found;
    std::size_t start = 0;
    for (std::size_t nl; (nl = table.find('\n', start)) != std::string::npos; start = nl + 1) {
        // The fifth field is the mount point.
        std::size_t pos = start;
        for (int field = 0; field < 4 && pos < nl; field++)
            pos = table.find(' ', pos) + 1;
        std::size_t end = table.find(' ', pos);
        if (pos == 0 || end == std::string::npos || end > nl)
            continue;
        std::string point = unescape_octal(table.substr(pos, end - pos));
        for (const monitor* m = trees; m != nullptr; m = m->next) {
            if (zelu::wire::below(point, m->path) &&
                std::find(found.begin(), found.end(), point) == found.end()) {
                found.push_back(point);
                break;
            }
        }
    }
    return found;
}

std::vector<std::string> mounts_below(const monitor* trees) {
    int fd = open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    std::vector<std::string> found = read_mounts_below(fd, trees);
    close(fd);
    return found;
}
