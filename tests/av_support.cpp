// Helpers of the scan-service client tests.
#include "tests/av_support.hpp"

#include "zelu/wire.hpp"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <vector>

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

PathList::PathList(std::initializer_list<std::string> paths) {
    std::vector<std::string> order(paths);
    for (auto it = order.rbegin(); it != order.rend(); ++it) {
        auto* node = static_cast<monitor*>(std::malloc(sizeof(monitor)));
        node->path = strdup(it->c_str());
        node->next = head_;
        head_ = node;
    }
}

PathList::~PathList() {
    while (head_ != nullptr) {
        monitor* next = head_->next;
        std::free(head_->path);
        std::free(head_);
        head_ = next;
    }
}

std::string strerror_text(int error) {
    return std::strerror(error);
}

std::string escaped(const std::string& path) {
    return zelu::wire::escape(path);
}

} // namespace avtest
