// The scan task run by the workers, the vault names and the infection log.
#include "src/scan.hpp"

#include "src/config.hpp"
#include "src/control.hpp"
#include "src/detection.hpp"
#include "src/fileops.hpp"
#include "src/icap.hpp"
#include "src/metrics.hpp"
#include "src/onopen.hpp"
#include "src/paths.hpp"
#include "src/probe_name.hpp"
#include "src/recovery.hpp"
#include "src/status.hpp"
#include "src/text.hpp"
#include "src/vault_record.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

const char* vault_dir = nullptr;

namespace {

// Set by scan_init before any task exists, then only read.
const Config* config = nullptr;

// Written only by log_init/log_free on the main thread; the stream's own per-call lock keeps each line
// whole while several workers write.
FILE* infection_log = nullptr;

// Scans of one task under names that the file left before the service opened it, and moves of an infected
// file renamed between the answer and the move.
constexpr int MAX_RENAMED_SCANS = 3;

enum where { UNCHANGED, MOVED, GONE_OUT };

// Whether zet itself leaves a file under `path` alone: under full coverage every exclusion, otherwise the
// patterns only (EXCL is then the service's to apply, as documented).
bool left_alone(const char* path) {
    if (config->coverage == COVERAGE_FULL)
        return excluded_by(path, config->exclusions, config->excluded, nullptr).has_value();
    return !config->excluded.globs.empty() && excluded_by(path, nullptr, config->excluded, nullptr);
}

// Follows the task's descriptor to the name the file has now. A file that was renamed within the trees
// gets its new name in task->path; one moved out of them is not scanned. A removed file keeps the queued
// name, so that it goes the way that name goes.
where follow(task_t* task) {
    if (task->fd <= 0 || still_names(task->fd, task->path))
        return UNCHANGED;
    char now[PATH_BUF_SIZE];
    if (fd2path(task->fd, now, sizeof now) == nullptr)
        return UNCHANGED;
    // The kernel marks a name that was removed; another link may still hold the file, but not this name.
    static constexpr char deleted[] = " (deleted)";
    std::size_t len = strlen(now);
    struct stat st;
    if (fstat(task->fd, &st) != 0 || st.st_nlink == 0 ||
        (len >= sizeof deleted - 1 && strcmp(now + len - (sizeof deleted - 1), deleted) == 0))
        return UNCHANGED;
    if (now[0] != '/' || !path_under(now, config->monitors) || left_alone(now)) {
        syslog(LOG_DEBUG, "%s: moved to %s, outside the monitored trees: not scanned", task->path, now);
        return GONE_OUT;
    }
    memcpy(task->path, now, len + 1);
    return MOVED;
}

// The regular file at `path` opened for reading, its access time left as the users left it where the
// process may (O_NOATIME); -1 with errno set. zet's own open: answered at once by on-open protection.
int open_regular(const char* path, int flags, struct stat* st) {
    int fd = open(path, O_RDONLY | O_NOATIME | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | flags);
    if (fd < 0 && errno == EPERM) // O_NOATIME on a file that is not the process's own
        fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | flags);
    if (fd >= 0 && (fstat(fd, st) != 0 || !S_ISREG(st->st_mode))) {
        close(fd);
        errno = EINVAL;
        fd = -1;
    }
    return fd;
}

// The task's file opened for reading through its descriptor (no second open by path), or -1.
int reopen_readable(int fd, struct stat* st) {
    return fd < 0 ? -1 : open_regular(("/proc/self/fd/" + std::to_string(fd)).c_str(), 0, st);
}

// Through ICAP servers: zet applies every exclusion itself (the server knows no paths) and sends the
// content read through the task's descriptor.
void scan_content(task_t* task, scan_outcome* out) {
    if (excluded_by(task->path, config->exclusions, config->excluded, nullptr)) {
        out->verdict = AV_UNSCANNABLE;
        snprintf(out->reason, sizeof out->reason, "Excluded");
        return;
    }
    struct stat st;
    int fd = reopen_readable(task->fd, &st);
    // A file known by its path alone (a retry, a walk): zet opens it itself; the server sees no path.
    if (fd < 0)
        fd = open_regular(task->path, O_NOFOLLOW, &st);
    if (fd < 0) {
        out->verdict = AV_UNSCANNABLE;
        snprintf(out->reason, sizeof out->reason, "%s",
                 errno == ENOENT ? "File path check failure" : strerror(errno));
        return;
    }
    out->verdict =
        av_scan_fd(task->sock, fd, task->path, &out->findings, out->reason, sizeof out->reason, nullptr);
    close(fd);
}

