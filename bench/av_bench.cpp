// Cost of the scan-service client: parsing response lines in place, and whole scans over a UNIX socket
// against the in-process fake service (the floor under any real service's scan time).
#include "src/av.hpp"
#include "tests/support/fake_service.hpp"
#include "tests/support/process.hpp"

#include <benchmark/benchmark.h>

#include <csignal>
#include <cstdlib>
#include <string>

#include <unistd.h>

namespace {

void BM_ParseFindingLine(benchmark::State& state) {
    const std::string line = "SCAN /srv/share/some\\ dir/report.pdf\t[L]0.1\t1 Eicar-Test-Signature\r\n";
    for (auto _ : state) {
        response_t resp = {};
        benchmark::DoNotOptimize(parse(line.data(), static_cast<int>(line.size()), &resp));
        av_free_result(resp.infections);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * line.size()));
}
BENCHMARK(BM_ParseFindingLine);

void BM_ParseCleanLine(benchmark::State& state) {
    const std::string line = "SCAN /srv/share/some\\ dir/report.pdf\t[+]0.1 OK\r\n";
    for (auto _ : state) {
        response_t resp = {};
        benchmark::DoNotOptimize(parse(line.data(), static_cast<int>(line.size()), &resp));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * line.size()));
}
BENCHMARK(BM_ParseCleanLine);

// Escaping a typical share path (a few blanks to escape) into a command-sized buffer.
void BM_AddSlashes(benchmark::State& state) {
    const std::string path = "/srv/share/Finance Team/2026/Q4 reports/budget draft (final).xlsx";
    char out[16384];
    for (auto _ : state)
        benchmark::DoNotOptimize(add_slashes(path.c_str(), out, static_cast<int>(sizeof out)));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * path.size()));
}
BENCHMARK(BM_AddSlashes);

void BM_ScanRoundTrip(benchmark::State& state) {
    zet_test::TempDir dir;
    const std::string sock = dir / "scan.sock";
    std::signal(SIGPIPE, SIG_IGN);
    {
        fake::Service svc(sock);
        av_init(sock.c_str(), nullptr);
        int handle = -1;
        const std::string path = state.range(0) ? "/srv/infected/file" : "/srv/clean/file";
        for (auto _ : state) {
            infection* list;
            if (av_scan(&handle, path.c_str(), &list) == 1)
                av_free_result(list);
        }
        if (handle >= 0)
            close(handle);
    }
}
BENCHMARK(BM_ScanRoundTrip)->Arg(0)->Arg(1)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
