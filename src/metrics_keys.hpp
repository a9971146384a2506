// The metrics state file's name and line names: zet writes them (src/metrics) and zetctl reads them back
// by name (ctl/metrics), so each is spelled here once. Constants only, so that zetctl links none of the
// writer.
#pragma once

#include <cstddef>

inline constexpr const char* METRICS_FILE_NAME = "zet.metrics";

// The file's counts in file order, one "name value" line each; the latency histogram's lines follow.
enum metrics_key : std::size_t {
    METRIC_START_TIME, // when zet started, in seconds since the epoch
    METRIC_QUEUED,
    METRIC_SCANNED,
    METRIC_INFECTED,
    METRIC_FAILED,
    METRIC_UNSCANNED,
    METRIC_SERVICE_DOWN_SINCE, // seconds since the epoch, 0 while scans reach the service
    METRIC_QUEUE_DEPTH,
    METRIC_ALERTS_RUN,
    METRIC_ALERTS_FAILED,
    METRIC_ALERTS_TIMED_OUT,
    METRIC_ALERTS_DROPPED,
    // Protection on access; written only with ON_OPEN.
    METRIC_OPENS,
    METRIC_OPEN_HITS,
    METRIC_OPEN_SCANS,
    METRIC_OPENS_DENIED,
    METRIC_OPENS_UNSCANNED,
    METRIC_OPEN_OVERFLOWS,
    METRIC_OPENS_HELD,
    METRIC_OLDEST_OPEN_HELD_MS, // how long the oldest open held now has waited; 0 while none is
    METRIC_OPEN_CACHE_ENTRIES,
    METRIC_KEYS
};

inline constexpr const char* METRIC_NAMES[METRIC_KEYS] = {
    "start_time",
    "queued",
    "scanned",
    "infected",
    "failed",
    "unscanned",
    "service_down_since",
    "queue_depth",
    "alerts_run",
    "alerts_failed",
    "alerts_timed_out",
    "alerts_dropped",
    "opens",
    "open_cache_hits",
    "open_scans",
    "opens_denied",
    "opens_unscanned",
    "open_queue_overflows",
    "opens_held",
    "oldest_open_held_ms",
    "open_cache_entries",
};

// The counts of protection on access, in file order.
inline constexpr metrics_key OPEN_METRICS[] = {
    METRIC_OPENS,        METRIC_OPEN_HITS,           METRIC_OPEN_SCANS,
    METRIC_OPENS_DENIED, METRIC_OPENS_UNSCANNED,     METRIC_OPEN_OVERFLOWS,
    METRIC_OPENS_HELD,   METRIC_OLDEST_OPEN_HELD_MS, METRIC_OPEN_CACHE_ENTRIES,
};

// The cumulative latency buckets are named by this prefix and their bound in milliseconds, the last one
// (every scan) by LATENCY_BUCKET_ALL; their sum in microseconds follows them.
inline constexpr const char* LATENCY_BUCKET_PREFIX = "scan_latency_ms_le_";
inline constexpr const char* LATENCY_BUCKET_ALL = "inf";
inline constexpr const char* LATENCY_SUM_NAME = "scan_latency_sum_us";
