// Live counts of the daemon's work, shown by the service manager ("systemctl status zet").
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

// Counts since start-up. Each is bumped once per file by its only writer kind (the monitor loop for
// `queued`, the workers for the rest) with relaxed ordering: the status line needs no ordering between
// them, and the hot path pays one uncontended atomic add.
struct status_counts {
    std::atomic<std::uint64_t> queued{0};    // paths handed to the task queue
    std::atomic<std::uint64_t> scanned{0};   // scans the service answered (clean or infected)
    std::atomic<std::uint64_t> infected{0};  // scans with at least one finding
    std::atomic<std::uint64_t> failed{0};    // scans that got no answer
    std::atomic<std::uint64_t> selftests{0}; // zetctl selftest probes found (not counted in `infected`)
};

extern status_counts status_counters;

inline void status_count(std::atomic<std::uint64_t>& counter) {
    counter.fetch_add(1, std::memory_order_relaxed);
}

// Writes the status line for the given counts into `buf` ("STATUS=... \n"); the snprintf result. Self-tests
// show only once there has been one.
int status_format(char* buf, std::size_t size, std::uint64_t queued, std::uint64_t scanned,
                  std::uint64_t infected, std::uint64_t failed, std::uint64_t selftests = 0);

// Starts a detached thread that sends the status line through sd_notify at most once a second, and only
// when a count has changed. Call after READY=1, with the stop signals already blocked (the thread inherits
// the mask). 0; -1 after a warning when the thread cannot be started (the daemon runs on without it).
int status_start();
