// Helpers of the scan-service client tests: syslog copied to standard error, exclusion lists, the client's
// escaping.
#pragma once

#include "src/config.hpp"
#include "tests/support/files.hpp"

#include <initializer_list>
#include <string>

namespace avtest {

// The syslog identity the tests open with LOG_PERROR.
inline constexpr const char* ident = "av_test";

// The line glibc copies to standard error for a syslog message.
inline std::string logged(const std::string& message) {
    return std::string(ident) + ": " + message + "\n";
}

// The shared capture, temporary directory and descriptor count under the names these tests use.
using CapturedStderr = zet_test::StderrCapture;
using zet_test::open_fds;
using zet_test::TempDir;

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

std::string strerror_text(int error);         // what "%m" prints for `error`
std::string escaped(const std::string& path); // the path as the client escapes it

} // namespace avtest
