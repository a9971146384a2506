// Task queue and worker threads: a 256-slot ring of path texts with mirrored indices, guarded by one mutex.
// With a large-file lane, files from a size on wait in a second ring of their own, and some workers are
// kept for the first.
#include "src/pool.hpp"

#include <pthread.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

constexpr const char* UNIT = "src/pool";

// A power of two, so that indices kept modulo twice the size tell full from empty with one comparison and
// all slots can hold a path.
constexpr unsigned QUEUE_SLOTS = 256;
constexpr unsigned INDEX_MASK = 2 * QUEUE_SLOTS - 1;

// What a slot carries besides its path.
struct slot_meta {
    int fd;
    unsigned attempt;
    std::uint64_t open_id;
    std::uint64_t sweep_id;
    dev_t dev; // inode of `fd` when de-duplicating, else 0
    ino_t ino;
    unsigned long seq; // order of queuing
    process_ref by;
};

// The file a worker scans while de-duplicating, and the newest queuing that its scan covers.
struct in_flight {
    dev_t dev;
    ino_t ino; // 0: idle
    unsigned long covers;
};

// One FIFO of paths. Lane 0 holds every file, or with the large-file lane on, the files below its size;
// lane 2 the opens that protection on access scans.
struct ring {
    char* slots;
    slot_meta meta[QUEUE_SLOTS];
    timespec queued_at[QUEUE_SLOTS]; // CLOCK_REALTIME, for pool_oldest_unfinished
    unsigned head;                   // next index to take
    unsigned tail;                   // next index to fill
};

constexpr unsigned SMALL = 0;
constexpr unsigned LARGE = 1;
constexpr unsigned OPENS = 2;
constexpr unsigned SWEEPS = 3;
constexpr unsigned LANES = 4;

struct task_queue {
    ring lanes[LANES];
    pthread_mutex_t lock;
    pthread_cond_t not_empty; // a worker may find something to take
    pthread_cond_t not_full;
};

task_queue queue = {{}, PTHREAD_MUTEX_INITIALIZER, PTHREAD_COND_INITIALIZER, PTHREAD_COND_INITIALIZER};
task_function task_fn = nullptr;

void* worker(void* arg);
bool dedup = false;
unsigned long queued_seq = 0;  // under the lock
in_flight* scanning = nullptr; // one per worker while de-duplicating
pthread_cond_t scan_done = PTHREAD_COND_INITIALIZER;
std::size_t worker_count = 0;
std::size_t next_worker = 0; // under the lock
// When each worker's task was queued, in nanoseconds since the epoch; 0 while it has none. Set under the
// lock as the task leaves the queue, so that pool_oldest_unfinished never misses it in between.
std::atomic<std::int64_t>* running_since = nullptr;

