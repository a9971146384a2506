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
#include <atomic>
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
bool downtime_pending = false;
timespec downtime_since = {0, 0};
// Threads still use these while the process exits, so they live on the heap and no destructor runs on them.
std::deque<std::string>& directories = *new std::deque<std::string>; // moved-in directories to walk
timespec last_events = {0, 0};                                       // written by the monitor loop only

bool at_or_after(const timespec& a, const timespec& b) {
    return a.tv_sec != b.tv_sec ? a.tv_sec > b.tv_sec : a.tv_nsec >= b.tv_nsec;
}

timespec earlier(const timespec& a, const timespec& b) {
    return at_or_after(a, b) ? b : a;
}

timespec realtime_now() {
    timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    return t;
}

// ---- handled-until --------------------------------------------------------------------------------------

std::atomic<bool> tracking{false}; // set by recovery_start when a state file is kept

// Guards what follows. Taken last (inside walk_lock or retry_lock), and never held around a pool call.
pthread_mutex_t handled_lock = PTHREAD_MUTEX_INITIALIZER;
timespec drained = {0, 0}; // the last catchup_note_drained

// The monitor loop's reads, oldest first: when each batch was read, and the drained time then. A task
// queued at Q holds a file of the newest read at or before Q (a batch is queued before the next read), and
// that file's event came after that read's drained time, not after Q: the loop may wait long for a free
// slot. An entry is made only when the drained time has changed.
struct batch_read {
    timespec read_at, drained;
};
constexpr std::size_t READS_KEPT = 1024;
batch_read reads[READS_KEPT];
std::size_t reads_first = 0, reads_count = 0;

batch_read& nth_read(std::size_t i) {
    return reads[(reads_first + i) % READS_KEPT];
}

// What holds the handled-until time at or before `since`: a catch-up walk from the moment it is due, and
// failed files taken from the backlog until they are queued again. Once `until` is set (the walk ended, the
// files are queued), released when no task queued before it is unfinished.
struct time_floor {
    bool held;
    timespec since, until; // until {0, 0}: not yet
};
enum { FLOOR_DOWNTIME, FLOOR_OVERFLOW, FLOOR_RETRY, FLOORS };
time_floor floors[FLOORS];

catchup_report downtime = {};

// Under handled_lock.
void floor_hold(int which, const timespec& since) {
    time_floor& f = floors[which];
    if (!f.held || !at_or_after(since, f.since))
        f.since = since;
    f.held = true;
    f.until = {0, 0};
}
void floor_close(int which) {
    if (floors[which].held)
        floors[which].until = realtime_now();
}

// The handled-until time, with or without the backlog of failed files (retry_add, which holds no lock, takes
// it without). The drained time is read first and the queue next: a task queued after that read came from
// events after it. The backlog and the floors are read after the queue: a failed task enters the backlog
// while it still counts as scanned, and leaves it under FLOOR_RETRY.
timespec handled_until(bool with_backlog);

// False once `add` asked to stop.
// Whether a walk passes `path` over.
bool skipped(const char* path, const monitor* exclusions, const exclusion_rules* rules) {
    return path_excluded(path, exclusions) ||
           (rules != nullptr && excluded_by(path, nullptr, *rules, nullptr));
}

