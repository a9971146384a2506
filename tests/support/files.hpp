// Files, texts, mounts and descriptors of the tests: file and text checks, the errno text, tmpfs and bind
// mounts, the capture of standard error, the count of open descriptors.
#pragma once

#include "tests/support/process.hpp"

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

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

// What "%m" and the C library's other messages print for `error`.
inline std::string strerror_text(int error) {
    return std::strerror(error);
}

inline bool has(const std::string& text, const std::string& what) {
    return text.find(what) != std::string::npos;
}

// Occurrences of `what` in `text`, overlapping ones included.
inline std::size_t count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
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

// Runs a tool to its end: "" when it exits 0, else what went wrong.
std::string run_tool(const std::vector<std::string>& argv, const std::string& output_base);

// A sparse image formatted as ext4 and mounted through a loop device; unmounted (and the device freed,
// since mount sets autoclear) when the object goes.
class LoopExt4 {
public:
    LoopExt4(const std::string& image, const std::string& dir);
    LoopExt4(const LoopExt4&) = delete;
    LoopExt4& operator=(const LoopExt4&) = delete;
    ~LoopExt4();
    // Why it is not mounted; empty when it is.
    const std::string& error() const { return error_; }

private:
    std::string dir_, error_;
    bool mounted_ = false;
};

// Sets a /proc/sys value and puts the old one back when the object goes.
class SysctlOverride {
public:
    SysctlOverride(std::string path, const std::string& value)
        : path_(std::move(path)), old_(read_file(path_)) {
        std::ofstream(path_) << value;
    }
    SysctlOverride(const SysctlOverride&) = delete;
    SysctlOverride& operator=(const SysctlOverride&) = delete;
    ~SysctlOverride() { restore(); }
    void restore() {
        if (!old_.empty())
            std::ofstream(path_) << old_;
        old_.clear();
    }

private:
    std::string path_, old_;
};

// Sends this process's fd 2 into a file for the object's lifetime; syslog's LOG_PERROR copies land there.
// Both descriptors it holds are close-on-exec, so that children started meanwhile do not inherit them.
class StderrCapture {
public:
    StderrCapture();
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;
    ~StderrCapture();
    // Everything written to fd 2 so far.
    std::string text() const;
    // Puts the original fd 2 back early; text() still works.
    void restore();

private:
    int file_ = -1;
    int saved_ = -1;
};

// Open descriptors of this process, not counting the one used to list them.
int open_fds();

} // namespace zet_test
