// Live counts of the daemon's work, shown by the service manager ("systemctl status zet").
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>

// Counts since start-up. Each is bumped once per file by its only writer kind (the monitor loop for
// `queued`, the workers for the rest) with relaxed ordering: the status line needs no ordering between
// them, and the hot path pays one uncontended atomic add.
struct status_counts {
    std::atomic<std::uint64_t> queued{0};    // paths handed to the task queue
    std::atomic<std::uint64_t> scanned{0};   // scans the service answered (clean or infected)
    std::atomic<std::uint64_t> infected{0};  // scans with at least one finding
    std::atomic<std::uint64_t> failed{0};    // scans that got no answer
    std::atomic<std::uint64_t> unscanned{0}; // files given up unscanned (full coverage only)
    // Since when scans have found no scan service (0: the last scan reached it), in seconds since the epoch.
    std::atomic<std::int64_t> service_down_since{0};
};

extern status_counts status_counters;

inline void status_count(std::atomic<std::uint64_t>& counter) {
    counter.fetch_add(1, std::memory_order_relaxed);
}

// Records whether the scan just made reached the scan service; the first miss after a success keeps its time.
void status_service(bool reached);

// Whether the status line also counts unscanned files; set once before the workers run.
void status_show_unscanned(bool on);

// One reading of the counts.
struct status_snapshot {
    std::uint64_t queued, scanned, infected, failed, unscanned;
    std::int64_t service_down_since;
    bool operator==(const status_snapshot&) const = default;
};

status_snapshot status_read();

// Writes the status line for `s` into `buf` ("STATUS=... \n"): the counts, the unscanned files when
// shown, and while scans find no scan service, since when; the snprintf result.
int status_format(char* buf, std::size_t size, const status_snapshot& s, bool show_unscanned);

// Starts a detached thread that sends the status line through sd_notify at most once a second, and only
// when it has changed. Call after READY=1, with the stop signals already blocked (the thread inherits
// the mask). 0; -1 after a warning when the thread cannot be started (the daemon runs on without it).
int status_start();
