// The metrics state file: zet's counts and its scan-latency histogram in "<RUN_DIR>/zet.metrics", read by
// "zetctl metrics". Only written when METRICS is set.
#pragma once

#include "src/metrics_keys.hpp"

#include <cstdint>

class Config;

// A monotonic time in nanoseconds to pass to metrics_scan_done; 0 (no clock read) while metrics are off.
std::uint64_t metrics_now();

// Adds one scan that began at `started` (metrics_now) to the latency histogram; nothing when 0.
void metrics_scan_done(std::uint64_t started);

// With METRICS set, starts a detached thread that writes the state file into the current directory (the
// run directory) at once and then at most once a second when a count has changed, replacing it atomically.
// Call on the main thread with the stop signals blocked. 0; -1 after a warning when it cannot start.
int metrics_start(const Config& config);
