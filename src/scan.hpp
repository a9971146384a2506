// The scan task run by the workers: scan one path, move an infected file into the vault, log each finding.
#pragma once

#include "src/pool.hpp"

#include <ctime>

struct infection;

struct monitor;

// The vault directory as configured; set once by start-up before any task exists, then only read.
extern const char* vault_dir;
// The monitored trees, the exclusions and the coverage mode; set like vault_dir.
extern const monitor* scan_trees;
extern const monitor* scan_exclusions;
extern int scan_coverage;

// Scans the file of the task under the name it has now (followed through its descriptor, when it has one)
// on the worker's connection; an infected file goes into the vault under
// "<vault>/<name>.XXXXXX" and gets one infection-log line per finding. Failures are logged and dropped.
void scan(task_t* task);

// Opens the infection log for appending. Returns 0, or -1 after an error message (no lines are written then).
int log_init(const char* path);

// Closes the infection log if it is open.
void log_free();

// The time log_infection last took on this thread, for the reports that follow its lines.
extern thread_local time_t log_infection_time;

// Writes one line "time\tpath\tvault\tname" per finding of `list`, in list order, all with the same local
// time, then flushes. A null `vault` is written as "ERROR". Nothing is written while the log is not open.
void log_infection(const char* path, const char* vault, const infection* list);
