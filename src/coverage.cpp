// Full coverage: the group with directory handles and names, its file-system marks, and the resolution
// of each event to a path under a monitored tree.
#include "src/coverage.hpp"

#include "src/actor.hpp"

#include "src/config.hpp"
#include "src/fileops.hpp"
#include "src/kernel.hpp"
#include "src/onopen.hpp"
#include "src/pool.hpp"
#include "src/recovery.hpp"
#include "src/status.hpp"

#include <fcntl.h>
#include <sys/fanotify.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr std::size_t FSID_SIZE = 8;
// Directories of one batch kept open: a burst spread over a few dozen directories resolves each once.
constexpr std::size_t DIR_CACHE_SIZE = 32;

// A fully covered tree (or a mount below one). Handles are resolved through the tree's own mount, so a
// resolved path is one that zet itself can open. No descriptor is kept open on it between batches: that
// would keep an administrator from unmounting it.
struct tree {
    const char* path;
    bool own_path; // a mount found below a tree, whose text is this table's
    unsigned char fsid[FSID_SIZE];
};

// Never destroyed, like the configuration it points into, so the mount paths it owns live to the end.
std::vector<tree>& trees = *new std::vector<tree>;
int group_fd = -1;
std::vector<monitor>& fallback_nodes = *new std::vector<monitor>;
const Config* config = nullptr;

// Directories resolved in the current batch, each verified once to be the directory that its path names.
// Bursts land in few directories, and the kept descriptor's link always gives the directory's current
// path. Emptied after every batch, so that no mount stays busy.
struct cached_dir {
    unsigned char key[sizeof(const char*) + FSID_SIZE + HANDLE_HEADER + MAX_HANDLE];
    std::size_t key_size;
    int fd; // O_PATH descriptor, or -1
};
cached_dir dir_cache[DIR_CACHE_SIZE];
std::size_t dir_cache_next = 0;

// A directory seen through one tree's mount: the same handle through another mount has another path.
std::size_t make_key(const tree& t, const fid_name& rec, unsigned char* key) {
    memcpy(key, &t.path, sizeof t.path);
    memcpy(key + sizeof t.path, rec.fsid, FSID_SIZE);
    memcpy(key + sizeof t.path + FSID_SIZE, rec.handle, rec.handle_size);
    return sizeof t.path + FSID_SIZE + rec.handle_size;
}

// The path of `name` in the directory `dir` into `path`, when it lies under a tree and is not excluded.
bool wanted_path(int dir, const char* name, char* path) {
    if (fd2path(dir, path, PATH_BUF_SIZE) == nullptr || path[0] != '/')
        return false;
    std::size_t len = strlen(path);
    const char* sep = len == 1 ? "" : "/";
    std::size_t need = len + strlen(sep) + strlen(name);
    if (need >= PATH_BUF_SIZE)
        return false;
    strcat(strcat(path, sep), name);
    return path_under(path, config->monitors) &&
           !excluded_by(path, config->exclusions, config->excluded, nullptr);
}

// Whether the directory part of `path` names the directory `dir` for zet: a handle may also lead to a
// directory that the tree's mount cannot reach, whose link text would then name something else.
bool names_dir(const char* path, int dir) {
    const char* last = strrchr(path, '/');
    std::string parent(path, last == path ? 1 : static_cast<std::size_t>(last - path));
    return still_names(dir, parent.c_str());
}

