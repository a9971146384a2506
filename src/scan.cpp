// The scan task run by the workers, the vault names and the infection log.
#include "src/scan.hpp"

#include "src/av.hpp"
#include "src/fileops.hpp"
#include "src/selftest.hpp"
#include "src/status.hpp"

#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

const char* vault_dir = nullptr;

namespace {

// Written only by log_init/log_free on the main thread; the stream's own per-call lock keeps each line
// whole while several workers write.
FILE* infection_log = nullptr;

constexpr std::size_t TIME_BUF_SIZE = 20; // "%Y-%m-%d %H:%M:%S" and its terminating zero

// A zetctl probe is quarantined and logged like any finding; only the counts keep it apart.
bool is_selftest(const char* name, const infection* list)
{
    if (!selftest_name(name))
        return false;
    for (const infection* i = list; i != nullptr; i = i->next)
        if (!selftest_finding(i->name))
            return false;
    return true;
}

} // namespace

void scan(task_t* task)
{
    infection* list = nullptr;
    int result = av_scan(task->sock, task->path, &list);
    status_count(result < 0 ? status_counters.failed : status_counters.scanned);
    if (result <= 0)
        return;
    const char* name = basename_r(task->path);
    status_count(is_selftest(name, list) ? status_counters.selftests : status_counters.infected);

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
    if (infection_log == nullptr)
        return;

    // localtime_r: workers format times concurrently, and localtime's static result would be shared.
    time_t now = time(nullptr);
    struct tm local;
    char stamp[TIME_BUF_SIZE] = "";
    if (localtime_r(&now, &local) != nullptr)
        strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);

    for (const infection* i = list; i != nullptr; i = i->next)
        fprintf(infection_log, "%s\t%s\t%s\t%s\n", stamp, path, vault, i->name);
    fflush(infection_log);
}
