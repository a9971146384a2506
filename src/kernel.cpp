// Probes of what the kernel offers a tree: file handles, file-system marks of a group with names.
#include "src/kernel.hpp"

#include <fcntl.h>
#include <sys/resource.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

bool handles_open(const char* path) {
    alignas(file_handle) unsigned char buf[HANDLE_HEADER + MAX_HANDLE];
    auto* handle = reinterpret_cast<file_handle*>(buf);
    handle->handle_bytes = MAX_HANDLE;
    int mount_id;
    if (name_to_handle_at(AT_FDCWD, path, handle, &mount_id, 0) != 0)
        return false;
    int mount_fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (mount_fd < 0)
        return false;
    int fd = open_by_handle_at(mount_fd, handle, O_PATH | O_CLOEXEC);
    int err = errno;
    close(mount_fd);
    if (fd < 0) {
        errno = err;
        return false;
    }
    close(fd);
    return true;
}

bool coverage_probe(const char* tree, char* reason, std::size_t size) {
    int fd = fanotify_init(FAN_CLOEXEC | FAN_CLASS_NOTIF | FAN_REPORT_DFID_NAME, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        snprintf(reason, size, "fanotify_init(): %s", strerror(errno));
        return false;
    }
    bool ok = handles_open(tree);
    if (!ok)
        snprintf(reason, size, "open_by_handle_at(): %s", strerror(errno));
    else if (!(ok =
                   fanotify_mark(fd, FAN_MARK_ADD | FAN_MARK_FILESYSTEM, COVERAGE_MASK, AT_FDCWD, tree) == 0))
        snprintf(reason, size, "fanotify_mark(): %s", strerror(errno));
    close(fd);
    return ok;
}

bool onopen_probe(const char* tree, char* reason, std::size_t size) {
    int fd = fanotify_init(FAN_CLOEXEC | FAN_CLASS_CONTENT, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        snprintf(reason, size, "fanotify_init(): %s", strerror(errno));
        return false;
    }
    // Opens of that file system wait on this group while it is marked: closing it lets them through.
    bool ok = fanotify_mark(fd, FAN_MARK_ADD | FAN_MARK_FILESYSTEM, FAN_OPEN_PERM, AT_FDCWD, tree) == 0 ||
              fanotify_mark(fd, FAN_MARK_ADD | FAN_MARK_MOUNT, FAN_OPEN_PERM, AT_FDCWD, tree) == 0;
    if (!ok)
        snprintf(reason, size, "fanotify_mark(): %s", strerror(errno));
    close(fd);
    return ok;
}

void raise_descriptor_limit() {
    struct rlimit lim;
    if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
        lim.rlim_cur = lim.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &lim) != 0)
            syslog(LOG_WARNING, "setrlimit(): %m");
    }
}

int fanotify_init_pidfd(unsigned flags, unsigned event_flags) {
    int fd = fanotify_init(flags | FAN_REPORT_PIDFD, event_flags);
    if (fd < 0 && errno == EINVAL)
        fd = fanotify_init(flags, event_flags);
    return fd;
}

bool event_info_records(
    const unsigned char* event, const fanotify_event_metadata& md,
    const std::function<bool(const fanotify_event_info_header&, const unsigned char*)>& each) {
    if (md.metadata_len < sizeof md || md.metadata_len > md.event_len)
        return false;
    for (std::size_t pos = md.metadata_len; pos < md.event_len;) {
        fanotify_event_info_header hdr;
        if (md.event_len - pos < sizeof hdr)
            return false;
        memcpy(&hdr, event + pos, sizeof hdr);
        if (hdr.len < sizeof hdr || hdr.len > md.event_len - pos || !each(hdr, event + pos))
            return false;
        pos += hdr.len;
    }
    return true;
}

int event_pidfd(const unsigned char* event, const fanotify_event_metadata& md) {
    int pidfd = -1;
    // A pidfd once seen is the caller's to close, whatever follows it.
    event_info_records(event, md, [&](const fanotify_event_info_header& hdr, const unsigned char* record) {
        if (hdr.info_type != FAN_EVENT_INFO_TYPE_PIDFD || hdr.len < sizeof(fanotify_event_info_pidfd))
            return true;
        fanotify_event_info_pidfd info;
        memcpy(&info, record, sizeof info);
        pidfd = info.pidfd >= 0 ? info.pidfd : info.pidfd == FAN_NOPIDFD ? -2 : -1;
        return false; // the one wanted
    });
    return pidfd;
}
