// An owned file descriptor, closed when its owner goes, for the programs that open several on one path
// and leave it at any step (zet's file operations, zetctl's vault, orbis-scand's tree walk).
#pragma once

namespace zelu::fd {

// Owns one descriptor, or none (-1). A negative value from a failed open() may be handed over as it is:
// get() then gives it back, and nothing is closed.
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd();
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;

    int get() const { return fd_; }
    // Closes the descriptor held so far, if any, and takes `fd`.
    void reset(int fd = -1);
    // Closes the descriptor now, for an owner that must know whether the last writes failed: close()'s
    // result, or 0 when none was held.
    int close();

private:
    int fd_;
};

} // namespace zelu::fd
