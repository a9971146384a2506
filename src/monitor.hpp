// fanotify set-up and the poll loop: close-after-write events under the monitored trees become tasks.
#pragma once

struct monitor;
struct exclusion_rules;

// The exclusions by pattern, user and program that zet applies itself to written files; kept until exit.
// Without any, written files go to the scan service as documented (EXCL is the service's to apply).
void monitor_exclude(const exclusion_rules& rules);

// A fanotify group with a mount mark for every path of `list`, in list order. Returns the descriptor, or
// -1 after an error message (marks already added stay until the process ends).
int monitor_start(const monitor* list, int unlimited_queue);

// Marks every mount found below a tree of `trees` (through full coverage's group where it can, else with
// a mount mark in `fan_fd`), announced as the trees are, and has monitor_run follow the mount table for the
// trees of its list: mounts that appear below a tree are marked, those that go are forgotten. 0; -1 after a
// warning.
int monitor_follow_mounts(int fan_fd, const monitor* trees);

// Serves the signal and fanotify descriptors, and the group of full coverage when it has one, until SIGINT
// or SIGTERM is read (0) or poll or the signal read fails (-1, logged). `list` holds every monitored tree.
// Sends "WATCHDOG=1" after every other wake-up; `timeout_ms` -1 waits without limit.
int monitor_run(int signal_fd, int fan_fd, const monitor* list, int timeout_ms);

// Removes the mark of every path of `list` and closes `fan_fd`.
void monitor_stop(int fan_fd, const monitor* list);