std::int64_t to_ns(const timespec& t) {
    return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// The large-file lane: off while large_size is 0.
off_t large_size = 0;
std::size_t small_scanners = 0; // workers that never take a large file, when there are two or more
std::size_t large_limit = 0;    // workers that may scan large files at once
std::size_t large_busy = 0;     // under the lock

// Threads blocked on one condition, for pool_waiting. A thread leaves the count when a broadcast wakes it,
// not when it runs again, so that the threads counted cannot move before the queue changes.
struct waiters {
    unsigned blocked;
    unsigned long broadcasts; // tells a broadcast from a spurious wake-up
};
waiters for_slot = {0, 0}; // producers, on not_full
waiters for_work = {0, 0}; // workers, on not_empty

// Under the lock: one wait on `cond`, counted in `w`.
void wait_counted(pthread_cond_t* cond, waiters& w) {
    unsigned long seen = w.broadcasts;
    w.blocked++;
    pthread_cond_wait(cond, &queue.lock);
    if (w.broadcasts == seen)
        w.blocked--;
}
// Under the lock: wakes every thread waiting on `cond`.
void broadcast_counted(pthread_cond_t* cond, waiters& w) {
    w.blocked = 0;
    w.broadcasts++;
    pthread_cond_broadcast(cond);
}

bool lane_empty(const ring& r) {
    return r.head == r.tail;
}
bool lane_full(const ring& r) {
    return r.tail == (r.head ^ QUEUE_SLOTS);
}
char* slot(ring& r, unsigned index) {
    return r.slots + (index & (QUEUE_SLOTS - 1)) * PATH_BUF_SIZE;
}
slot_meta& meta(ring& r, unsigned index) {
    return r.meta[index & (QUEUE_SLOTS - 1)];
}
bool open_lane = false;
// The lane of sweeps: taken only when no written file or open waits, by at most sweep_limit workers.
bool sweep_lane = false;
std::size_t sweep_limit = 0;
std::size_t sweep_busy = 0; // under the lock

// Descriptors that queued tasks hold, under the lock. Past a quarter of the process's limit a new task keeps
// its path only: a queue of written files must never take the descriptors that the opens waiting on
// on-open protection need (their scans, through the scan service, are what empties the queue).
std::size_t held_fds = 0;

bool over_fd_share() {
    rlimit lim;
    return getrlimit(RLIMIT_NOFILE, &lim) == 0 && held_fds >= lim.rlim_cur / 4;
}

bool lane_on(unsigned lane) {
    return lane == SMALL || (lane == LARGE && large_size > 0) || (lane == OPENS && open_lane) ||
           (lane == SWEEPS && sweep_lane);
}

// Under the lock: whether the inode waits in the queue already.
bool queued_already(dev_t dev, ino_t ino) {
    for (unsigned l = 0; l < LANES; l++) {
        if (!lane_on(l))
            continue;
        ring& r = queue.lanes[l];
        for (unsigned i = r.head; i != r.tail; i = (i + 1) & INDEX_MASK)
            if (meta(r, i).ino == ino && meta(r, i).dev == dev)
                return true;
    }
    return false;
}

// Under the lock: the lane a free worker takes from next, or -1 when there is nothing it may take. Opens
// first (a reader may be waiting), then oldest first, except that large files wait while `large_limit`
// workers scan large files already.
int lane_to_take() {
    if (open_lane && !lane_empty(queue.lanes[OPENS]))
        return OPENS;
    bool small = !lane_empty(queue.lanes[SMALL]);
    bool large = lane_on(LARGE) && !lane_empty(queue.lanes[LARGE]) && large_busy < large_limit;
    if (small && large) {
        ring& s = queue.lanes[SMALL];
        ring& l = queue.lanes[LARGE];
        return meta(s, s.head).seq < meta(l, l.head).seq ? SMALL : LARGE;
    }
    if (small || large)
        return small ? SMALL : LARGE;
    // Live files first: a sweep takes what the live files leave, within its share.
    if (sweep_lane && !lane_empty(queue.lanes[SWEEPS]) && sweep_busy < sweep_limit)
        return SWEEPS;
    return -1;
}

// Under the lock: fills the tail slot of `r` and wakes the workers if it was empty.
void put(ring& r, const char* path, const slot_meta& m) {
    meta(r, r.tail) = m;
    clock_gettime(CLOCK_REALTIME, &r.queued_at[r.tail & (QUEUE_SLOTS - 1)]);
    char* dest = slot(r, r.tail);
    std::size_t len = strnlen(path, PATH_BUF_SIZE - 1);
    memcpy(dest, path, len);
    dest[len] = '\0';
    bool was_empty = lane_empty(r);
    r.tail = (r.tail + 1) & INDEX_MASK;
    if (was_empty)
        broadcast_counted(&queue.not_empty, for_work);
}

} // namespace

int pool_init(std::size_t count, task_function fn) {
    task_fn = fn;
    for (unsigned l = 0; l < LANES; l++) {
        if (!lane_on(l))
            continue;
        ring& r = queue.lanes[l];
        r.slots = static_cast<char*>(calloc(QUEUE_SLOTS, PATH_BUF_SIZE));
        if (r.slots == nullptr) {
            syslog(LOG_ERR, "%s:%u: malloc(): %m", UNIT, __LINE__);
            return -1;
        }
        r.head = 0;
        r.tail = 0;
    }

    // Without a worker nothing would ever empty the queue and the monitor loop would stall for good.
    if (count == 0)
        count = 1;
    running_since = new (std::nothrow) std::atomic<std::int64_t>[count]();
    if (running_since == nullptr) {
        syslog(LOG_ERR, "%s:%u: malloc(): %m", UNIT, __LINE__);
        return -1;
    }
    worker_count = count;
    // One worker at least scans large files, or they would never be scanned.
    large_limit = count - std::min(small_scanners, count - 1);
    // All but one: a written file or an open always finds a worker free, and the sweep keeps the service
    // busy enough to scan at the engine's pace (half the workers left the CPUs idle between round trips).
    sweep_limit = std::max<std::size_t>(1, count - 1);
    if (dedup) {
        scanning = static_cast<in_flight*>(calloc(count, sizeof *scanning));
        if (scanning == nullptr) {
            syslog(LOG_ERR, "%s:%u: malloc(): %m", UNIT, __LINE__);
            return -1;
        }
    }
    for (std::size_t i = 0; i < count; i++) {
        pthread_t thread;
        int err = pthread_create(&thread, nullptr, worker, nullptr);
        if (err != 0) {
            syslog(LOG_ERR, "pthread_create(): %s", strerror(err));
            return -1;
        }
    }
    return 0;
}

