// Throughput of the INI parser over a generated text of about 10 MB with every kind of line and value.
#include "zelu/ini_parser.hpp"

#include <benchmark/benchmark.h>

#include <fmt/format.h>

#include <cstddef>
#include <string>

namespace {

constexpr std::size_t TARGET_BYTES = 10 * 1000 * 1000;

std::string generate_ini() {
    std::string text;
    text.reserve(TARGET_BYTES + 4096);
    for (unsigned s = 0; text.size() < TARGET_BYTES; ++s) {
        text += fmt::format("[section.{}] ; generated\r\n", s);
        text += "# keys of every value kind\n";
        for (unsigned k = 0; k < 20; ++k) {
            switch (k % 7) {
            case 0:
                text += fmt::format("path.{} = /srv/data/share{}/incoming\n", k, s);
                break;
            case 1:
                text += fmt::format("quoted_{} = \"tab\\there \\x41\\101 \\\"q\\\" {}\"\n", k, s);
                break;
            case 2:
                text += fmt::format("flag{} = {}\n", k, s % 2 ? "yes" : "Off");
                break;
            case 3:
                text += fmt::format("count{} = {}\n", k, static_cast<long>(s) * 1000 - 7);
                break;
            case 4:
                text += fmt::format("big{} = 1_000_{:03}\n", k, s % 1000);
                break;
            case 5:
                text += fmt::format("empty{} =\n", k);
                break;
            default:
                text += fmt::format("  spaced key {}  =  some text # not a comment {}  \n", k, s);
                break;
            }
        }
        text += "\n";
    }
    return text;
}

void BM_ParseString(benchmark::State& state) {
    const std::string text = generate_ini();
    const auto flags = static_cast<unsigned>(state.range(0));
    std::size_t items = 0;
    const zelu::ini::ItemCallback on_item = [&items](const zelu::ini::Item& item) {
        benchmark::DoNotOptimize(item.value.data());
        ++items;
    };
    const zelu::ini::ErrorCallback on_error = [](zelu::ini::ErrorCode, std::string, std::string) {};
    for (auto _ : state) {
        const bool ok = zelu::ini::parse_string(text, on_item, on_error, flags);
        if (!ok)
            state.SkipWithError("the generated text does not parse");
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
    state.counters["MB"] = benchmark::Counter(static_cast<double>(text.size()) / 1e6,
                                              benchmark::Counter::kIsIterationInvariantRate);
    state.counters["items"] = static_cast<double>(items / state.iterations());
}

// 0: key/value lines only (the daemon's reading); 15: every item kind reported.
BENCHMARK(BM_ParseString)->Arg(0)->Arg(15)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
