// fanotify set-up, the poll loop over the signal and fanotify descriptors, and the path filter.
#include "src/monitor.hpp"

#include "src/actor.hpp"
#include "src/coverage.hpp"
#include "src/fileops.hpp"
#include "src/kernel.hpp"
#include "src/onopen.hpp"
#include "src/paths.hpp"
#include "src/pool.hpp"
#include "src/recovery.hpp"
#include "src/status.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/fanotify.h>
#include <sys/signalfd.h>
#include <syslog.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

// PFD_FID is polled only under full coverage, PFD_MOUNTS once mounts below the trees are followed.
enum { PFD_SIGNAL, PFD_FANOTIFY, PFD_FID, PFD_MOUNTS, PFD_MAX };

constexpr std::size_t READ_BUF_SIZE = 8192;
constexpr unsigned MARK_MASK = FAN_CLOSE_WRITE;

// Events with names are larger, and each batch costs a directory lookup per directory: full coverage
// reads bigger batches (its own buffer; the documented loop keeps its 8192 bytes).
constexpr std::size_t FID_READ_SIZE = 65536;
alignas(fanotify_event_metadata) char fid_buf[FID_READ_SIZE];

// Mounts below the monitored trees: a mount mark covers only the mount that holds a tree's root, so each
// mount below it is marked too, and the mount table is followed while the daemon runs.
int mounts_fd = -1;
std::vector<std::string>& below_mounts = *new std::vector<std::string>;

void mark_mount(int fan_fd, const std::string& path) {
    // Opens there are covered as the trees' are; said by onopen_add_mount when they cannot be.
    onopen_add_mount(path.c_str());
    if (coverage_add_mount(path.c_str()) ||
        fanotify_mark(fan_fd, FAN_MARK_ADD | FAN_MARK_MOUNT, MARK_MASK, 0, path.c_str()) == 0)
        syslog(LOG_NOTICE, "Started monitoring '%s'...", path.c_str());
    else
        syslog(LOG_WARNING, "fanotify_mark(): %s: %m", path.c_str());
}

void refresh_mounts(int fan_fd, const monitor* trees) {
    std::vector<std::string> now = read_mounts_below(mounts_fd, trees);
    for (const std::string& p : now)
        if (std::find(below_mounts.begin(), below_mounts.end(), p) == below_mounts.end())
            mark_mount(fan_fd, p);
    for (const std::string& p : below_mounts) {
        if (std::find(now.begin(), now.end(), p) == now.end()) {
            coverage_forget_mount(p.c_str());
            syslog(LOG_NOTICE, "Stopped monitoring '%s': unmounted", p.c_str());
        }
    }
    below_mounts = std::move(now);
}

const exclusion_rules* rules = nullptr;

// Whether zet itself leaves the written file at `path` alone (EXCL_GLOB, EXCL_USER, EXCL_PROGRAM).
bool left_alone(const char* path, const process_ref& by) {
    if (rules == nullptr || (rules->globs.empty() && !rules->by_process()))
        return false;
    // A writer that cannot be asked any more is not excluded: its file is scanned.
    if (auto rule = excluded_for(path, nullptr, *rules, by)) {
        syslog(LOG_DEBUG, "%s: not scanned: %s", path, rule->c_str());
        return true;
    }
    return false;
}

// Queues the path of one close-after-write event when it lies under a monitored tree, handing the event's
// descriptor (and the writer's pidfd) on with it so that the scan finds the file even after a rename.
// True when they were handed on.
bool queue_if_monitored(int fd, const monitor* list, const process_ref& by) {
    char path[PATH_BUF_SIZE];
    if (fd2path(fd, path, sizeof path) == nullptr)
        return false;
    if (!is_monitored(path, list) || left_alone(path, by))
        return false;
    pool_add_file(path, fd, 0, nullptr, by);
    status_count(status_counters.queued);
    return true;
}

// Every way out closes or hands on the event's descriptors, so a burst of filtered events cannot leak
// descriptors.
void handle_event(const fanotify_event_metadata* ev, const monitor* list) {
    bool handed_on = false;
    const process_ref by = {ev->pid, event_pidfd(reinterpret_cast<const unsigned char*>(ev), *ev)};
    if (ev->mask & FAN_CLOSE_WRITE)
        handed_on = queue_if_monitored(ev->fd, list, by);
    if (ev->mask & FAN_Q_OVERFLOW) {
        syslog(LOG_WARNING, "fanotify event queue overflow!");
        catchup_overflow();
    }
    if (ev->fd != FAN_NOFD && !handed_on)
        close(ev->fd);
    if (by.pidfd >= 0 && !handed_on)
        close(by.pidfd);
}

void handle_batch(char* buf, ssize_t len, const monitor* list) {
    // A malformed record makes the rest of the batch unreadable, so it is dropped (FAN_EVENT_OK fails).
    for (auto* ev = reinterpret_cast<fanotify_event_metadata*>(buf); FAN_EVENT_OK(ev, len);
         ev = FAN_EVENT_NEXT(ev, len))
        handle_event(ev, list);
}