// The directory of `rec` through `t`, with the path of the event's name in `path` when that is wanted.
// Directories are opened by handle and checked once per batch, then taken from the cache, which owns them.
int lookup_dir(const tree& t, const fid_name& rec, char* path) {
    unsigned char key[sizeof dir_cache[0].key];
    std::size_t key_size = make_key(t, rec, key);
    for (const cached_dir& c : dir_cache)
        if (c.fd >= 0 && c.key_size == key_size && memcmp(c.key, key, key_size) == 0)
            return wanted_path(c.fd, rec.name, path) ? c.fd : -1;

    alignas(file_handle) unsigned char buf[HANDLE_HEADER + MAX_HANDLE];
    memcpy(buf, rec.handle, rec.handle_size);
    int mount_fd = open(t.path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (mount_fd < 0)
        return -1;
    int dir =
        open_by_handle_at(mount_fd, reinterpret_cast<file_handle*>(buf), O_PATH | O_DIRECTORY | O_CLOEXEC);
    close(mount_fd);
    if (dir < 0) {
        // ESTALE: the directory is gone since the event, nothing in it is left to scan.
        if (errno != ESTALE)
            syslog(LOG_DEBUG, "open_by_handle_at(): %s: %m", t.path);
        return -1;
    }
    // Most events of a marked file system lie outside the trees: they are dropped before any check.
    if (!wanted_path(dir, rec.name, path) || !names_dir(path, dir)) {
        close(dir);
        return -1;
    }
    cached_dir& slot = dir_cache[dir_cache_next];
    dir_cache_next = (dir_cache_next + 1) % DIR_CACHE_SIZE;
    if (slot.fd >= 0)
        close(slot.fd);
    memcpy(slot.key, key, key_size);
    slot.key_size = key_size;
    slot.fd = dir;
    return dir;
}

// Whether the writer of the event is one whose files are left alone (EXCL_USER, EXCL_PROGRAM). A writer
// that cannot be asked any more is not: its file is scanned.
bool writer_excluded(const char* path, const process_ref& by) {
    if (!config->excluded.by_process())
        return false;
    auto rule = excluded_for(path, nullptr, config->excluded, by);
    if (rule)
        syslog(LOG_DEBUG, "%s: not scanned: %s", path, rule->c_str());
    return rule.has_value();
}

// Hands the writer's pidfd on with the file when it queues it (`by.pidfd` is then -1).
void handle_event(const unsigned char* raw, const fanotify_event_metadata* ev, process_ref& by) {
    if (ev->mask & FAN_Q_OVERFLOW) {
        syslog(LOG_WARNING, "fanotify event queue overflow!");
        catchup_overflow();
        return;
    }
    fid_name rec;
    if (!fid_parse(raw, *ev, &rec)) {
        syslog(LOG_DEBUG, "fanotify: event 0x%llx without a usable name record dropped",
               static_cast<unsigned long long>(ev->mask));
        return;
    }
    bool is_dir = (ev->mask & FAN_ONDIR) != 0;
    if (is_dir && !(ev->mask & FAN_MOVED_TO))
        return;

    char path[PATH_BUF_SIZE];
    int dir = -1;
    for (const tree& t : trees) {
        if (memcmp(t.fsid, rec.fsid, FSID_SIZE) != 0)
            continue;
        dir = lookup_dir(t, rec, path);
        if (dir >= 0)
            break;
    }
    if (dir < 0)
        return;

    int fd = openat(dir, rec.name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        // Renamed or removed since the event: its new name has an event of its own.
        syslog(LOG_DEBUG, "openat(): %s: %m", path);
        return;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !(S_ISREG(st.st_mode) || S_ISDIR(st.st_mode))) {
        close(fd);
        return;
    }
    if (S_ISDIR(st.st_mode)) {
        close(fd);
        if (ev->mask & FAN_MOVED_TO)
            catchup_directory(path);
        return;
    }
    // A file just created empty gets its close-after-write event once written; a link or a named
    // O_TMPFILE arrives with its content.
    bool created_only = (ev->mask & (FAN_CLOSE_WRITE | FAN_MOVED_TO)) == 0;
    if (created_only && st.st_size == 0 && st.st_nlink <= 1) {
        close(fd);
        return;
    }
    // Its content, or its place, is new: a clean verdict from before no longer stands.
    onopen_forget(path, st);
    if (writer_excluded(path, by)) {
        close(fd);
        return;
    }
    pool_add_file(path, fd, 0, &st, by);
    by.pidfd = PIDFD_NONE;
    status_count(status_counters.queued);
}

void add_fallback(const char* path) {
    fallback_nodes.push_back({const_cast<char*>(path), nullptr});
}

} // namespace

bool fid_parse(const unsigned char* event, const fanotify_event_metadata& md, fid_name* out) {
    bool found = false;
    bool ok = event_info_records(
        event, md, [&](const fanotify_event_info_header& hdr, const unsigned char* record) {
            if (hdr.info_type != FAN_EVENT_INFO_TYPE_DFID_NAME)
                return true;
            const std::size_t fixed = sizeof hdr + FSID_SIZE + HANDLE_HEADER;
            if (hdr.len < fixed)
                return false;
            std::uint32_t handle_bytes;
            memcpy(&handle_bytes, record + sizeof hdr + FSID_SIZE, sizeof handle_bytes);
            if (handle_bytes > MAX_HANDLE || fixed + handle_bytes >= hdr.len)
                return false;
            const char* name = reinterpret_cast<const char*>(record + fixed + handle_bytes);
            std::size_t room = hdr.len - fixed - handle_bytes;
            std::size_t len = strnlen(name, room);
            if (len == room || len == 0 || memchr(name, '/', len) != nullptr || strcmp(name, ".") == 0 ||
                strcmp(name, "..") == 0)
                return false;
            out->fsid = record + sizeof hdr;
            out->handle = record + sizeof hdr + FSID_SIZE;
            out->handle_size = HANDLE_HEADER + handle_bytes;
            out->name = name;
            found = true;
            return true;
        });
    return ok && found;
}

