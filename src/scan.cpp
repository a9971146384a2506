// The scan task run by the workers, the vault names and the infection log.
#include "src/scan.hpp"

#include "src/av.hpp"
#include "src/detection.hpp"
#include "src/fileops.hpp"
#include "src/metrics.hpp"
#include "src/status.hpp"

#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

const char* vault_dir = nullptr;
thread_local time_t log_infection_time = 0;

namespace {

// Written only by log_init/log_free on the main thread; the stream's own per-call lock keeps each line
// whole while several workers write.
FILE* infection_log = nullptr;

constexpr std::size_t TIME_BUF_SIZE = 20; // "%Y-%m-%d %H:%M:%S" and its terminating zero

} // namespace

void scan(task_t* task)
{
    infection* list = nullptr;
    const std::uint64_t started = metrics_now();
    int result = av_scan(task->sock, task->path, &list);
    metrics_scan_done(started);
    status_count(result < 0 ? status_counters.failed : status_counters.scanned);
    if (result <= 0)
        return;
    status_count(status_counters.infected);

    const char* name = basename_r(task->path);
    char vault_name[PATH_BUF_SIZE];
    const char* moved_to = nullptr;
    int len = snprintf(vault_name, sizeof vault_name, "%s/%s.XXXXXX", vault_dir, name);
    if (len < 0 || static_cast<std::size_t>(len) >= sizeof vault_name) {
        syslog(LOG_WARNING, "snprintf(): %s/%s: Error creating vault path", vault_dir, name);
    } else {
        int fd = mkstemp(vault_name);
        if (fd < 0) {
            syslog(LOG_WARNING, "mkstemp(): %s: Error creating temp file", vault_name);
        } else {
            // Only the reserved name is needed: the move replaces the empty file.
            close(fd);
            if (move_file(task->path, vault_name) == 0)
                moved_to = vault_name;
        }
    }

    log_infection(task->path, moved_to, list);
    detection_report(task->sock, task->path, moved_to, list);
    av_free_result(list);
}

int log_init(const char* path)
{
    infection_log = fopen(path, "a");
    if (infection_log == nullptr) {
        syslog(LOG_ERR, "Error opening log file: %s: %m", path);
        return -1;
    }
    return 0;
}

void log_free()
{
    if (infection_log != nullptr) {
        fclose(infection_log);
        infection_log = nullptr;
    }
}

void log_infection(const char* path, const char* vault, const infection* list)
{
    if (vault == nullptr)
        vault = "ERROR";
    // Taken before the check for an open log, so that the reports after this call always have it.
    time_t now = time(nullptr);
    log_infection_time = now;
    if (infection_log == nullptr)
        return;

    // localtime_r: workers format times concurrently, and localtime's static result would be shared.
    struct tm local;
    char stamp[TIME_BUF_SIZE] = "";
    if (localtime_r(&now, &local) != nullptr)
        strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);

    for (const infection* i = list; i != nullptr; i = i->next)
        fprintf(infection_log, "%s\t%s\t%s\t%s\n", stamp, path, vault, i->name);
    fflush(infection_log);
}
