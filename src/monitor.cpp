// fanotify set-up, the poll loop over the signal and fanotify descriptors, and the path filter.
#include "src/monitor.hpp"

#include "src/config.hpp"
#include "src/coverage.hpp"
#include "src/fileops.hpp"
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
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr const char* UNIT = "src/monitor";

// PFD_FID is polled only under full coverage, PFD_MOUNTS once mounts below the trees are followed.
enum { PFD_SIGNAL, PFD_FANOTIFY, PFD_FID, PFD_MOUNTS, PFD_MAX };

constexpr std::size_t READ_BUF_SIZE = 8192;
constexpr unsigned MARK_MASK = FAN_CLOSE_WRITE;

int fid_fd = -1;
// Events with names are larger, and each batch costs a directory lookup per directory: full coverage
// reads bigger batches (its own buffer; the documented loop keeps its 8192 bytes).
constexpr std::size_t FID_READ_SIZE = 65536;
alignas(fanotify_event_metadata) char fid_buf[FID_READ_SIZE];

// Mounts below the monitored trees: a mount mark covers only the mount that holds a tree's root, so each
// mount below it is marked too, and the mount table is followed while the daemon runs.
int mounts_fd = -1;
int mount_group = -1;
const monitor* mount_trees = nullptr;
std::vector<std::string>& below_mounts = *new std::vector<std::string>;

// A mount point as /proc/self/mountinfo escapes it (\040 for a blank, \011, \012, \134).
std::string unescape_octal(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); i++) {
        if (text[i] == '\\' && i + 3 < text.size() && isdigit(static_cast<unsigned char>(text[i + 1])) &&
            isdigit(static_cast<unsigned char>(text[i + 2])) &&
            isdigit(static_cast<unsigned char>(text[i + 3]))) {
            out +=
                static_cast<char>((text[i + 1] - '0') * 64 + (text[i + 2] - '0') * 8 + (text[i + 3] - '0'));
            i += 3;
        } else {
            out += text[i];
        }
    }
    return out;
}

// Mount points strictly below a tree of `trees` in the mount table read from `fd`.
std::vector<std::string> read_mounts_below(int fd, const monitor* trees) {
    std::string table;
    char buf[READ_BUF_SIZE];
    ssize_t n;
    for (off_t off = 0; (n = pread(fd, buf, sizeof buf, off)) > 0; off += n)
        table.append(buf, static_cast<std::size_t>(n));
    std::vector<std::string> found;
    std::size_t start = 0;
    for (std::size_t nl; (nl = table.find('\n', start)) != std::string::npos; start = nl + 1) {
        // The fifth field is the mount point.
        std::size_t pos = start;
        for (int field = 0; field < 4 && pos < nl; field++)
            pos = table.find(' ', pos) + 1;
        std::size_t end = table.find(' ', pos);
        if (pos == 0 || end == std::string::npos || end > nl)
            continue;
        std::string point = unescape_octal(table.substr(pos, end - pos));
        for (const monitor* m = trees; m != nullptr; m = m->next) {
            std::size_t len = strlen(m->path);
            bool below = point.size() > len && point.compare(0, len, m->path) == 0 &&
                         (point[len] == '/' || m->path[len - 1] == '/');
            if (below && std::find(found.begin(), found.end(), point) == found.end()) {
                found.push_back(point);
                break;
            }
        }
    }
    return found;
}

void mark_mount(const std::string& path) {
    if (coverage_add_mount(path.c_str()) ||
        fanotify_mark(mount_group, FAN_MARK_ADD | FAN_MARK_MOUNT, MARK_MASK, 0, path.c_str()) == 0)
        syslog(LOG_NOTICE, "Started monitoring '%s'...", path.c_str());
    else
        syslog(LOG_WARNING, "fanotify_mark(): %s: %m", path.c_str());
}

void refresh_mounts() {
    std::vector<std::string> now = read_mounts_below(mounts_fd, mount_trees);
    for (const std::string& p : now)
        if (std::find(below_mounts.begin(), below_mounts.end(), p) == below_mounts.end())
            mark_mount(p);
    for (const std::string& p : below_mounts) {
        if (std::find(now.begin(), now.end(), p) == now.end()) {
            coverage_forget_mount(p.c_str());
            syslog(LOG_NOTICE, "Stopped monitoring '%s': unmounted", p.c_str());
        }
    }
    below_mounts = std::move(now);
}