// Who wrote the task's file, when the kernel named a writer. Asked only once the file is found infected (a
// read of procfs per file would cost more than its scan): a writer that has exited by then is unknown.
detection_cause written_by(const task_t* task) {
    if (task->by.pid <= 0)
        return {};
    detection_cause cause{"writer", actor_describe(task->by)};
    actor_name_user(cause.who);
    return cause;
}

// Whether the service could not find the file because it is gone for good, rather than renamed.
bool vanished(const task_t* task) {
    struct stat st;
    if (task->fd > 0)
        return fstat(task->fd, &st) == 0 && st.st_nlink == 0;
    return lstat(task->path, &st) != 0 && errno == ENOENT;
}

// A file that full coverage could not have scanned: said, counted, and where the service was not reached,
// kept for another try.
void unscanned(task_t* task, const char* reason, bool retry) {
    if (retry && retry_add(task))
        return;
    if (retry)
        reason = task->attempt + 1 >= RETRY_ATTEMPTS ? "no answer from the scan service after 3 attempts"
                                                     : "no answer from the scan service, retry backlog full";
    syslog(LOG_WARNING, "%s: not scanned: %s", task->path, reason);
    status_count(status_counters.unscanned);
}

// A zetctl probe is quarantined and logged like any finding; only the counts keep it apart.
bool is_selftest(const char* name, const infection* list) {
    if (!selftest_name(name))
        return false;
    for (const infection* i = list; i != nullptr; i = i->next)
        if (!selftest_finding(i->name))
            return false;
    return true;
}

// Counts the verdict and, under full coverage, says what was not scanned (keeping what the service did not
// answer for another try). True when the file is to go to the vault.
bool account(task_t* task, const scan_outcome& out) {
    status_service(out.verdict != AV_FAILED);
    if (config->coverage == COVERAGE_FULL) {
        if (out.verdict == AV_FAILED) {
            status_count(status_counters.failed);
            unscanned(task, "", true);
            return false;
        }
        if (out.verdict == AV_UNSCANNABLE) {
            if (vanished(task)) {
                syslog(LOG_DEBUG, "%s: removed before its scan", task->path);
            } else if (strcmp(out.reason, "Excluded") != 0) {
                unscanned(task, out.reason, false);
                return false;
            }
            status_count(status_counters.scanned);
            return false;
        }
    }
    status_count(out.verdict == AV_FAILED ? status_counters.failed : status_counters.scanned);
    if (out.verdict != AV_FOUND)
        return false;
    status_count(is_selftest(basename_r(task->path), out.findings) ? status_counters.selftests
                                                                   : status_counters.infected);
    return true;
}

// Moves the task's infected file into the vault under "<vault>/<name>.XXXXXX", following it if it is
// renamed on the way. The vault name in `vault_name`, or null when the file was not moved. A non-null
// `before` gets the lstat of the file that was moved, taken just before its move (st_mode 0 when that
// failed): a copy across file systems keeps neither owner, mode nor times.
const char* quarantine(task_t* task, char* vault_name, std::size_t size, struct stat* before) {
    for (int moves = 1;; moves++) {
        const char* name = basename_r(task->path);
        int len = snprintf(vault_name, size, "%s/%s.XXXXXX", vault_dir, name);
        if (len < 0 || static_cast<std::size_t>(len) >= size) {
            syslog(LOG_WARNING, "snprintf(): %s/%s: Error creating vault path", vault_dir, name);
            return nullptr;
        }
        int fd = mkstemp(vault_name);
        if (fd < 0) {
            syslog(LOG_WARNING, "mkstemp(): %s: Error creating temp file", vault_name);
            return nullptr;
        }
        // Only the reserved name is needed: the move replaces the empty file.
        close(fd);
        onopen_quarantining(task->path);
        if (before != nullptr && lstat(task->path, before) != 0)
            *before = {};
        if (move_file(task->path, vault_name) == 0)
            return vault_name;
        // Renamed between the answer and the move: the infected file is the task's, so it goes to the vault
        // under its new name, and the reserved name that this try left empty goes.
        if (moves == MAX_RENAMED_SCANS || task->fd <= 0 || follow(task) != MOVED)
            return nullptr;
        unlink(vault_name);
    }
}

