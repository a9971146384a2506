// Full coverage (COVERAGE = full): a fanotify group that reports directory handles and names, with
// file-system marks, so that files renamed, linked or written through any mount of a monitored tree's file
// system are seen. Each event is resolved to a path under a monitored tree as zet sees it, or dropped.
#pragma once

#include <sys/fanotify.h>

#include <cstddef>

class Config;
struct monitor;

// The directory-handle-and-name record of one event, pointing into the event.
struct fid_name {
    const unsigned char* fsid;   // 8 bytes
    const unsigned char* handle; // a struct file_handle, not necessarily aligned
    std::size_t handle_size;     // its header and handle bytes
    const char* name;            // zero-terminated inside the record; never empty, never holds '/'
};

// Finds the directory-handle-and-name record of the event at `event`, whose metadata `md` (an aligned copy)
// passed the FAN_EVENT_OK rule. False when the event has none or any record is malformed (lengths that
// overrun the event or each other, a handle larger than the record, a name without its terminator, an empty
// name, a name with '/', "." or "..").
bool fid_parse(const unsigned char* event, const fanotify_event_metadata& md, fid_name* out);

// The group and its file-system marks for every tree of `config` that allows them; `config` is kept and
// read until the process ends. Each tree marked logs "Started monitoring '%s'..."; each tree that cannot be
// marked, or all of them when the kernel lacks the group, is said at LOG_WARNING and added to `*fallback`
// (kept in static storage) for the mount marks of the writes mode. 0; -1 when no tree has full coverage.
int coverage_start(const Config& config, monitor** fallback);

// The group's descriptor for the monitor loop to poll; -1 when there is none.
int coverage_group();

// Handles one batch read from the group: written, created, linked and moved-in files are queued with a
// descriptor, moved-in directories walked, an overflow caught up.
void coverage_handle_batch(const char* buf, std::size_t len);

// Covers the file system of a mount found below a tree with the group as well. False when there is no
// group or the file system cannot be marked (the caller then gives the mount a mount mark).
bool coverage_add_mount(const char* path);
// Forgets a mount below a tree that went away.
void coverage_forget_mount(const char* path);

// Removes the marks and closes the group, if there is one.
void coverage_stop();