void pool_set_dedup(bool on) {
    dedup = on;
}

void pool_set_large_lane(std::int64_t size, std::size_t kept_for_small) {
    large_size = size > 0 ? static_cast<off_t>(size) : 0;
    small_scanners = kept_for_small;
}

void pool_add_task(const char* path) {
    pool_add_file(path, -1, 0, nullptr);
}

void pool_add_file(const char* path, int fd, unsigned attempt, const struct stat* given, process_ref by) {
    struct stat own;
    const struct stat* st = given;
    if (st == nullptr && (dedup || large_size > 0) && fd >= 0 && fstat(fd, &own) == 0)
        st = &own;
    bool known = dedup && st != nullptr;
    bool large = st != nullptr && large_size > 0 && S_ISREG(st->st_mode) && st->st_size >= large_size;
    ring& r = queue.lanes[large ? LARGE : SMALL];
    pthread_mutex_lock(&queue.lock);
    if (known && queued_already(st->st_dev, st->st_ino)) {
        pthread_mutex_unlock(&queue.lock);
        close(fd);
        if (by.pidfd >= 0)
            close(by.pidfd);
        return;
    }
    while (lane_full(r))
        wait_counted(&queue.not_full, for_slot);
    if ((fd >= 0 || by.pidfd >= 0) && over_fd_share()) {
        if (fd >= 0)
            close(fd); // scanned by its path, as a task without a descriptor is
        if (by.pidfd >= 0)
            close(by.pidfd); // the writer by its pid alone
        fd = -1;
        by.pidfd = PIDFD_NONE;
    }
    held_fds += (fd >= 0 ? 1 : 0) + (by.pidfd >= 0 ? 1 : 0);
    put(r, path, {fd, attempt, 0, 0, known ? st->st_dev : 0, known ? st->st_ino : 0, ++queued_seq, by});
    pthread_mutex_unlock(&queue.lock);
}

void pool_set_open_lane(bool on) {
    open_lane = on;
}

void pool_set_sweep_lane(bool on) {
    sweep_lane = on;
}

void pool_add_sweep(const char* path, int fd, std::uint64_t sweep_id) {
    ring& r = queue.lanes[SWEEPS];
    pthread_mutex_lock(&queue.lock);
    while (lane_full(r))
        wait_counted(&queue.not_full, for_slot);
    held_fds += fd >= 0 ? 1 : 0;
    put(r, path, {fd, 0, 0, sweep_id, 0, 0, ++queued_seq, {}});
    pthread_mutex_unlock(&queue.lock);
}

bool pool_offer_open(const char* path, int fd, std::uint64_t open_id, pid_t opener) {
    if (!open_lane)
        return false;
    ring& r = queue.lanes[OPENS];
    pthread_mutex_lock(&queue.lock);
    bool room = !lane_full(r);
    if (room) {
        held_fds++;
        put(r, path, {fd, 0, open_id, 0, 0, 0, ++queued_seq, {opener, PIDFD_NONE}});
    }
    pthread_mutex_unlock(&queue.lock);
    return room;
}

