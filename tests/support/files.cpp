// Standard-error capture, descriptor count, tools run to their end and loop-mounted file systems of the
// tests.
#include "tests/support/files.hpp"

#include <dirent.h>
#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <system_error>

using namespace std::chrono_literals;

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

std::string run_tool(const std::vector<std::string>& argv, const std::string& output_base) {
    ChildProcess p;
    if (!p.spawn(argv, {}, output_base + ".err"))
        return "cannot start " + argv[0];
    int rc = p.exit_code(60s);
    return rc == 0 ? "" : argv[0] + " ended with " + std::to_string(rc) + ": " + p.stderr_text();
}

LoopExt4::LoopExt4(const std::string& image, const std::string& dir) : dir_(dir) {
    std::filesystem::create_directories(dir);
    int fd = open(image.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    bool sized = fd >= 0 && ftruncate(fd, 96 << 20) == 0;
    if (fd >= 0)
        close(fd);
    if (!sized) {
        error_ = "cannot create " + image + ": " + strerror_text(errno);
        return;
    }
    error_ = run_tool({"/usr/sbin/mkfs.ext4", "-q", "-F", image}, image + ".mkfs");
    if (error_.empty())
        error_ = run_tool({"/usr/bin/mount", "-o", "loop", image, dir}, image + ".mount");
    mounted_ = error_.empty();
}

LoopExt4::~LoopExt4() {
    if (mounted_)
        umount2(dir_.c_str(), MNT_DETACH);
}

} // namespace zet_test
