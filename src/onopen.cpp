// Protection on access: the groups of opens, the answering thread with its deadlines, the cache of clean
// verdicts (zet's own, and the kernel's evictable ignore marks), and the follower of signature reloads.
#include "src/onopen.hpp"

#include "src/actor.hpp"
#include "src/config.hpp"
#include "src/fileops.hpp"
#include "src/kernel.hpp"
#include "src/paths.hpp"
#include "src/pool.hpp"
#include "src/recovery.hpp"
#include "src/status.hpp"
#include "src/thread.hpp"
#include "zelu/wire.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/fanotify.h>
#include <sys/resource.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

constexpr std::uint64_t PERM_MASK = FAN_OPEN_PERM | FAN_OPEN_EXEC_PERM;
constexpr std::uint64_t NOTE_MASK = FAN_OPEN | FAN_OPEN_EXEC;
// Event descriptors as the answering thread may hold them: reads through them raise no events, and the
// files' access times stay as the users left them.
constexpr unsigned EVENT_FLAGS = O_RDONLY | O_LARGEFILE | O_CLOEXEC | O_NOATIME;
// The answering thread wakes at least this often, so that its heartbeat shows it runs.
constexpr int HEARTBEAT_MS = 1000;
// A thread that has not beaten for this long has stopped answering.
constexpr std::int64_t ALIVE_LIMIT_MS = 5000;
// Descriptors left to the rest of the daemon when the answering thread reads events (an eighth of the
// limit, within these bounds): an event whose descriptor cannot be made is denied by the kernel, so no more
// are read than there is room for.
constexpr long MIN_FD_RESERVE = 8, MAX_FD_RESERVE = 64;
// Descriptors the answering thread keeps in hand and lets go of when the rest of the daemon has taken every
// other one: it can then still read (and answer) a few opens at a time, rather than leave them waiting.
constexpr std::size_t SPARE_FDS = 16;
constexpr std::size_t MAX_BATCH = 256;
// Messages of the answering thread wait here for the logging thread; beyond it they are dropped, counted.
constexpr std::size_t LOG_QUEUE_MAX = 1024;
constexpr std::size_t LOG_LINE_MAX = 512;
// How long the follower of reloads waits before asking again when the service cannot be asked.
constexpr unsigned RELOAD_RETRY_SECONDS = 1;
constexpr std::int64_t NS_PER_MS = 1000000;

std::int64_t now_ms() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<std::int64_t>(t.tv_sec) * 1000 + t.tv_nsec / NS_PER_MS;
}

// ---- messages that must not wait ------------------------------------------------------------------------

struct log_queue {
    std::mutex lock;
    std::deque<std::pair<int, std::string>> lines;
    std::size_t dropped = 0;
    int wake = -1; // eventfd
};
// Never destroyed: the logging thread reads it until the process ends.
log_queue& logs = *new log_queue;