namespace {

// Under the lock, while de-duplicating: whether worker `self` is to scan the file of `m` now. Another
// worker's scan that began after `m` was queued covers it; one that began before is waited for, so that
// one file is never scanned (and moved) by two workers at once.
bool claim(std::size_t self, const slot_meta& m) {
    for (;;) {
        const in_flight* other = nullptr;
        for (std::size_t i = 0; i < worker_count && other == nullptr; i++)
            if (i != self && scanning[i].ino == m.ino && scanning[i].dev == m.dev)
                other = &scanning[i];
        if (other == nullptr)
            break;
        if (other->covers >= m.seq)
            return false;
        pthread_cond_wait(&scan_done, &queue.lock);
    }
    scanning[self] = {m.dev, m.ino, queued_seq};
    return true;
}

// Body of each worker thread; `arg` is not read. Never returns.
void* worker(void*) {
    int sock = -1;
    task_t task;
    task.sock = &sock;
    task.fd = -1;
    task.open_id = 0;
    task.sweep_id = 0;
    pthread_mutex_lock(&queue.lock);
    std::size_t self = next_worker++;
    pthread_mutex_unlock(&queue.lock);
    for (;;) {
        pthread_mutex_lock(&queue.lock);
        int lane;
        while ((lane = lane_to_take()) < 0)
            wait_counted(&queue.not_empty, for_work);
        ring& r = queue.lanes[lane];
        bool was_full = lane_full(r);
        memcpy(task.path, slot(r, r.head), PATH_BUF_SIZE);
        slot_meta m = meta(r, r.head);
        meta(r, r.head) = {-1, 0, 0, 0, 0, 0, 0, {}};
        // A sweep's files were not written: they never hold back the handled-until time.
        if (lane != SWEEPS)
            running_since[self].store(to_ns(r.queued_at[r.head & (QUEUE_SLOTS - 1)]),
                                      std::memory_order_relaxed);
        task.fd = m.fd;
        task.attempt = m.attempt;
        task.open_id = m.open_id;
        task.sweep_id = m.sweep_id;
        task.by = m.by;
        held_fds -= (m.fd >= 0 ? 1 : 0) + (m.by.pidfd >= 0 ? 1 : 0);
        r.head = (r.head + 1) & INDEX_MASK;
        if (was_full)
            broadcast_counted(&queue.not_full, for_slot);
        if (lane == LARGE)
            large_busy++;
        if (lane == SWEEPS)
            sweep_busy++;
        bool tracked = scanning != nullptr && m.ino != 0;
        bool run = !tracked || claim(self, m);
        pthread_mutex_unlock(&queue.lock);

        if (run)
            task_fn(&task);
        if (task.fd >= 0) {
            close(task.fd);
            task.fd = -1;
        }
        if (task.by.pidfd >= 0)
            close(task.by.pidfd);
        task.by = {};
        running_since[self].store(0, std::memory_order_relaxed);
        if ((tracked && run) || lane == LARGE || lane == SWEEPS) {
            pthread_mutex_lock(&queue.lock);
            if (tracked && run) {
                scanning[self] = {0, 0, 0};
                pthread_cond_broadcast(&scan_done);
            }
            // A large file may have waited for this worker's share of the large-file scans.
            if (lane == LARGE && large_busy-- == large_limit && !lane_empty(queue.lanes[LARGE]))
                broadcast_counted(&queue.not_empty, for_work);
            if (lane == SWEEPS && sweep_busy-- == sweep_limit && !lane_empty(queue.lanes[SWEEPS]))
                broadcast_counted(&queue.not_empty, for_work);
            pthread_mutex_unlock(&queue.lock);
        }
    }
}

} // namespace

unsigned pool_pending() {
    pthread_mutex_lock(&queue.lock);
    unsigned n = 0;
    for (unsigned l = 0; l < LANES; l++)
        n += (queue.lanes[l].tail - queue.lanes[l].head) & INDEX_MASK;
    pthread_mutex_unlock(&queue.lock);
    return n;
}

bool pool_oldest_unfinished(timespec* queued_at) {
    pthread_mutex_lock(&queue.lock);
    std::int64_t oldest = 0;
    auto take = [&oldest](std::int64_t ns) {
        if (ns != 0 && (oldest == 0 || ns < oldest))
            oldest = ns;
    };
    // Every slot, not only the heads: a clock set back leaves a lane out of order. Sweeps hold nothing back.
    for (unsigned l = 0; l < LANES; l++)
        for (unsigned i = queue.lanes[l].head; l != SWEEPS && lane_on(l) && i != queue.lanes[l].tail;
             i = (i + 1) & INDEX_MASK)
            take(to_ns(queue.lanes[l].queued_at[i & (QUEUE_SLOTS - 1)]));
    for (std::size_t w = 0; w < worker_count; w++)
        take(running_since[w].load(std::memory_order_relaxed));
    pthread_mutex_unlock(&queue.lock);
    if (oldest == 0)
        return false;
    queued_at->tv_sec = static_cast<time_t>(oldest / 1000000000);
    queued_at->tv_nsec = static_cast<long>(oldest % 1000000000);
    return true;
}

pool_waiters pool_waiting() {
    pthread_mutex_lock(&queue.lock);
    pool_waiters w = {for_slot.blocked, for_work.blocked};
    pthread_mutex_unlock(&queue.lock);
    return w;
}