// The vault name in `vault_name`, or null when the file was not moved. With VAULT_RECORDS the vault file
// gets its record, before the log line that tells where it went.
const char* quarantine_and_report(task_t* task, const infection* findings, char* vault_name, std::size_t size,
                                  const detection_cause& cause) {
    const bool keep_record = config->vault_records != 0;
    struct stat before {};
    const char* moved_to = quarantine(task, vault_name, size, keep_record ? &before : nullptr);
    const time_t when = time(nullptr);
    std::uint32_t vps = 0; // asked once, for the record and the JSON log alike
    if (moved_to != nullptr && keep_record) {
        if (av_vps(task->sock, &vps) != 0)
            vps = 0;
        if (S_ISREG(before.st_mode))
            vault_record_keep(
                moved_to, task->path, before, findings, vps,
                cause.role != nullptr && strcmp(cause.role, "writer") == 0 ? cause.who : actor{}, when);
        else
            syslog(LOG_WARNING, "%s: vault record not kept: the file could not be read before its move",
                   moved_to);
    }
    log_infection_at(task->path, moved_to, findings, when);
    detection_report(task->sock, task->path, moved_to, findings, when, cause, vps);
    return moved_to;
}

// The scan of an open, by the event's descriptor: the service reads what the opener would, and never opens
// the file itself. The verdict goes back to the waiting opens first; then an infected file is quarantined
// and logged as a written one is.
void scan_open(task_t* task) {
    scan_outcome out = {AV_FAILED, nullptr, ""};
    std::uint32_t vps = 0;
    const std::uint64_t started = metrics_now();
    out.verdict =
        av_scan_fd(task->sock, task->fd, task->path, &out.findings, out.reason, sizeof out.reason, &vps);
    metrics_scan_done(started);
    // Named before the opener is let go: procfs alone, so that the deny is not delayed.
    detection_cause cause;
    if (out.verdict == AV_FOUND)
        cause = {"opener", actor_describe(task->by)};
    onopen_verdict(task->open_id, out.verdict, out.reason, vps);
    actor_name_user(cause.who);
    status_service(out.verdict != AV_FAILED);
    status_count(out.verdict == AV_FAILED ? status_counters.failed : status_counters.scanned);
    if (out.verdict == AV_FOUND) {
        status_count(is_selftest(basename_r(task->path), out.findings) ? status_counters.selftests
                                                                       : status_counters.infected);
        // The scan of a write may have moved it meanwhile, and logged it then.
        char vault_name[PATH_BUF_SIZE];
        if (still_names(task->fd, task->path) ||
            (follow(task) == MOVED &&
             !excluded_by(task->path, config->exclusions, config->excluded, nullptr)))
            quarantine_and_report(task, out.findings, vault_name, sizeof vault_name, cause);
        else
            syslog(LOG_DEBUG, "%s: infected, but no longer there", task->path);
    }
    av_free_result(out.findings);
}

