// Full coverage (COVERAGE = full): a fanotify group that reports directory handles and names, with
// file-system marks, so that files renamed, linked or written through any mount of a monitored tree's file
// system are seen. Each event is resolved to a path under a monitored tree as zet sees it, or dropped.
#pragma once

#include <sys/fanotify.h>

#include <cstddef>

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

// The group, its file-system marks for every tree of `list` that allows them, and a descriptor of each
// tree to resolve handles against. Each tree marked logs "Started monitoring '%s'..."; each tree that
// cannot be marked, or all of them when the kernel lacks the group, is said at LOG_WARNING and added to
// `*fallback` (kept in static storage) for the mount marks of the writes mode. Returns the group's
// descriptor, or -1 when no tree has full coverage.
int coverage_start(const monitor* list, const monitor* exclusions, int unlimited_queue, monitor** fallback);

// Handles one batch read from the group: written, created, linked and moved-in files are queued with a
// descriptor, moved-in directories walked, an overflow caught up.
void coverage_handle_batch(const char* buf, std::size_t len);

// Covers the file system of a mount found below a tree with the group as well. False when there is no
// group or the file system cannot be marked (the caller then gives the mount a mount mark).
bool coverage_add_mount(const char* path);
// Forgets a mount below a tree that went away.
void coverage_forget_mount(const char* path);

// What COVERAGE = full gives `tree` on this kernel and file system: true when a group with directory
// handles can mark its file system; otherwise false with the reason in `reason` (`size` bytes).
bool coverage_probe(const char* tree, char* reason, std::size_t size);

// Removes the marks and closes the group.
void coverage_stop(int fan_fd);

// True when `canonical` lies under one of the paths of `list` (byte prefix, as the monitor filter).
bool path_under(const char* canonical, const monitor* list);

// True when `path` is one of the exclusions of `list` or lies below one (component-wise).
bool path_excluded(const char* path, const monitor* list);
