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
    std::atomic<std::uint64_t> selftests{0}; // zetctl selftest probes found (not counted in `infected`)
    // Protection on access (ON_OPEN), written by its answering thread unless said otherwise.
    std::atomic<std::uint64_t> opens{0};               // opens of files under the trees that needed a verdict
    std::atomic<std::uint64_t> open_hits{0};           // of them, known clean from the cache
    std::atomic<std::uint64_t> open_scans{0};          // scans started for them
    std::atomic<std::uint64_t> opens_denied{0};        // refused: infected, or OPEN_ERROR = deny
    std::atomic<std::uint64_t> opens_unscanned{0};     // let through (or refused) without a verdict
    std::atomic<std::uint64_t> open_overflows{0};      // kernel queue overflows: opens let through unseen
    std::atomic<std::int64_t> opens_held{0};           // held now
    std::atomic<std::int64_t> oldest_held_since_ms{0}; // monotonic time of the oldest held open; 0: none
    std::atomic<std::uint64_t> open_cache_entries{0};  // clean verdicts kept (any thread)
};

extern status_counts status_counters;

inline void status_count(std::atomic<std::uint64_t>& counter) {
    counter.fetch_add(1, std::memory_order_relaxed);
}

// Records whether the scan just made reached the scan service; the first miss after a success keeps its time.
void status_service(bool reached);

// Whether the status line also counts unscanned files, and opens; set once before the workers run.
void status_show_unscanned(bool on);
void status_show_opens(bool on);

// One reading of the counts.
struct status_snapshot {
    std::uint64_t queued, scanned, infected, failed, unscanned, selftests;
    std::int64_t service_down_since;
    std::uint64_t opens = 0, open_hits = 0, opens_denied = 0, opens_unscanned = 0, open_overflows = 0;
    std::int64_t opens_held = 0;
    bool operator==(const status_snapshot&) const = default;
};

status_snapshot status_read();

// Writes the status line for `s` into `buf` ("STATUS=... \n"): the counts, self-tests once there has been
// one, the unscanned files when shown, the opens when shown, and while scans find no scan service, since
// when; the snprintf result.
int status_format(char* buf, std::size_t size, const status_snapshot& s, bool show_unscanned,
                  bool show_opens = false);

// Starts a detached thread that sends the status line through sd_notify at most once a second, and only
// when it has changed. Call after READY=1, with the stop signals already blocked (the thread inherits
// the mask). 0; -1 after a warning when the thread cannot be started (the daemon runs on without it).
int status_start();
