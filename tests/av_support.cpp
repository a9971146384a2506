// Helpers of the scan-service client tests.
#include "tests/av_support.hpp"

#include "zelu/wire.hpp"

#include <csignal>

#include <syslog.h>

namespace avtest {

namespace {

// Every test process logs like the daemon with -v, and survives writes to a closed service as it does.
[[maybe_unused]] const bool process_set_up = [] {
    openlog(ident, LOG_PERROR, LOG_DAEMON);
    setlogmask(LOG_UPTO(LOG_DEBUG));
    std::signal(SIGPIPE, SIG_IGN);
    return true;
}();

} // namespace

std::string escaped(const std::string& path) {
    return zelu::wire::escape(path);
}

} // namespace avtest
