// Helpers shared by the daemon's unit and end-to-end tests: temporary trees, stderr capture, polling.
#pragma once

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

namespace daemon_test {

inline bool is_root() { return geteuid() == 0; }

// The standard antivirus test file, harmless by design.
inline const std::string eicar = "X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";

// Anything at `path`, a dangling symbolic link included.
inline bool exists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// Entries of `dir`; 0 when it cannot be read.
inline std::size_t count_files(const std::string& dir)
{
    std::error_code ec;
    std::size_t n = 0;
    for (auto it = std::filesystem::directory_iterator(dir, ec); !ec && it != std::filesystem::end(it);
         it.increment(ec))
        n++;
    return n;
}

// `text` matches `pattern` where '?' stands for any one character and '#' for a digit; the rest is literal.
// (std::regex trips GCC 12's uninitialised-use warning under the sanitizers.)
inline bool like(const std::string& text, const std::string& pattern)
{
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
inline bool is_log_time(const std::string& text) { return like(text, "####-##-## ##:##:##"); }

// Polls `cond` until it holds or `limit` passes; the limit only bounds a failing test.
inline bool wait_until(const std::function<bool()>& cond,
                       std::chrono::milliseconds limit = std::chrono::seconds(20))
{
    auto end = std::chrono::steady_clock::now() + limit;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

inline std::string read_text(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline void write_text(const std::string& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

// Sets or clears the immutable attribute, which stops even root from changing a file or directory.
// A FIFO is opened without blocking and a symbolic link is not followed, so that clean-up never hangs or
// reaches outside the tree.
inline bool set_immutable(const std::string& path, bool on)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
    if (fd < 0)
        return false;
    int flags = 0;
    bool ok = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
    ok = ok && ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    close(fd);
    return ok;
}

// A fresh directory under `base`, removed with everything below it (immutable flags and mounts included).
class TempDir {
public:
    explicit TempDir(const std::string& base = "/tmp")
    {
        std::string tmpl = base + "/zet-test.XXXXXX";
        if (mkdtemp(tmpl.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed in " + base);
        path_ = tmpl;
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir()
    {
        namespace fs = std::filesystem;
        std::error_code ec;
        for (auto it = fs::recursive_directory_iterator(path_, ec); !ec && it != fs::end(it); it.increment(ec))
            set_immutable(it->path(), false);
        set_immutable(path_, false);
        fs::remove_all(path_, ec);
    }
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// A tmpfs mounted on a directory of its own, unmounted at the end.
class TmpfsMount {
public:
    TmpfsMount(const std::string& dir, const std::string& options, unsigned long flags = 0) : dir_(dir)
    {
        std::filesystem::create_directories(dir);
        mounted_ = mount("tmpfs", dir.c_str(), "tmpfs", flags, options.c_str()) == 0;
    }
    TmpfsMount(const TmpfsMount&) = delete;
    TmpfsMount& operator=(const TmpfsMount&) = delete;
    ~TmpfsMount()
    {
        if (mounted_)
            umount2(dir_.c_str(), MNT_DETACH);
    }
    bool mounted() const { return mounted_; }

private:
    std::string dir_;
    bool mounted_;
};

// Sends this process's fd 2 into a file for the object's lifetime; syslog's LOG_PERROR copies land there.
class StderrCapture {
public:
    StderrCapture()
    {
        char name[] = "/tmp/zet-stderr.XXXXXX";
        file_ = mkstemp(name);
        unlink(name);
        fflush(stderr);
        saved_ = dup(STDERR_FILENO);
        dup2(file_, STDERR_FILENO);
    }
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;
    ~StderrCapture()
    {
        restore();
        close(file_);
    }
    std::string text() const
    {
        std::string out;
        char buf[4096];
        ssize_t n;
        for (off_t off = 0; (n = pread(file_, buf, sizeof buf, off)) > 0; off += n)
            out.append(buf, static_cast<std::size_t>(n));
        return out;
    }
    void restore()
    {
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

} // namespace daemon_test