// Queues a message for syslog without waiting for it.
[[gnu::format(printf, 2, 3)]] void log_later(int priority, const char* format, ...) {
    char text[LOG_LINE_MAX];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    {
        std::lock_guard guard(logs.lock);
        if (logs.lines.size() >= LOG_QUEUE_MAX) {
            logs.dropped++;
            return;
        }
        logs.lines.emplace_back(priority, text);
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(logs.wake, &one, sizeof one);
}

// Logs what waits, until nothing is left.
void drain_logs() {
    for (;;) {
        std::deque<std::pair<int, std::string>> lines;
        std::size_t dropped;
        {
            std::lock_guard guard(logs.lock);
            lines.swap(logs.lines);
            dropped = logs.dropped;
            logs.dropped = 0;
        }
        if (lines.empty() && dropped == 0)
            return;
        for (const auto& [priority, text] : lines)
            syslog(priority, "%s", text.c_str());
        if (dropped != 0)
            syslog(LOG_WARNING, "On-open protection: %zu messages dropped", dropped);
    }
}

void* logger(void*) {
    for (;;) {
        pollfd p = {logs.wake, POLLIN, 0};
        if (poll(&p, 1, -1) > 0) {
            std::uint64_t n;
            [[maybe_unused]] ssize_t r = read(logs.wake, &n, sizeof n);
        }
        drain_logs();
    }
    return nullptr;
}

// ---- the cache of clean verdicts ------------------------------------------------------------------------

struct clean_entry {
    dev_t dev;
    ino_t ino; // 0: free
    off_t size;
    std::int64_t mtime_ns, ctime_ns;
};

std::int64_t ns(const timespec& t) {
    return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

bool same_content(const clean_entry& e, const struct stat& st) {
    return e.size == st.st_size && e.mtime_ns == ns(st.st_mtim) && e.ctime_ns == ns(st.st_ctim);
}

// Sets of a few ways, the oldest way of a full set replaced: bounded, never resized, no deletion order.
constexpr std::size_t CACHE_WAYS = 4;
constexpr std::size_t CACHE_SETS = OPEN_CACHE_ENTRIES / CACHE_WAYS;

// Under `lock`: the cache, the signature version its verdicts are valid for (0: not known yet, nothing is
// cached), and the kernel's ignore marks, which change with it.
struct clean_cache {
    std::mutex lock;
    clean_entry* entries = nullptr; // CACHE_SETS * CACHE_WAYS, calloc'd: pages are touched as it fills
    unsigned char* next_way = nullptr;
    std::uint32_t vps = 0;
    std::size_t count = 0;
};
clean_cache& cache = *new clean_cache;

clean_entry* cache_set(dev_t dev, ino_t ino) {
    std::size_t h = std::hash<std::uint64_t>{}(static_cast<std::uint64_t>(ino) * 0x9E3779B97F4A7C15ull ^ dev);
    return cache.entries + (h % CACHE_SETS) * CACHE_WAYS;
}

// Under the lock.
clean_entry* cache_find(const struct stat& st) {
    clean_entry* set = cache_set(st.st_dev, st.st_ino);
    for (std::size_t w = 0; w < CACHE_WAYS; w++)
        if (set[w].ino == st.st_ino && set[w].dev == st.st_dev)
            return &set[w];
    return nullptr;
}

// ---- the groups and what they hold ----------------------------------------------------------------------

const Config* config = nullptr;
int perm_fd = -1;          // permission events (block)
int note_fd = -1;          // notifications (scan, and the trees that fell back to it)
int wake_fd = -1;          // verdicts and the stop request
bool kernel_marks = false; // evictable ignore marks are offered
pid_t self = 0;
std::atomic<bool> stopping{false};
std::atomic<std::int64_t> heartbeat{0};
pthread_t answerer;
bool answering = false;

// One open held: its event's descriptor, answered by number.
struct held_open {
    int fd;
    std::int64_t deadline_ms;
};

// One file whose verdict is awaited: its opens wait here, one scan serves them all.
struct awaited {
    std::uint64_t id;
    int group;   // perm_fd or note_fd
    int file_fd; // a descriptor of its own: the ignore mark and the second look at the file
    struct stat before;
    std::string path;
    std::vector<held_open> opens;
    bool queued;  // handed to the pool
    pid_t opener; // the first opener, named if the file is infected
};

// The answering thread's own, no lock.
std::unordered_map<std::uint64_t, awaited>& awaiting = *new std::unordered_map<std::uint64_t, awaited>;
std::uint64_t next_id = 1;
std::vector<int>& spares = *new std::vector<int>;

struct verdict {
    std::uint64_t id;
    av_verdict v;
    std::string reason;
    std::uint32_t vps;
};
std::mutex verdict_lock;
std::vector<verdict>& verdicts = *new std::vector<verdict>;

void wake(int fd) {
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(fd, &one, sizeof one);
}

void respond(int fd, std::uint32_t answer) {
    fanotify_response r = {fd, answer};
    [[maybe_unused]] ssize_t n = write(perm_fd, &r, sizeof r);
}

// Answers one held open and lets go of its descriptor.
void release(const held_open& o, std::uint32_t answer) {
    respond(o.fd, answer);
    close(o.fd);
}

void count_held(std::int64_t delta) {
    status_counters.opens_held.fetch_add(delta, std::memory_order_relaxed);
}

// The oldest open still held, for the status line: its age is the worst any reader waits now.
void note_oldest() {
    std::int64_t oldest = 0;
    for (const auto& [id, a] : awaiting)
        for (const held_open& o : a.opens)
            if (oldest == 0 || o.deadline_ms < oldest)
                oldest = o.deadline_ms;
    std::int64_t since = oldest == 0 ? 0 : oldest - config->open_timeout * 1000;
    status_counters.oldest_held_since_ms.store(since, std::memory_order_relaxed);
}

// Sets the kernel's ignore mark on the file of `fd` and keeps the verdict, both only while `st` still
// describes it and the verdict is of the signatures now loaded. Any write clears the kernel's mark.
void remember_clean(int group, int fd, const struct stat& before, std::uint32_t vps) {
    std::lock_guard guard(cache.lock);
    if (vps == 0 || vps != cache.vps)
        return;
    const std::uint64_t mask = group == perm_fd ? PERM_MASK : NOTE_MASK;
    bool marked = kernel_marks && fanotify_mark(group, FAN_MARK_ADD | FAN_MARK_IGNORE | FAN_MARK_EVICTABLE,
                                                mask, fd, nullptr) == 0;
    // Looked at again after the mark: a write from here on clears the mark, one before shows here.
    struct stat now;
    if (fstat(fd, &now) != 0 || now.st_size != before.st_size || ns(now.st_mtim) != ns(before.st_mtim) ||
        ns(now.st_ctim) != ns(before.st_ctim)) {
        if (marked)
            fanotify_mark(group, FAN_MARK_REMOVE | FAN_MARK_IGNORE, mask, fd, nullptr);
        return;
    }
    clean_entry* e = cache_find(before);
    if (e == nullptr) {
        clean_entry* set = cache_set(before.st_dev, before.st_ino);
        std::size_t slot = static_cast<std::size_t>(set - cache.entries) / CACHE_WAYS;
        e = &set[cache.next_way[slot]];
        cache.next_way[slot] = static_cast<unsigned char>((cache.next_way[slot] + 1) % CACHE_WAYS);
        if (e->ino == 0)
            cache.count++;
    }
    *e = {before.st_dev, before.st_ino, before.st_size, ns(before.st_mtim), ns(before.st_ctim)};
    status_counters.open_cache_entries.store(cache.count, std::memory_order_relaxed);
}

bool known_clean(int group, int fd, const struct stat& st) {
    std::lock_guard guard(cache.lock);
    const clean_entry* e = cache.vps != 0 ? cache_find(st) : nullptr;
    if (e == nullptr || !same_content(*e, st))
        return false;
    // The kernel let this open through: its mark went with the inode. Set again, the next open stays there.
    if (kernel_marks)
        fanotify_mark(group, FAN_MARK_ADD | FAN_MARK_IGNORE | FAN_MARK_EVICTABLE,
                      group == perm_fd ? PERM_MASK : NOTE_MASK, fd, nullptr);
    return true;
}

// Signatures changed: no verdict of the old ones stands.
void forget_all(std::uint32_t vps) {
    std::lock_guard guard(cache.lock);
    if (vps == cache.vps)
        return;
    bool had = cache.vps != 0;
    cache.vps = vps;
    if (!had)
        return;
    memset(cache.entries, 0, CACHE_SETS * CACHE_WAYS * sizeof *cache.entries);
    cache.count = 0;
    status_counters.open_cache_entries.store(0, std::memory_order_relaxed);
    // FAN_MARK_FLUSH without a mount or file-system flag drops the inode marks only: the ignore marks.
    for (int group : {perm_fd, note_fd})
        if (group >= 0)
            fanotify_mark(group, FAN_MARK_FLUSH, 0, AT_FDCWD, nullptr);
    log_later(LOG_NOTICE, "Signatures changed (version %u): clean verdicts of opens forgotten", vps);
}

// ---- files moved into the vault ------------------------------------------------------------------------

// An open that began before its file went into the vault is read under the vault's name. Remembered for a
// while only: an open waits in the kernel's queue for milliseconds, and zetctl may copy a file out later.
constexpr std::size_t INTO_VAULT_MAX = 64;
constexpr std::int64_t INTO_VAULT_MS = 30000;

struct into_vault {
    std::mutex lock;
    struct entry {
        dev_t dev;
        ino_t ino;
        std::int64_t at_ms;
    } recent[INTO_VAULT_MAX] = {};
    std::size_t next = 0;
};
into_vault& vaulted = *new into_vault;

bool vaulted_lately(const struct stat& st) {
    const std::int64_t since = now_ms() - INTO_VAULT_MS;
    std::lock_guard guard(vaulted.lock);
    for (const auto& e : vaulted.recent)
        if (e.ino == st.st_ino && e.dev == st.st_dev && e.at_ms > since)
            return true;
    return false;
}

// ---- the answering thread ----------------------------------------------------------------------------

// Descriptors this process may still open, less the reserve; counted, since every thread opens some.
long descriptors_free() {
    rlimit lim;
    if (getrlimit(RLIMIT_NOFILE, &lim) != 0)
        return 0;
    long open = 0;
    // procfs raises no permission events, so this cannot wait on zet itself.
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d) != nullptr)
            open++;
        closedir(d);
    }
    const long limit = static_cast<long>(lim.rlim_cur);
    return limit - open - std::clamp(limit / 8, MIN_FD_RESERVE, MAX_FD_RESERVE);
}

