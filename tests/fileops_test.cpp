// File operations on real temporary trees: /dev/shm (tmpfs) against /tmp for moves across file systems,
// immutable directories and a tiny tmpfs to make root fail.
#include "src/fileops.hpp"

#include "tests/support/files.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <sys/syscall.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <optional>
#include <vector>

using zet_test::exists;
using zet_test::read_file;
using zet_test::strerror_text;
using zet_test::TempDir;
using zet_test::write_file;

namespace {

class FileOps : public ::testing::Test {
protected:
    void SetUp() override { openlog("fileops_test", LOG_PERROR, LOG_USER); }
    void TearDown() override { closelog(); }
};

TEST(BaseName, PointsIntoItsArgument) {
    const struct {
        const char* path;
        std::size_t offset;
    } cases[] = {
        {"/srv/data/file.txt", 10}, {"file", 0}, {"/file", 1}, {"dir/", 4}, {"/", 1}, {"", 0}, {"a//b", 3},
    };
    for (const auto& c : cases)
        EXPECT_EQ(basename_r(c.path), c.path + c.offset) << c.path;
}

TEST_F(FileOps, DescriptorPathIsReadFromProc) {
    TempDir dir;
    std::string file = dir / "with space\tand tab";
    write_file(file, "x");
    int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    char buf[PATH_MAX];
    EXPECT_STREQ(fd2path(fd, buf, sizeof buf), file.c_str());

    // Too small a buffer cuts the link and still terminates it.
    char small[6];
    memset(small, '#', sizeof small);
    ASSERT_EQ(fd2path(fd, small, sizeof small), small);
    EXPECT_EQ(std::string(small), file.substr(0, 5));
    close(fd);

    EXPECT_EQ(fd2path(0, buf, sizeof buf), nullptr);
    EXPECT_EQ(fd2path(-1, buf, sizeof buf), nullptr);
}

TEST_F(FileOps, UnreadableDescriptorLinkIsWarned) {
    char buf[PATH_MAX];
    zet_test::StderrCapture capture;
    EXPECT_EQ(fd2path(999999, buf, sizeof buf), nullptr);
    capture.restore();
    EXPECT_EQ(capture.text(),
              "fileops_test: readlink(): /proc/self/fd/999999: " + strerror_text(ENOENT) + "\n");
}

TEST_F(FileOps, RenameKeepsInodeModeOwnerAndTime) {
    TempDir dir;
    std::string from = dir / "infected", to = dir / "vault.XXXXXX";
    write_file(from, "payload");
    ASSERT_EQ(chmod(from.c_str(), 0751), 0);
    if (zet_test::is_root()) {
        ASSERT_EQ(chown(from.c_str(), 1234, 5678), 0);
    }
    timespec times[2] = {{1000000000, 0}, {1200000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, from.c_str(), times, 0), 0);
    struct stat before;
    ASSERT_EQ(stat(from.c_str(), &before), 0);
    int fd = mkstemp(to.data());
    ASSERT_GE(fd, 0);
    close(fd);

    ASSERT_EQ(move_file(from.c_str(), to.c_str()), 0);
    struct stat after;
    ASSERT_EQ(stat(to.c_str(), &after), 0);
    EXPECT_FALSE(exists(from));
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(after.st_uid, before.st_uid);
    EXPECT_EQ(after.st_gid, before.st_gid);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(read_file(to), "payload");
}

// A cross-file-system move may lose the only copy unless the copy and its name are on disk before the
// source goes. The stand-ins below see what the copy does: they record each fsync and the copy's bytes at
// the unlink, and can interrupt or shorten writes. They only act while `probe.armed`.
struct CopyProbe {
    bool armed = false;
    int interruptions = 0;       // writes still to fail with EINTR
    std::size_t write_limit = 0; // the most bytes one write takes (short writes); 0: no limit
    std::string copy;            // the vault name, read back at the unlink
    std::vector<std::string> synced, synced_at_unlink;
    std::optional<std::string> copy_at_unlink;
};
CopyProbe probe;

std::string fd_path(int fd) {
    char buf[PATH_MAX];
    ssize_t n = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), buf, sizeof buf);
    return n < 0 ? "" : std::string(buf, static_cast<std::size_t>(n));
}

} // namespace

