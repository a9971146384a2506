// What full coverage does about files whose events or scans were lost: a catch-up walk after an event
// queue overflow (and through directories moved into a tree), and a bounded backlog of failed scans tried
// again once the scan service answers. With a state file, also the time up to which every event was
// handled, and the catch-up walk after downtime from it.
#pragma once

#include <cstddef>
#include <ctime>

class Config;
struct monitor;
struct exclusion_rules;
struct task_t;

// Files waiting for another scan at most; beyond it a failed file is given up (and said).
inline constexpr std::size_t RETRY_BACKLOG_SIZE = 4096;
// Scans of one file at most, the first included.
inline constexpr unsigned RETRY_ATTEMPTS = 3;
// A catch-up starts this long before the last event handled, for file times of coarse clocks.
inline constexpr time_t CATCHUP_MARGIN_SECONDS = 2;
// The catch-up after downtime starts this long before the handled-until time. A file written just before a
// crash had its event read after that time, but its own times may be older: FAT and exFAT keep them in
// 2-second steps, ext4 with small inodes and some network file systems in whole seconds, and a file
// server's clock may run a little behind ours.
inline constexpr time_t DOWNTIME_MARGIN_SECONDS = 5;

// Starts the walker and the retry threads for the trees and exclusions of `config`, which is kept and read
// until the process ends; the retrier probes the service of av_init. When `config` keeps a state file, the
// handled-until time is followed from now on: call before the first mark. 0; -1 after a warning (full
// coverage then lacks them).
int recovery_start(const Config& config);

// Whether the handled-until time is followed (recovery_start with a state file kept).
bool catchup_tracking();

// The monitor loop read events now: a later overflow catches up from shortly before this.
void catchup_note_events();
// The monitor loop found its groups empty after `checked`, with every event read before handed to the pool:
// every event of a file closed before `checked` has been queued.
void catchup_note_drained(const timespec& checked);
// The time up to which every event was handled, its file's scan ended: the older of the last
// catchup_note_drained and the events of the oldest task still queued or scanned, held back while a
// catch-up walk is due, runs or has tasks unfinished, and by files waiting for another scan.
timespec catchup_handled_until();

// Queue, once, every regular file changed since shortly (DOWNTIME_MARGIN_SECONDS) before `handled_until`,
// the time read from the state file, and say how many when done. False when the walker does not run: the
// handled-until time then stays at `handled_until`.
bool catchup_downtime(const timespec& handled_until);
// The catch-up after downtime of this run.
struct catchup_report {
    bool requested; // catchup_downtime was called
    bool done;      // its walk has ended
    timespec since; // the walk queues files changed from then on
    std::size_t queued;
    timespec finished; // when the walk ended
};
catchup_report catchup_downtime_report();
// The kernel dropped events: queue, once, every regular file changed since shortly before the last events
// handled. Requests made while a walk runs are merged into one more walk.
void catchup_overflow();
// A directory was moved into a tree: queue every regular file below it.
void catchup_directory(const char* path);

// Calls `add` for every regular file below each path of `trees` whose modification or change time is at
// or after `since`, skipping `exclusions` and what `rules` leave alone (by path: a walk has no process);
// symbolic links are not followed. A false from `add` ends the walk. Returns the number of calls.
std::size_t catchup_walk(const monitor* trees, const monitor* exclusions, const timespec& since,
                         bool (*add)(const char* path, void* ctx), void* ctx,
                         const exclusion_rules* rules = nullptr);
// The same for every regular file at or below `root` (a file itself included), whatever its times: the
// walk of a sweep.
std::size_t sweep_walk(const char* root, const monitor* exclusions, bool (*add)(const char* path, void* ctx),
                       void* ctx, const exclusion_rules* rules = nullptr);

// Takes the path of a failed task into the backlog, to be queued again once the service answers, with
// backoff. False when the backlog is full or the task had its last attempt: the caller says the file went
// unscanned.
bool retry_add(task_t* task);

// Seconds to wait before attempt `attempt` (2, 3, ...) of a failed file.
unsigned retry_delay(unsigned attempt);
