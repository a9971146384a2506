// The scan task run by the workers: scan one path, move an infected file into the vault, log each finding.
#pragma once

#include "src/av.hpp"
#include "src/pool.hpp"

#include <ctime>

class Config;

// The vault directory as configured; set once by start-up before any task exists, then only read.
extern const char* vault_dir;

// Keeps `config` (the trees, the exclusions, the coverage mode) for every scan; call before any task exists.
void scan_init(const Config& config);

// What one scan of a task's file learnt.
struct scan_outcome {
    av_verdict verdict;
    infection* findings;         // with AV_FOUND; owned by the outcome until scan_act releases it
    char reason[AV_REASON_SIZE]; // with AV_UNSCANNABLE: the service's reason
};

// The scan task in its steps, for callers that take the verdict before acting on it.
// scan_newest: scans the task's file under the name it has now (followed through its descriptor, when it
// has one) on the worker's connection, again under a newer name when it was renamed meanwhile. False when
// the file left the trees: there is nothing to act on.
bool scan_newest(task_t* task, scan_outcome* out);
// scan_act: counts the verdict; under full coverage says what was not scanned and keeps what found no
// service for another try; an infected file goes into the vault under "<vault>/<name>.XXXXXX", gets one
// infection-log line per finding and is reported (detection_report). Releases the findings.
void scan_act(task_t* task, scan_outcome* out);

// The task function of the pool: scan_newest, then scan_act. Failures are logged and dropped.
void scan(task_t* task);

// Opens the infection log for appending. Returns 0, or -1 after an error message (no lines are written then).
int log_init(const char* path);

// Closes the infection log if it is open.
void log_free();

// Writes one line "time\tpath\tvault\tname" per finding of `list`, in list order, all with the same local
// time, then flushes. A null `vault` is written as "ERROR". Nothing is written while the log is not open.
// log_infection takes the time now; log_infection_at is given it, so that the reports after the lines
// carry the same.
void log_infection(const char* path, const char* vault, const infection* list);
void log_infection_at(const char* path, const char* vault, const infection* list, time_t now);
