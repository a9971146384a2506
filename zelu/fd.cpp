// Closing an owned descriptor.
#include "zelu/fd.hpp"

#include <unistd.h>

namespace zelu::fd {

// Errors of this close() go unseen: an owner that must know them calls close() itself first.
Fd::~Fd() {
    if (fd_ >= 0)
        ::close(fd_);
}

void Fd::reset(int fd) {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = fd;
}

int Fd::close() {
    const int fd = fd_;
    fd_ = -1;
    return fd >= 0 ? ::close(fd) : 0;
}

} // namespace zelu::fd
