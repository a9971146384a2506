// The status line for the service manager, sent from a thread of its own so that the monitor loop's
// READY=1 and WATCHDOG=1 stay exactly as they are.
#include "src/status.hpp"

#include <pthread.h>
#include <syslog.h>
#include <systemd/sd-daemon.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <ctime>

status_counts status_counters;

namespace {

constexpr std::size_t STATUS_BUF_SIZE = 160;

void* status_loop(void*) {
    constexpr int COUNTS = 5;
    std::uint64_t last[COUNTS] = {0, 0, 0, 0, 0};
    const timespec interval = {1, 0};
    for (;;) {
        nanosleep(&interval, nullptr);
        std::uint64_t now[COUNTS] = {status_counters.queued.load(std::memory_order_relaxed),
                                     status_counters.scanned.load(std::memory_order_relaxed),
                                     status_counters.infected.load(std::memory_order_relaxed),
                                     status_counters.failed.load(std::memory_order_relaxed),
                                     status_counters.selftests.load(std::memory_order_relaxed)};
        if (std::equal(now, now + COUNTS, last))
            continue;
        char buf[STATUS_BUF_SIZE];
        status_format(buf, sizeof buf, now[0], now[1], now[2], now[3], now[4]);
        sd_notify(0, buf);
        for (int i = 0; i < COUNTS; i++)
            last[i] = now[i];
    }
    return nullptr;
}

} // namespace

int status_format(char* buf, std::size_t size, std::uint64_t queued, std::uint64_t scanned,
                  std::uint64_t infected, std::uint64_t failed, std::uint64_t selftests) {
    if (selftests == 0)
        return snprintf(buf, size,
                        "STATUS=%" PRIu64 " files queued, %" PRIu64 " scanned, %" PRIu64 " infected, %" PRIu64
                        " failed scans\n",
                        queued, scanned, infected, failed);
    return snprintf(buf, size,
                    "STATUS=%" PRIu64 " files queued, %" PRIu64 " scanned, %" PRIu64 " infected, %" PRIu64
                    " failed scans, %" PRIu64 " self-test%s\n",
                    queued, scanned, infected, failed, selftests, selftests == 1 ? "" : "s");
}

int status_start() {
    pthread_t thread;
    int rc = pthread_create(&thread, nullptr, status_loop, nullptr);
    if (rc != 0) {
        errno = rc;
        syslog(LOG_WARNING, "pthread_create(): %m");
        return -1;
    }
    pthread_detach(thread);
    return 0;
}