// Queues the path of one close-after-write event when it lies under a monitored tree, handing the event's
// descriptor on with it so that the scan finds the file even after a rename. True when it was handed on.
bool queue_if_monitored(int fd, const monitor* list) {
    char path[PATH_BUF_SIZE];
    if (fd2path(fd, path, sizeof path) == nullptr)
        return false;
    if (!is_monitored(path, list))
        return false;
    pool_add_file(path, fd, 0);
    status_count(status_counters.queued);
    return true;
}

// Every way out closes or hands on the event's descriptor, so a burst of filtered events cannot leak
// descriptors.
void handle_event(const fanotify_event_metadata* ev, const monitor* list) {
    bool handed_on = false;
    if (ev->mask & FAN_CLOSE_WRITE)
        handed_on = queue_if_monitored(ev->fd, list);
    if (ev->mask & FAN_Q_OVERFLOW) {
        syslog(LOG_WARNING, "fanotify event queue overflow!");
        catchup_overflow();
    }
    if (ev->fd != FAN_NOFD && !handed_on)
        close(ev->fd);
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

} // namespace

int monitor_start(const monitor* list, int unlimited_queue) {
    unsigned flags = FAN_CLOEXEC | FAN_CLASS_NOTIF;
    if (unlimited_queue != 0)
        flags |= FAN_UNLIMITED_QUEUE;
    int fd = fanotify_init(flags, O_RDONLY | O_CLOEXEC);
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

void monitor_add_fid_group(int fd) {
    fid_fd = fd;
}

std::vector<std::string> monitor_mounts_below(const monitor* trees) {
    int fd = open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    std::vector<std::string> found = read_mounts_below(fd, trees);
    close(fd);
    return found;
}

int monitor_follow_mounts(int fan_fd, const monitor* trees) {
    mounts_fd = open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
    if (mounts_fd < 0) {
        syslog(LOG_WARNING, "open(): /proc/self/mountinfo: %m");
        return -1;
    }
    mount_group = fan_fd;
    mount_trees = trees;
    refresh_mounts();
    return 0;
}

int monitor_run(int signal_fd, int fan_fd, const monitor* list, int timeout_ms) {
    alignas(fanotify_event_metadata) alignas(signalfd_siginfo) char buf[READ_BUF_SIZE];
    pollfd fds[PFD_MAX] = {};
    fds[PFD_SIGNAL] = {signal_fd, POLLIN, 0};
    fds[PFD_FANOTIFY] = {fan_fd, POLLIN, 0};
    // Entries with no descriptor (-1) are passed over by poll.
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
            refresh_mounts();
        if (fds[PFD_FID].revents & POLLIN) {
            if (ssize_t len = read_batch(fid_fd, fid_buf, FID_READ_SIZE); len > 0)
                coverage_handle_batch(fid_buf, static_cast<std::size_t>(len));
        }
        sd_notify(0, "WATCHDOG=1\n");
    }
}

void monitor_stop(int fan_fd, const monitor* list) {
    // A second path on an already unmarked mount fails; that is expected and harmless.
    for (const monitor* m = list; m != nullptr; m = m->next)
        fanotify_mark(fan_fd, FAN_MARK_REMOVE | FAN_MARK_MOUNT, MARK_MASK, 0, m->path);
    close(fan_fd);
}

bool is_monitored(const char* path, const monitor* list) {
    char* canonical = realpath(path, nullptr);
    if (canonical == nullptr) {
        // ENOENT is expected: a file deleted before its event carries the kernel's " (deleted)" suffix.
        if (errno != ENOENT)
            syslog(LOG_DEBUG, "is_monitored: realpath(%s): %m", path);
        canonical = strdup(path);
        if (canonical == nullptr) {
            syslog(LOG_WARNING, "%s:%u: malloc(): %m", UNIT, __LINE__);
            return false;
        }
    }
    bool matched = path_under(canonical, list);
    free(canonical);
    return matched;
}
