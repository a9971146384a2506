// Task queue and worker threads: the monitor loop queues paths, a fixed set of workers runs the scan
// task on each of them, oldest first.
#pragma once

#include <cstddef>

// Bytes of every path text in the daemon, terminating zero included: event paths, queue slots, task paths
// and vault names.
inline constexpr std::size_t PATH_BUF_SIZE = 4096;

// What a worker hands to the task function. Each worker owns one, reused for every task.
struct task_t {
    char path[PATH_BUF_SIZE]; // zero-terminated copy of the queued path
    int* sock;                // the worker's own scan-service connection; -1 while unconnected
};

using task_function = void (*)(task_t*);

// Allocates the queue and starts `count` workers running `fn`; a count of 0 starts one worker. Returns 0,
// or -1 after logging (the workers already started keep running). Call once, before pool_add_task.
int pool_init(std::size_t count, task_function fn);

// Queues a copy of `path` (at most PATH_BUF_SIZE - 1 bytes); blocks while all slots are taken. The caller
// may reuse its buffer at once. One producer thread only.
void pool_add_task(const char* path);

// Body of each worker thread; `arg` is not read. Never returns.
void* worker(void* arg);
