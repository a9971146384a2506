// Helpers of the daemon's unit and end-to-end tests on top of the shared ones: tmpfs mounts, stderr
// capture, file checks.
#pragma once

#include "tests/child_process.hpp"

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace zet_test {

inline bool is_root() {
    return geteuid() == 0;
}

// Anything at `path`, a dangling symbolic link included.
inline bool exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// Entries of `dir`; 0 when it cannot be read.
inline std::size_t count_files(const std::string& dir) {
    std::error_code ec;
    std::size_t n = 0;
    for (auto it = std::filesystem::directory_iterator(dir, ec); !ec && it != std::filesystem::end(it);
         it.increment(ec))
        n++;
    return n;
}

// `text` matches `pattern` where '?' stands for any one character and '#' for a digit; the rest is literal.
// (std::regex trips GCC 12's uninitialised-use warning under the sanitizers.)
inline bool like(const std::string& text, const std::string& pattern) {
    if (text.size() != pattern.size())
        return false;
    for (std::size_t i = 0; i < text.size(); i++) {
        char p = pattern[i], c = text[i];
        if (p == '#' ? !(c >= '0' && c <= '9') : p != '?' && p != c)
            return false;
    }
    return true;
}

// The local time column of the infection log.
inline bool is_log_time(const std::string& text) {
    return like(text, "####-##-## ##:##:##");
}

// A file system, or a second mount of a directory (MS_BIND), on `dir`; unmounted at the end.
class Mount {
public:
    Mount(const std::string& source, const std::string& dir, const char* type, unsigned long flags,
          const std::string& options)
        : dir_(dir) {
        std::filesystem::create_directories(dir);
        mounted_ = mount(source.c_str(), dir.c_str(), type, flags, options.c_str()) == 0;
    }
    Mount(const Mount&) = delete;
    Mount& operator=(const Mount&) = delete;
    ~Mount() {
        if (mounted_)
            umount2(dir_.c_str(), MNT_DETACH);
    }
    bool mounted() const { return mounted_; }

private:
    std::string dir_;
    bool mounted_;
};

// A tmpfs mounted on a directory of its own, unmounted at the end.
class TmpfsMount : public Mount {
public:
    TmpfsMount(const std::string& dir, const std::string& options, unsigned long flags = 0)
        : Mount("tmpfs", dir, "tmpfs", flags, options) {}
};

// Sends this process's fd 2 into a file for the object's lifetime; syslog's LOG_PERROR copies land there.
class StderrCapture {
public:
    StderrCapture() {
        char name[] = "/tmp/zet-stderr.XXXXXX";
        file_ = mkstemp(name);
        unlink(name);
        fflush(stderr);
        saved_ = dup(STDERR_FILENO);
        dup2(file_, STDERR_FILENO);
    }
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;
    ~StderrCapture() {
        restore();
        close(file_);
    }
    std::string text() const {
        std::string out;
        char buf[4096];
        ssize_t n;
        for (off_t off = 0; (n = pread(file_, buf, sizeof buf, off)) > 0; off += n)
            out.append(buf, static_cast<std::size_t>(n));
        return out;
    }
    void restore() {
        if (saved_ >= 0) {
            fflush(stderr);
            dup2(saved_, STDERR_FILENO);
            close(saved_);
            saved_ = -1;
        }
    }

private:
    int file_ = -1;
    int saved_ = -1;
};

} // namespace zet_test
