// Task queue and worker threads: a 256-slot ring of path texts with mirrored indices, guarded by one mutex.
#include "src/pool.hpp"

#include <pthread.h>
#include <syslog.h>

#include <cstdlib>
#include <cstring>

namespace {

constexpr const char* UNIT = "src/pool";

// A power of two, so that indices kept modulo twice the size tell full from empty with one comparison and
// all slots can hold a path.
constexpr unsigned QUEUE_SLOTS = 256;
constexpr unsigned INDEX_MASK = 2 * QUEUE_SLOTS - 1;

struct task_queue {
    char* slots;
    unsigned size;
    unsigned head; // next index to take
    unsigned tail; // next index to fill
    pthread_mutex_t lock;
    pthread_cond_t not_empty;
    pthread_cond_t not_full;
};

task_queue queue = {nullptr, 0, 0, 0, PTHREAD_MUTEX_INITIALIZER, PTHREAD_COND_INITIALIZER,
                    PTHREAD_COND_INITIALIZER};
task_function task_fn = nullptr;

bool queue_empty() { return queue.head == queue.tail; }
bool queue_full() { return queue.tail == (queue.head ^ queue.size); }
char* slot(unsigned index) { return queue.slots + (index & (queue.size - 1)) * PATH_BUF_SIZE; }

} // namespace

int pool_init(std::size_t count, task_function fn)
{
    task_fn = fn;
    queue.slots = static_cast<char*>(calloc(QUEUE_SLOTS, PATH_BUF_SIZE));
    if (queue.slots == nullptr) {
        syslog(LOG_ERR, "%s:%u: malloc(): %m", UNIT, __LINE__);
        return -1;
    }
    queue.size = QUEUE_SLOTS;
    queue.head = 0;
    queue.tail = 0;

    // Without a worker nothing would ever empty the queue and the monitor loop would stall for good.
    if (count == 0)
        count = 1;
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

void pool_add_task(const char* path)
{
    pthread_mutex_lock(&queue.lock);
    while (queue_full())
        pthread_cond_wait(&queue.not_full, &queue.lock);
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

void* worker(void*)
{
    int sock = -1;
    task_t task;
    task.sock = &sock;
    for (;;) {
        pthread_mutex_lock(&queue.lock);
        while (queue_empty())
            pthread_cond_wait(&queue.not_empty, &queue.lock);
        bool was_full = queue_full();
        memcpy(task.path, slot(queue.head), PATH_BUF_SIZE);
        queue.head = (queue.head + 1) & INDEX_MASK;
        if (was_full)
            pthread_cond_broadcast(&queue.not_full);
        pthread_mutex_unlock(&queue.lock);

        task_fn(&task);
    }
}