// Hands the scan of `a` to the pool; false when its lane is full (tried again later).
bool offer(awaited& a) {
    int fd = fcntl(a.file_fd, F_DUPFD_CLOEXEC, 0);
    if (fd < 0)
        return false;
    if (!pool_offer_open(a.path.c_str(), fd, a.id, a.opener)) {
        close(fd);
        return false;
    }
    a.queued = true;
    status_count(status_counters.open_scans);
    return true;
}

void handle_event(int group, const fanotify_event_metadata& ev) {
    if (ev.mask & FAN_Q_OVERFLOW) {
        status_count(status_counters.open_overflows);
        log_later(LOG_WARNING, "fanotify queue of opens overflowed: opens were allowed unseen");
        catchup_overflow();
        return;
    }
    if (ev.fd < 0)
        return;
    const bool held = group == perm_fd;
    const int fd = ev.fd;
    auto pass = [&] {
        if (held)
            respond(fd, FAN_ALLOW);
        close(fd);
    };
    // Outside the trees now, but perhaps only since its quarantine.
    auto pass_unless_vaulted = [&](const struct stat& st) {
        if (!held || !vaulted_lately(st))
            return pass();
        status_count(status_counters.opens);
        status_count(status_counters.opens_denied);
        respond(fd, FAN_DENY);
        close(fd);
    };
    // zet's own opens (moves into the vault) and the scan service's would wait on themselves.
    if (ev.pid == self || av_is_service_pid(ev.pid))
        return pass();
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size == 0)
        return pass();
    char path[PATH_BUF_SIZE];
    if (!fd_link(fd, path, sizeof path) || !path_under(path, config->monitors))
        return pass_unless_vaulted(st);
    // The opener waits (or has just opened), so procfs still shows it: exact, and never a wait on zet.
    if (excluded_for(path, config->exclusions, config->excluded, {ev.pid, PIDFD_NONE}))
        return pass_unless_vaulted(st);
    status_count(status_counters.opens);
    if (known_clean(group, fd, st)) {
        status_count(status_counters.open_hits);
        return pass();
    }
    const std::int64_t deadline = now_ms() + static_cast<std::int64_t>(config->open_timeout) * 1000;
    for (auto& [id, a] : awaiting) {
        if (a.before.st_ino == st.st_ino && a.before.st_dev == st.st_dev && a.group == group) {
            if (!held)
                return pass();
            a.opens.push_back({fd, deadline});
            count_held(1);
            return;
        }
    }
    awaited a{next_id++, group, fcntl(fd, F_DUPFD_CLOEXEC, 0), st, path, {}, false, ev.pid};
    if (a.file_fd < 0) {
        // No room for the scan's own descriptor: the open goes on unscanned, like one at its deadline.
        status_count(status_counters.opens_unscanned);
        log_later(LOG_WARNING, "%s: open allowed unscanned: %s", path, strerror(errno));
        return pass();
    }
    if (held) {
        a.opens.push_back({fd, deadline});
        count_held(1);
    } else {
        close(fd);
    }
    offer(a);
    awaiting.emplace(a.id, std::move(a));
}

