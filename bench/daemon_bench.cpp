// Costs on the monitor loop's path per event: the hand-off through the task queue to the workers, the
// prefix filter with its realpath, and a bare fanotify reader against the whole loop with a no-op pool.
#include "src/config.hpp"
#include "src/monitor.hpp"
#include "src/pool.hpp"
#include "tests/support/files.hpp"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/fanotify.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

namespace {

std::atomic<long> done{0};

void count_task(task_t*) {
    done.fetch_add(1, std::memory_order_relaxed);
}

// One pool per process: its workers never end.
bool pool_started() {
    static const bool started = pool_init(4, count_task) == 0;
    return started;
}

// Paths per second from one producer through the 256-slot queue to the workers, which do no work.
void BM_PoolHandOff(benchmark::State& state) {
    if (!pool_started()) {
        state.SkipWithError("pool_init failed");
        return;
    }
    const std::string path = "/srv/data/share/incoming/some/file.txt";
    long queued = 0;
    for (auto _ : state) {
        pool_add_task(path.c_str());
        queued++;
    }
    while (done.load() < queued)
        std::this_thread::yield();
    done = 0;
    state.SetItemsProcessed(queued);
}
BENCHMARK(BM_PoolHandOff)->UseRealTime();

// One event's filter: realpath of an existing file and the walk over `range(0)` monitored paths.
void BM_IsMonitored(benchmark::State& state) {
    zet_test::TempDir temp;
    const std::string dir = temp.path();
    std::string file = dir + "/tree/sub/file.txt";
    std::filesystem::create_directories(dir + "/tree/sub");
    std::fclose(std::fopen(file.c_str(), "w"));
    monitor* list = nullptr;
    for (long i = 0; i < state.range(0); i++) {
        std::string p = i == 0 ? dir + "/tree" : "/srv/other" + std::to_string(i);
        list = new monitor{strdup(p.c_str()), list};
    }
    for (auto _ : state)
        benchmark::DoNotOptimize(is_monitored(file.c_str(), list));
    state.SetItemsProcessed(state.iterations());
    while (list != nullptr) {
        monitor* next = list->next;
        free(list->path);
        delete list;
        list = next;
    }
}
BENCHMARK(BM_IsMonitored)->Arg(1)->Arg(16);

constexpr int EVENT_BATCH = 1000;

// A private tmpfs holding EVENT_BATCH files, so that the mount mark sees only this benchmark's writes.
class EventTree {
public:
    bool ok() const { return tmpfs_.mounted(); }
    const std::string& dir() const { return dir_; }
    // One close after writing per file.
    void write_batch() const {
        for (int i = 0; i < EVENT_BATCH; i++) {
            const std::string path = dir_ + "/f" + std::to_string(i);
            const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (fd >= 0)
                close(fd);
        }
    }

private:
    zet_test::TempDir temp_;
    std::string dir_ = temp_ / "events";
    zet_test::TmpfsMount tmpfs_{dir_, "size=16m"};
};

// The floor: read the events and close their descriptors, nothing else.
void BM_FanotifyBareReader(benchmark::State& state) {
    EventTree tree;
    const int fan = fanotify_init(FAN_CLASS_NOTIF | FAN_CLOEXEC, O_RDONLY | O_LARGEFILE);
    if (!tree.ok() || fan < 0 ||
        fanotify_mark(fan, FAN_MARK_ADD | FAN_MARK_MOUNT, FAN_CLOSE_WRITE, AT_FDCWD, tree.dir().c_str()) !=
            0) {
        state.SkipWithError("needs root: tmpfs mount and fanotify");
        if (fan >= 0)
            close(fan);
        return;
    }
    alignas(fanotify_event_metadata) char buf[64 * 1024];
    for (auto _ : state) {
        state.PauseTiming();
        tree.write_batch();
        state.ResumeTiming();
        for (int seen = 0; seen < EVENT_BATCH;) {
            ssize_t n = read(fan, buf, sizeof buf);
            if (n <= 0)
                break;
            auto* m = reinterpret_cast<fanotify_event_metadata*>(buf);
            for (; FAN_EVENT_OK(m, n); m = FAN_EVENT_NEXT(m, n)) {
                if (m->fd >= 0)
                    close(m->fd);
                seen++;
            }
        }
    }
    close(fan);
    state.SetItemsProcessed(state.iterations() * EVENT_BATCH);
}
BENCHMARK(BM_FanotifyBareReader)->UseRealTime()->Unit(benchmark::kMillisecond);

// The monitor loop itself (path, filter, hand-off, watchdog ping) into workers that do nothing. A pipe
// stands in for the signal descriptor; a SIGTERM record ends each run once every event reached a worker.
void BM_MonitorLoop(benchmark::State& state) {
    EventTree tree;
    if (!tree.ok() || !pool_started()) {
        state.SkipWithError("needs root: tmpfs mount and fanotify");
        return;
    }
    monitor list = {strdup(tree.dir().c_str()), nullptr};
    const int fan = monitor_start(&list, 0);
    int sig[2];
    if (fan < 0 || pipe(sig) != 0) {
        state.SkipWithError("monitor_start failed");
        free(list.path);
        return;
    }
    for (auto _ : state) {
        state.PauseTiming();
        tree.write_batch();
        done = 0;
        std::thread stopper([&] {
            while (done.load() < EVENT_BATCH)
                std::this_thread::yield();
            signalfd_siginfo info = {};
            info.ssi_signo = SIGTERM;
            [[maybe_unused]] ssize_t n = write(sig[1], &info, sizeof info);
        });
        state.ResumeTiming();
        monitor_run(sig[0], fan, &list, -1);
        state.PauseTiming();
        stopper.join();
        state.ResumeTiming();
    }
    monitor_stop(fan, &list);
    close(sig[0]);
    close(sig[1]);
    free(list.path);
    state.SetItemsProcessed(state.iterations() * EVENT_BATCH);
}
BENCHMARK(BM_MonitorLoop)->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
