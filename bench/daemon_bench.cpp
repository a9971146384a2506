// Costs on the monitor loop's path per event: the hand-off through the task queue to the workers, and the
// prefix filter with its realpath.
#include "src/config.hpp"
#include "src/monitor.hpp"
#include "src/pool.hpp"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

namespace {

std::atomic<long> done{0};

void count_task(task_t*) { done.fetch_add(1, std::memory_order_relaxed); }

// Paths per second from one producer through the 256-slot queue to the workers, which do no work.
void BM_PoolHandOff(benchmark::State& state)
{
    static const bool started = pool_init(4, count_task) == 0;
    if (!started) {
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
void BM_IsMonitored(benchmark::State& state)
{
    char tmpl[] = "/tmp/zet-bench.XXXXXX";
    std::string dir = mkdtemp(tmpl);
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
    std::filesystem::remove_all(dir);
}
BENCHMARK(BM_IsMonitored)->Arg(1)->Arg(16);

} // namespace

BENCHMARK_MAIN();
