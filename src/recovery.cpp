// Catch-up walks and the retry backlog of full coverage, each on a thread of its own so that the monitor
// loop never waits for them.
#include "src/recovery.hpp"

#include "src/av.hpp"
#include "src/config.hpp"
#include "src/pool.hpp"
#include "src/status.hpp"
#include "src/thread.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

namespace {

// Deeper trees are not walked further: a loop of bind mounts must not hold the walker for good.
constexpr int MAX_WALK_DEPTH = 128;
constexpr unsigned MAX_PROBE_SECONDS = 30;

const Config* config = nullptr; // set by recovery_start: the walker and the retrier run only then

// ---- catch-up -------------------------------------------------------------------------------------------

pthread_mutex_t walk_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t walk_wake = PTHREAD_COND_INITIALIZER;
bool overflow_pending = false;
timespec overflow_since = {0, 0};
// Threads still use these while the process exits, so they live on the heap and no destructor runs on them.
std::deque<std::string>& directories = *new std::deque<std::string>; // moved-in directories to walk
timespec last_events = {0, 0};                                       // written by the monitor loop only

bool at_or_after(const timespec& a, const timespec& b) {
    return a.tv_sec != b.tv_sec ? a.tv_sec > b.tv_sec : a.tv_nsec >= b.tv_nsec;
}

// False once `add` asked to stop.
bool walk_dir(int dirfd, std::string& path, int depth, const monitor* exclusions, const timespec* since,
              bool (*add)(const char*, void*), void* ctx, std::size_t* count) {
    DIR* dir = fdopendir(dirfd);
    if (dir == nullptr) {
        close(dirfd);
        return true;
    }
    std::size_t base = path.size();
    bool go_on = true;
    while (const dirent* e = go_on ? readdir(dir) : nullptr) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0)
            continue;
        path.resize(base);
        if (path.empty() || path.back() != '/')
            path += '/';
        path += e->d_name;
        if (path.size() >= PATH_BUF_SIZE || path_excluded(path.c_str(), exclusions))
            continue;
        struct stat st;
        if (fstatat(dirfd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        if (S_ISDIR(st.st_mode)) {
            if (depth >= MAX_WALK_DEPTH)
                continue;
            int sub = openat(dirfd, e->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (sub >= 0)
                go_on = walk_dir(sub, path, depth + 1, exclusions, since, add, ctx, count);
        } else if (S_ISREG(st.st_mode) &&
                   (since == nullptr || at_or_after(st.st_mtim, *since) || at_or_after(st.st_ctim, *since))) {
            go_on = add(path.c_str(), ctx);
            ++*count;
        }
    }
    path.resize(base);
    closedir(dir);
    return go_on;
}

std::size_t walk(const char* root, const monitor* exclusions, const timespec* since,
                 bool (*add)(const char*, void*), void* ctx) {
    std::size_t count = 0;
    if (path_excluded(root, exclusions))
        return 0;
    int fd = open(root, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return 0;
    std::string path = root;
    walk_dir(fd, path, 0, exclusions, since, add, ctx, &count);
    return count;
}

// Queued with a descriptor like an event's file: the pool then sees that an event has queued the same file
// already (a directory moved in right after its files were written, events before an overflow), and the
// scan follows the file if it is renamed before its turn.
bool queue_found(const char* path, void*) {
    int fd = open(path, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0)
        pool_add_file(path, fd, 0, nullptr);
    else
        pool_add_task(path); // gone meanwhile: the scan says so at debug level
    status_count(status_counters.queued);
    return true;
}

void* walker(void*) {
    for (;;) {
        pthread_mutex_lock(&walk_lock);
        while (!overflow_pending && directories.empty())
            pthread_cond_wait(&walk_wake, &walk_lock);
        bool overflow = overflow_pending;
        timespec since = overflow_since;
        std::string dir;
        overflow_pending = false;
        if (!overflow) {
            dir = std::move(directories.front());
            directories.pop_front();
        }
        pthread_mutex_unlock(&walk_lock);

        if (overflow) {
            std::size_t n = catchup_walk(config->monitors, config->exclusions, since, queue_found, nullptr);
            syslog(LOG_NOTICE, "Catch-up after event queue overflow: %zu files queued for scanning", n);
        } else {
            std::size_t n = walk(dir.c_str(), config->exclusions, nullptr, queue_found, nullptr);
            syslog(LOG_DEBUG, "%s: directory moved in, %zu files queued for scanning", dir.c_str(), n);
        }
    }
    return nullptr;
}

// ---- retries --------------------------------------------------------------------------------------------

// Kept by path alone: a descriptor held for as long as the scan service is away would keep an
// administrator from unmounting the file system.
struct retry_entry {
    std::string path;
    unsigned attempt; // the attempt this entry waits for
    timespec due;
};

pthread_mutex_t retry_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t retry_wake; // waits on CLOCK_MONOTONIC, like the due times; set up by recovery_start
std::deque<retry_entry>& backlog = *new std::deque<retry_entry>; // kept in order of `due`

timespec now_plus(unsigned seconds) {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    t.tv_sec += seconds;
    return t;
}

void* retrier(void*) {
    unsigned probe_wait = 1;
    pthread_mutex_lock(&retry_lock);
    for (;;) {
        if (backlog.empty()) {
            pthread_cond_wait(&retry_wake, &retry_lock);
            continue;
        }
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (!at_or_after(now, backlog.front().due)) {
            timespec due = backlog.front().due;
            pthread_cond_timedwait(&retry_wake, &retry_lock, &due);
            continue;
        }
        pthread_mutex_unlock(&retry_lock);
        // The scan itself is left to the workers; a service that is still away is said by their scans.
        bool up = av_answers();
        pthread_mutex_lock(&retry_lock);
        if (!up) {
            // Waiting for the service costs no attempt: every due file waits for the next probe.
            timespec later = now_plus(probe_wait);
            for (retry_entry& e : backlog)
                if (!at_or_after(e.due, later))
                    e.due = later;
            probe_wait = std::min(probe_wait * 2, MAX_PROBE_SECONDS);
            continue;
        }
        probe_wait = 1;
        std::vector<retry_entry> due;
        while (!backlog.empty() && at_or_after(now, backlog.front().due)) {
            due.push_back(std::move(backlog.front()));
            backlog.pop_front();
        }
        pthread_mutex_unlock(&retry_lock);
        for (retry_entry& e : due) {
            // Queued again with a descriptor, as an event's file: the pool then keeps two tasks for one file
            // (its creation and its close, both failed) from being scanned and moved by two workers at once.
            int fd = open(e.path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
            pool_add_file(e.path.c_str(), fd, e.attempt - 1, nullptr);
        }
        pthread_mutex_lock(&retry_lock);
    }
    return nullptr;
}

} // namespace

int recovery_start(const Config& settings) {
    clock_gettime(CLOCK_REALTIME, &last_events);
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&retry_wake, &attr);
    pthread_condattr_destroy(&attr);
    // Before the threads: a request made while they start is served once they run.
    config = &settings;
    if (thread_start_detached(walker) != 0 || thread_start_detached(retrier) != 0) {
        config = nullptr;
        return -1;
    }
    return 0;
}

void catchup_note_events() {
    clock_gettime(CLOCK_REALTIME_COARSE, &last_events);
}

void catchup_overflow() {
    if (config == nullptr)
        return;
    timespec since = last_events;
    since.tv_sec -= CATCHUP_MARGIN_SECONDS;
    pthread_mutex_lock(&walk_lock);
    if (!overflow_pending || !at_or_after(since, overflow_since))
        overflow_since = since;
    overflow_pending = true;
    pthread_cond_signal(&walk_wake);
    pthread_mutex_unlock(&walk_lock);
}

void catchup_directory(const char* path) {
    if (config == nullptr)
        return;
    pthread_mutex_lock(&walk_lock);
    directories.emplace_back(path);
    pthread_cond_signal(&walk_wake);
    pthread_mutex_unlock(&walk_lock);
}

std::size_t catchup_walk(const monitor* trees, const monitor* exclusions, const timespec& since,
                         bool (*add)(const char* path, void* ctx), void* ctx) {
    std::size_t count = 0;
    for (const monitor* m = trees; m != nullptr; m = m->next)
        count += walk(m->path, exclusions, &since, add, ctx);
    return count;
}

std::size_t sweep_walk(const char* root, const monitor* exclusions, bool (*add)(const char* path, void* ctx),
                       void* ctx) {
    struct stat st;
    if (lstat(root, &st) != 0 || !S_ISREG(st.st_mode))
        return walk(root, exclusions, nullptr, add, ctx);
    if (path_excluded(root, exclusions))
        return 0;
    add(root, ctx);
    return 1;
}

unsigned retry_delay(unsigned attempt) {
    return attempt <= 1 ? 0 : 1u << (attempt - 2);
}

bool retry_add(task_t* task) {
    unsigned next = task->attempt + 2; // attempt counts failures so far; this one failed too
    if (config == nullptr || next > RETRY_ATTEMPTS)
        return false;
    pthread_mutex_lock(&retry_lock);
    // A file already waiting (its creation and its close both failed) waits once, and this failure counts
    // as one of its attempts; past the last, it is given up as this task's last attempt.
    for (auto it = backlog.begin(); it != backlog.end(); ++it) {
        if (it->path != task->path)
            continue;
        unsigned counted = std::max(it->attempt + 1, next);
        bool kept = counted <= RETRY_ATTEMPTS;
        if (kept)
            it->attempt = counted;
        else
            backlog.erase(it);
        pthread_mutex_unlock(&retry_lock);
        if (!kept)
            task->attempt = RETRY_ATTEMPTS - 1;
        return kept;
    }
    if (backlog.size() >= RETRY_BACKLOG_SIZE) {
        pthread_mutex_unlock(&retry_lock);
        return false;
    }
    retry_entry e = {task->path, next, now_plus(retry_delay(next))};
    auto at =
        std::upper_bound(backlog.begin(), backlog.end(), e, [](const retry_entry& a, const retry_entry& b) {
            return !at_or_after(a.due, b.due);
        });
    backlog.insert(at, std::move(e));
    pthread_cond_signal(&retry_wake);
    pthread_mutex_unlock(&retry_lock);
    return true;
}
