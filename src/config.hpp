// The daemon's settings record with its compiled-in defaults, and the reading of the configuration file
// into it (with the preparation of the vault directory).
#pragma once

#include "src/icap.hpp"
#include "src/paths.hpp"

#include <cstdint>
#include <string>

// What COVERAGE asks for. "writes": files closed after writing on the monitored mounts. "full": also files
// renamed, hard-linked or linked into the trees, writes through any mount of their file systems, catch-up
// after a lost event queue and retries of failed scans.
enum coverage_mode : std::int32_t { COVERAGE_WRITES = 0, COVERAGE_FULL = 1 };

// What ON_OPEN asks for. "scan": opens and executions of files under the trees that are not known clean
// are scanned, the open going on meanwhile. "block": the open waits for the verdict (at most OPEN_TIMEOUT
// seconds) and fails with EPERM for an infected file.
enum on_open_mode : std::int32_t { ON_OPEN_OFF = 0, ON_OPEN_SCAN = 1, ON_OPEN_BLOCK = 2 };
// What OPEN_ERROR does with a held open that got no verdict in time, or whose scan failed.
enum open_error_policy : std::int32_t { OPEN_ERROR_ALLOW = 0, OPEN_ERROR_DENY = 1 };
// The spellings in the file, by value.
inline constexpr const char* ON_OPEN_NAMES[] = {"off", "scan", "block", nullptr};
inline constexpr const char* OPEN_ERROR_NAMES[] = {"allow", "deny", nullptr};

// Every setting of the daemon. Built with the defaults, filled once by read_from_file on the main thread,
// then read-only: the units keep a reference to it from their start and read it, from any thread, until
// the process ends. Owns its texts, both lists, their nodes and their paths.
class Config {
public:
    Config() = default;
    Config(const Config&) = delete;
    Config& operator=(const Config&) = delete;
    // Frees every node of `monitors`, then of `exclusions`; only for a record no thread reads any more.
    ~Config();

    // Reads the INI file `file` (null: keep the defaults) into the record, then creates the vault if it is
    // missing (mode 0700, not recursively) and excludes it when it lies under a monitored path. Every bad
    // line is logged in one pass; false when the file could not be read, any line or value was bad, or the
    // vault's canonical path cannot be taken. A vault that is not a directory is only reported: every move
    // into it then fails and is logged with "ERROR". Relative paths resolve against the current directory.
    bool read_from_file(const char* file);

    std::string run_dir = "/run/orbis";
    std::string socket = "/run/orbis/scan.sock";
    std::string log_file = "/var/log/orbis/zet.log";
    std::string vault = "/var/lib/orbis/vault";
    std::int32_t scanners = 4;        // worker threads, 1 to 1024
    std::int32_t unlimited_queue = 0; // 0 or 1: ask fanotify for an unlimited event queue
    std::int32_t coverage = COVERAGE_WRITES;
    // Detections and metrics beyond the documented behaviour; each is off while its key is absent.
    std::string alert_command;          // absolute path of a program run per infected file; empty: none
    std::int32_t alert_timeout = 60;    // seconds before a running alert command is killed, 1 to 3600
    std::int32_t alert_queue = 100;     // alerts waiting for a runner before more are dropped, 1 to 100000
    std::string json_log;               // one JSON record per infected file appended here; empty: none
    std::int32_t syslog_detections = 0; // 0 or 1: a LOG_WARNING message per infected file
    std::int32_t metrics = 0;           // 0 or 1: write the metrics state file into run_dir
    std::int32_t vault_records = 0;     // 0 or 1: keep a record of each quarantined file on its vault file
    // The large-file lane: files of this many bytes or more queue apart, and small_file_scanners workers
    // never take them. 0: one queue for all, as documented.
    std::int64_t large_file_size = 0;
    // 1 to 1023; the pool keeps at most SCANNERS - 1, so that a shipped value never stops a small pool.
    std::int32_t small_file_scanners = 1;
    // Protection on access; off while ON_OPEN is absent.
    std::int32_t on_open = ON_OPEN_OFF;
    std::int32_t open_timeout = 5; // seconds a held open waits for its verdict, 1 to 60
    std::int32_t open_error = OPEN_ERROR_ALLOW;
    // zetctl's way in (`zetctl scan`): a UNIX socket, relative paths below RUN_DIR; empty: none.
    std::string control_socket;
    // Where zet keeps the time up to which it handled every event, to catch up after downtime; empty:
    // nowhere. COVERAGE = writes keeps it only when the key is set, so its documented behaviour stays.
    std::string state_file = "/var/lib/orbis/zet.state";
    bool state_file_set = false; // STATE_FILE was read from the file
    // ICAP servers in place of SOCKET's scan service: SCAN_SERVICE's text and its servers; empty: SOCKET.
    std::string scan_service;
    std::vector<icap_server> icap_servers;
    monitor* monitors = nullptr;
    monitor* exclusions = nullptr;
    // EXCL_GLOB, EXCL_USER and EXCL_PROGRAM of [MONITORS], and zet's own files (filled after the reading).
    exclusion_rules excluded;

    // Whether zet keeps the state file and catches up after downtime.
    bool keeps_state_file() const {
        return !state_file.empty() && (coverage == COVERAGE_FULL || state_file_set);
    }
};

// Adds the canonical form of `path` at the head of `*list`; a path that does not exist (yet) is kept as
// written, with a warning. True also when the list already holds exactly this text (nothing is added).
// False, with a message, when the path cannot be resolved for another reason or memory runs out; false
// without one for an empty path.
bool add_monitor(monitor** list, const std::string& path);
