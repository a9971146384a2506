// The large-file lane: large files never take the workers kept for small ones, and each worker takes the
// oldest file it may take.
#include "src/pool.hpp"

#include "tests/support/process.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <set>
#include <string>
#include <vector>

using zet_test::wait_until;

namespace {

constexpr std::size_t WORKERS = 3;
constexpr std::int64_t LARGE = 64 << 10;

// A task runs until its file's name is released, so that each release frees exactly one known worker.
struct Gate {
    std::mutex m;
    std::condition_variable cv;
    std::vector<std::string> started; // names, in the order workers started on them
    std::set<std::string> released;
    std::size_t finished = 0;

    std::vector<std::string> seen() {
        std::lock_guard lock(m);
        return started;
    }
    // Tasks started and finished so far.
    std::pair<std::size_t, std::size_t> progress() {
        std::lock_guard lock(m);
        return {started.size(), finished};
    }
    void release(const std::string& name) {
        std::lock_guard lock(m);
        released.insert(name);
        cv.notify_all();
    }
};

Gate gate;

void gated_task(task_t* task) {
    std::string name = task->path;
    name = name.substr(name.rfind('/') + 1);
    std::unique_lock lock(gate.m);
    gate.started.push_back(name);
    gate.cv.wait(lock, [&] { return gate.released.count(name) != 0; });
    gate.finished++;
}

class PoolLane : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        pool_set_large_lane(LARGE, 1);
        ASSERT_EQ(pool_init(WORKERS, gated_task), 0);
    }
    void TearDown() override {
        for (const auto& name : names_)
            gate.release(name);
        EXPECT_TRUE(wait_until([&] {
            std::lock_guard lock(gate.m);
            return gate.finished == names_.size();
        }));
        std::lock_guard lock(gate.m);
        gate.finished = 0;
        gate.started.clear();
        gate.released.clear();
    }
    // Queues a file of `size` bytes named `name` (unique within a test) with its descriptor.
    void add(const std::string& name, off_t size) {
        std::string path = dir_.path() + "/" + name;
        int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, size), 0);
        names_.push_back(name);
        pool_add_file(path.c_str(), fd, 0, nullptr);
    }
    // Waits until workers have started on exactly `expected`, in that order, and every other worker waits
    // for a file it may take, so that nothing else follows.
    void expect_started(const std::vector<std::string>& expected) {
        EXPECT_TRUE(wait_until([&] { return gate.seen().size() >= expected.size(); }));
        // Read between two equal looks at the gate, the pool's count belongs to the same moment: then no
        // worker is between the pool and a task.
        EXPECT_TRUE(wait_until([] {
            auto [started, finished] = gate.progress();
            std::size_t idle = pool_waiting().workers;
            return gate.progress() == std::pair(started, finished) && idle + started - finished == WORKERS;
        }));
        EXPECT_EQ(gate.seen(), expected);
    }

    zet_test::TempDir dir_;
    std::vector<std::string> names_;
};

TEST_F(PoolLane, LargeFilesLeaveTheKeptWorkerToSmallOnes) {
    add("L1", LARGE);
    expect_started({"L1"});
    add("L2", LARGE + 1);
    expect_started({"L1", "L2"});
    add("L3", 1 << 20);
    add("S1", LARGE - 1);
    add("S2", 0);
    // Two workers may scan large files; the third takes the small file queued after a waiting large one.
    expect_started({"L1", "L2", "S1"});
    EXPECT_EQ(pool_pending(), 2u);
    gate.release("S1");
    expect_started({"L1", "L2", "S1", "S2"});
    gate.release("S2");
    expect_started({"L1", "L2", "S1", "S2"});
    gate.release("L1");
    expect_started({"L1", "L2", "S1", "S2", "L3"});
}

TEST_F(PoolLane, OldestFileFirstWhileLargeScansAreBelowTheirShare) {
    // One at a time: idle workers race for files queued together.
    add("busy1", 1);
    expect_started({"busy1"});
    add("busy2", 1);
    expect_started({"busy1", "busy2"});
    add("busy3", 1);
    expect_started({"busy1", "busy2", "busy3"});
    add("L1", LARGE);
    add("S1", 1);
    add("L2", LARGE);
    add("S2", 1);
    // No descriptor: it cannot be sized, so it counts as small.
    names_.push_back("nofd");
    pool_add_task((dir_.path() + "/nofd").c_str());
    const std::vector<std::string> order = {"busy1", "busy2", "busy3", "L1", "S1", "L2"};
    for (std::size_t i = 0; i < 3; i++) {
        gate.release(order[i]);
        expect_started(std::vector<std::string>(order.begin(), order.begin() + 3 + i + 1));
    }
    // Two large scans now run: the freed small worker passes over nothing older than S2.
    gate.release("S1");
    expect_started({"busy1", "busy2", "busy3", "L1", "S1", "L2", "S2"});
    gate.release("S2");
    expect_started({"busy1", "busy2", "busy3", "L1", "S1", "L2", "S2", "nofd"});
}

} // namespace
