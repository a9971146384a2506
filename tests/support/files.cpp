// Standard-error capture and descriptor count of the tests.
#include "tests/support/files.hpp"

#include <dirent.h>
#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <system_error>

namespace zet_test {

StderrCapture::StderrCapture() {
    char name[] = "/tmp/zet-stderr.XXXXXX";
    file_ = mkostemp(name, O_CLOEXEC);
    if (file_ < 0)
        throw std::system_error(errno, std::generic_category(), "mkostemp");
    unlink(name);
    std::fflush(stderr);
    saved_ = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    dup2(file_, STDERR_FILENO);
}

StderrCapture::~StderrCapture() {
    restore();
    close(file_);
}

std::string StderrCapture::text() const {
    std::string out;
    char buf[4096];
    ssize_t n;
    for (off_t off = 0; (n = pread(file_, buf, sizeof buf, off)) > 0; off += n)
        out.append(buf, static_cast<std::size_t>(n));
    return out;
}

void StderrCapture::restore() {
    if (saved_ >= 0) {
        std::fflush(stderr);
        dup2(saved_, STDERR_FILENO);
        close(saved_);
        saved_ = -1;
    }
}

int open_fds() {
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        throw std::system_error(errno, std::generic_category(), "opendir");
    int count = 0;
    while (const dirent* e = readdir(dir))
        if (e->d_name[0] != '.')
            ++count;
    closedir(dir);
    return count - 1;
}

} // namespace zet_test
