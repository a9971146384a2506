// Helpers of the scan-service client tests: syslog copied to standard error, the client's escaping, and the
// shared support under the names these tests use.
#pragma once

#include "tests/support/files.hpp"
#include "tests/support/lists.hpp"

#include <string>

namespace avtest {

// The syslog identity the tests open with LOG_PERROR.
inline constexpr const char* ident = "av_test";

// The line glibc copies to standard error for a syslog message.
inline std::string logged(const std::string& message) {
    return std::string(ident) + ": " + message + "\n";
}

using CapturedStderr = zet_test::StderrCapture;
using zet_test::open_fds;
using zet_test::PathList;
using zet_test::strerror_text;
using zet_test::TempDir;

std::string escaped(const std::string& path); // the path as the client escapes it

} // namespace avtest