bool walk_dir(int dirfd, std::string& path, int depth, const monitor* exclusions,
              const exclusion_rules* rules, const timespec* since, bool (*add)(const char*, void*), void* ctx,
              std::size_t* count) {
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
        if (path.size() >= PATH_BUF_SIZE || skipped(path.c_str(), exclusions, rules))
            continue;
        struct stat st;
        if (fstatat(dirfd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        if (S_ISDIR(st.st_mode)) {
            if (depth >= MAX_WALK_DEPTH)
                continue;
            int sub = openat(dirfd, e->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (sub >= 0)
                go_on = walk_dir(sub, path, depth + 1, exclusions, rules, since, add, ctx, count);
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

std::size_t walk(const char* root, const monitor* exclusions, const exclusion_rules* rules,
                 const timespec* since, bool (*add)(const char*, void*), void* ctx) {
    std::size_t count = 0;
    if (skipped(root, exclusions, rules))
        return 0;
    int fd = open(root, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return 0;
    std::string path = root;
    walk_dir(fd, path, 0, exclusions, rules, since, add, ctx, &count);
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
        while (!downtime_pending && !overflow_pending && directories.empty())
            pthread_cond_wait(&walk_wake, &walk_lock);
        bool after_downtime = downtime_pending;
        bool overflow = !after_downtime && overflow_pending;
        timespec since = after_downtime ? downtime_since : overflow_since;
        std::string dir;
        if (after_downtime) {
            downtime_pending = false;
        } else if (overflow) {
            overflow_pending = false;
        } else {
            dir = std::move(directories.front());
            directories.pop_front();
        }
        pthread_mutex_unlock(&walk_lock);

        if (after_downtime) {
            std::size_t n = catchup_walk(config->monitors, config->exclusions, since, queue_found, nullptr,
                                         &config->excluded);
            syslog(LOG_NOTICE, "Catch-up after downtime: %zu files queued for scanning", n);
            pthread_mutex_lock(&handled_lock);
            floor_close(FLOOR_DOWNTIME);
            downtime.done = true;
            downtime.queued = n;
            downtime.finished = realtime_now();
            pthread_mutex_unlock(&handled_lock);
        } else if (overflow) {
            std::size_t n = catchup_walk(config->monitors, config->exclusions, since, queue_found, nullptr,
                                         &config->excluded);
            syslog(LOG_NOTICE, "Catch-up after event queue overflow: %zu files queued for scanning", n);
            // A request made during the walk is served by the next one, which closes the floor then.
            pthread_mutex_lock(&walk_lock);
            pthread_mutex_lock(&handled_lock);
            if (!overflow_pending)
                floor_close(FLOOR_OVERFLOW);
            pthread_mutex_unlock(&handled_lock);
            pthread_mutex_unlock(&walk_lock);
        } else {
            std::size_t n =
                walk(dir.c_str(), config->exclusions, &config->excluded, nullptr, queue_found, nullptr);
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
    timespec since; // the handled-until time when its scan failed, which it holds back
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
        if (tracking && !due.empty()) {
            pthread_mutex_lock(&handled_lock);
            for (const retry_entry& e : due)
                floor_hold(FLOOR_RETRY, e.since);
            pthread_mutex_unlock(&handled_lock);
        }
        pthread_mutex_unlock(&retry_lock);
        for (retry_entry& e : due) {
            // Queued again with a descriptor, as an event's file: the pool then keeps two tasks for one file
            // (its creation and its close, both failed) from being scanned and moved by two workers at once.
            int fd = open(e.path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
            pool_add_file(e.path.c_str(), fd, e.attempt - 1, nullptr);
        }
        pthread_mutex_lock(&retry_lock);
        if (tracking && !due.empty()) {
            pthread_mutex_lock(&handled_lock);
            floor_close(FLOOR_RETRY);
            pthread_mutex_unlock(&handled_lock);
        }
    }
    return nullptr;
}

timespec handled_until(bool with_backlog) {
    pthread_mutex_lock(&handled_lock);
    timespec h = drained;
    pthread_mutex_unlock(&handled_lock);
    const timespec now = realtime_now();
    timespec oldest;
    const bool pending = pool_oldest_unfinished(&oldest);
    if (with_backlog)
        pthread_mutex_lock(&retry_lock);
    pthread_mutex_lock(&handled_lock);
    if (with_backlog)
        for (const retry_entry& e : backlog)
            h = earlier(h, e.since);
    // No task older than `cut` can be unfinished from now on, so reads before the newest at or before it
    // are no longer needed.
    const timespec cut = pending ? oldest : now;
    std::size_t newest = 0;
    while (newest + 1 < reads_count && at_or_after(cut, nth_read(newest + 1).read_at))
        newest++;
    if (pending && reads_count > 0)
        h = earlier(h, nth_read(newest).drained);
    reads_first = (reads_first + newest) % READS_KEPT;
    reads_count -= newest;
    for (time_floor& f : floors) {
        if (!f.held)
            continue;
        const bool ended = f.until.tv_sec != 0 || f.until.tv_nsec != 0;
        if (ended && !at_or_after(f.until, now) && (!pending || !at_or_after(f.until, oldest)))
            f.held = false;
        else
            h = earlier(h, f.since);
    }
    pthread_mutex_unlock(&handled_lock);
    if (with_backlog)
        pthread_mutex_unlock(&retry_lock);
    return h;
}

} // namespace

int recovery_start(const Config& settings) {
    clock_gettime(CLOCK_REALTIME, &last_events);
    if (settings.keeps_state_file()) {
        // Before the first mark: a file closed from then on has an event.
        drained = realtime_now();
        tracking = true;
    }
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

bool catchup_tracking() {
    return tracking;
}

void catchup_note_events() {
    clock_gettime(CLOCK_REALTIME_COARSE, &last_events);
    if (!tracking)
        return;
    const timespec now = realtime_now();
    pthread_mutex_lock(&handled_lock);
    const bool same = reads_count > 0 && nth_read(reads_count - 1).drained.tv_sec == drained.tv_sec &&
                      nth_read(reads_count - 1).drained.tv_nsec == drained.tv_nsec;
    if (!same) {
        if (reads_count == READS_KEPT) {
            // The oldest read is folded into the next: its tasks still get its drained time, the next
            // one's an older one than theirs, which only catches up more.
            const batch_read oldest = nth_read(0);
            reads_first = (reads_first + 1) % READS_KEPT;
            reads_count--;
            nth_read(0) = oldest;
        }
        nth_read(reads_count++) = {now, drained};
    }
    pthread_mutex_unlock(&handled_lock);
}

void catchup_note_drained(const timespec& checked) {
    pthread_mutex_lock(&handled_lock);
    if (!at_or_after(drained, checked))
        drained = checked;
    pthread_mutex_unlock(&handled_lock);
}

timespec catchup_handled_until() {
    return handled_until(true);
}

bool catchup_downtime(const timespec& handled) {
    timespec since = handled;
    since.tv_sec -= DOWNTIME_MARGIN_SECONDS;
    pthread_mutex_lock(&walk_lock);
    // Held also without the walker: the next start then catches up from the same time.
    pthread_mutex_lock(&handled_lock);
    floor_hold(FLOOR_DOWNTIME, handled);
    if (config != nullptr)
        downtime = {true, false, since, 0, {0, 0}};
    pthread_mutex_unlock(&handled_lock);
    if (config != nullptr) {
        downtime_pending = true;
        downtime_since = since;
        pthread_cond_signal(&walk_wake);
    }
    pthread_mutex_unlock(&walk_lock);
    return config != nullptr;
}

catchup_report catchup_downtime_report() {
    pthread_mutex_lock(&handled_lock);
    catchup_report r = downtime;
    pthread_mutex_unlock(&handled_lock);
    return r;
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
    if (tracking) {
        pthread_mutex_lock(&handled_lock);
        floor_hold(FLOOR_OVERFLOW, overflow_since);
        pthread_mutex_unlock(&handled_lock);
    }
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
                         bool (*add)(const char* path, void* ctx), void* ctx, const exclusion_rules* rules) {
    std::size_t count = 0;
    for (const monitor* m = trees; m != nullptr; m = m->next)
        count += walk(m->path, exclusions, rules, &since, add, ctx);
    return count;
}

std::size_t sweep_walk(const char* root, const monitor* exclusions, bool (*add)(const char* path, void* ctx),
                       void* ctx, const exclusion_rules* rules) {
    struct stat st;
    if (lstat(root, &st) != 0 || !S_ISREG(st.st_mode))
        return walk(root, exclusions, rules, nullptr, add, ctx);
    if (skipped(root, exclusions, rules))
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
    // While this task is being scanned, the time is at or before its events, and so holds its file.
    const timespec since = tracking ? handled_until(false) : timespec{0, 0};
    pthread_mutex_lock(&retry_lock);
    // A file already waiting (its creation and its close both failed) waits once, and this failure counts
    // as one of its attempts; past the last, it is given up as this task's last attempt.
    for (auto it = backlog.begin(); it != backlog.end(); ++it) {
        if (it->path != task->path)
            continue;
        unsigned counted = std::max(it->attempt + 1, next);
        bool kept = counted <= RETRY_ATTEMPTS;
        if (kept) {
            it->attempt = counted;
            it->since = earlier(it->since, since);
        } else {
            backlog.erase(it);
        }
        pthread_mutex_unlock(&retry_lock);
        if (!kept)
            task->attempt = RETRY_ATTEMPTS - 1;
        return kept;
    }
    if (backlog.size() >= RETRY_BACKLOG_SIZE) {
        pthread_mutex_unlock(&retry_lock);
        return false;
    }
    retry_entry e = {task->path, next, now_plus(retry_delay(next)), since};
    auto at =
        std::upper_bound(backlog.begin(), backlog.end(), e, [](const retry_entry& a, const retry_entry& b) {
            return !at_or_after(a.due, b.due);
        });
    backlog.insert(at, std::move(e));
    pthread_cond_signal(&retry_wake);
    pthread_mutex_unlock(&retry_lock);
    return true;
}