// Answers every open of `a` with `answer`.
void answer_all(awaited& a, std::uint32_t answer) {
    for (const held_open& o : a.opens)
        release(o, answer);
    count_held(-static_cast<std::int64_t>(a.opens.size()));
    a.opens.clear();
}

// What OPEN_ERROR makes of an open that has no verdict to go by.
std::uint32_t unscanned_answer() {
    return config->open_error == OPEN_ERROR_DENY ? FAN_DENY : FAN_ALLOW;
}

void say_unscanned(const awaited& a, std::size_t opens, const char* reason) {
    if (opens == 0)
        return;
    status_counters.opens_unscanned.fetch_add(opens, std::memory_order_relaxed);
    if (config->open_error == OPEN_ERROR_DENY)
        status_counters.opens_denied.fetch_add(opens, std::memory_order_relaxed);
    log_later(LOG_WARNING, "%s: open %s unscanned: %s", a.path.c_str(),
              config->open_error == OPEN_ERROR_DENY ? "denied" : "allowed", reason);
}

void take_verdict(const verdict& v) {
    auto it = awaiting.find(v.id);
    if (it == awaiting.end())
        return;
    awaited& a = it->second;
    if (v.vps != 0)
        forget_all(v.vps);
    const std::size_t opens = a.opens.size();
    switch (v.v) {
    case AV_CLEAN:
        answer_all(a, FAN_ALLOW);
        remember_clean(a.group, a.file_fd, a.before, v.vps);
        break;
    case AV_FOUND:
        status_counters.opens_denied.fetch_add(opens, std::memory_order_relaxed);
        answer_all(a, FAN_DENY);
        break;
    case AV_UNSCANNABLE:
        if (v.reason == "Excluded") {
            answer_all(a, FAN_ALLOW);
            break;
        }
        say_unscanned(a, opens, v.reason.c_str());
        answer_all(a, unscanned_answer());
        break;
    case AV_FAILED:
        say_unscanned(a, opens, "no answer from the scan service");
        answer_all(a, unscanned_answer());
        break;
    }
    close(a.file_fd);
    awaiting.erase(it);
}

