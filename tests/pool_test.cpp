// The task queue against a process-wide pool of gated workers: back-pressure, order, whole paths, wake-ups.
#include "src/pool.hpp"

#include "tests/support/files.hpp"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <syslog.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

using zet_test::strerror_text;
using zet_test::wait_until;

namespace {

constexpr std::size_t WORKERS = 3;
constexpr std::size_t SLOTS = 256;

// Records each path as a worker starts on it; while closed, a worker then waits for a permit.
struct Gate {
    std::mutex m;
    std::condition_variable cv;
    std::vector<std::string> taken;
    std::map<std::thread::id, std::set<int>> socks; // connection values each worker's tasks saw
    int next_sock = 100;
    int running = 0; // tasks not yet returned
    bool closed = false;
    int permits = 0;

    std::size_t count() {
        std::lock_guard lock(m);
        return taken.size();
    }
    void release(int n) {
        std::lock_guard lock(m);
        permits += n;
        cv.notify_all();
    }
    void open() {
        std::lock_guard lock(m);
        closed = false;
        cv.notify_all();
    }
    void reset(bool close) {
        std::lock_guard lock(m);
        taken.clear();
        socks.clear();
        closed = close;
        permits = 0;
    }
};

Gate gate;

void gated_task(task_t* task) {
    std::unique_lock lock(gate.m);
    gate.taken.emplace_back(task->path);
    if (*task->sock == -1)
        *task->sock = gate.next_sock++; // what a connect would store
    gate.socks[std::this_thread::get_id()].insert(*task->sock);
    gate.running++;
    gate.cv.notify_all();
    gate.cv.wait(lock, [] { return !gate.closed || gate.permits > 0; });
    if (gate.closed)
        gate.permits--;
    gate.running--;
}

class Pool : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_EQ(pool_init(WORKERS, gated_task), 0); }
    void SetUp() override { gate.reset(true); }
    // Leaves every worker idle, so that no test sees another's paths.
    void TearDown() override {
        gate.open();
        EXPECT_TRUE(wait_until([&] {
            std::lock_guard lock(gate.m);
            return gate.taken.size() == queued_ && gate.running == 0;
        }));
        gate.reset(false);
    }
    void add(const std::string& path) {
        pool_add_task(path.c_str());
        queued_++;
    }
    // Occupies every worker with a path of its own.
    void occupy_workers() {
        for (std::size_t i = 0; i < WORKERS; i++)
            add("busy" + std::to_string(i));
        ASSERT_TRUE(wait_until([] { return gate.count() == WORKERS; }));
    }
    std::string taken(std::size_t i) {
        std::lock_guard lock(gate.m);
        return i < gate.taken.size() ? gate.taken[i] : "";
    }

    std::atomic<std::size_t> queued_ = 0;
};

TEST_F(Pool, FullQueueBlocksTheProducerUntilAWorkerTakesAPath) {
    occupy_workers();
    std::atomic<bool> last_added = false;
    std::thread producer([&] {
        for (std::size_t i = 0; i < SLOTS; i++)
            add("q" + std::to_string(i));
        add("last");
        last_added = true;
    });
    // All slots fill without a worker taking anything; only the extra path has to wait.
    ASSERT_TRUE(wait_until([] { return pool_waiting().producers == 1; }));
    EXPECT_EQ(queued_.load(), WORKERS + SLOTS);
    EXPECT_FALSE(last_added);
    EXPECT_EQ(gate.count(), WORKERS);

    gate.release(1);
    EXPECT_TRUE(wait_until([&] { return last_added.load(); }));
    producer.join();
    EXPECT_EQ(taken(WORKERS), "q0");
}

TEST_F(Pool, PathsAreTakenInQueueOrder) {
    occupy_workers();
    const std::vector<std::string> paths = {"/srv/c", "/srv/a", "/srv/b", "/srv/a"};
    for (const auto& p : paths)
        add(p);
    // Letting one worker go at a time makes the order of starts the order of takes.
    for (std::size_t i = 0; i < paths.size(); i++) {
        gate.release(1);
        ASSERT_TRUE(wait_until([&] { return gate.count() == WORKERS + i + 1; }));
        EXPECT_EQ(taken(WORKERS + i), paths[i]) << "take " << i;
    }
}

