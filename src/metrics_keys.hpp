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
    METRIC_KEYS
};

inline constexpr const char* METRIC_NAMES[METRIC_KEYS] = {
    "start_time",         "queued",      "scanned",    "infected",      "failed",           "unscanned",
    "service_down_since", "queue_depth", "alerts_run", "alerts_failed", "alerts_timed_out", "alerts_dropped",
};

// The cumulative latency buckets are named by this prefix and their bound in milliseconds, the last one
// (every scan) by LATENCY_BUCKET_ALL; their sum in microseconds follows them.
inline constexpr const char* LATENCY_BUCKET_PREFIX = "scan_latency_ms_le_";
inline constexpr const char* LATENCY_BUCKET_ALL = "inf";
inline constexpr const char* LATENCY_SUM_NAME = "scan_latency_sum_us";
