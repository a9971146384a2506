// Helpers of the scan-service client tests: syslog copied to standard error and captured there, private
// temporary directories, exclusion lists and open-descriptor counts.
#pragma once

#include "src/config.hpp"

#include <initializer_list>
#include <string>

namespace avtest {

// The syslog identity the tests open with LOG_PERROR.
inline constexpr const char* ident = "av_test";

// The line glibc copies to standard error for a syslog message.
inline std::string logged(const std::string& message) {
    return std::string(ident) + ": " + message + "\n";
}

// Redirects descriptor 2 into a private file while it lives.
class CapturedStderr {
public:
    CapturedStderr();
    ~CapturedStderr();
    CapturedStderr(const CapturedStderr&) = delete;
    CapturedStderr& operator=(const CapturedStderr&) = delete;
    std::string text() const; // everything written so far

private:
    int saved_ = -1;
    int file_ = -1;
};

// A fresh directory under /tmp, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// A monitor list holding `paths` in the given order (head first), freed on destruction.
class PathList {
public:
    PathList(std::initializer_list<std::string> paths);
    ~PathList();
    PathList(const PathList&) = delete;
    PathList& operator=(const PathList&) = delete;
    monitor* head() const { return head_; }

private:
    monitor* head_ = nullptr;
};

int open_fds();                       // entries of /proc/self/fd, not counting the one used to list them
std::string strerror_text(int error); // what "%m" prints for `error`
std::string escaped(const std::string& path); // the path as the client escapes it

} // namespace avtest
