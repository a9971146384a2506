// Load check of orbis-scand: many clients, each on its own connection, scanning many files one SCAN at a
// time as zet's workers do. Checks every answer and reports start-up time, throughput and the service's
// resident memory; then reloads the databases (SIGHUP) while the clients go on scanning and reports the
// peak memory of the reload. Usage: scand_load [CLIENTS [FILES [ROUNDS [DBDIR]]]] (default 64 1000 2 and
// the shipped database; a DBDIR must hold orbis-eicar.ldb too).
#include "tests/support/process.hpp"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

using namespace zet_test;
using Clock = std::chrono::steady_clock;

namespace {

// "VmRSS" or "VmHWM" of `pid` in KiB.
long status_kib(pid_t pid, const char* field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(field, 0) == 0) {
            return std::atol(line.c_str() + std::strlen(field) + 1);
        }
    }
    return -1;
}

class Connection {
public:
    explicit Connection(const std::string& path) : fd_(zet_test::connect_unix(path)), ok_(fd_ >= 0) {}
    ~Connection() { close(fd_); }
    bool ok() const { return ok_; }
    std::string line() {
        for (;;) {
            if (const auto lf = buf_.find('\n'); lf != std::string::npos) {
                auto l = buf_.substr(0, lf + 1);
                buf_.erase(0, lf + 1);
                return l;
            }
            pollfd pfd{fd_, POLLIN, 0};
            char tmp[16384];
            if (poll(&pfd, 1, 120000) <= 0) {
                return "";
            }
            const ssize_t n = recv(fd_, tmp, sizeof tmp, 0);
            if (n <= 0) {
                return "";
            }
            buf_.append(tmp, static_cast<std::size_t>(n));
        }
    }
    bool send(const std::string& s) {
        return ::send(fd_, s.data(), s.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(s.size());
    }

private:
    int fd_;
    bool ok_;
    std::string buf_;
};

} // namespace

int main(int argc, char** argv) {
    const int clients = argc > 1 ? std::atoi(argv[1]) : 64;
    const int files = argc > 2 ? std::atoi(argv[2]) : 1000;
    const int rounds = argc > 3 ? std::atoi(argv[3]) : 2;
    const std::string dbdir = argc > 4 ? argv[4] : ZET_SOURCE_DIR "/dist/db";

    TempDir dir;
    std::vector<std::string> paths;
    for (int i = 0; i < files; ++i) {
        paths.push_back(dir / ("file" + std::to_string(i)));
        std::string content =
            i % 10 == 0 ? eicar
                        : std::string(2048 + i % 512, static_cast<char>('a' + i % 26)) + std::to_string(i);
        std::ofstream(paths.back(), std::ios::binary) << content;
    }

    NotifySocket notify(dir / "notify");
    ChildProcess service;
    const std::string sock = dir / "scan.sock";
    const auto t0 = Clock::now();
    if (!service.spawn({ORBIS_SCAND, "-s", sock, "-d", dbdir, "-n", std::to_string(clients), "-i", "0"},
                       {notify.env()}, dir / "scand.err")) {
        std::fprintf(stderr, "cannot start %s\n", ORBIS_SCAND);
        return 1;
    }
    if (!notify.wait_for("READY=1", 60s)) {
        std::fprintf(stderr, "no READY=1:\n%s", service.stderr_text().c_str());
        return 1;
    }
    const auto ready_ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    std::printf("ready after %.1f ms; RSS %ld KiB\n", ready_ms, status_kib(service.pid(), "VmRSS"));

    int failures = 0;
    // The last round runs while the databases reload.
    for (int round = 1; round <= rounds + 1; ++round) {
        const bool reload = round == rounds + 1;
        std::atomic<long> wrong{0}, done{0};
        std::atomic<bool> running{true}, reloading{reload};
        const long rss_before = status_kib(service.pid(), "VmRSS");
        if (reload) {
            // Resets VmHWM, so that it shows the reload's own peak.
            std::ofstream("/proc/" + std::to_string(service.pid()) + "/clear_refs") << "5";
        }
        long max_rss = 0;
        std::thread sampler([&] {
            while (running) {
                max_rss = std::max(max_rss, status_kib(service.pid(), "VmRSS"));
                std::this_thread::sleep_for(20ms);
            }
        });
        const auto start = Clock::now();
        std::atomic<long> slowest_us{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < clients; ++t) {
            threads.emplace_back([&, t] {
                Connection c(sock);
                if (!c.ok() || c.line().rfind("220 ", 0) != 0) {
                    wrong += files;
                    return;
                }
                for (int i = 0; i < files || reloading; ++i) {
                    const int f = (i + t * 7) % files;
                    const auto asked = Clock::now();
                    const auto& p = paths[f];
                    c.send("SCAN " + p + " CID portwarden TRIGGER ON_WRITE\n");
                    const auto accepted = c.line(), data = c.line(), end = c.line();
                    const std::string head = "SCAN " + p + "\t[";
                    const bool good = accepted == "210 Accepted\r\n" && end == "200 OK\r\n" &&
                                      data.rfind(head, 0) == 0 &&
                                      (f % 10 == 0 ? data.find("]", head.size()) == head.size() + 1 &&
                                                         data[head.size()] == 'L' &&
                                                         data.ends_with("\t1 Orbis.Test.EICAR.UNOFFICIAL\r\n")
                                                   : data[head.size()] == '+' && data.ends_with(" OK\r\n"));
                    if (!good) {
                        ++wrong;
                    }
                    const long us = static_cast<long>(
                        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - asked).count());
                    for (long prev = slowest_us; us > prev && !slowest_us.compare_exchange_weak(prev, us);) {
                    }
                    ++done;
                }
            });
        }
        if (reload) {
            const auto loads = [&] {
                const auto log = service.stderr_text();
                std::size_t n = 0;
                for (auto at = log.find("]: Loaded "); at != std::string::npos;
                     at = log.find("]: Loaded ", at + 1)) {
                    ++n;
                }
                return n;
            };
            const auto before = loads();
            service.signal(SIGHUP);
            if (!wait_until([&] { return loads() > before; }, 600s)) {
                std::fprintf(stderr, "the reload did not end:\n%s", service.stderr_text().c_str());
                ++failures;
            }
            std::this_thread::sleep_for(1s); // the replaced engine goes once its last scan has ended
            reloading = false;
        }
        for (auto& th : threads) {
            th.join();
        }
        const double secs = std::chrono::duration<double>(Clock::now() - start).count();
        running = false;
        sampler.join();
        std::printf(
            "%s %d: %d clients x %d files: %ld scans, %ld wrong, %.2f s, %.0f scans/s, slowest "
            "answer %.1f ms; RSS before %ld KiB, max sampled %ld KiB, peak (VmHWM) %ld KiB, after %ld KiB\n",
            reload ? "reload round" : "round", round, clients, files, done.load(), wrong.load(), secs,
            done / secs, static_cast<double>(slowest_us) / 1000, rss_before, max_rss,
            status_kib(service.pid(), "VmHWM"), status_kib(service.pid(), "VmRSS"));
        failures += wrong != 0;
    }
    service.signal(SIGTERM);
    const int status = service.exit_code(60s);
    std::printf("exit status after SIGTERM: %d\n", status);
    return failures == 0 && status == 0 ? 0 : 1;
}