// Opens past their deadline go on (or not) unscanned; their file's scan goes on in the background and
// still quarantines it when it is infected.
std::int64_t expire(std::int64_t now) {
    std::int64_t next = now + HEARTBEAT_MS;
    for (auto& [id, a] : awaiting) {
        std::size_t late = 0;
        for (auto o = a.opens.begin(); o != a.opens.end();) {
            if (o->deadline_ms <= now) {
                release(*o, unscanned_answer());
                o = a.opens.erase(o);
                late++;
            } else {
                next = std::min(next, o->deadline_ms);
                ++o;
            }
        }
        count_held(-static_cast<std::int64_t>(late));
        char reason[64];
        snprintf(reason, sizeof reason, "no verdict within %d s", config->open_timeout);
        say_unscanned(a, late, reason);
        if (!a.queued)
            offer(a);
    }
    return next;
}

// Takes spare descriptors again while there is room for them beside a batch.
void refill_spares() {
    if (spares.size() >= SPARE_FDS || descriptors_free() <= static_cast<long>(SPARE_FDS))
        return;
    while (spares.size() < SPARE_FDS) {
        int fd = fcntl(wake_fd, F_DUPFD_CLOEXEC, 0);
        if (fd < 0)
            return;
        spares.push_back(fd);
    }
}

