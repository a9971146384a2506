// File operations shared by the monitor loop and the scan task.
#include "src/fileops.hpp"

#include <fcntl.h>
#include <sys/types.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr std::size_t COPY_CHUNK = 8192;
constexpr std::size_t PROC_LINK_SIZE = 64;

// Writes all of `len` bytes: a short write (a file system filling up) is followed by another call, so that
// a real failure ends in write() returning -1 with its errno for the message.
bool write_all(int fd, const char* buf, std::size_t len)
{
    while (len > 0) {
        ssize_t n = write(fd, buf, len);
        if (n <= 0)
            return false;
        buf += n;
        len -= static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

const char* basename_r(const char* path)
{
    const char* slash = strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

int copy_file(const char* from, const char* to)
{
    int src = open(from, O_RDONLY | O_CLOEXEC);
    if (src < 0) {
        syslog(LOG_WARNING, "open(): %s: %m", from);
        return -1;
    }
    int dst = open(to, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (dst < 0) {
        syslog(LOG_WARNING, "open(): %s: %m", to);
        close(src);
        return -1;
    }

    char buf[COPY_CHUNK];
    for (;;) {
        ssize_t n = read(src, buf, sizeof buf);
        if (n > 0) {
            if (!write_all(dst, buf, static_cast<std::size_t>(n))) {
                syslog(LOG_WARNING, "write(): %m");
                break;
            }
        } else if (n == 0) {
            // The caller removes the source next, so a write error that only close() reports (NFS, quotas)
            // must fail the copy rather than lose the file.
            if (close(dst) != 0) {
                syslog(LOG_WARNING, "close(): %s: %m", to);
                close(src);
                unlink(to);
                return -1;
            }
            close(src);
            return 0;
        } else {
            syslog(LOG_WARNING, "read(): %m");
            break;
        }
    }
    close(dst);
    close(src);
    unlink(to);
    return -1;
}

int move_file(const char* from, const char* to)
{
    // rename keeps inode, owner, mode and times, and replaces the empty file that reserved the name.
    if (rename(from, to) == 0)
        return 0;
    if (errno != EXDEV) {
        syslog(LOG_WARNING, "rename(): %s -> %s: %m", from, to);
        return -1;
    }
    if (copy_file(from, to) < 0)
        return -1;
    if (unlink(from) != 0) {
        syslog(LOG_WARNING, "unlink(): %s: %m", from);
        // The file stays where it was, so the copy must not pass for a quarantined one.
        unlink(to);
        return -1;
    }
    return 0;
}

char* fd2path(int fd, char* buf, std::size_t size)
{
    if (fd <= 0 || size == 0)
        return nullptr;
    char link[PROC_LINK_SIZE];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t len = readlink(link, buf, size - 1);
    if (len < 0) {
        syslog(LOG_WARNING, "readlink(): %s: %m", link);
        return nullptr;
    }
    // readlink neither terminates nor reports truncation; it never returns more than size - 1 bytes here.
    buf[len] = '\0';
    return buf;
}
