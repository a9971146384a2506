// Creation and removal of the service's UNIX socket.
#include "scand/listener.hpp"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace scand {

namespace {

constexpr int listen_backlog = 128;

// True when an instance listens on `addr`: it accepts, or its backlog is full (EAGAIN: the probe does not
// block on a busy instance). A refused connection marks a stale socket.
bool is_live(const sockaddr_un& addr, bool& failed) {
    failed = false;
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        syslog(LOG_ERR, "socket(): %m");
        failed = true;
        return false;
    }
    const bool live =
        connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0 || errno == EAGAIN;
    if (!live && errno != ECONNREFUSED && errno != ENOENT) {
        syslog(LOG_ERR, "connect(): %s: %m", addr.sun_path);
        failed = true;
    }
    ::close(fd);
    return live;
}

} // namespace

Listener::~Listener() {
    close();
}

bool Listener::open(const std::string& path, mode_t mode) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr.sun_path) {
        syslog(LOG_ERR, "Invalid socket path: %s", path.c_str());
        return false;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);

    struct stat st {};
    if (lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            syslog(LOG_ERR, "Not a socket, not replaced: %s", path.c_str());
            return false;
        }
        bool failed = false;
        if (is_live(addr, failed)) {
            syslog(LOG_ERR, "Socket in use by a running instance: %s", path.c_str());
            return false;
        }
        if (failed) {
            return false;
        }
        if (unlink(path.c_str()) != 0 && errno != ENOENT) {
            syslog(LOG_ERR, "unlink(): %s: %m", path.c_str());
            return false;
        }
        syslog(LOG_NOTICE, "Replaced stale socket '%s'.", path.c_str());
    } else if (errno != ENOENT) {
        syslog(LOG_ERR, "lstat(): %s: %m", path.c_str());
        return false;
    }

    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        syslog(LOG_ERR, "socket(): %m");
        return false;
    }
    // bind() creates the file with 0777 less the umask: with this umask it has its final mode from the
    // start. Start-up is single-threaded, so the process-wide umask is safe to change here.
    const mode_t old_mask = umask(~mode & 0777);
    const int rc = bind(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    const int err = errno;
    umask(old_mask);
    if (rc != 0) {
        errno = err;
        syslog(LOG_ERR, "bind(): %s: %m", path.c_str());
        ::close(fd_);
        fd_ = -1;
        return false;
    }
    path_ = path;
    if (lstat(path.c_str(), &st) == 0) {
        dev_ = st.st_dev;
        ino_ = st.st_ino;
    }
    if (listen(fd_, listen_backlog) != 0) {
        syslog(LOG_ERR, "listen(): %s: %m", path.c_str());
        close();
        return false;
    }
    return true;
}

void Listener::close() {
    if (fd_ < 0) {
        return;
    }
    ::close(fd_);
    fd_ = -1;
    struct stat st {};
    if (lstat(path_.c_str(), &st) == 0 && st.st_dev == dev_ && st.st_ino == ino_) {
        if (unlink(path_.c_str()) != 0) {
            syslog(LOG_WARNING, "unlink(): %s: %m", path_.c_str());
        }
    }
}

} // namespace scand