// How many events may be read now: as many as there are descriptors for, each awaited file holding up to
// three (the open's, its own, the scan's); the rest wait in the kernel, not denied.
long events_to_read() {
    long room = std::min<long>(descriptors_free() / 3, static_cast<long>(MAX_BATCH));
    if (room > 0 || spares.empty())
        return room;
    for (int fd : spares)
        close(fd);
    room = static_cast<long>(spares.size()) / 3;
    spares.clear();
    return room;
}

void read_events(int group, char* buf, std::size_t room) {
    ssize_t len = read(group, buf, room);
    if (len <= 0)
        return; // EAGAIN: nothing after all; EINTR: next pass
    for (auto* ev = reinterpret_cast<fanotify_event_metadata*>(buf); FAN_EVENT_OK(ev, len);
         ev = FAN_EVENT_NEXT(ev, len))
        handle_event(group, *ev);
}

void* answer_loop(void*) {
    alignas(fanotify_event_metadata) char buf[MAX_BATCH * sizeof(fanotify_event_metadata)];
    enum { PFD_WAKE, PFD_PERM, PFD_NOTE, PFD_MAX };
    std::int64_t next = now_ms() + HEARTBEAT_MS;
    while (!stopping.load(std::memory_order_relaxed)) {
        heartbeat.store(now_ms(), std::memory_order_relaxed);
        long room = events_to_read();
        pollfd fds[PFD_MAX] = {
            {wake_fd, POLLIN, 0}, {room > 0 ? perm_fd : -1, POLLIN, 0}, {room > 0 ? note_fd : -1, POLLIN, 0}};
        int timeout = static_cast<int>(std::max<std::int64_t>(0, next - now_ms()));
        if (room <= 0)
            timeout = std::min(timeout, 50); // a descriptor may come free without a wake-up
        if (poll(fds, PFD_MAX, timeout) < 0 && errno != EINTR)
            break;
        if (fds[PFD_WAKE].revents & POLLIN) {
            std::uint64_t n;
            [[maybe_unused]] ssize_t r = read(wake_fd, &n, sizeof n);
            std::vector<verdict> got;
            {
                std::lock_guard guard(verdict_lock);
                got.swap(verdicts);
            }
            for (const verdict& v : got)
                take_verdict(v);
        }
        const std::size_t bytes =
            static_cast<std::size_t>(std::max<long>(room, 0)) * sizeof(fanotify_event_metadata);
        if (fds[PFD_PERM].revents & POLLIN)
            read_events(perm_fd, buf, bytes);
        if (fds[PFD_NOTE].revents & POLLIN)
            read_events(note_fd, buf, bytes);
        next = expire(now_ms());
        note_oldest();
        refill_spares();
    }
    // Stopping: every open still held goes on; the scans that run finish without anyone waiting.
    for (auto& [id, a] : awaiting)
        answer_all(a, FAN_ALLOW);
    return nullptr;
}

// ---- following signature reloads ------------------------------------------------------------------------

