// The alert command: run once per infected file from a queue of its own by a few runner threads, so that
// a slow or hanging command never holds up a worker.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

// What one run of the alert command is told, through its environment only.
struct alert_facts {
    std::string path;     // ZET_PATH: the scanned path
    std::string vault;    // ZET_VAULT: the vault name, empty when the move failed
    std::string findings; // ZET_FINDINGS: the finding names, one per line
    std::string time;     // ZET_TIME: the infection log line's time
    // ZET_PROCESS and its parts ("NAME=value"), when the detection names who did it.
    std::vector<std::string> process;
};

// Counts since start-up, read by the metrics writer.
struct alert_counts {
    std::atomic<std::uint64_t> run{0};       // commands started
    std::atomic<std::uint64_t> failed{0};    // not started, killed, or ended with a status other than 0
    std::atomic<std::uint64_t> timed_out{0}; // killed at the timeout (also counted as failed)
    std::atomic<std::uint64_t> dropped{0};   // facts not queued because the queue was full
};

extern alert_counts alert_counters;

// Number of commands that may run at once.
inline constexpr int ALERT_RUNNERS = 2;

// Borrows `command` (absolute path; must live until the process ends) and starts the runner threads.
// Call once on the main thread with the stop signals blocked. 0; -1 after a warning when no runner could
// be started (alerts are then dropped and counted).
int alert_start(const char* command, int timeout_seconds, int queue_length, const char* host);

// Queues one run of the command; never waits for a runner. When the queue is full the facts are dropped
// and counted. Does nothing before alert_start.
void alert_queue(alert_facts facts);

// Runs `command` once with `facts` and `host` in its environment, waiting at most `timeout_seconds`; the
// outcome is counted and a failure logged. For the runners and tests.
void alert_run(const char* command, const alert_facts& facts, const char* host, int timeout_seconds);