// One read from a fanotify group into `buf`: the byte count of a batch to walk, or 0 when there is none.
// Nothing is logged for the reads without a batch.
ssize_t read_batch(int fd, char* buf, std::size_t size) {
    ssize_t len = read(fd, buf, size);
    if (len > 0) {
        catchup_note_events();
        return len;
    }
    if (len == 0)
        return 0; // nothing queued: the poll woke for another descriptor
    if (errno == EINTR)
        return 0; // the stop signals are blocked, so another signal; the events wait for the next pass
    if (errno == EAGAIN)
        return 0; // nothing ready after all
    // Any other error (EMFILE: no descriptor for an event's file) has lost those events; the loop goes on.
    return 0;
}

// With a state file: whether both groups are empty now. Everything read before has been handed on, so the
// events of every file closed before the check are queued.
void note_if_drained(int fan_fd, int fid_fd) {
    timespec checked;
    clock_gettime(CLOCK_REALTIME, &checked);
    pollfd groups[] = {{fan_fd, POLLIN, 0}, {fid_fd, POLLIN, 0}};
    if (poll(groups, 2, 0) == 0)
        catchup_note_drained(checked);
}

} // namespace

void monitor_exclude(const exclusion_rules& settings) {
    rules = &settings;
}

int monitor_start(const monitor* list, int unlimited_queue) {
    unsigned flags = FAN_CLOEXEC | FAN_CLASS_NOTIF;
    if (unlimited_queue != 0)
        flags |= FAN_UNLIMITED_QUEUE;
    // The pidfd names each writer (who did it), never a process that took its pid later.
    int fd = fanotify_init_pidfd(flags, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        syslog(LOG_ERR, "fanotify_init(): %m");
        return -1;
    }
    for (const monitor* m = list; m != nullptr; m = m->next) {
        if (fanotify_mark(fd, FAN_MARK_ADD | FAN_MARK_MOUNT, MARK_MASK, 0, m->path) != 0) {
            syslog(LOG_ERR, "fanotify_mark(): %s: %m", m->path);
            return -1;
        }
        syslog(LOG_NOTICE, "Started monitoring '%s'...", m->path);
    }
    return fd;
}

int monitor_follow_mounts(int fan_fd, const monitor* trees) {
    mounts_fd = open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
    if (mounts_fd < 0) {
        syslog(LOG_WARNING, "open(): /proc/self/mountinfo: %m");
        return -1;
    }
    refresh_mounts(fan_fd, trees);
    return 0;
}

int monitor_run(int signal_fd, int fan_fd, const monitor* list, int timeout_ms) {
    alignas(fanotify_event_metadata) alignas(signalfd_siginfo) char buf[READ_BUF_SIZE];
    pollfd fds[PFD_MAX] = {};
    fds[PFD_SIGNAL] = {signal_fd, POLLIN, 0};
    fds[PFD_FANOTIFY] = {fan_fd, POLLIN, 0};
    // Entries with no descriptor (-1) are passed over by poll.
    const int fid_fd = coverage_group();
    fds[PFD_FID] = {fid_fd, POLLIN, 0};
    // The mount table signals a change with POLLPRI (and POLLERR).
    fds[PFD_MOUNTS] = {mounts_fd, POLLPRI, 0};

    for (;;) {
        if (poll(fds, PFD_MAX, timeout_ms) < 0) {
            syslog(LOG_ERR, "poll(): %m");
            return -1;
        }
        if (fds[PFD_SIGNAL].revents & POLLIN) {
            if (read(signal_fd, buf, sizeof(signalfd_siginfo)) != sizeof(signalfd_siginfo)) {
                syslog(LOG_ERR, "read(): %m");
                return -1;
            }
            // The only way out with 0: a stop request from the service manager or the terminal.
            auto signo = reinterpret_cast<const signalfd_siginfo*>(buf)->ssi_signo;
            if (signo == SIGINT || signo == SIGTERM)
                return 0;
        }
        if (fds[PFD_FANOTIFY].revents & POLLIN) {
            if (ssize_t len = read_batch(fan_fd, buf, sizeof buf); len > 0)
                handle_batch(buf, len, list);
        }
        if (fds[PFD_MOUNTS].revents & (POLLPRI | POLLERR))
            refresh_mounts(fan_fd, list);
        if (fds[PFD_FID].revents & POLLIN) {
            if (ssize_t len = read_batch(fid_fd, fid_buf, FID_READ_SIZE); len > 0)
                coverage_handle_batch(fid_buf, static_cast<std::size_t>(len));
        }
        if (catchup_tracking())
            note_if_drained(fan_fd, fid_fd);
        // Held opens wait on the answering thread: while it makes no progress the watchdog is left to end
        // zet, and with it every wait.
        if (onopen_alive())
            sd_notify(0, "WATCHDOG=1\n");
    }
}

void monitor_stop(int fan_fd, const monitor* list) {
    // A second path on an already unmarked mount fails; that is expected and harmless.
    for (const monitor* m = list; m != nullptr; m = m->next)
        fanotify_mark(fan_fd, FAN_MARK_REMOVE | FAN_MARK_MOUNT, MARK_MASK, 0, m->path);
    close(fan_fd);
}
