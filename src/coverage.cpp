// Full coverage: the group with directory handles and names, its file-system marks, and the resolution
// of each event to a path under a monitored tree.
#include "src/coverage.hpp"

#include "src/config.hpp"
#include "src/fileops.hpp"
#include "src/pool.hpp"
#include "src/recovery.hpp"
#include "src/status.hpp"

#include <fcntl.h>
#include <sys/fanotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

constexpr std::uint64_t MARK_MASK = FAN_CLOSE_WRITE | FAN_MOVED_TO | FAN_CREATE | FAN_ONDIR;
constexpr std::size_t FSID_SIZE = 8;
constexpr std::size_t HANDLE_HEADER = 8; // handle_bytes and handle_type of struct file_handle
constexpr std::size_t MAX_HANDLE = 128;  // the kernel's MAX_HANDLE_SZ
constexpr std::size_t DIR_CACHE_SIZE = 4;
// Room for the metadata, a directory-handle-and-name record with the largest handle and name, and more.
constexpr std::size_t EVENT_BUF_SIZE = 1024;

// A fully covered tree: its descriptor resolves handles through the tree's own mount, so a resolved path
// is one that zet itself can open.
struct tree {
    const char* path;
    int fd;
    unsigned char fsid[FSID_SIZE];
};

std::vector<tree> trees;
std::vector<monitor> fallback_nodes;
const monitor* tree_list = nullptr;
const monitor* exclusion_list = nullptr;

// Directories resolved lately, each verified once to be the directory that its path names. Bursts land in
// few directories, and the kept descriptor's link always gives the directory's current path.
struct cached_dir {
    unsigned char key[FSID_SIZE + HANDLE_HEADER + MAX_HANDLE];
    std::size_t key_size;
    int fd; // O_PATH descriptor, or -1
};
cached_dir dir_cache[DIR_CACHE_SIZE];
std::size_t dir_cache_next = 0;

std::size_t make_key(const fid_name& rec, unsigned char* key)
{
    memcpy(key, rec.fsid, FSID_SIZE);
    memcpy(key + FSID_SIZE, rec.handle, rec.handle_size);
    return FSID_SIZE + rec.handle_size;
}

// Opens the directory of `rec` through `t` and checks that the path its link shows names that very
// directory for zet: a handle may also lead to a directory that this mount cannot reach.
int open_verified(const tree& t, const fid_name& rec)
{
    alignas(file_handle) unsigned char buf[HANDLE_HEADER + MAX_HANDLE];
    memcpy(buf, rec.handle, rec.handle_size);
    int dir = open_by_handle_at(t.fd, reinterpret_cast<file_handle*>(buf), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) {
        // ESTALE: the directory is gone since the event, nothing in it is left to scan.
        if (errno != ESTALE)
            syslog(LOG_DEBUG, "open_by_handle_at(): %s: %m", t.path);
        return -1;
    }
    char text[PATH_BUF_SIZE];
    struct stat by_handle, by_path;
    bool same = false;
    if (fd2path(dir, text, sizeof text) != nullptr && text[0] == '/' && fstat(dir, &by_handle) == 0) {
        int check = open(text, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (check >= 0) {
            same = fstat(check, &by_path) == 0 && by_path.st_dev == by_handle.st_dev &&
                   by_path.st_ino == by_handle.st_ino;
            close(check);
        }
    }
    if (!same) {
        close(dir);
        return -1;
    }
    return dir;
}

// A verified descriptor of the event's directory through `t`, owned by the cache.
int lookup_dir(const tree& t, const fid_name& rec)
{
    unsigned char key[sizeof dir_cache[0].key];
    std::size_t key_size = make_key(rec, key);
    for (const cached_dir& c : dir_cache)
        if (c.fd >= 0 && c.key_size == key_size && memcmp(c.key, key, key_size) == 0)
            return c.fd;
    int dir = open_verified(t, rec);
    if (dir < 0)
        return -1;
    cached_dir& slot = dir_cache[dir_cache_next];
    dir_cache_next = (dir_cache_next + 1) % DIR_CACHE_SIZE;
    if (slot.fd >= 0)
        close(slot.fd);
    memcpy(slot.key, key, key_size);
    slot.key_size = key_size;
    slot.fd = dir;
    return dir;
}

// The path of `name` in the directory `dir` into `path`, when it lies under a tree and is not excluded.
bool wanted_path(int dir, const char* name, char* path)
{
    if (fd2path(dir, path, PATH_BUF_SIZE) == nullptr || path[0] != '/')
        return false;
    std::size_t len = strlen(path);
    const char* sep = len == 1 ? "" : "/";
    std::size_t need = len + strlen(sep) + strlen(name);
    if (need >= PATH_BUF_SIZE)
        return false;
    strcat(strcat(path, sep), name);
    return path_under(path, tree_list) && !path_excluded(path, exclusion_list);
}

void handle_event(const fanotify_event_metadata* ev)
{
    if (ev->mask & FAN_Q_OVERFLOW) {
        syslog(LOG_WARNING, "fanotify event queue overflow!");
        catchup_overflow();
        return;
    }
    fid_name rec;
    if (!fid_parse(ev, &rec)) {
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
        int d = lookup_dir(t, rec);
        if (d >= 0 && wanted_path(d, rec.name, path)) {
            dir = d;
            break;
        }
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
    pool_add_file(path, fd, 0);
    status_count(status_counters.queued);
}

// Room for the events that full coverage keeps open at once: the queue, the workers and the backlog.
void raise_descriptor_limit()
{
    struct rlimit lim;
    if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
        lim.rlim_cur = lim.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &lim) != 0)
            syslog(LOG_WARNING, "setrlimit(): %m");
    }
}

