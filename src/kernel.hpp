// What this kernel and a tree's file system offer zet, asked without changing anything: the daemon asks
// before it relies on a feature, zetctl to show what a tree is covered for.
#pragma once

#include <sys/fanotify.h>

#include <cstddef>
#include <cstdint>
#include <functional>

// The events full coverage marks file systems for: files closed after writing, moved in, created (links
// and named O_TMPFILEs), and the same for directories.
inline constexpr std::uint64_t COVERAGE_MASK = FAN_CLOSE_WRITE | FAN_MOVED_TO | FAN_CREATE | FAN_ONDIR;
// struct file_handle: its handle_bytes and handle_type, and the kernel's MAX_HANDLE_SZ.
inline constexpr std::size_t HANDLE_HEADER = 8;
inline constexpr std::size_t MAX_HANDLE = 128;

// Whether handles of `path`'s file system can be opened again through `path`: a system-call filter (a
// container's, a unit's) or a missing CAP_DAC_READ_SEARCH refuses open_by_handle_at, and every event of
// full coverage would then be lost. False with errno set.
bool handles_open(const char* path);

// What COVERAGE = full gives `tree` on this kernel and file system: true when a group with directory
// handles can mark its file system; otherwise false with the reason in `reason` (`size` bytes).
bool coverage_probe(const char* tree, char* reason, std::size_t size);

// Whether ON_OPEN = block can hold opens of `tree`: a group with permission events can mark its file
// system (or its mount); otherwise false with the reason in `reason` (`size` bytes). The probe's mark is
// gone again before this returns.
bool onopen_probe(const char* tree, char* reason, std::size_t size);

// fanotify_init with FAN_REPORT_PIDFD added to `flags`, so that each event names its process by a pidfd;
// without it where this kernel refuses the flag.
int fanotify_init_pidfd(unsigned flags, unsigned event_flags);

// Calls `each` with the header and the first byte of every info record of an event (`event` holds
// `md.event_len` bytes), in order. False when a record does not fit the event, or `each` returned false
// (a record it cannot read); the walk stops there.
bool event_info_records(
    const unsigned char* event, const fanotify_event_metadata& md,
    const std::function<bool(const fanotify_event_info_header&, const unsigned char*)>& each);

// The pidfd of an event's info records (the caller closes it): -1 (PIDFD_NONE) when it carries none,
// -2 (PIDFD_GONE) when the kernel said the process had exited. `event` holds `md.event_len` bytes.
int event_pidfd(const unsigned char* event, const fanotify_event_metadata& md);

// Raises the soft limit of open files to the hard one: full coverage and on-open protection hold a
// descriptor per queued file and per held open. A failure is said at LOG_WARNING.
void raise_descriptor_limit();
