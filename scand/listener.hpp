// The listening socket: created with its permissions in place, a stale one replaced, a live one refused,
// and removed at exit only while it is still ours.
#pragma once

#include <sys/types.h>

#include <string>

namespace scand {

class Listener {
public:
    Listener() = default;
    ~Listener();
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    // Binds and listens on `path` with permissions `mode`; false after logging why.
    bool open(const std::string& path, mode_t mode);
    int fd() const { return fd_; }
    // Closes the socket and unlinks its path unless another instance has taken the path over since.
    void close();

private:
    int fd_ = -1;
    std::string path_;
    dev_t dev_ = 0;
    ino_t ino_ = 0;
};

} // namespace scand
