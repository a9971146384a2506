// The scan task run by the workers, the vault names and the infection log.
#include "src/scan.hpp"

#include "src/av.hpp"
#include "src/config.hpp"
#include "src/coverage.hpp"
#include "src/detection.hpp"
#include "src/fileops.hpp"
#include "src/metrics.hpp"
#include "src/recovery.hpp"
#include "src/selftest.hpp"
#include "src/status.hpp"
#include "src/text.hpp"

#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

const char* vault_dir = nullptr;
const monitor* scan_trees = nullptr;
const monitor* scan_exclusions = nullptr;
int scan_coverage = COVERAGE_WRITES;
thread_local time_t log_infection_time = 0;

namespace {

// Written only by log_init/log_free on the main thread; the stream's own per-call lock keeps each line
// whole while several workers write.
FILE* infection_log = nullptr;

constexpr std::size_t REASON_SIZE = AV_REASON_SIZE;
// Scans of one task under names that the file left before the service opened it.
constexpr int MAX_RENAMED_SCANS = 3;

enum where { UNCHANGED, MOVED, GONE_OUT };

// Follows the task's descriptor to the name the file has now. A file that was renamed within the trees
// gets its new name in task->path; one moved out of them is not scanned. A removed file keeps the queued
// name, so that it goes the way that name goes.
where follow(task_t* task) {
    if (task->fd <= 0)
        return UNCHANGED;
    char now[PATH_BUF_SIZE];
    if (fd2path(task->fd, now, sizeof now) == nullptr || strcmp(now, task->path) == 0)
        return UNCHANGED;
    // The kernel marks a name that was removed; another link may still hold the file, but not this name.
    static constexpr char deleted[] = " (deleted)";
    std::size_t len = strlen(now);
    struct stat st;
    if (fstat(task->fd, &st) != 0 || st.st_nlink == 0 ||
        (len >= sizeof deleted - 1 && strcmp(now + len - (sizeof deleted - 1), deleted) == 0))
        return UNCHANGED;
    if (now[0] != '/' || !path_under(now, scan_trees) ||
        (scan_coverage == COVERAGE_FULL && path_excluded(now, scan_exclusions))) {
        syslog(LOG_DEBUG, "%s: moved to %s, outside the monitored trees: not scanned", task->path, now);
        return GONE_OUT;
    }
    memcpy(task->path, now, strlen(now) + 1);
    return MOVED;
}

// Whether the file that the service could not find is gone for good, rather than renamed.
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

} // namespace

void scan(task_t* task) {
    if (follow(task) == GONE_OUT)
        return;
    infection* list = nullptr;
    char reason[REASON_SIZE] = "";
    int result;
    // The latency of the whole answer, rescans under a new name included.
    const std::uint64_t started = metrics_now();
    for (int tries = 1;; tries++) {
        result = av_scan_checked(task->sock, task->path, &list, reason, sizeof reason);
        // Renamed while it was scanned: the service did not find it, or the move would miss it. Scan it
        // again under its newest name, so that the log names the path that was scanned.
        if ((result != 1 && result != 2) || task->fd <= 0 || tries == MAX_RENAMED_SCANS)
            break;
        where w = follow(task);
        if (w == GONE_OUT) {
            av_free_result(list);
            return;
        }
        if (w != MOVED)
            break;
        av_free_result(list);
        list = nullptr;
    }
    metrics_scan_done(started);
    status_service(result >= 0);
    if (scan_coverage == COVERAGE_FULL) {
        if (result < 0) {
            status_count(status_counters.failed);
            unscanned(task, "", true);
            return;
        }
        if (result == 2) {
            if (vanished(task))
                syslog(LOG_DEBUG, "%s: removed before its scan", task->path);
            else if (strcmp(reason, "Excluded") != 0)
                return unscanned(task, reason, false);
            status_count(status_counters.scanned);
            return;
        }
    }
    status_count(result < 0 ? status_counters.failed : status_counters.scanned);
    if (result <= 0 || result == 2)
        return;
    status_count(is_selftest(basename_r(task->path), list) ? status_counters.selftests
                                                           : status_counters.infected);

    char vault_name[PATH_BUF_SIZE];
    const char* moved_to = nullptr;
    for (int moves = 1;; moves++) {
        const char* name = basename_r(task->path);
        int len = snprintf(vault_name, sizeof vault_name, "%s/%s.XXXXXX", vault_dir, name);
        if (len < 0 || static_cast<std::size_t>(len) >= sizeof vault_name) {
            syslog(LOG_WARNING, "snprintf(): %s/%s: Error creating vault path", vault_dir, name);
            break;
        }
        int fd = mkstemp(vault_name);
        if (fd < 0) {
            syslog(LOG_WARNING, "mkstemp(): %s: Error creating temp file", vault_name);
            break;
        }
        // Only the reserved name is needed: the move replaces the empty file.
        close(fd);
        if (move_file(task->path, vault_name) == 0) {
            moved_to = vault_name;
            break;
        }
        // Renamed between the answer and the move: the infected file is the task's, so it goes to the vault
        // under its new name, and the reserved name that this try left empty goes.
        if (moves == MAX_RENAMED_SCANS || task->fd <= 0 || follow(task) != MOVED)
            break;
        unlink(vault_name);
    }

    log_infection(task->path, moved_to, list);
    detection_report(task->sock, task->path, moved_to, list);
    av_free_result(list);
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
    if (vault == nullptr)
        vault = "ERROR";
    // Taken before the check for an open log, so that the reports after this call always have it.
    time_t now = time(nullptr);
    log_infection_time = now;
    if (infection_log == nullptr)
        return;

    const std::string stamp = local_time(now).value_or("");
    for (const infection* i = list; i != nullptr; i = i->next)
        fprintf(infection_log, "%s\t%s\t%s\t%s\n", stamp.c_str(), path, vault, i->name);
    fflush(infection_log);
}
