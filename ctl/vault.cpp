// Infection log, vault listing, digests and restoring.
#include "ctl/vault.hpp"

#include "src/facts.hpp"
#include "src/fileops.hpp"
#include "zelu/fd.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>

namespace ctl {

namespace {

using zelu::fd::Fd;

constexpr std::size_t LOG_TIME_LEN = LOG_TIME_SIZE - 1; // the time column, without a terminating zero

std::string last_component(std::string_view path) {
    // The same rule as the vault names zet builds.
    return basename_r(std::string(path).c_str());
}

// The vault column for `path`: "ERROR", or ".../<last component of path>.XXXXXX".
bool is_vault_column(std::string_view vault, std::string_view path) {
    if (vault == "ERROR")
        return true;
    std::string tail = "/" + last_component(path) + ".";
    constexpr std::size_t chosen = VAULT_SUFFIX_SIZE - 1;
    if (vault.size() < tail.size() + chosen)
        return false;
    std::string_view suffix = vault.substr(vault.size() - chosen);
    return vault.substr(vault.size() - chosen - tail.size(), tail.size()) == tail &&
           suffix.find_first_of("/\t") == std::string_view::npos;
}

std::string errtext(int err) {
    return strerror(err);
}

// Why copy_into() made no copy.
struct CopyFailure {
    bool exists = false; // something is at the target already
    std::string reason;  // otherwise, one line
};

// Copies `from` into a new file `base` in the directory `dir_fd` (O_EXCL: never over an existing one),
// synced with that directory, since the vault file goes once this returns; on failure the new file is
// removed again. Nothing on success, with the new file's status in `made`.
std::optional<CopyFailure> copy_into(int from, int dir_fd, const std::string& base, mode_t mode,
                                     struct stat* made) {
    // `dir_fd` is an O_PATH descriptor, which fsync refuses.
    Fd dir(openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() < 0)
        return CopyFailure{false, "cannot open its directory: " + errtext(errno)};
    Fd to(openat(dir.get(), base.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
    if (to.get() < 0) {
        if (errno == EEXIST)
            return CopyFailure{true, ""};
        return CopyFailure{false, "cannot create it: " + errtext(errno)};
    }
    // Before the data, so that the sync covers the mode too (creation applied the umask).
    std::string failure;
    if (fchmod(to.get(), mode) != 0) {
        failure = "fchmod: " + errtext(errno);
    } else {
        switch (copy_synced(from, to.get(), dir.get())) {
        case 0:
            if (fstat(to.get(), made) == 0)
                return std::nullopt;
            failure = "fstat: " + errtext(errno);
            break;
        case COPY_READ:
            failure = "reading the vault file: " + errtext(errno);
            break;
        case COPY_WRITE:
            failure = "writing: " + errtext(errno);
            break;
        case COPY_SYNC:
            failure = "fsync: " + errtext(errno);
            break;
        case COPY_SYNC_DIR:
            failure = "fsync of its directory: " + errtext(errno);
            break;
        }
    }
    unlinkat(dir.get(), base.c_str(), 0);
    return CopyFailure{false, failure};
}

// One restore under way: where the file comes from and where it goes.
struct Restore {
    const std::string& dir; // the vault
    const std::string& name;
    const std::string& target;
    Fd vault;              // the vault directory
    struct stat st {};     // the vault file
    Fd parent;             // the target's directory, reached without following a symbolic link
    std::string base;      // the target's last component
    struct stat placed {}; // once restored: the file at the target (the vault file's inode, or its copy)
};

RestoreResult failed(std::string error) {
    RestoreResult r;
    r.error = std::move(error);
    return r;
}

RestoreResult restored(const char* how) {
    RestoreResult r;
    r.ok = true;
    r.how = how;
    return r;
}

std::optional<std::string> refused_request(const std::string& name, const std::string& target) {
    if (!is_vault_name(name))
        return "'" + name + "' is not a file name in the vault";
    if (target.empty() || target.front() != '/')
        return "restore target must be an absolute path: " + target;
    return std::nullopt;
}

std::optional<std::string> open_vault_file(Restore& job) {
    job.vault.reset(open(job.dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (job.vault.get() < 0)
        return "cannot open the vault " + job.dir + ": " + errtext(errno);
    if (fstatat(job.vault.get(), job.name.c_str(), &job.st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? "no file '" + job.name + "' in the vault " + job.dir
                               : job.dir + "/" + job.name + ": " + errtext(errno);
    if (!S_ISREG(job.st.st_mode))
        return job.dir + "/" + job.name + ": not a regular file";
    return std::nullopt;
}

// The target's directories from the root, and its last component in `job.base`.
std::optional<std::string> split_target(Restore& job, std::vector<std::string>* dirs) {
    const std::string& target = job.target;
    for (std::size_t i = 0; i < target.size();) {
        auto slash = target.find('/', i);
        if (slash == std::string::npos)
            slash = target.size();
        std::string part = target.substr(i, slash - i);
        if (part == "..")
            return "restore target must not contain '..': " + target;
        if (!part.empty() && part != ".")
            dirs->push_back(part);
        i = slash + 1;
    }
    if (dirs->empty() || target.back() == '/')
        return "restore target names no file: " + target;
    job.base = dirs->back();
    dirs->pop_back();
    return std::nullopt;
}

// Walks the target's directories one at a time, refusing symbolic links, so that nothing can send the file
// elsewhere (the target's directories may belong to the user whose file was quarantined).
std::optional<std::string> open_parent(Restore& job, const std::vector<std::string>& dirs) {
    job.parent.reset(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    std::string walked;
    for (const std::string& part : dirs) {
        walked += "/" + part;
        int next = openat(job.parent.get(), part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0) {
            int err = errno;
            struct stat lst;
            if (fstatat(job.parent.get(), part.c_str(), &lst, AT_SYMLINK_NOFOLLOW) == 0 &&
                S_ISLNK(lst.st_mode))
                return "refusing to restore through the symbolic link " + walked;
            return "cannot restore to " + job.target + ": " + walked + ": " + errtext(err);
        }
        job.parent.reset(next);
    }
    struct stat tst;
    if (fstatat(job.parent.get(), job.base.c_str(), &tst, AT_SYMLINK_NOFOLLOW) == 0)
        return job.target + " exists; not overwriting it";
    return std::nullopt;
}

// The target holds the content now: the vault's name goes, or the target does again.
RestoreResult drop_vault_name(const Restore& job, const char* how) {
    if (unlinkat(job.vault.get(), job.name.c_str(), 0) != 0) {
        int unlink_err = errno;
        unlinkat(job.parent.get(), job.base.c_str(), 0);
        return failed("cannot remove " + job.name + " from the vault: " + errtext(unlink_err) +
                      "; nothing restored");
    }
    return restored(how);
}

// Renames the file into place, else links it, else copies it; never over anything at the target.
RestoreResult move_to_target(Restore& job) {
    const std::string exists = job.target + " exists; not overwriting it";
    job.placed = job.st;
    if (renameat2(job.vault.get(), job.name.c_str(), job.parent.get(), job.base.c_str(), RENAME_NOREPLACE) ==
        0)
        return restored("renamed");
    int err = errno;
    if (err == EEXIST)
        return failed(exists);
    if (err == EINVAL || err == ENOSYS) {
        // A file system without RENAME_NOREPLACE: a hard link never replaces either.
        if (linkat(job.vault.get(), job.name.c_str(), job.parent.get(), job.base.c_str(), 0) == 0)
            return drop_vault_name(job, "linked");
        err = errno;
        if (err == EEXIST)
            return failed(exists);
    }
    if (err != EXDEV && err != EPERM && err != EINVAL && err != ENOSYS)
        return failed("cannot restore " + job.name + " to " + job.target + ": " + errtext(err));

    // Another file system (or one without hard links): copy into a new file, then drop the vault's.
    Fd from(openat(job.vault.get(), job.name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (from.get() < 0)
        return failed(job.dir + "/" + job.name + ": " + errtext(errno));
    // The copy is root's: setuid or setgid on it would hand the quarantined content root's (or the group's)
    // rights. A record gives them back together with the owner.
    const mode_t mode = job.st.st_mode & 07777 & ~(S_ISUID | S_ISGID);
    if (auto failure = copy_into(from.get(), job.parent.get(), job.base, mode, &job.placed))
        return failed(failure->exists ? exists : "cannot restore to " + job.target + ": " + failure->reason);
    return drop_vault_name(job, "copied");
}

std::string owner_text(uid_t uid, gid_t gid) {
    return "owner " + std::to_string(uid) + " and group " + std::to_string(gid);
}

// The facts of `record` on the file just restored, through a descriptor of that very inode: the target's
// directory may be the user's, who could swap in a link to another file meanwhile. O_PATH opens nothing
// that on-open protection would hold.
void put_back(const Restore& job, const vault_record* record, RestoreResult* r) {
    Fd file(openat(job.parent.get(), job.base.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (file.get() < 0 || fstat(file.get(), &st) != 0 || st.st_dev != job.placed.st_dev ||
        st.st_ino != job.placed.st_ino) {
        if (record != nullptr)
            r->not_restored.push_back(job.target + " was replaced right after the restore: its owner, group, "
                                                   "mode and times were not put back");
        return;
    }
    // The magic link reaches the inode of the descriptor, never a path that could have changed.
    const std::string self = "/proc/self/fd/" + std::to_string(file.get());
    // A rename keeps the record; outside the vault it would describe a file that is no longer there.
    if (removexattr(self.c_str(), VAULT_RECORD_XATTR) != 0 && errno != ENODATA && errno != ENOTSUP)
        r->not_restored.push_back("the vault record stays on " + job.target + ": " + errtext(errno));
    if (record == nullptr)
        return;
    mode_t mode = record->mode;
    // Before the mode: a change of owner clears setuid and setgid.
    if (fchownat(file.get(), "", record->uid, record->gid, AT_EMPTY_PATH) != 0) {
        std::string text = owner_text(record->uid, record->gid) + " not put back: " + errtext(errno);
        if ((mode & (S_ISUID | S_ISGID)) != 0)
            text += " (so neither are setuid and setgid)";
        r->not_restored.push_back(text);
        mode &= ~(S_ISUID | S_ISGID);
    }
    if (chmod(self.c_str(), mode) != 0)
        r->not_restored.push_back("mode not put back: " + errtext(errno));
    // Last: the steps above change only the change time.
    const timespec times[2] = {record->atime, record->mtime};
    if (utimensat(AT_FDCWD, self.c_str(), times, 0) != 0)
        r->not_restored.push_back("access and modification times not put back: " + errtext(errno));
}

} // namespace

std::optional<LogEntry> parse_log_line(std::string_view line) {
    if (line.size() < LOG_TIME_LEN + 1 || line[LOG_TIME_LEN] != '\t')
        return std::nullopt;
    auto last_tab = line.rfind('\t');
    if (last_tab == LOG_TIME_LEN)
        return std::nullopt;
    std::string_view middle = line.substr(LOG_TIME_LEN + 1, last_tab - LOG_TIME_LEN - 1);
    // Try each tab of the middle as the end of the path, leftmost first.
    for (auto tab = middle.find('\t'); tab != std::string_view::npos; tab = middle.find('\t', tab + 1)) {
        std::string_view path = middle.substr(0, tab), vault = middle.substr(tab + 1);
        if (is_vault_column(vault, path)) {
            return LogEntry{std::string(line.substr(0, LOG_TIME_LEN)), std::string(path), std::string(vault),
                            std::string(line.substr(last_tab + 1))};
        }
    }
    return std::nullopt;
}

LogContents read_log(const std::string& path) {
    LogContents out;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        out.error = path + ": " + errtext(errno);
        return out;
    }
    std::string line;
    while (std::getline(in, line)) {
        auto entry = parse_log_line(line);
        if (entry)
            out.entries.push_back(std::move(*entry));
        else if (!line.empty())
            out.bad_lines++;
    }
    return out;
}

std::optional<std::int64_t> parse_log_time(const std::string& time) {
    struct tm tm = {};
    const char* end = strptime(time.c_str(), LOG_TIME_FORMAT, &tm);
    if (end == nullptr || *end != '\0')
        return std::nullopt;
    tm.tm_isdst = -1;
    time_t t = mktime(&tm);
    if (t == static_cast<time_t>(-1))
        return std::nullopt;
    return static_cast<std::int64_t>(t);
}

bool is_vault_name(std::string_view name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos;
}

std::vector<VaultFile> list_vault(const std::string& dir, const std::vector<LogEntry>& log,
                                  std::string* error) {
    std::vector<VaultFile> files;
    Fd dfd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    DIR* d = dfd.get() < 0 ? nullptr : fdopendir(dup(dfd.get()));
    if (d == nullptr) {
        *error = dir + ": " + errtext(errno);
        return files;
    }
    std::map<std::string, std::size_t> by_name;
    while (dirent* e = readdir(d)) {
        struct stat st;
        if (!is_vault_name(e->d_name) || fstatat(dfd.get(), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(st.st_mode))
            continue;
        VaultFile f;
        f.name = e->d_name;
        f.size = st.st_size;
        f.quarantined = st.st_ctim.tv_sec;
        f.record = vault_record_read(dir + "/" + f.name, &f.record_error);
        by_name[f.name] = files.size();
        files.push_back(std::move(f));
    }
    closedir(d);

    for (const LogEntry& entry : log) {
        if (entry.vault == "ERROR")
            continue;
        auto it = by_name.find(last_component(entry.vault));
        if (it == by_name.end())
            continue;
        VaultFile& f = files[it->second];
        if (f.original.empty()) {
            f.original = entry.path;
            f.time = entry.time;
            if (auto t = parse_log_time(entry.time))
                f.quarantined = *t;
        }
        f.findings.push_back(entry.finding);
    }
    for (VaultFile& f : files) {
        if (!f.record || !f.time.empty())
            continue;
        if (!f.record->cut)
            f.original = f.record->path;
        f.findings = f.record->findings;
        f.quarantined = f.record->quarantined;
    }
    std::sort(files.begin(), files.end(), [](const VaultFile& a, const VaultFile& b) {
        return a.quarantined != b.quarantined ? a.quarantined < b.quarantined : a.name < b.name;
    });
    return files;
}

std::optional<std::string> vault_sha256(const std::string& dir, const std::string& name, std::string* error) {
    Fd dfd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    Fd fd(dfd.get() < 0 ? -1 : openat(dfd.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (fd.get() < 0) {
        *error = dir + "/" + name + ": " + errtext(errno);
        return std::nullopt;
    }
    int err = 0;
    std::optional<std::string> digest = vault_sha256_fd(fd.get(), &err);
    if (!digest)
        *error = err == 0 ? "SHA-256 is not available" : dir + "/" + name + ": " + errtext(err);
    return digest;
}

RestoreResult restore_file(const std::string& dir, const std::string& name, const std::string& target,
                           const vault_record* record) {
    Restore job{dir, name, target, Fd(), {}, Fd(), "", {}};
    std::vector<std::string> dirs;
    std::optional<std::string> error = refused_request(name, target);
    if (!error)
        error = open_vault_file(job);
    if (!error)
        error = split_target(job, &dirs);
    if (!error)
        error = open_parent(job, dirs);
    if (error)
        return failed(std::move(*error));
    RestoreResult r = move_to_target(job);
    if (r.ok)
        put_back(job, record, &r);
    return r;
}

bool remove_vault_file(const std::string& dir, const std::string& name, std::string* error) {
    if (!is_vault_name(name)) {
        *error = "'" + name + "' is not a file name in the vault";
        return false;
    }
    Fd vfd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (vfd.get() < 0 || unlinkat(vfd.get(), name.c_str(), 0) != 0) {
        *error = dir + "/" + name + ": " + errtext(errno);
        return false;
    }
    return true;
}

} // namespace ctl
