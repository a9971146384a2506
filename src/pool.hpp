// Task queue and worker threads: the monitor loop queues paths, a fixed set of workers runs the scan
// task on each of them, oldest first (or, with the large-file lane, oldest first within what each may take).
#pragma once

#include "src/actor.hpp"
#include "src/paths.hpp"

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <ctime>

// What a worker hands to the task function. Each worker owns one, reused for every task.
struct task_t {
    char path[PATH_BUF_SIZE]; // zero-terminated copy of the queued path
    int* sock;                // the worker's own scan-service connection; -1 while unconnected
    // A descriptor of the file as its event named it, or -1. It follows the file through renames, so the
    // scan can find it under its current name. The task owns it: the task function may take it (and set
    // -1); the worker closes whatever is left after the task.
    int fd;
    unsigned attempt; // scans of this file that already failed
    // Non-zero: the scan of a held or noticed open, whose verdict goes back to on-open protection under
    // this number (pool_offer_open).
    std::uint64_t open_id;
    // Non-zero: a file of the sweep with this number (pool_add_sweep), whose result goes back to it.
    std::uint64_t sweep_id;
    // Who wrote the file (or, for an open, opened it); the task owns the pidfd, as it owns `fd`.
    process_ref by;
};

using task_function = void (*)(task_t*);

// Allocates the queue and starts `count` workers running `fn`; a count of 0 starts one worker. Returns 0,
// or -1 after logging (the workers already started keep running). Call once, before pool_add_task.
int pool_init(std::size_t count, task_function fn);

// Queues a copy of `path` (at most PATH_BUF_SIZE - 1 bytes); blocks while all slots are taken. The caller
// may reuse its buffer at once.
void pool_add_task(const char* path);

// pool_add_task for a file with a descriptor (`fd`, or -1) that the queue takes over, and the number of
// scans that already failed for it. `st` is the descriptor's fstat when the caller has made one (null: the
// pool makes its own when it needs one). With de-duplication on, a file whose inode already waits in the
// queue is not queued again (its descriptor is closed): the waiting task will scan the same, newest content.
// `by` is the writer, whose pidfd the queue takes over too.
void pool_add_file(const char* path, int fd, unsigned attempt, const struct stat* st, process_ref by = {});

// Turns de-duplication of waiting files on; call before the first task is queued.
void pool_set_dedup(bool on);

// Turns the large-file lane on (size > 0); call before pool_init. A file of `size` bytes or more, as its
// descriptor shows when it is queued, waits in a FIFO of its own, and `kept_for_small` workers (at most all
// but one) never take from it, so small files do not wait behind large scans. The two FIFOs have 256
// slots each; a worker takes the older of the two heads it may take.
void pool_set_large_lane(std::int64_t size, std::size_t kept_for_small);

// Turns the lane of opens on (ON_OPEN); call before pool_init. Its tasks are taken before any other.
void pool_set_open_lane(bool on);

// Queues the scan of an open, never waiting: false when the lane of opens is full (or off). The queue takes
// over `fd`; `open_id` travels in the task.
bool pool_offer_open(const char* path, int fd, std::uint64_t open_id, pid_t opener);

// Turns the lane of sweeps on; call before pool_init. Its tasks are taken only while no written file and
// no open waits, by all workers but one (one at least), so that a sweep never starves live events.
void pool_set_sweep_lane(bool on);

// Queues one file of the sweep `sweep_id`, taking over `fd`; blocks while the lane is full. Never
// de-duplicated: every file of a sweep gets its own result.
void pool_add_sweep(const char* path, int fd, std::uint64_t sweep_id);

// Paths waiting in the queue now.
unsigned pool_pending();

// When the oldest task that is still waiting in the queue, or being scanned, was queued (CLOCK_REALTIME),
// in `*queued_at`; false when there is none.
bool pool_oldest_unfinished(timespec* queued_at);

// Threads the pool holds now: producers in pool_add_task or pool_add_file waiting for a free slot, and
// workers waiting for a path they may take. A thread leaves its count when a broadcast wakes it, before it
// runs again, so the threads counted cannot move until the queue changes. For tests that must see a thread
// block.
struct pool_waiters {
    unsigned producers;
    unsigned workers;
};
pool_waiters pool_waiting();