// A task counts from its queuing until its scan has returned, while it waits and while it is scanned.
TEST_F(Pool, OldestUnfinishedTaskCountsUntilItsScanReturns) {
    auto ns = [](const timespec& t) { return t.tv_sec * 1000000000LL + t.tv_nsec; };
    auto now = [&ns] {
        timespec t;
        clock_gettime(CLOCK_REALTIME, &t);
        return ns(t);
    };
    timespec at;
    EXPECT_FALSE(pool_oldest_unfinished(&at));
    const long long before = now();
    add("/srv/first");
    const long long after = now();
    ASSERT_TRUE(wait_until([] { return gate.count() == 1; }));
    ASSERT_TRUE(pool_oldest_unfinished(&at)) << "being scanned";
    EXPECT_GE(ns(at), before);
    EXPECT_LE(ns(at), after);
    const long long first = ns(at);
    // Newer tasks, scanned and waiting, leave it the oldest.
    for (std::size_t i = 0; i < WORKERS + 2; i++)
        add("/srv/later" + std::to_string(i));
    ASSERT_TRUE(wait_until([] { return gate.count() == WORKERS; }));
    ASSERT_TRUE(pool_oldest_unfinished(&at));
    EXPECT_EQ(ns(at), first);
    gate.open();
    ASSERT_TRUE(wait_until([&] {
        std::lock_guard lock(gate.m);
        return gate.taken.size() == queued_ && gate.running == 0;
    }));
    EXPECT_TRUE(wait_until([&] { return !pool_oldest_unfinished(&at); })) << "all returned";
}

TEST_F(Pool, LongestPathArrivesWhole) {
    gate.open();
    std::string path(PATH_BUF_SIZE - 1, 'x');
    for (std::size_t i = 0; i < path.size(); i += 7)
        path[i] = static_cast<char>('a' + i % 26);
    add(path);
    add("/short");
    ASSERT_TRUE(wait_until([] { return gate.count() == 2; }));
    std::lock_guard lock(gate.m);
    EXPECT_NE(std::find(gate.taken.begin(), gate.taken.end(), path), gate.taken.end());
    EXPECT_NE(std::find(gate.taken.begin(), gate.taken.end(), "/short"), gate.taken.end());
}

TEST_F(Pool, OnePathIsTakenOnceAmongWaitingWorkers) {
    add("/srv/only");
    ASSERT_TRUE(wait_until([] { return gate.count() == 1; }));
    // The others have looked at the queue again and wait for work.
    ASSERT_TRUE(wait_until([] { return pool_waiting().workers == WORKERS - 1; }));
    EXPECT_EQ(gate.count(), 1u);
    EXPECT_EQ(taken(0), "/srv/only");
}

TEST_F(Pool, WorkerKeepsItsConnectionAcrossTasks) {
    // Each worker's descriptor starts unconnected and keeps what the task stored in it.
    gate.open();
    for (std::size_t i = 0; i < 50; i++)
        add("/srv/f");
    ASSERT_TRUE(wait_until([] { return gate.count() == 50; }));
    std::lock_guard lock(gate.m);
    std::set<int> all;
    for (const auto& [thread, values] : gate.socks) {
        EXPECT_EQ(values.size(), 1u) << "a worker's connection changed between tasks";
        all.insert(values.begin(), values.end());
    }
    EXPECT_EQ(all.size(), gate.socks.size()) << "two workers shared a connection";
}

// Three tasks for a user of its own: this thread and two workers; the third worker cannot be created.
[[noreturn]] void pool_under_thread_limit() {
    rlimit lim = {3, 3};
    uid_t uid = 40000 + static_cast<uid_t>(getpid() % 20000);
    if (setrlimit(RLIMIT_NPROC, &lim) != 0 || setgid(uid) != 0 || setuid(uid) != 0)
        _exit(2);
    openlog("pool_test", LOG_PERROR, LOG_USER);
    int rc = pool_init(4, gated_task);
    std::string status = zet_test::read_file("/proc/self/status");
    auto pos = status.find("Threads:");
    int threads = pos == std::string::npos ? -1 : atoi(status.c_str() + pos + 8);
    fprintf(stderr, "result %d, threads %d\n", rc, threads);
    _exit(rc == -1 ? 0 : 1);
}

// A fresh process (the thread-safe death-test style re-runs the binary), so its pool is not yet started.
TEST(PoolDeathTest, ThreadCreationFailureIsLoggedAndFails) {
    if (!zet_test::is_root())
        GTEST_SKIP() << "needs root to switch to a user with a thread limit";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::string expected =
        std::string("pool_test: pthread_create\\(\\): ") + strerror_text(EAGAIN) + "\nresult -1, threads 3\n";
    EXPECT_EXIT(pool_under_thread_limit(), ::testing::ExitedWithCode(0), expected);
}

} // namespace