void* reload_follower(void*) {
    int handle = -1;
    std::uint32_t known = 0;
    for (;;) {
        std::uint32_t vps = 0;
        if (av_vps_wait(&handle, known, &vps) == 0) {
            if (vps != known)
                forget_all(vps);
            known = vps;
            continue;
        }
        sleep(RELOAD_RETRY_SECONDS);
    }
    return nullptr;
}

// ---- marks ---------------------------------------------------------------------------------------------

int make_group(bool held) {
    unsigned flags = FAN_CLOEXEC | FAN_NONBLOCK | (held ? FAN_CLASS_CONTENT : FAN_CLASS_NOTIF);
    if (config->unlimited_queue != 0)
        flags |= FAN_UNLIMITED_QUEUE;
    // Marks are set per clean file; without this, the user's mark limit would end the cache.
    int fd = fanotify_init(flags | FAN_UNLIMITED_MARKS, EVENT_FLAGS);
    return fd;
}

// Marks the file system of `path` in `group` (a mount mark where the file system cannot be marked);
// false with errno set.
bool mark(int group, std::uint64_t mask, const char* path) {
    if (fanotify_mark(group, FAN_MARK_ADD | FAN_MARK_FILESYSTEM, mask, AT_FDCWD, path) == 0)
        return true;
    return fanotify_mark(group, FAN_MARK_ADD | FAN_MARK_MOUNT, mask, AT_FDCWD, path) == 0;
}

// Whether the kernel takes evictable ignore marks on files: without them the cache is zet's alone.
bool probe_kernel_marks(int group, std::uint64_t mask) {
    int fd = open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok =
        fanotify_mark(group, FAN_MARK_ADD | FAN_MARK_IGNORE | FAN_MARK_EVICTABLE, mask, fd, nullptr) == 0;
    if (ok)
        fanotify_mark(group, FAN_MARK_REMOVE | FAN_MARK_IGNORE, mask, fd, nullptr);
    close(fd);
    return ok;
}

// Marks `path` for blocking, or else for scanning after a warning; false when neither can be had.
bool mark_tree(const char* path, bool announce) {
    if (perm_fd >= 0 && mark(perm_fd, PERM_MASK, path)) {
        if (announce)
            syslog(LOG_NOTICE, "Blocking infected opens under '%s'...", path);
        return true;
    }
    if (perm_fd >= 0)
        syslog(LOG_WARNING, "On-open blocking of '%s' falls back to scan: fanotify_mark(): %m", path);
    if (note_fd < 0) {
        syslog(LOG_WARNING, "On-open scanning of '%s' is off: fanotify_init(): %m", path);
        return false;
    }
    if (!mark(note_fd, NOTE_MASK, path)) {
        syslog(LOG_WARNING, "On-open scanning of '%s' is off: fanotify_mark(): %m", path);
        return false;
    }
    if (announce)
        syslog(LOG_NOTICE, "Scanning opens under '%s'...", path);
    return true;
}

} // namespace

