// The metrics state file, written by a thread of its own from the same counts as the status line.
#include "src/metrics.hpp"

#include "src/alert.hpp"
#include "src/config.hpp"
#include "src/fileops.hpp"
#include "src/pool.hpp"
#include "src/status.hpp"
#include "src/thread.hpp"

#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

namespace {

constexpr const char* TEMP_FILE_NAME = "zet.metrics.tmp";
constexpr std::uint64_t NS_PER_SECOND = 1000000000;

// Upper bounds of the latency buckets in milliseconds; a last bucket takes the rest (+Inf).
constexpr std::uint64_t BUCKET_MS[] = {1,   5,    10,   25,   50,    100,   250,
                                       500, 1000, 2500, 5000, 10000, 30000, 120000};
constexpr std::size_t BUCKETS = sizeof BUCKET_MS / sizeof BUCKET_MS[0] + 1;

std::atomic<bool> enabled{false};
bool with_opens = false; // set by metrics_start before its thread exists
std::atomic<std::uint64_t> bucket_counts[BUCKETS];
std::atomic<std::uint64_t> latency_sum_ns{0};
time_t start_time = 0;

std::uint64_t monotonic_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * NS_PER_SECOND + static_cast<std::uint64_t>(ts.tv_nsec);
}

std::int64_t monotonic_ms() {
    return static_cast<std::int64_t>(monotonic_ns() / (NS_PER_SECOND / 1000));
}

std::uint64_t load(const std::atomic<std::uint64_t>& counter) {
    return counter.load(std::memory_order_relaxed);
}

// Every count after the start time, in file order; one line "name value" each. New counts go anywhere in
// the list: the reader takes lines by name.
std::vector<std::pair<std::string, std::uint64_t>> snapshot() {
    const status_snapshot st = status_read();
    std::vector<std::pair<std::string, std::uint64_t>> out = {
        {METRIC_NAMES[METRIC_QUEUED], st.queued},
        {METRIC_NAMES[METRIC_SCANNED], st.scanned},
        {METRIC_NAMES[METRIC_INFECTED], st.infected},
        {METRIC_NAMES[METRIC_FAILED], st.failed},
        {METRIC_NAMES[METRIC_UNSCANNED], st.unscanned},
        {METRIC_NAMES[METRIC_SERVICE_DOWN_SINCE],
         static_cast<std::uint64_t>(st.service_down_since > 0 ? st.service_down_since : 0)},
        {METRIC_NAMES[METRIC_QUEUE_DEPTH], pool_pending()},
        {METRIC_NAMES[METRIC_ALERTS_RUN], load(alert_counters.run)},
        {METRIC_NAMES[METRIC_ALERTS_FAILED], load(alert_counters.failed)},
        {METRIC_NAMES[METRIC_ALERTS_TIMED_OUT], load(alert_counters.timed_out)},
        {METRIC_NAMES[METRIC_ALERTS_DROPPED], load(alert_counters.dropped)},
    };
    if (with_opens) {
        const auto& c = status_counters;
        const std::int64_t since = c.oldest_held_since_ms.load(std::memory_order_relaxed);
        const std::int64_t held = c.opens_held.load(std::memory_order_relaxed);
        out.insert(
            out.end(),
            {{METRIC_NAMES[METRIC_OPENS], st.opens},
             {METRIC_NAMES[METRIC_OPEN_HITS], st.open_hits},
             {METRIC_NAMES[METRIC_OPEN_SCANS], load(c.open_scans)},
             {METRIC_NAMES[METRIC_OPENS_DENIED], st.opens_denied},
             {METRIC_NAMES[METRIC_OPENS_UNSCANNED], st.opens_unscanned},
             {METRIC_NAMES[METRIC_OPEN_OVERFLOWS], st.open_overflows},
             {METRIC_NAMES[METRIC_OPENS_HELD], static_cast<std::uint64_t>(std::max<std::int64_t>(held, 0))},
             {METRIC_NAMES[METRIC_OLDEST_OPEN_HELD_MS],
              static_cast<std::uint64_t>(since > 0 ? std::max<std::int64_t>(monotonic_ms() - since, 0) : 0)},
             {METRIC_NAMES[METRIC_OPEN_CACHE_ENTRIES], load(c.open_cache_entries)}});
    }
    std::uint64_t cumulative = 0;
    for (std::size_t i = 0; i < BUCKETS; i++) {
        cumulative += load(bucket_counts[i]);
        std::string le = i + 1 < BUCKETS ? std::to_string(BUCKET_MS[i]) : LATENCY_BUCKET_ALL;
        out.emplace_back(LATENCY_BUCKET_PREFIX + le, cumulative);
    }
    out.emplace_back(LATENCY_SUM_NAME, load(latency_sum_ns) / 1000);
    return out;
}

// `report`: log a failure (only the first of a series is, so a full disk does not log every second).
bool write_state(const std::vector<std::pair<std::string, std::uint64_t>>& counts, bool report) {
    std::string text = std::string(METRIC_NAMES[METRIC_START_TIME]) + " " +
                       std::to_string(static_cast<long long>(start_time)) + "\n";
    for (const auto& [name, value] : counts)
        text += name + " " + std::to_string(value) + "\n";
    // A reader sees the old file or the new one, never a part.
    return replace_file(METRICS_FILE_NAME, TEMP_FILE_NAME, text, 0644, false, report);
}

void* metrics_loop(void*) {
    const timespec interval = {1, 0};
    std::vector<std::pair<std::string, std::uint64_t>> last;
    bool failing = false;
    for (;;) {
        auto now = snapshot();
        if (now != last) {
            failing = !write_state(now, !failing);
            if (!failing)
                last = std::move(now);
        }
        nanosleep(&interval, nullptr);
    }
    return nullptr;
}

} // namespace

std::uint64_t metrics_now() {
    return enabled.load(std::memory_order_relaxed) ? monotonic_ns() : 0;
}

void metrics_scan_done(std::uint64_t started) {
    if (started == 0)
        return;
    const std::uint64_t ns = monotonic_ns() - started;
    std::size_t i = 0;
    while (i + 1 < BUCKETS && ns > BUCKET_MS[i] * (NS_PER_SECOND / 1000))
        i++;
    bucket_counts[i].fetch_add(1, std::memory_order_relaxed);
    latency_sum_ns.fetch_add(ns, std::memory_order_relaxed);
}

int metrics_start(const Config& config) {
    if (config.metrics == 0)
        return 0;
    start_time = time(nullptr);
    with_opens = config.on_open != ON_OPEN_OFF;
    enabled.store(true, std::memory_order_relaxed);
    return thread_start_detached(metrics_loop);
}