void add_fallback(const char* path)
{
    fallback_nodes.push_back({const_cast<char*>(path), nullptr});
}

} // namespace

bool fid_parse(const fanotify_event_metadata* ev, fid_name* out)
{
    if (ev->metadata_len < sizeof *ev || ev->metadata_len > ev->event_len)
        return false;
    const auto* base = reinterpret_cast<const unsigned char*>(ev);
    std::size_t pos = ev->metadata_len;
    bool found = false;
    while (pos < ev->event_len) {
        fanotify_event_info_header hdr;
        if (ev->event_len - pos < sizeof hdr)
            return false;
        memcpy(&hdr, base + pos, sizeof hdr);
        if (hdr.len < sizeof hdr || hdr.len > ev->event_len - pos)
            return false;
        if (hdr.info_type == FAN_EVENT_INFO_TYPE_DFID_NAME) {
            const std::size_t fixed = sizeof hdr + FSID_SIZE + HANDLE_HEADER;
            if (hdr.len < fixed)
                return false;
            std::uint32_t handle_bytes;
            memcpy(&handle_bytes, base + pos + sizeof hdr + FSID_SIZE, sizeof handle_bytes);
            if (handle_bytes > MAX_HANDLE || fixed + handle_bytes >= hdr.len)
                return false;
            const char* name = reinterpret_cast<const char*>(base + pos + fixed + handle_bytes);
            std::size_t room = hdr.len - fixed - handle_bytes;
            std::size_t len = strnlen(name, room);
            if (len == room || len == 0 || memchr(name, '/', len) != nullptr || strcmp(name, ".") == 0 ||
                strcmp(name, "..") == 0)
                return false;
            out->fsid = base + pos + sizeof hdr;
            out->handle = base + pos + sizeof hdr + FSID_SIZE;
            out->handle_size = HANDLE_HEADER + handle_bytes;
            out->name = name;
            found = true;
        }
        pos += hdr.len;
    }
    return found;
}

int coverage_start(const monitor* list, const monitor* exclusions, int unlimited_queue, monitor** fallback)
{
    tree_list = list;
    exclusion_list = exclusions;
    for (cached_dir& c : dir_cache)
        c.fd = -1;
    raise_descriptor_limit();

    unsigned flags = FAN_CLOEXEC | FAN_CLASS_NOTIF | FAN_REPORT_DFID_NAME;
    if (unlimited_queue != 0)
        flags |= FAN_UNLIMITED_QUEUE;
    int fd = fanotify_init(flags, O_RDONLY | O_CLOEXEC);
    int init_errno = errno;
    for (const monitor* m = list; m != nullptr; m = m->next) {
        if (fd < 0) {
            errno = init_errno;
            syslog(LOG_WARNING, "Coverage of '%s' falls back to writes: fanotify_init(): %m", m->path);
            add_fallback(m->path);
            continue;
        }
        tree t = {m->path, open(m->path, O_RDONLY | O_DIRECTORY | O_CLOEXEC), {}};
        struct statfs sfs;
        if (t.fd < 0 || fstatfs(t.fd, &sfs) != 0 ||
            fanotify_mark(fd, FAN_MARK_ADD | FAN_MARK_FILESYSTEM, MARK_MASK, AT_FDCWD, m->path) != 0) {
            // EXDEV, ENODEV, EOPNOTSUPP: a file system without stable handles (FUSE, overlay and the like).
            syslog(LOG_WARNING, "Coverage of '%s' falls back to writes: %m", m->path);
            if (t.fd >= 0)
                close(t.fd);
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
    return fd;
}

void coverage_handle_batch(const char* buf, std::size_t len)
{
    // Events with names are padded to 4 bytes only, so the next one may sit at an address that its metadata
    // must not be read from: each is copied into aligned storage first.
    alignas(fanotify_event_metadata) char event[EVENT_BUF_SIZE];
    fanotify_event_metadata meta;
    while (len >= sizeof meta) {
        memcpy(&meta, buf, sizeof meta);
        if (meta.event_len < sizeof meta || meta.event_len > len)
            break;
        if (meta.event_len <= sizeof event) {
            memcpy(event, buf, meta.event_len);
            handle_event(reinterpret_cast<const fanotify_event_metadata*>(event));
        } else {
            syslog(LOG_DEBUG, "fanotify: event of %u bytes dropped", meta.event_len);
        }
        // Reported by handle only: no descriptor comes with these events.
        if (meta.fd >= 0)
            close(meta.fd);
        len -= meta.event_len;
        buf += meta.event_len;
    }
}

void coverage_stop(int fan_fd)
{
    for (const tree& t : trees)
        fanotify_mark(fan_fd, FAN_MARK_REMOVE | FAN_MARK_FILESYSTEM, MARK_MASK, AT_FDCWD, t.path);
    close(fan_fd);
}

bool path_under(const char* canonical, const monitor* list)
{
    // Deliberately a byte prefix, not bound to path components: /srv/data also covers /srv/data2.
    for (const monitor* m = list; m != nullptr; m = m->next)
        if (strncmp(canonical, m->path, strlen(m->path)) == 0)
            return true;
    return false;
}

bool path_excluded(const char* path, const monitor* list)
{
    for (const monitor* m = list; m != nullptr; m = m->next) {
        std::size_t len = strlen(m->path);
        if (strncmp(path, m->path, len) == 0 && (path[len] == '\0' || path[len] == '/' || m->path[len - 1] == '/'))
            return true;
    }
    return false;
}