int onopen_start(const Config& settings) {
    config = &settings;
    if (config->on_open == ON_OPEN_OFF)
        return 0;
    self = getpid();
    raise_descriptor_limit();
    cache.entries = static_cast<clean_entry*>(calloc(CACHE_SETS * CACHE_WAYS, sizeof(clean_entry)));
    cache.next_way = static_cast<unsigned char*>(calloc(CACHE_SETS, 1));
    wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    logs.wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (cache.entries == nullptr || cache.next_way == nullptr || wake_fd < 0 || logs.wake < 0) {
        syslog(LOG_ERR, "On-open protection: %m");
        return -1;
    }

    if (config->on_open == ON_OPEN_BLOCK) {
        perm_fd = make_group(true);
        if (perm_fd < 0)
            for (const monitor* m = config->monitors; m != nullptr; m = m->next)
                syslog(LOG_WARNING, "On-open blocking of '%s' falls back to scan: fanotify_init(): %m",
                       m->path);
    }
    // Made now even for `block`, so that the answering thread never sees it change: a tree or a mount
    // below one may fall back to it later.
    note_fd = make_group(false);
    if (perm_fd >= 0 || note_fd >= 0)
        kernel_marks =
            probe_kernel_marks(perm_fd >= 0 ? perm_fd : note_fd, perm_fd >= 0 ? PERM_MASK : NOTE_MASK);
    heartbeat.store(now_ms(), std::memory_order_relaxed);
    refill_spares();
    // The answering thread runs before the first mark: from then on zet's own opens on a marked file
    // system wait for it too.
    if (thread_start_detached(logger) != 0 || thread_start_detached(reload_follower) != 0)
        return -1;
    int rc = pthread_create(&answerer, nullptr, answer_loop, nullptr);
    if (rc != 0) {
        errno = rc;
        syslog(LOG_ERR, "pthread_create(): %m");
        return -1;
    }
    answering = true;
    bool any = false;
    for (const monitor* m = config->monitors; m != nullptr; m = m->next)
        any = mark_tree(m->path, true) || any;
    if (!any && config->monitors != nullptr) {
        syslog(LOG_ERR, "On-open protection: no tree could be marked");
        return -1;
    }
    return 0;
}

bool onopen_add_mount(const char* path) {
    if (config == nullptr || config->on_open == ON_OPEN_OFF)
        return true;
    return mark_tree(path, false);
}

void onopen_forget(const char* path, const struct stat& st) {
    if (config == nullptr || config->on_open == ON_OPEN_OFF)
        return;
    std::lock_guard guard(cache.lock);
    if (clean_entry* e = cache_find(st)) {
        *e = {};
        cache.count--;
        status_counters.open_cache_entries.store(cache.count, std::memory_order_relaxed);
    }
    // ENOENT: no mark on it, the usual case.
    if (perm_fd >= 0)
        fanotify_mark(perm_fd, FAN_MARK_REMOVE | FAN_MARK_IGNORE, PERM_MASK, AT_FDCWD, path);
    if (note_fd >= 0)
        fanotify_mark(note_fd, FAN_MARK_REMOVE | FAN_MARK_IGNORE, NOTE_MASK, AT_FDCWD, path);
}

void onopen_quarantining(const char* path) {
    struct stat st;
    if (config == nullptr || config->on_open != ON_OPEN_BLOCK || lstat(path, &st) != 0)
        return;
    std::lock_guard guard(vaulted.lock);
    vaulted.recent[vaulted.next] = {st.st_dev, st.st_ino, now_ms()};
    vaulted.next = (vaulted.next + 1) % INTO_VAULT_MAX;
}

void onopen_verdict(std::uint64_t id, av_verdict v, const char* reason, std::uint32_t vps) {
    {
        std::lock_guard guard(verdict_lock);
        verdicts.push_back({id, v, reason != nullptr ? reason : "", vps});
    }
    wake(wake_fd);
}

void onopen_clean(int fd, const struct stat& before, std::uint32_t vps) {
    if (config == nullptr || config->on_open == ON_OPEN_OFF)
        return;
    forget_all(vps); // a sweep may be the first to learn of new signatures
    for (int group : {perm_fd, note_fd})
        if (group >= 0)
            remember_clean(group, fd, before, vps);
}

bool onopen_alive() {
    if (perm_fd < 0 || !answering)
        return true;
    return now_ms() - heartbeat.load(std::memory_order_relaxed) < ALIVE_LIMIT_MS;
}

void onopen_stop() {
    if (!answering)
        return;
    stopping.store(true, std::memory_order_relaxed);
    wake(wake_fd);
    pthread_join(answerer, nullptr);
    answering = false;
    for (int* group : {&perm_fd, &note_fd}) {
        if (*group >= 0) {
            close(*group);
            *group = -1;
        }
    }
    drain_logs();
}