int coverage_start(const Config& settings, monitor** fallback) {
    config = &settings;
    for (cached_dir& c : dir_cache)
        c.fd = -1;
    raise_descriptor_limit();

    unsigned flags = FAN_CLOEXEC | FAN_CLASS_NOTIF | FAN_REPORT_DFID_NAME;
    if (config->unlimited_queue != 0)
        flags |= FAN_UNLIMITED_QUEUE;
    int fd = fanotify_init_pidfd(flags, O_RDONLY | O_CLOEXEC);
    int init_errno = errno;
    for (const monitor* m = config->monitors; m != nullptr; m = m->next) {
        if (fd < 0) {
            errno = init_errno;
            syslog(LOG_WARNING, "Coverage of '%s' falls back to writes: fanotify_init(): %m", m->path);
            add_fallback(m->path);
            continue;
        }
        tree t = {m->path, false, {}};
        struct statfs sfs;
        // EXDEV, ENODEV, EOPNOTSUPP: a file system without stable handles (FUSE, overlay and the like);
        // EPERM: a system-call filter or a missing capability.
        const char* call = nullptr;
        if (statfs(m->path, &sfs) != 0)
            call = "statfs()";
        else if (!handles_open(m->path))
            call = "open_by_handle_at()";
        else if (fanotify_mark(fd, FAN_MARK_ADD | FAN_MARK_FILESYSTEM, COVERAGE_MASK, AT_FDCWD, m->path) != 0)
            call = "fanotify_mark()";
        if (call != nullptr) {
            syslog(LOG_WARNING, "Coverage of '%s' falls back to writes: %s: %m", m->path, call);
            add_fallback(m->path);
            continue;
        }
        static_assert(sizeof sfs.f_fsid == FSID_SIZE);
        memcpy(t.fsid, &sfs.f_fsid, FSID_SIZE);
        trees.push_back(t);
        syslog(LOG_NOTICE, "Started monitoring '%s'...", m->path);
    }
    // Linked in list order once the vector no longer moves.
    for (std::size_t i = 0; i + 1 < fallback_nodes.size(); i++)
        fallback_nodes[i].next = &fallback_nodes[i + 1];
    *fallback = fallback_nodes.empty() ? nullptr : fallback_nodes.data();
    if (fd >= 0 && trees.empty()) {
        close(fd);
        return -1;
    }
    group_fd = fd;
    return fd >= 0 ? 0 : -1;
}

int coverage_group() {
    return group_fd;
}

void coverage_handle_batch(const char* buf, std::size_t len) {
    // Records with names are aligned to 4 bytes only: each header is copied out before it is read.
    const auto* raw = reinterpret_cast<const unsigned char*>(buf);
    fanotify_event_metadata ev;
    while (len >= sizeof ev) {
        memcpy(&ev, raw, sizeof ev);
        if (ev.event_len < sizeof ev || ev.event_len > len)
            break;
        process_ref by = {ev.pid, event_pidfd(raw, ev)};
        handle_event(raw, &ev, by);
        // Reported by handle only: no descriptor comes with these events.
        if (ev.fd >= 0)
            close(ev.fd);
        if (by.pidfd >= 0)
            close(by.pidfd);
        len -= ev.event_len;
        raw += ev.event_len;
    }
    for (cached_dir& c : dir_cache) {
        if (c.fd >= 0) {
            close(c.fd);
            c.fd = -1;
        }
    }
}

bool coverage_add_mount(const char* path) {
    if (group_fd < 0)
        return false;
    tree t = {strdup(path), true, {}};
    struct statfs sfs;
    if (t.path == nullptr || statfs(path, &sfs) != 0 || !handles_open(path) ||
        fanotify_mark(group_fd, FAN_MARK_ADD | FAN_MARK_FILESYSTEM, COVERAGE_MASK, AT_FDCWD, path) != 0) {
        free(const_cast<char*>(t.path));
        return false;
    }
    memcpy(t.fsid, &sfs.f_fsid, FSID_SIZE);
    trees.push_back(t);
    return true;
}

void coverage_forget_mount(const char* path) {
    for (auto it = trees.begin(); it != trees.end(); ++it) {
        if (it->own_path && strcmp(it->path, path) == 0) {
            free(const_cast<char*>(it->path));
            trees.erase(it);
            return;
        }
    }
}

void coverage_stop() {
    if (group_fd < 0)
        return;
    for (const tree& t : trees)
        fanotify_mark(group_fd, FAN_MARK_REMOVE | FAN_MARK_FILESYSTEM, COVERAGE_MASK, AT_FDCWD, t.path);
    close(group_fd);
    group_fd = -1;
}
