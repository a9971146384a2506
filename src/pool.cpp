// Task queue and worker threads: a 256-slot ring of path texts with mirrored indices, guarded by one mutex.
#include "src/pool.hpp"

#include <pthread.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

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
    dev_t dev; // inode of `fd` when de-duplicating, else 0
    ino_t ino;
    unsigned long seq; // order of queuing
};

// The file a worker scans while de-duplicating, and the newest queuing that its scan covers.
struct in_flight {
    dev_t dev;
    ino_t ino; // 0: idle
    unsigned long covers;
};

struct task_queue {
    char* slots;
    slot_meta meta[QUEUE_SLOTS];
    unsigned head; // next index to take
    unsigned tail; // next index to fill
    pthread_mutex_t lock;
    pthread_cond_t not_empty;
    pthread_cond_t not_full;
};

task_queue queue = {
    nullptr, {}, 0, 0, PTHREAD_MUTEX_INITIALIZER, PTHREAD_COND_INITIALIZER, PTHREAD_COND_INITIALIZER};
task_function task_fn = nullptr;

void* worker(void* arg);
bool dedup = false;
unsigned long queued_seq = 0;  // under the lock
in_flight* scanning = nullptr; // one per worker while de-duplicating
pthread_cond_t scan_done = PTHREAD_COND_INITIALIZER;
std::size_t worker_count = 0;
std::size_t next_worker = 0; // under the lock

bool queue_empty() {
    return queue.head == queue.tail;
}
bool queue_full() {
    return queue.tail == (queue.head ^ QUEUE_SLOTS);
}
char* slot(unsigned index) {
    return queue.slots + (index & (QUEUE_SLOTS - 1)) * PATH_BUF_SIZE;
}
slot_meta& meta(unsigned index) {
    return queue.meta[index & (QUEUE_SLOTS - 1)];
}

// Under the lock: whether the inode waits in the queue already.
bool queued_already(dev_t dev, ino_t ino) {
    for (unsigned i = queue.head; i != queue.tail; i = (i + 1) & INDEX_MASK)
        if (meta(i).ino == ino && meta(i).dev == dev)
            return true;
    return false;
}

} // namespace

int pool_init(std::size_t count, task_function fn) {
    task_fn = fn;
    queue.slots = static_cast<char*>(calloc(QUEUE_SLOTS, PATH_BUF_SIZE));
    if (queue.slots == nullptr) {
        syslog(LOG_ERR, "%s:%u: malloc(): %m", UNIT, __LINE__);
        return -1;
    }
    queue.head = 0;
    queue.tail = 0;

    // Without a worker nothing would ever empty the queue and the monitor loop would stall for good.
    if (count == 0)
        count = 1;
    worker_count = count;
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

void pool_add_task(const char* path) {
    pool_add_file(path, -1, 0);
}

void pool_add_file(const char* path, int fd, unsigned attempt) {
    struct stat st = {};
    bool known = dedup && fd >= 0 && fstat(fd, &st) == 0;
    pthread_mutex_lock(&queue.lock);
    if (known && queued_already(st.st_dev, st.st_ino)) {
        pthread_mutex_unlock(&queue.lock);
        close(fd);
        return;
    }
    while (queue_full())
        pthread_cond_wait(&queue.not_full, &queue.lock);
    meta(queue.tail) = {fd, attempt, known ? st.st_dev : 0, known ? st.st_ino : 0, ++queued_seq};
    char* dest = slot(queue.tail);
    std::size_t len = strnlen(path, PATH_BUF_SIZE - 1);
    memcpy(dest, path, len);
    dest[len] = '\0';
    bool was_empty = queue_empty();
    queue.tail = (queue.tail + 1) & INDEX_MASK;
    if (was_empty)
        pthread_cond_broadcast(&queue.not_empty);
    pthread_mutex_unlock(&queue.lock);
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
    pthread_mutex_lock(&queue.lock);
    std::size_t self = next_worker++;
    pthread_mutex_unlock(&queue.lock);
    for (;;) {
        pthread_mutex_lock(&queue.lock);
        while (queue_empty())
            pthread_cond_wait(&queue.not_empty, &queue.lock);
        bool was_full = queue_full();
        memcpy(task.path, slot(queue.head), PATH_BUF_SIZE);
        slot_meta m = meta(queue.head);
        meta(queue.head) = {-1, 0, 0, 0, 0};
        task.fd = m.fd;
        task.attempt = m.attempt;
        queue.head = (queue.head + 1) & INDEX_MASK;
        if (was_full)
            pthread_cond_broadcast(&queue.not_full);
        bool tracked = scanning != nullptr && m.ino != 0;
        bool run = !tracked || claim(self, m);
        pthread_mutex_unlock(&queue.lock);

        if (run)
            task_fn(&task);
        if (task.fd >= 0) {
            close(task.fd);
            task.fd = -1;
        }
        if (tracked && run) {
            pthread_mutex_lock(&queue.lock);
            scanning[self] = {0, 0, 0};
            pthread_cond_broadcast(&scan_done);
            pthread_mutex_unlock(&queue.lock);
        }
    }
}

} // namespace

unsigned pool_pending() {
    pthread_mutex_lock(&queue.lock);
    unsigned n = (queue.tail - queue.head) & INDEX_MASK;
    pthread_mutex_unlock(&queue.lock);
    return n;
}
