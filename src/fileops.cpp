// File operations shared by the monitor loop, the scan task and zetctl.
#include "src/fileops.hpp"

#include "zelu/fd.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

using zelu::fd::Fd;

namespace {

constexpr std::size_t COPY_CHUNK = 8192;
constexpr std::size_t PROC_LINK_SIZE = 64;

// Writes all of `len` bytes: a short write (a file system filling up) is followed by another call, so that
// a real failure ends in write() returning -1 with its errno for the message.
bool write_all(int fd, const char* buf, std::size_t len) {
    while (len > 0) {
        ssize_t n = write(fd, buf, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        buf += n;
        len -= static_cast<std::size_t>(n);
    }
    return true;
}

// Under replace_file: the failure of `call` on `file`, said when `report`; errno kept for the caller.
bool replace_failed(const char* call, const char* file, const char* path, bool report) {
    const int error = errno;
    if (report) {
        if (strcmp(call, "rename") == 0)
            syslog(LOG_WARNING, "rename(): %s -> %s: %m", file, path);
        else
            syslog(LOG_WARNING, "%s(): %s: %m", call, file);
    }
    errno = error;
    return false;
}

// Reads the /proc/self/fd link of `fd` (its text in `link`) into `buf`, zero-terminated and cut at size - 1
// bytes: readlink neither terminates nor reports truncation. The length, or -1 with errno set.
ssize_t read_fd_link(int fd, char* link, char* buf, std::size_t size) {
    snprintf(link, PROC_LINK_SIZE, "/proc/self/fd/%d", fd);
    ssize_t len = readlink(link, buf, size - 1);
    if (len >= 0)
        buf[len] = '\0';
    return len;
}

// The directory part of `path` ("." for a bare name, "/" for a name in the root), in `buf` when it is
// neither; nullptr with ENAMETOOLONG when it does not fit.
const char* dir_of(const char* path, char (&buf)[PATH_BUF_SIZE]) {
    const char* name = basename_r(path);
    if (name == path)
        return ".";
    std::size_t len = static_cast<std::size_t>(name - path - 1);
    if (len == 0)
        return "/";
    if (len >= sizeof buf) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    memcpy(buf, path, len);
    buf[len] = '\0';
    return buf;
}

} // namespace

const char* basename_r(const char* path) {
    const char* slash = strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

int copy_synced(int src, int dst, int dir) {
    char buf[COPY_CHUNK];
    for (;;) {
        ssize_t n = read(src, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return COPY_READ;
        if (n == 0)
            break;
        if (!write_all(dst, buf, static_cast<std::size_t>(n)))
            return COPY_WRITE;
    }
    // The data first, then the directory entry: without both a crash after the caller's unlink could
    // leave neither the original nor a complete copy.
    if (fsync(dst) != 0)
        return COPY_SYNC;
    if (fsync(dir) != 0)
        return COPY_SYNC_DIR;
    return 0;
}

namespace {

// copy_file on `name` relative to the directory `dir` (or AT_FDCWD); `from` names it in messages.
int copy_at(int dir, const char* name, const char* from, const char* to) {
    // The name may have been replaced since the scan: a symbolic link is not followed out of the tree,
    // and a FIFO must not block the worker (O_NONBLOCK changes nothing for a regular file).
    Fd src(openat(dir, name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (src.get() < 0) {
        syslog(LOG_WARNING, "open(): %s: %m", from);
        return -1;
    }
    struct stat st;
    if (fstat(src.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        syslog(LOG_WARNING, "open(): %s: Not a regular file", from);
        return -1;
    }
    char buf[PATH_BUF_SIZE];
    const char* to_dir = dir_of(to, buf);
    Fd parent(to_dir != nullptr ? open(to_dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1);
    if (parent.get() < 0) {
        syslog(LOG_WARNING, "open(): %s: %m", to_dir != nullptr ? to_dir : to);
        return -1;
    }
    Fd dst(open(to, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (dst.get() < 0) {
        syslog(LOG_WARNING, "open(): %s: %m", to);
        return -1;
    }

    switch (copy_synced(src.get(), dst.get(), parent.get())) {
    case 0:
        // The caller removes the source next, so a write error that only close() reports (NFS, quotas)
        // must fail the copy rather than lose the file.
        if (dst.close() == 0)
            return 0;
        syslog(LOG_WARNING, "close(): %s: %m", to);
        break;
    case COPY_READ:
        syslog(LOG_WARNING, "read(): %m");
        break;
    case COPY_WRITE:
        syslog(LOG_WARNING, "write(): %m");
        break;
    case COPY_SYNC:
        syslog(LOG_WARNING, "fsync(): %s: %m", to);
        break;
    case COPY_SYNC_DIR:
        syslog(LOG_WARNING, "fsync(): %s: %m", to_dir);
        break;
    }
    dst.reset();
    unlink(to);
    return -1;
}

// Opens the directory of the absolute path `from` and checks that it still is the directory that the text
// names: event paths are the kernel's own, free of symbolic links, so a difference means that a directory
// was replaced since the event. The descriptor, or AT_FDCWD for a relative path; -1 after a warning.
int open_parent(const char* from, const char* name) {
    char buf[PATH_BUF_SIZE];
    const char* parent = from[0] == '/' && name != from ? dir_of(from, buf) : nullptr;
    if (parent == nullptr)
        return AT_FDCWD;
    int dir = open(parent, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) {
        syslog(LOG_WARNING, "open(): %s: %m", parent);
        return -1;
    }
    if (!still_names(dir, parent)) {
        syslog(LOG_WARNING, "move_file(): %s: Directory changed since the event", from);
        close(dir);
        return -1;
    }
    return dir;
}

// move_file once the source's directory is pinned: the name is looked up in that directory only.
int move_at(int dir, const char* name, const char* from, const char* to) {
    // rename keeps inode, owner, mode and times, and replaces the empty file that reserved the name.
    if (renameat(dir, name, AT_FDCWD, to) == 0)
        return 0;
    if (errno != EXDEV) {
        syslog(LOG_WARNING, "rename(): %s -> %s: %m", from, to);
        return -1;
    }
    if (copy_at(dir, name, from, to) < 0)
        return -1;
    if (unlinkat(dir, name, 0) != 0) {
        syslog(LOG_WARNING, "unlink(): %s: %m", from);
        // The file stays where it was, so the copy must not pass for a quarantined one.
        unlink(to);
        return -1;
    }
    return 0;
}

} // namespace

int copy_file(const char* from, const char* to) {
    return copy_at(AT_FDCWD, from, from, to);
}

int move_file(const char* from, const char* to) {
    const char* name = basename_r(from);
    int dir = open_parent(from, name);
    if (dir == -1)
        return -1;
    int rc = move_at(dir, dir == AT_FDCWD ? from : name, from, to);
    if (dir != AT_FDCWD)
        close(dir);
    return rc;
}

char* fd2path(int fd, char* buf, std::size_t size) {
    if (fd <= 0 || size == 0)
        return nullptr;
    char link[PROC_LINK_SIZE];
    if (read_fd_link(fd, link, buf, size) < 0) {
        syslog(LOG_WARNING, "readlink(): %s: %m", link);
        return nullptr;
    }
    return buf;
}

bool fd_link(int fd, char* buf, std::size_t size) {
    char link[PROC_LINK_SIZE];
    return fd > 0 && size > 0 && read_fd_link(fd, link, buf, size) >= 0;
}

bool still_names(int fd, const char* path) {
    char link[PROC_LINK_SIZE], now[PATH_BUF_SIZE];
    struct stat by_fd, by_path;
    // Quiet: a descriptor whose link cannot be read names nothing, which is the answer.
    return fd > 0 && read_fd_link(fd, link, now, sizeof now) >= 0 && strcmp(now, path) == 0 &&
           lstat(path, &by_path) == 0 && fstat(fd, &by_fd) == 0 && by_path.st_dev == by_fd.st_dev &&
           by_path.st_ino == by_fd.st_ino;
}

bool replace_file(const char* path, const char* tmp, std::string_view text, mode_t mode, bool durable,
                  bool report) {
    Fd fd(open(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, mode));
    if (fd.get() < 0)
        return replace_failed("open", tmp, path, report);
    const char* failed = nullptr;
    // A temporary file left by an earlier run keeps its mode through O_TRUNC.
    if (fchmod(fd.get(), mode) != 0)
        failed = "fchmod";
    else if (!write_all(fd.get(), text.data(), text.size()))
        failed = "write";
    else if (durable && fsync(fd.get()) != 0)
        failed = "fsync";
    int error = errno;
    if (fd.close() != 0 && failed == nullptr) {
        failed = "close";
        error = errno;
    }
    if (failed == nullptr && rename(tmp, path) != 0) {
        failed = "rename";
        error = errno;
    }
    if (failed != nullptr) {
        unlink(tmp);
        errno = error;
        return replace_failed(failed, tmp, path, report);
    }
    if (!durable)
        return true;
    // The rename lasts through a crash only once the directory is on disk.
    const char* slash = strrchr(path, '/');
    const std::string dir = slash == nullptr ? "." : slash == path ? "/" : std::string(path, slash);
    Fd dfd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dfd.get() < 0)
        return replace_failed("open", dir.c_str(), path, report);
    if (fsync(dfd.get()) != 0)
        return replace_failed("fsync", dir.c_str(), path, report);
    return true;
}
