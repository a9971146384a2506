// The status line for the service manager, sent from a thread of its own so that the monitor loop's
// READY=1 and WATCHDOG=1 stay exactly as they are.
#include "src/status.hpp"

#include "src/text.hpp"
#include "src/thread.hpp"

#include <pthread.h>
#include <syslog.h>
#include <systemd/sd-daemon.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>

status_counts status_counters;

namespace {

constexpr std::size_t STATUS_BUF_SIZE = 512;
bool show_unscanned = false;
bool show_opens = false;

void* status_loop(void*) {
    status_snapshot last = {};
    const timespec interval = {1, 0};
    for (;;) {
        nanosleep(&interval, nullptr);
        status_snapshot now = status_read();
        if (now == last)
            continue;
        char buf[STATUS_BUF_SIZE];
        status_format(buf, sizeof buf, now, show_unscanned, show_opens);
        sd_notify(0, buf);
        last = now;
    }
    return nullptr;
}

} // namespace

void status_service(bool reached) {
    auto& since = status_counters.service_down_since;
    if (reached) {
        if (since.load(std::memory_order_relaxed) != 0)
            since.store(0, std::memory_order_relaxed);
        return;
    }
    std::int64_t none = 0;
    since.compare_exchange_strong(none, static_cast<std::int64_t>(time(nullptr)), std::memory_order_relaxed);
}

void status_show_unscanned(bool on) {
    show_unscanned = on;
}

void status_show_opens(bool on) {
    show_opens = on;
}

status_snapshot status_read() {
    const auto& c = status_counters;
    return {c.queued.load(std::memory_order_relaxed),
            c.scanned.load(std::memory_order_relaxed),
            c.infected.load(std::memory_order_relaxed),
            c.failed.load(std::memory_order_relaxed),
            c.unscanned.load(std::memory_order_relaxed),
            c.selftests.load(std::memory_order_relaxed),
            c.service_down_since.load(std::memory_order_relaxed),
            c.opens.load(std::memory_order_relaxed),
            c.open_hits.load(std::memory_order_relaxed),
            c.opens_denied.load(std::memory_order_relaxed),
            c.opens_unscanned.load(std::memory_order_relaxed),
            c.open_overflows.load(std::memory_order_relaxed),
            c.opens_held.load(std::memory_order_relaxed)};
}

int status_format(char* buf, std::size_t size, const status_snapshot& s, bool with_unscanned,
                  bool with_opens) {
    char unscanned[40] = "";
    if (with_unscanned)
        snprintf(unscanned, sizeof unscanned, ", %" PRIu64 " unscanned", s.unscanned);
    char selftests[40] = "";
    if (s.selftests != 0)
        snprintf(selftests, sizeof selftests, ", %" PRIu64 " self-test%s", s.selftests,
                 s.selftests == 1 ? "" : "s");
    char down[80] = "";
    if (s.service_down_since != 0) {
        snprintf(down, sizeof down, "; scan service unreachable since %s",
                 local_time(s.service_down_since).value_or("").c_str());
    }
    char opens[160] = "";
    if (with_opens)
        snprintf(opens, sizeof opens,
                 "; opens: %" PRIu64 " checked, %" PRIu64 " known clean, %" PRIu64 " denied, %" PRIu64
                 " unscanned, %" PRId64 " held",
                 s.opens, s.open_hits, s.opens_denied, s.opens_unscanned, s.opens_held);
    return snprintf(buf, size,
                    "STATUS=%" PRIu64 " files queued, %" PRIu64 " scanned, %" PRIu64 " infected, %" PRIu64
                    " failed scans%s%s%s%s\n",
                    s.queued, s.scanned, s.infected, s.failed, selftests, unscanned, opens, down);
}

int status_start() {
    return thread_start_detached(status_loop);
}
