// The monitor loop in-process: the prefix filter, the signal records, watchdog pings, and real fanotify
// events on a fresh tree, with the paths the pool receives and the descriptors left open.
#include "src/monitor.hpp"

#include "src/config.hpp"
#include "src/pool.hpp"
#include "tests/support/files.hpp"
#include "tests/support/lists.hpp"

#include <gtest/gtest.h>

#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <syslog.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

using zet_test::PathList;
using zet_test::strerror_text;
using zet_test::TempDir;
using zet_test::wait_until;
using zet_test::write_file;

namespace {

std::mutex queued_mutex;
std::vector<std::string> queued;

void record(task_t* task) {
    std::lock_guard lock(queued_mutex);
    queued.emplace_back(task->path);
}

bool was_queued(const std::string& path) {
    std::lock_guard lock(queued_mutex);
    return std::find(queued.begin(), queued.end(), path) != queued.end();
}

// Stands in for the fanotify descriptor where no event is wanted: it never becomes readable.
int idle_descriptor() {
    return eventfd(0, EFD_CLOEXEC);
}

// A pipe stands in for the signal descriptor: the loop reads whole signalfd records from it.
class SignalPipe {
public:
    SignalPipe() { EXPECT_EQ(pipe(fds_), 0); }
    ~SignalPipe() {
        close(fds_[0]);
        close(fds_[1]);
    }
    void send(int signo) const {
        signalfd_siginfo info = {};
        info.ssi_signo = static_cast<uint32_t>(signo);
        EXPECT_EQ(write(fds_[1], &info, sizeof info), static_cast<ssize_t>(sizeof info));
    }
    void send_bytes(std::size_t n) const {
        std::string junk(n, '\0');
        EXPECT_EQ(write(fds_[1], junk.data(), n), static_cast<ssize_t>(n));
    }
    int read_end() const { return fds_[0]; }

private:
    int fds_[2] = {-1, -1};
};

class Monitor : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_EQ(pool_init(2, record), 0); }
    void SetUp() override { openlog("monitor_test", LOG_PERROR, LOG_USER); }
    void TearDown() override { closelog(); }
};

TEST_F(Monitor, OnlyStopSignalsEndTheLoop) {
    const struct {
        std::vector<int> signals;
    } cases[] = {{{SIGTERM}}, {{SIGINT}}, {{SIGHUP, SIGUSR1, SIGTERM}}};
    for (const auto& c : cases) {
        SignalPipe sig;
        for (int s : c.signals)
            sig.send(s);
        int fan = idle_descriptor();
        EXPECT_EQ(monitor_run(sig.read_end(), fan, nullptr, -1), 0);
        close(fan);
    }
}

TEST_F(Monitor, ShortSignalRecordFailsTheLoop) {
    SignalPipe sig;
    sig.send_bytes(5);
    int fan = idle_descriptor();
    zet_test::StderrCapture capture;
    EXPECT_EQ(monitor_run(sig.read_end(), fan, nullptr, -1), -1);
    capture.restore();
    close(fan);
    EXPECT_EQ(capture.text().rfind("monitor_test: read(): ", 0), 0u) << capture.text();
}

TEST_F(Monitor, EveryWakeUpThatGoesOnPingsTheWatchdog) {
    TempDir dir;
    zet_test::NotifySocket notify(dir / "notify");
    // The loop runs in this process, so its sd_notify reads this process's environment.
    setenv("NOTIFY_SOCKET", notify.path().c_str(), 1);
    SignalPipe sig;
    int fan = idle_descriptor();
    std::atomic<int> rc = 99;
    // A short timeout: idle passes ping too.
    std::thread loop([&] { rc = monitor_run(sig.read_end(), fan, nullptr, 20); });
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(notify.next(std::chrono::seconds(10)), "WATCHDOG=1\n");
    sig.send(SIGTERM);
    loop.join();
    unsetenv("NOTIFY_SOCKET");
    close(fan);
    EXPECT_EQ(rc, 0);
}

TEST_F(Monitor, MarkFailureNamesThePath) {
    if (!zet_test::is_root())
        GTEST_SKIP() << "fanotify needs CAP_SYS_ADMIN";
    TempDir dir;
    PathList list{dir / "missing", dir.path()};
    zet_test::StderrCapture capture;
    EXPECT_EQ(monitor_start(list.head(), 0), -1);
    capture.restore();
    EXPECT_EQ(capture.text(),
              "monitor_test: fanotify_mark(): " + dir / "missing" + ": " + strerror_text(ENOENT) + "\n");
}

TEST_F(Monitor, WritesUnderTheTreeAreQueuedAndNoDescriptorLeaks) {
    if (!zet_test::is_root())
        GTEST_SKIP() << "fanotify needs CAP_SYS_ADMIN";
    TempDir dir;
    std::string data = dir / "data";
    std::filesystem::create_directories(data);
    std::filesystem::create_directories(dir / "data2");
    std::filesystem::create_directories(dir / "outside");
    std::filesystem::create_directories(dir / "also");
    PathList list{dir / "also", data}; // two paths on one mount: each event arrives once

    zet_test::StderrCapture capture;
    int fan = monitor_start(list.head(), 1);
    capture.restore();
    ASSERT_GE(fan, 0);
    EXPECT_EQ(capture.text(), "monitor_test: Started monitoring '" + dir / "also" + "'...\n" +
                                  "monitor_test: Started monitoring '" + data + "'...\n");

    SignalPipe sig;
    int before = zet_test::open_fds();
    std::atomic<int> rc = 99;
    std::thread loop([&] { rc = monitor_run(sig.read_end(), fan, list.head(), -1); });
    constexpr int FILES = 150;
    for (int i = 0; i < FILES; i++) {
        write_file(data + "/f" + std::to_string(i), "x");
        write_file(dir / ("outside/f" + std::to_string(i)), "x");
    }
    write_file(dir / "data2/f", "x");
    write_file(dir / "also/last", "x");
    EXPECT_TRUE(wait_until([&] { return was_queued(dir / "also/last"); }));
    EXPECT_TRUE(wait_until([&] { return was_queued(dir / "data2/f"); }));
    for (int i = 0; i < FILES; i++)
        EXPECT_TRUE(wait_until([&] { return was_queued(data + "/f" + std::to_string(i)); })) << i;
    {
        std::lock_guard lock(queued_mutex);
        for (const auto& p : queued)
            EXPECT_EQ(p.find(dir / "outside"), std::string::npos) << p;
        EXPECT_EQ(std::count(queued.begin(), queued.end(), dir / "also/last"), 1);
    }
    // Events from elsewhere on the mount may be in flight; each one's descriptor is closed in its pass.
    EXPECT_TRUE(wait_until([&] { return zet_test::open_fds() == before; }))
        << zet_test::open_fds() << " " << before;

    sig.send(SIGTERM);
    loop.join();
    EXPECT_EQ(rc, 0);
    monitor_stop(fan, list.head());
    EXPECT_EQ(fcntl(fan, F_GETFD), -1) << "monitor_stop closes the descriptor";
}

} // namespace
