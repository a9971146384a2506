// engine_limit: how fast libclamav alone scans a tree from N threads, the ceiling for any on-access
// pipeline on this machine. Prints one line of key=value pairs for bench/onaccess.
#include <clamav.h>
#include <fcntl.h>
#include <ftw.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "scand/engine.hpp"

namespace {

constexpr int max_open_dirs = 32;
constexpr std::size_t memory_scan_limit = 128 * 1024;

// Reads up to n bytes; the count, or -1 on a read error.
ssize_t read_whole(int fd, char* buf, std::size_t n) {
    std::size_t got = 0;
    while (got < n) {
        const ssize_t r = read(fd, buf + got, n - got);
        if (r == 0) {
            break;
        }
        if (r < 0) {
            return -1;
        }
        got += static_cast<std::size_t>(r);
    }
    return static_cast<ssize_t>(got);
}

std::vector<std::string> files;

int collect(const char* path, const struct stat*, int type, struct FTW*) {
    if (type == FTW_F) {
        files.emplace_back(path);
    }
    return 0;
}

void usage(const char* argv0) {
    std::fprintf(stderr,
                 "Usage: %s -d DBDIR [-t THREADS] [-a] [-m] [-l] TREE\n"
                 "  -d DBDIR    signature databases to load\n"
                 "  -t THREADS  scanning threads (default 4)\n"
                 "  -a          report every match (all-match mode)\n"
                 "  -m          read each file into a per-thread buffer and scan that memory, as\n"
                 "              orbis-scand does for small files (default: cl_scandesc)\n"
                 "  -l          list infected files on standard output\n",
                 argv0);
}

} // namespace

int main(int argc, char** argv) {
    const char* dbdir = nullptr;
    unsigned threads = 4;
    bool allmatch = false;
    bool list = false;
    bool memory = false;
    int opt;
    while ((opt = getopt(argc, argv, "d:t:amlh")) != -1) {
        switch (opt) {
        case 'd':
            dbdir = optarg;
            break;
        case 't':
            threads = static_cast<unsigned>(std::strtoul(optarg, nullptr, 10));
            break;
        case 'a':
            allmatch = true;
            break;
        case 'l':
            list = true;
            break;
        case 'm':
            memory = true;
            break;
        case 'h':
            usage(argv[0]);
            return 0;
        default:
            usage(argv[0]);
            return 1;
        }
    }
    if (dbdir == nullptr || optind + 1 != argc || threads == 0) {
        usage(argv[0]);
        return 1;
    }

    const auto load_start = std::chrono::steady_clock::now();
    // The same allocator set-up as orbis-scand, so that the ceiling is the engine's best.
    scand::keep_scan_memory();
    cl_error_t rc = cl_init(CL_INIT_DEFAULT);
    cl_engine* engine = rc == CL_SUCCESS ? cl_engine_new() : nullptr;
    if (engine == nullptr) {
        std::fprintf(stderr, "cl_init(): %s\n", cl_strerror(rc));
        return 1;
    }
    unsigned signatures = 0;
    if ((rc = cl_load(dbdir, engine, &signatures, CL_DB_STDOPT)) != CL_SUCCESS ||
        (rc = cl_engine_compile(engine)) != CL_SUCCESS) {
        std::fprintf(stderr, "loading %s: %s\n", dbdir, cl_strerror(rc));
        cl_engine_free(engine);
        return 1;
    }
    const double load_seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - load_start).count();

    if (nftw(argv[optind], collect, max_open_dirs, FTW_PHYS) != 0) {
        std::perror(argv[optind]);
        cl_engine_free(engine);
        return 1;
    }

    // The options orbis-scand scans with, so that the figure bounds what the service could reach.
    cl_scan_options options{};
    options.general = CL_SCAN_GENERAL_HEURISTICS | (allmatch ? CL_SCAN_GENERAL_ALLMATCHES : 0);
    options.parse = ~0u;
    options.heuristic = CL_SCAN_HEURISTIC_EXCEEDS_MAX;

    std::atomic<std::size_t> next{0};
    std::atomic<std::size_t> infected{0};
    std::atomic<std::size_t> errors{0};
    std::vector<char> is_infected(files.size(), 0);

    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> pool;
    for (unsigned t = 0; t < threads; ++t) {
        pool.emplace_back([&] {
            std::vector<char> buffer(memory_scan_limit + 1);
            for (std::size_t i; (i = next.fetch_add(1)) < files.size();) {
                const int fd = open(files[i].c_str(), O_RDONLY | O_CLOEXEC);
                if (fd < 0) {
                    ++errors;
                    continue;
                }
                const char* name = nullptr;
                unsigned long scanned = 0;
                cl_error_t r;
                ssize_t got = -1;
                if (memory) {
                    got = read_whole(fd, buffer.data(), buffer.size());
                }
                if (got >= 0 && static_cast<std::size_t>(got) <= memory_scan_limit) {
                    cl_fmap_t* map = cl_fmap_open_memory(buffer.data(), static_cast<std::size_t>(got));
                    r = map == nullptr ? CL_EMEM
                                       : cl_scanmap_callback(map, files[i].c_str(), &name, &scanned, engine,
                                                             &options, nullptr);
                    if (map != nullptr) {
                        cl_fmap_close(map);
                    }
                } else {
                    lseek(fd, 0, SEEK_SET);
                    r = cl_scandesc(fd, files[i].c_str(), &name, &scanned, engine, &options);
                }
                close(fd);
                if (r == CL_VIRUS) {
                    ++infected;
                    is_infected[i] = 1;
                } else if (r != CL_CLEAN) {
                    ++errors;
                }
            }
        });
    }
    for (auto& t : pool) {
        t.join();
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    if (list) {
        for (std::size_t i = 0; i < files.size(); ++i) {
            if (is_infected[i] != 0) {
                std::printf("infected %s\n", files[i].c_str());
            }
        }
    }
    std::printf("files=%zu infected=%zu errors=%zu threads=%u seconds=%.6f load_seconds=%.3f signatures=%u\n",
                files.size(), infected.load(), errors.load(), threads, seconds, load_seconds, signatures);
    cl_engine_free(engine);
    return errors.load() == 0 ? 0 : 2;
}