extern "C" ssize_t write(int fd, const void* buf, std::size_t len) {
    if (probe.armed && probe.interruptions > 0) {
        probe.interruptions--;
        errno = EINTR;
        return -1;
    }
    if (probe.armed && probe.write_limit != 0)
        len = std::min(len, probe.write_limit);
    return syscall(SYS_write, fd, buf, len);
}

extern "C" int fsync(int fd) {
    if (probe.armed)
        probe.synced.push_back(fd_path(fd));
    return static_cast<int>(syscall(SYS_fsync, fd));
}

extern "C" int unlinkat(int dir, const char* name, int flags) {
    if (probe.armed && !probe.copy_at_unlink) {
        probe.synced_at_unlink = probe.synced;
        probe.copy_at_unlink = read_file(probe.copy);
    }
    return static_cast<int>(syscall(SYS_unlinkat, dir, name, flags));
}

namespace {

TEST_F(FileOps, MoveAcrossFileSystemsCopiesIntoPrivateFileOnDiskBeforeTheSourceGoes) {
    const struct {
        const char* name;
        int interruptions;
        std::size_t write_limit;
    } rows[] = {
        {"whole writes", 0, 0},
        {"interrupted and short writes", 3, 1000},
    };
    std::string content;
    for (int i = 0; i < 5000; i++)
        content += "line " + std::to_string(i) + "\n"; // several copy chunks and a partial one
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        TempDir shm("/dev/shm"), vault;
        std::string from = shm / "big", to = vault / "big.XXXXXX";
        write_file(from, content);
        ASSERT_EQ(chmod(from.c_str(), 0644), 0);
        int fd = mkstemp(to.data());
        ASSERT_GE(fd, 0);
        close(fd);

        probe = {true, row.interruptions, row.write_limit, to, {}, {}, std::nullopt};
        int rc = move_file(from.c_str(), to.c_str());
        probe.armed = false;
        ASSERT_EQ(rc, 0);
        EXPECT_FALSE(exists(from));
        EXPECT_EQ(read_file(to), content);
        struct stat st;
        ASSERT_EQ(stat(to.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0600u);
        // At the source's unlink: the whole copy, synced with its directory.
        EXPECT_EQ(probe.copy_at_unlink, content);
        const std::vector<std::string> synced = {std::filesystem::canonical(to),
                                                 std::filesystem::canonical(vault.path())};
        EXPECT_EQ(probe.synced_at_unlink, synced);
    }
}

// One failing move per row: how it is provoked, the one warning, and what is left on disk.
struct MoveFailure {
    const char* name;
    // Prepares the source and the target from the two scratch trees; returns false to skip the row.
    std::function<bool(const TempDir& shm, const TempDir& tmp, std::string& from, std::string& to)> setup;
    std::function<std::string(const std::string& from, const std::string& to)> message;
    bool source_stays;
    bool target_stays; // the reserved name, still in place after the failure
};

// The target name reserved the way the scan task does it.
std::string reserve(const std::string& dir, const std::string& name) {
    std::string path = dir + "/" + name + ".XXXXXX";
    int fd = mkstemp(path.data());
    if (fd >= 0)
        close(fd);
    return path;
}

const MoveFailure move_failures[] = {
    {"source vanished, same file system",
     [](const TempDir&, const TempDir& tmp, std::string& from, std::string& to) {
         from = tmp / "gone";
         to = reserve(tmp.path(), "gone");
         return true;
     },
     [](const std::string& from, const std::string& to) {
         return "rename(): " + from + " -> " + to + ": " + strerror_text(ENOENT);
     },
     false, true},
    {"source vanished, other file system",
     [](const TempDir& shm, const TempDir& tmp, std::string& from, std::string& to) {
         from = shm / "gone";
         to = reserve(tmp.path(), "gone");
         return true;
     },
     [](const std::string& from, const std::string&) {
         return "open(): " + from + ": " + strerror_text(ENOENT);
     },
     false, true},
    {"target cannot be opened",
     [](const TempDir& shm, const TempDir& tmp, std::string& from, std::string& to) {
         from = shm / "f";
         write_file(from, "data");
         to = reserve(tmp.path(), "f");
         return zet_test::set_immutable(to, true);
     },
     [](const std::string&, const std::string& to) { return "open(): " + to + ": " + strerror_text(EPERM); },
     true, true},
    // The name may have been replaced since the scan: only a regular file is copied, no link is followed
    // out of the tree and no FIFO blocks the worker.
    {"source is no regular file",
     [](const TempDir& shm, const TempDir& tmp, std::string& from, std::string& to) {
         from = shm / "dir";
         to = reserve(tmp.path(), "dir");
         return mkdir(from.c_str(), 0755) == 0;
     },
     [](const std::string& from, const std::string&) { return "open(): " + from + ": Not a regular file"; },
     true, true},
    {"source is a FIFO",
     [](const TempDir& shm, const TempDir& tmp, std::string& from, std::string& to) {
         from = shm / "fifo";
         to = reserve(tmp.path(), "fifo");
         return mkfifo(from.c_str(), 0600) == 0;
     },
     [](const std::string& from, const std::string&) { return "open(): " + from + ": Not a regular file"; },
     true, true},
    {"source is a symbolic link",
     [](const TempDir& shm, const TempDir& tmp, std::string& from, std::string& to) {
         from = shm / "link";
         write_file(tmp / "outside", "not to be copied");
         to = reserve(tmp.path(), "link");
         return symlink((tmp / "outside").c_str(), from.c_str()) == 0;
     },
     [](const std::string& from, const std::string&) {
         return "open(): " + from + ": " + strerror_text(ELOOP);
     },
     true, true},
    {"target file system full",
     [](const TempDir&, const TempDir& tmp, std::string& from, std::string& to) {
         from = tmp / "large";
         write_file(from, std::string(256 * 1024, 'z'));
         static std::unique_ptr<zet_test::TmpfsMount> full;
         full = std::make_unique<zet_test::TmpfsMount>(tmp / "full", "size=64k");
         // An odd page taken, so that the last write is a short one before the failing one.
         write_file(tmp / "full/filler", "f");
         to = reserve(tmp / "full", "large");
         return full->mounted();
     },
     [](const std::string&, const std::string&) { return "write(): " + strerror_text(ENOSPC); }, true, false},
    {"source cannot be removed",
     [](const TempDir& shm, const TempDir& tmp, std::string& from, std::string& to) {
         std::string locked = tmp / "locked";
         mkdir(locked.c_str(), 0755);
         from = locked + "/f";
         write_file(from, "data");
         to = reserve(shm.path(), "f");
         return zet_test::set_immutable(locked, true);
     },
     [](const std::string& from, const std::string&) {
         return "unlink(): " + from + ": " + strerror_text(EPERM);
     },
     true, false},
};

TEST_F(FileOps, EachMoveFailureWarnsOnceAndKeepsTheSource) {
    if (!zet_test::is_root())
        GTEST_SKIP() << "needs root for immutable files and mounts";
    for (const auto& row : move_failures) {
        SCOPED_TRACE(row.name);
        TempDir shm("/dev/shm"), tmp;
        std::string from, to;
        if (!row.setup(shm, tmp, from, to)) {
            ADD_FAILURE() << "setup failed: " << strerror_text(errno);
            continue;
        }
        zet_test::StderrCapture capture;
        int rc = move_file(from.c_str(), to.c_str());
        capture.restore();
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(capture.text(), "fileops_test: " + row.message(from, to) + "\n");
        EXPECT_EQ(exists(from), row.source_stays);
        EXPECT_EQ(exists(to), row.target_stays);
        zet_test::set_immutable(to, false);
        umount2((tmp / "full").c_str(), MNT_DETACH);
    }
}

TEST_F(FileOps, CopyFailsOnUnopenableSource) {
    TempDir tmp;
    std::string from = tmp / "missing", to = tmp / "copy";
    zet_test::StderrCapture capture;
    EXPECT_EQ(copy_file(from.c_str(), to.c_str()), -1);
    capture.restore();
    EXPECT_EQ(capture.text(), "fileops_test: open(): " + from + ": " + strerror_text(ENOENT) + "\n");
    EXPECT_FALSE(exists(to));
}

TEST_F(FileOps, CopyTruncatesAnExistingTarget) {
    TempDir tmp;
    std::string from = tmp / "short", to = tmp / "long";
    write_file(from, "new");
    write_file(to, "much older and longer content");
    ASSERT_EQ(copy_file(from.c_str(), to.c_str()), 0);
    EXPECT_EQ(read_file(to), "new");
    write_file(tmp / "empty-src", "");
    ASSERT_EQ(copy_file((tmp / "empty-src").c_str(), to.c_str()), 0);
    EXPECT_EQ(read_file(to), "");
}

} // namespace
