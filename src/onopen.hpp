// Protection on access (ON_OPEN): opens and executions of regular files under the monitored trees, through
// any mount of their file systems, are scanned unless the file is known clean under the signatures now
// loaded. With `block` the opener waits for the verdict (permission events, in a group of their own), an
// infected file's open fails with EPERM, and no open waits longer than OPEN_TIMEOUT.
//
// One thread reads and answers the events, and does nothing that can wait: no open of a file, no user
// lookup, no synchronous logging, no wait on a worker. It answers at once what needs no scan (zet's and the
// scan service's own opens, files outside the trees or excluded, empty files, files known clean) and
// hands the rest to the pool's lane of opens; the workers' verdicts come back to it.
#pragma once

#include "src/av.hpp"

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>

class Config;

// Clean verdicts kept at most; a file system holds far more files, the kernel's ignore marks (where it
// offers them) keep the rest from reaching zet while their inodes are cached.
inline constexpr std::size_t OPEN_CACHE_ENTRIES = std::size_t{1} << 20;

// Starts protection on access as `config` asks (kept and read until the process ends): the groups and
// their marks on the file system of every tree, the answering thread and the thread that follows signature
// reloads. A tree whose file system offers no permission events falls back to `scan`, said at LOG_WARNING.
// Call after pool_init and before the monitor loop runs. 0; -1 after an error message when no tree could
// be marked at all (`block` and `scan` both failed).
int onopen_start(const Config& config);

// Marks the file system of a mount found below a tree too. False when it could not be marked.
bool onopen_add_mount(const char* path);

// A file was written, renamed or linked into a tree: its clean verdict is forgotten, in zet's cache and in
// the kernel's ignore marks. Any thread.
void onopen_forget(const char* path, const struct stat& st);

// The infected file at `path` is about to be moved into the vault: an open of it that began before the
// move, and is read after it under the vault's name, is denied rather than passed as outside the trees.
// Any thread.
void onopen_quarantining(const char* path);

// The verdict on the open task `id` (task_t::open_id), from the worker that scanned it: every open waiting
// for it is answered. `reason` is the service's for AV_UNSCANNABLE; `vps` the version of the signatures
// that judged. Never waits.
void onopen_verdict(std::uint64_t id, av_verdict verdict, const char* reason, std::uint32_t vps);

// A clean verdict on the open file `fd` by the signatures `vps`, found otherwise (a sweep): kept as the
// answering thread keeps its own, while `before` (its fstat before the scan) still describes it. Any thread.
void onopen_clean(int fd, const struct stat& before, std::uint32_t vps);

// Whether the answering thread has made progress lately: the monitor loop pings the service manager's
// watchdog only while it has, so that a zet which stopped answering is killed (and the kernel then allows
// every open it held). True when nothing is held on zet (off, or `scan` only).
bool onopen_alive();

// Answers every open still held (allowed), then closes the groups: the kernel allows what is left.
void onopen_stop();
