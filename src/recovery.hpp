// What full coverage does about files whose events or scans were lost: a catch-up walk after an event
// queue overflow (and through directories moved into a tree), and a bounded backlog of failed scans tried
// again once the scan service answers.
#pragma once

#include <cstddef>
#include <ctime>

class Config;
struct monitor;
struct task_t;

// Files waiting for another scan at most; beyond it a failed file is given up (and said).
inline constexpr std::size_t RETRY_BACKLOG_SIZE = 4096;
// Scans of one file at most, the first included.
inline constexpr unsigned RETRY_ATTEMPTS = 3;
// A catch-up starts this long before the last event handled, for file times of coarse clocks.
inline constexpr time_t CATCHUP_MARGIN_SECONDS = 2;

// Starts the walker and the retry threads for the trees and exclusions of `config`, which is kept and read
// until the process ends; the retrier probes the service of av_init. 0; -1 after a warning (full coverage
// then lacks them).
int recovery_start(const Config& config);

// The monitor loop handled events now: a later overflow catches up from shortly before this.
void catchup_note_events();
// The kernel dropped events: queue, once, every regular file changed since shortly before the last events
// handled. Requests made while a walk runs are merged into one more walk.
void catchup_overflow();
// A directory was moved into a tree: queue every regular file below it.
void catchup_directory(const char* path);

// Calls `add` for every regular file below each path of `trees` whose modification or change time is at
// or after `since`, skipping `exclusions`; symbolic links are not followed. A false from `add` ends the
// walk. Returns the number of calls.
std::size_t catchup_walk(const monitor* trees, const monitor* exclusions, const timespec& since,
                         bool (*add)(const char* path, void* ctx), void* ctx);
// The same for every regular file at or below `root` (a file itself included), whatever its times: the
// walk of a sweep.
std::size_t sweep_walk(const char* root, const monitor* exclusions, bool (*add)(const char* path, void* ctx),
                       void* ctx);

// Takes the path of a failed task into the backlog, to be queued again once the service answers, with
// backoff. False when the backlog is full or the task had its last attempt: the caller says the file went
// unscanned.
bool retry_add(task_t* task);

// Seconds to wait before attempt `attempt` (2, 3, ...) of a failed file.
unsigned retry_delay(unsigned attempt);
