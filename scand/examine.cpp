// The walk over what a SCAN names, on descriptors so that nothing is resolved twice.
#include "scand/examine.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

#include "scand/wire.hpp"
#include "zelu/fd.hpp"

namespace scand {

namespace {

std::string errno_text(int err) {
    char buf[128];
    return strerror_r(err, buf, sizeof buf);
}

using zelu::fd::Fd;

struct Walk {
    const Engine& engine;
    const zelu::wire::Exclusions& exclusions;
    const Report& report;
    const std::atomic<bool>& stop;
    std::vector<std::pair<dev_t, ino_t>> ancestors;
};

bool visit(Walk& w, int dirfd, const char* name, const std::string& path, int depth);

// Opens the regular file behind the O_PATH descriptor `pfd` for reading. Through /proc the same inode is
// opened, whatever has been renamed into its place since; without /proc the name is opened again and
// must still be that inode.
int open_regular(int pfd, const struct stat& st, int dirfd, const char* name) {
    const std::string proc = "/proc/self/fd/" + std::to_string(pfd);
    int fd = open(proc.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0 || errno != ENOENT) {
        return fd;
    }
    fd = openat(dirfd, name, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
    struct stat now {};
    if (fd >= 0 && (fstat(fd, &now) != 0 || now.st_dev != st.st_dev || now.st_ino != st.st_ino)) {
        close(fd);
        errno = EAGAIN;
        return -1;
    }
    return fd;
}

bool walk_directory(Walk& w, int pfd, const struct stat& st, const std::string& path, int depth) {
    if (w.exclusions.covers_below(path)) {
        return w.report(path, Outcome::unscannable("Excluded"));
    }
    const auto id = std::make_pair(st.st_dev, st.st_ino);
    if (std::find(w.ancestors.begin(), w.ancestors.end(), id) != w.ancestors.end()) {
        return w.report(path, Outcome::unscannable("Directory loop"));
    }
    if (depth > max_walk_depth) {
        return w.report(path, Outcome::unscannable("Directory nesting too deep"));
    }
    // The names are read first so that only the O_PATH descriptor stays open while the entries are
    // examined: one descriptor per level.
    std::vector<std::string> names;
    {
        const int dfd = openat(pfd, ".", O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC);
        if (dfd < 0) {
            return w.report(path, Outcome::unscannable(errno_text(errno)));
        }
        DIR* dir = fdopendir(dfd);
        if (dir == nullptr) {
            const int err = errno;
            close(dfd);
            return w.report(path, Outcome::unscannable(errno_text(err)));
        }
        while (const dirent* e = readdir(dir)) {
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) {
                names.emplace_back(e->d_name);
            }
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end());

    const std::string prefix = path.back() == '/' ? path : path + "/";
    w.ancestors.push_back(id);
    bool too_long = false;
    bool go_on = true;
    for (const auto& name : names) {
        if (prefix.size() + name.size() > max_path) {
            too_long = true; // its path would not fit a command or an answer line
            continue;
        }
        if (!visit(w, pfd, name.c_str(), prefix + name, depth + 1)) {
            go_on = false;
            break;
        }
    }
    w.ancestors.pop_back();
    if (go_on && too_long) {
        go_on = w.report(path, Outcome::unscannable("Entries with too long paths skipped"));
    }
    return go_on;
}

bool visit(Walk& w, int dirfd, const char* name, const std::string& path, int depth) {
    if (w.stop.load(std::memory_order_relaxed)) {
        return false;
    }
    if (w.exclusions.covers(path)) {
        return w.report(path, Outcome::unscannable("Excluded"));
    }
    const Fd pfd(openat(dirfd, name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (pfd.get() < 0) {
        return w.report(path, Outcome::unscannable(errno_text(errno)));
    }
    struct stat st {};
    if (fstat(pfd.get(), &st) != 0) {
        return w.report(path, Outcome::unscannable(errno_text(errno)));
    }
    if (S_ISLNK(st.st_mode)) {
        return w.report(path, Outcome::unscannable("Symbolic link not followed"));
    }
    if (S_ISDIR(st.st_mode)) {
        return walk_directory(w, pfd.get(), st, path, depth);
    }
    if (!S_ISREG(st.st_mode)) {
        return w.report(path, Outcome::unscannable("Not a regular file"));
    }
    const Fd fd(open_regular(pfd.get(), st, dirfd, name));
    if (fd.get() < 0) {
        return w.report(path, Outcome::unscannable(errno_text(errno)));
    }
    return w.report(path, w.engine.scan(fd.get(), path));
}

} // namespace

bool examine(const Engine& engine, const zelu::wire::Exclusions& exclusions, const std::string& path,
             const Report& report, const std::atomic<bool>& stop) {
    Walk w{engine, exclusions, report, stop, {}};
    return visit(w, AT_FDCWD, path.c_str(), path, 0);
}

} // namespace scand