// A file of a sweep: scanned like a written one, and its result told to the sweep's client as well. With
// on-open protection it is scanned by descriptor, so that a clean verdict, of the signatures that gave it,
// also spares the next open its scan.
void scan_sweep(task_t* task) {
    const std::uint64_t id = task->sweep_id;
    scan_outcome out = {AV_FAILED, nullptr, ""};
    int readable = -1;
    struct stat before;
    if (config->on_open != ON_OPEN_OFF || icap_on())
        readable = reopen_readable(task->fd, &before);
    std::uint32_t vps = 0;
    if (readable >= 0) {
        const std::uint64_t started = metrics_now();
        out.verdict =
            av_scan_fd(task->sock, readable, task->path, &out.findings, out.reason, sizeof out.reason, &vps);
        metrics_scan_done(started);
    } else if (!scan_newest(task, &out)) {
        // Moved out of the trees before its turn: gone from what the sweep protects, not unscanned.
        control_sweep_result(id, task->path, AV_UNSCANNABLE, nullptr, nullptr, nullptr);
        return;
    }
    status_service(out.verdict != AV_FAILED);
    status_count(out.verdict == AV_FAILED ? status_counters.failed : status_counters.scanned);
    // Removed (or quarantined by a live scan) before its turn: the same.
    if (out.verdict == AV_UNSCANNABLE && vanished(task)) {
        control_sweep_result(id, task->path, AV_UNSCANNABLE, nullptr, nullptr, nullptr);
        av_free_result(out.findings);
        if (readable >= 0)
            close(readable);
        return;
    }
    char vault_name[PATH_BUF_SIZE];
    const char* moved_to = nullptr;
    if (out.verdict == AV_FOUND) {
        status_count(is_selftest(basename_r(task->path), out.findings) ? status_counters.selftests
                                                                       : status_counters.infected);
        // --no-move: a first look, nothing quarantined, logged or alerted.
        if (control_sweep_moves(id))
            moved_to = quarantine_and_report(task, out.findings, vault_name, sizeof vault_name, {});
    } else if (out.verdict == AV_CLEAN && readable >= 0) {
        onopen_clean(readable, before, vps);
    }
    control_sweep_result(id, task->path, out.verdict, out.findings, moved_to, out.reason);
    av_free_result(out.findings);
    if (readable >= 0)
        close(readable);
}

} // namespace

void scan_init(const Config& settings) {
    config = &settings;
}

bool scan_newest(task_t* task, scan_outcome* out) {
    out->findings = nullptr;
    out->reason[0] = '\0';
    if (follow(task) == GONE_OUT)
        return false;
    // The latency of the whole answer, rescans under a new name included.
    const std::uint64_t started = metrics_now();
    if (icap_on()) {
        scan_content(task, out);
        metrics_scan_done(started);
        return true;
    }
    for (int tries = 1;; tries++) {
        out->verdict =
            av_scan_checked(task->sock, task->path, &out->findings, out->reason, sizeof out->reason);
        // Renamed while it was scanned: the service did not find it, or the move would miss it. Scan it
        // again under its newest name, so that the log names the path that was scanned.
        if ((out->verdict != AV_FOUND && out->verdict != AV_UNSCANNABLE) || task->fd <= 0 ||
            tries == MAX_RENAMED_SCANS)
            break;
        where w = follow(task);
        if (w != MOVED) {
            if (w == UNCHANGED)
                break;
            av_free_result(out->findings);
            out->findings = nullptr;
            return false;
        }
        av_free_result(out->findings);
        out->findings = nullptr;
    }
    metrics_scan_done(started);
    return true;
}

void scan_act(task_t* task, scan_outcome* out) {
    char vault_name[PATH_BUF_SIZE];
    if (account(task, *out))
        quarantine_and_report(task, out->findings, vault_name, sizeof vault_name, written_by(task));
    av_free_result(out->findings);
    out->findings = nullptr;
}

void scan(task_t* task) {
    if (task->open_id != 0)
        return scan_open(task);
    if (task->sweep_id != 0)
        return scan_sweep(task);
    scan_outcome out;
    if (scan_newest(task, &out))
        scan_act(task, &out);
}

int log_init(const char* path) {
    infection_log = fopen(path, "a");
    if (infection_log == nullptr) {
        syslog(LOG_ERR, "Error opening log file: %s: %m", path);
        return -1;
    }
    return 0;
}

void log_free() {
    if (infection_log != nullptr) {
        fclose(infection_log);
        infection_log = nullptr;
    }
}

void log_infection(const char* path, const char* vault, const infection* list) {
    log_infection_at(path, vault, list, time(nullptr));
}

void log_infection_at(const char* path, const char* vault, const infection* list, time_t now) {
    if (vault == nullptr)
        vault = "ERROR";
    if (infection_log == nullptr)
        return;

    const std::string stamp = local_time(now).value_or("");
    for (const infection* i = list; i != nullptr; i = i->next)
        fprintf(infection_log, "%s\t%s\t%s\t%s\n", stamp.c_str(), path, vault, i->name);
    fflush(infection_log);
}
