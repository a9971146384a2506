// The recovery of full coverage without the kernel: the catch-up window of a walk and the bounds of the
// retry backlog.
#include "src/av.hpp"
#include "src/config.hpp"
#include "src/pool.hpp"
#include "src/recovery.hpp"

#include "tests/support/files.hpp"
#include "tests/support/lists.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <set>
#include <string>

using zet_test::PathList;
using zet_test::TempDir;
using zet_test::write_file;

namespace {

bool collect(const char* path, void* ctx) {
    static_cast<std::set<std::string>*>(ctx)->insert(path);
    return true;
}

timespec ctime_of(const std::string& path) {
    struct stat st = {};
    stat(path.c_str(), &st);
    return st.st_ctim;
}

TEST(CatchUp, WalksFilesChangedSinceTheWindowSkippingExclusionsAndLinks) {
    TempDir dir;
    std::filesystem::create_directories(dir / "tree/sub/deep");
    std::filesystem::create_directories(dir / "tree/vault");
    for (const char* f : {"tree/a", "tree/sub/b", "tree/sub/deep/c", "tree/vault/v"})
        write_file(dir / f, "x");
    symlink((dir / "tree/a").c_str(), (dir / "tree/link").c_str());
    mkfifo((dir / "tree/fifo").c_str(), 0600);
    PathList trees({dir / "tree"});
    PathList excl({dir / "tree/vault"});

    std::set<std::string> found;
    timespec epoch = {0, 0};
    EXPECT_EQ(catchup_walk(trees.head(), excl.head(), epoch, collect, &found), 3u);
    EXPECT_EQ(found, (std::set<std::string>{dir / "tree/a", dir / "tree/sub/b", dir / "tree/sub/deep/c"}));

    // Past every change: nothing. A file written after that, and one whose times were set back but whose
    // change time is new, are both found.
    timespec after = ctime_of(dir / "tree/sub/deep/c");
    for (const char* f : {"tree/a", "tree/sub/b", "tree/sub/deep/c"})
        after = std::max(after, ctime_of(dir / f), [](const timespec& x, const timespec& y) {
            return x.tv_sec != y.tv_sec ? x.tv_sec < y.tv_sec : x.tv_nsec < y.tv_nsec;
        });
    after.tv_nsec += 1;
    found.clear();
    EXPECT_EQ(catchup_walk(trees.head(), excl.head(), after, collect, &found), 0u);

    struct timespec old_times[2] = {{1000, 0}, {1000, 0}};
    // Busy-wait for the clock to move past `after`, so the new change times are later.
    while (true) {
        timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        if (now.tv_sec > after.tv_sec || (now.tv_sec == after.tv_sec && now.tv_nsec > after.tv_nsec))
            break;
    }
    write_file(dir / "tree/sub/b", "new");
    utimensat(AT_FDCWD, (dir / "tree/sub/deep/c").c_str(), old_times, 0);
    EXPECT_EQ(catchup_walk(trees.head(), excl.head(), after, collect, &found), 2u);
    EXPECT_EQ(found, (std::set<std::string>{dir / "tree/sub/b", dir / "tree/sub/deep/c"}));
}

TEST(Retry, DelaysAndBacklogBounds) {
    EXPECT_EQ(retry_delay(2), 1u);
    EXPECT_EQ(retry_delay(3), 2u);

    task_t task = {};
    task.fd = -1;
    snprintf(task.path, sizeof task.path, "/srv/f");
    // Not started: nothing is taken.
    EXPECT_FALSE(retry_add(&task));

    TempDir dir;
    // Read by the recovery threads until the process ends.
    auto* config = new Config;
    ASSERT_TRUE(add_monitor(&config->monitors, dir.path()));
    // No service at this socket: the backlog only waits, consuming no attempt.
    ASSERT_EQ(av_init((dir / "none.sock").c_str(), nullptr), 0);
    ASSERT_EQ(recovery_start(*config), 0);
    task.attempt = RETRY_ATTEMPTS - 1; // its last attempt failed
    EXPECT_FALSE(retry_add(&task));
    for (std::size_t i = 0; i < RETRY_BACKLOG_SIZE; i++) {
        snprintf(task.path, sizeof task.path, "/srv/f%zu", i);
        task.attempt = static_cast<unsigned>(i % (RETRY_ATTEMPTS - 1));
        ASSERT_TRUE(retry_add(&task)) << i;
    }
    // A file already waiting is taken again without a slot of its own, its failure counted as an attempt;
    // a new one finds the backlog full.
    snprintf(task.path, sizeof task.path, "/srv/f8"); // waits for its second attempt
    task.attempt = 0;
    EXPECT_TRUE(retry_add(&task));
    snprintf(task.path, sizeof task.path, "/srv/new");
    int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    task.fd = fd;
    EXPECT_FALSE(retry_add(&task));
    EXPECT_EQ(task.fd, fd); // the descriptor stays the caller's
    close(fd);
    // One more failure of it is past the last attempt: given up as such, and its slot freed.
    snprintf(task.path, sizeof task.path, "/srv/f8");
    task.attempt = 0;
    EXPECT_FALSE(retry_add(&task));
    EXPECT_EQ(task.attempt, RETRY_ATTEMPTS - 1);
    snprintf(task.path, sizeof task.path, "/srv/new");
    task.attempt = 0;
    EXPECT_TRUE(retry_add(&task));
}

} // namespace
