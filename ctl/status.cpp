// status and selftest: whether zet and the scan service run, and whether a written file really reaches the
// vault.
#include "ctl/commands.hpp"
#include "ctl/text.hpp"
#include "ctl/vault.hpp"
#include "src/av.hpp"
#include "src/config.hpp"
#include "src/coverage.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>

namespace ctl {

namespace {

using Clock = std::chrono::steady_clock;

constexpr long SERVICE_WAIT_SECONDS = 5; // a probe must not hang for the daemon's 120 s
constexpr long DEFAULT_SELFTEST_SECONDS = 10;
constexpr std::size_t LAST_LOG_ENTRIES = 5;
constexpr int POLL_SLICE_MS = 50;
constexpr std::size_t INOTIFY_BUF_SIZE = 4096;

} // namespace

DaemonState daemon_state(const Settings& s) {
    DaemonState d;
    std::ifstream in(s.pid_file());
    if (!in) {
        d.detail = "no PID file " + s.pid_file();
        return d;
    }
    std::string text;
    std::getline(in, text);
    char* end = nullptr;
    d.pid = strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || d.pid <= 0) {
        d.detail = "PID file " + s.pid_file() + " holds no process ID";
        return d;
    }
    if (kill(static_cast<pid_t>(d.pid), 0) != 0 && errno == ESRCH) {
        d.detail = "PID file " + s.pid_file() + " names " + std::to_string(d.pid) + ", which no longer runs";
        return d;
    }
    // A PID file left behind by a killed zet may name an unrelated process by now.
    std::string comm;
    std::ifstream c("/proc/" + std::to_string(d.pid) + "/comm");
    std::getline(c, comm);
    if (c && comm != "zet") {
        d.detail = "PID file " + s.pid_file() + " names " + std::to_string(d.pid) + ", which is " + comm +
                   ", not zet";
        return d;
    }
    d.running = true;
    return d;
}

// Connects as a worker does (welcome 220) and asks for the signature version.
ServiceState service_state(const Settings& s) {
    ServiceState st;
    LogCapture capture;
    av_set_wait_limit(SERVICE_WAIT_SECONDS, 0);
    int handle = -1;
    if (av_init(s.socket().c_str(), nullptr) == 0 && av_vps(&handle, &st.vps) == 0)
        st.answers = true;
    if (handle >= 0)
        close(handle);
    if (!st.answers) {
        std::vector<Message> messages = capture.take();
        st.detail = messages.empty() ? "no valid answer to VPS" : messages.back().text;
    }
    return st;
}

namespace {

std::string eicar() {
    // Kept reversed, so that zetctl itself never matches the test signature.
    std::string text = "*H+H$!ELIF-TSET-SURIVITNA-DRADNATS-RACIE$}7)CC7)^P(45XZP\\4[PA@%P!O5X";
    std::reverse(text.begin(), text.end());
    return text;
}

double ms_since(Clock::time_point t0, Clock::time_point t) {
    return std::chrono::duration<double, std::milli>(t - t0).count();
}

struct Probe {
    std::string tree;
    std::string file; // the test file's path
    std::string name; // its last component
    int watch = -1;
    Clock::time_point closed;
    bool gone = false;
    double latency_ms = 0;
    std::string vault; // the vault name from the log line
    bool logged = false;
    std::string error; // why it failed
};

bool exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// New complete lines of the log since `*offset`, which moves past them.
std::vector<LogEntry> new_log_entries(const std::string& path, std::int64_t* offset) {
    std::vector<LogEntry> out;
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return out;
    in.seekg(0, std::ios::end);
    std::int64_t size = in.tellg();
    if (size < *offset)
        *offset = 0; // rotated with copytruncate
    in.seekg(*offset);
    std::string line;
    while (std::getline(in, line) && !in.eof()) {
        *offset += static_cast<std::int64_t>(line.size()) + 1;
        if (auto e = parse_log_line(line))
            out.push_back(std::move(*e));
    }
    return out;
}

std::int64_t file_size(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_size : 0;
}

// Removes every vault file made from the probe: its logged vault name, and any "<name>.XXXXXX" left there.
void clean_vault(const Settings& s, const Probe& p) {
    if (!p.vault.empty() && p.vault != "ERROR")
        unlink(s.in_run_dir(p.vault).c_str());
    std::string error;
    for (const VaultFile& f : list_vault(s.vault(), {}, &error))
        if (f.name.size() == p.name.size() + 7 && f.name.rfind(p.name + ".", 0) == 0)
            remove_vault_file(s.vault(), f.name, &error);
}

} // namespace

int status(const Args& args) {
    Settings s;
    if (auto rc = load_for_command(args, &s))
        return *rc;
    DaemonState d = daemon_state(s);
    ServiceState sv = service_state(s);
    std::string error;
    std::vector<VaultFile> files = list_vault(s.vault(), {}, &error);
    std::int64_t bytes = 0;
    for (const VaultFile& f : files)
        bytes += f.size;
    LogContents log = read_log(s.log_file());
    std::size_t first = log.entries.size() > LAST_LOG_ENTRIES ? log.entries.size() - LAST_LOG_ENTRIES : 0;
    std::vector<std::string> trees = list_paths(s.config->monitors);
    // What each tree is covered for; with full coverage asked, probed on this kernel and file system.
    bool full = s.config->coverage == COVERAGE_FULL;
    std::vector<std::string> covered;
    for (const std::string& t : trees) {
        char reason[256] = "";
        if (!full)
            covered.push_back("writes");
        else if (coverage_probe(t.c_str(), reason, sizeof reason))
            covered.push_back("full");
        else
            covered.push_back(std::string("writes (full unavailable: ") + reason + ")");
    }

    if (args.json) {
        Json j;
        j.begin_object().key("zet").begin_object().key("running").value(d.running).key("pid");
        d.pid > 0 ? j.value(static_cast<std::int64_t>(d.pid)) : j.null();
        j.key("detail").value(d.detail).end_object();
        j.key("scan_service").begin_object().key("socket").value(s.socket()).key("answers").value(sv.answers);
        j.key("vps");
        sv.answers ? j.value(static_cast<std::int64_t>(sv.vps)) : j.null();
        j.key("detail").value(sv.detail).end_object();
        j.key("monitors").begin_array();
        for (const std::string& t : trees)
            j.value(t);
        j.end_array();
        j.key("coverage").begin_object().key("mode").value(full ? "full" : "writes").key("trees").begin_array();
        for (std::size_t i = 0; i < trees.size(); i++)
            j.begin_object().key("tree").value(trees[i]).key("covered_for").value(covered[i]).end_object();
        j.end_array().end_object();
        j.key("vault").begin_object().key("path").value(s.vault()).key("files");
        error.empty() ? j.value(static_cast<std::int64_t>(files.size())) : j.null();
        j.key("bytes").value(bytes).key("error").value(error).end_object();
        j.key("infection_log").begin_object().key("path").value(s.log_file()).key("error").value(log.error);
        j.key("last").begin_array();
        for (std::size_t i = first; i < log.entries.size(); i++) {
            const LogEntry& e = log.entries[i];
            j.begin_object().key("time").value(e.time).key("path").value(e.path).key("vault").value(e.vault);
            j.key("finding").value(e.finding).end_object();
        }
        j.end_array().end_object().end_object();
        fputs(j.str().c_str(), stdout);
    } else {
        if (d.running)
            printf("zet:          running (pid %ld)\n", d.pid);
        else
            printf("zet:          not running: %s\n", shown(d.detail).c_str());
        if (sv.answers)
            printf("scan service: answers at %s (VPS %u)\n", shown(s.socket()).c_str(), sv.vps);
        else
            printf("scan service: does not answer at %s: %s\n", shown(s.socket()).c_str(),
                   shown(sv.detail).c_str());
        if (trees.empty())
            printf("monitored:    nothing (no SCAN path)\n");
        for (std::size_t i = 0; i < trees.size(); i++)
            printf("%s%s: %s\n", i == 0 ? "monitored:    " : "              ", shown(trees[i]).c_str(),
                   covered[i].c_str());
        if (error.empty())
            printf("vault:        %s: %zu file%s, %lld bytes\n", shown(s.vault()).c_str(), files.size(),
                   files.size() == 1 ? "" : "s", static_cast<long long>(bytes));
        else
            printf("vault:        cannot be read: %s\n", shown(error).c_str());
        if (!log.error.empty())
            printf("infections:   cannot be read: %s\n", shown(log.error).c_str());
        else if (log.entries.empty())
            printf("infections:   none logged in %s\n", shown(s.log_file()).c_str());
        else
            printf("infections:   %zu logged in %s, the last:\n", log.entries.size(),
                   shown(s.log_file()).c_str());
        for (std::size_t i = first; i < log.entries.size(); i++) {
            const LogEntry& e = log.entries[i];
            printf("  %s  %s  %s -> %s\n", e.time.c_str(), shown(e.finding).c_str(), shown(e.path).c_str(),
                   shown(e.vault).c_str());
        }
    }
    return d.running && sv.answers ? EXIT_OK : EXIT_FAIL;
}

int selftest(const Args& args) {
    Settings s;
    if (auto rc = load_for_command(args, &s))
        return *rc;
    const long timeout = args.timeout.value_or(DEFAULT_SELFTEST_SECONDS);
    std::vector<std::string> trees = args.operands;
    if (trees.empty())
        trees = list_paths(s.config->monitors);
    if (trees.empty()) {
        fprintf(stderr, "zetctl: no monitored tree to test (no SCAN path in %s)\n",
                shown(args.config).c_str());
        return EXIT_FAIL;
    }

    std::vector<Probe> probes;
    std::mt19937_64 random(std::random_device{}());
    int inotify = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (inotify < 0) {
        fprintf(stderr, "zetctl: inotify_init1(): %s\n", strerror(errno));
        return EXIT_FAIL;
    }
    DaemonState d = daemon_state(s);
    std::int64_t log_offset = file_size(s.log_file());
    for (const std::string& tree : trees) {
        Probe p;
        p.tree = kernel_path(tree);
        char suffix[32];
        snprintf(suffix, sizeof suffix, "%d-%016llx", static_cast<int>(getpid()),
                 static_cast<unsigned long long>(random()));
        p.name = std::string(".zetctl-selftest-") + suffix + ".com";
        p.file = p.tree + "/" + p.name;
        Explanation e = explain_path(p.file, s.config->monitors, s.config->exclusions);
        struct stat st;
        if (stat(p.tree.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
            p.error = "not a directory";
        else if (!e.monitor)
            p.error = "not under a monitored path of " + args.config;
        else if (e.exclusion)
            p.error = "the scan service skips it: excluded by " + *e.exclusion;
        else if (!d.running)
            p.error = "zet is not running: " + d.detail;
        probes.push_back(std::move(p));
    }

    const std::string text = eicar();
    for (Probe& p : probes) {
        if (!p.error.empty())
            continue;
        p.watch = inotify_add_watch(inotify, p.tree.c_str(), IN_MOVED_FROM | IN_DELETE | IN_ONLYDIR);
        int fd = open(p.file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) {
            p.error = "cannot write " + p.file + ": " + strerror(errno);
            continue;
        }
        bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
        int err = errno;
        // The close is what zet sees; the latency counts from here.
        close(fd);
        p.closed = Clock::now();
        if (!written) {
            p.error = "cannot write " + p.file + ": " + strerror(err);
            unlink(p.file.c_str());
        }
    }

    const auto deadline = Clock::now() + std::chrono::seconds(timeout);
    auto pending = [&] {
        return std::any_of(probes.begin(), probes.end(),
                           [](const Probe& p) { return p.error.empty() && !p.logged; });
    };
    while (pending() && Clock::now() < deadline) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd pfd = {inotify, POLLIN, 0};
        poll(&pfd, 1, static_cast<int>(std::min<long long>(std::max<long long>(left, 0), POLL_SLICE_MS)));
        auto now = Clock::now();
        // zet moves the file before it logs: reading the log first means a logged file is seen gone below.
        for (const LogEntry& e : new_log_entries(s.log_file(), &log_offset))
            for (Probe& p : probes)
                if (!p.logged && e.path == p.file) {
                    p.logged = true;
                    p.vault = e.vault;
                }
        alignas(inotify_event) char buf[INOTIFY_BUF_SIZE];
        ssize_t n;
        while ((n = read(inotify, buf, sizeof buf)) > 0) {
            for (char* at = buf; at < buf + n;) {
                auto* ev = reinterpret_cast<inotify_event*>(at);
                for (Probe& p : probes)
                    if (!p.gone && ev->wd == p.watch && ev->len > 0 && p.name == ev->name) {
                        p.gone = true;
                        p.latency_ms = ms_since(p.closed, now);
                    }
                at += sizeof(inotify_event) + ev->len;
            }
        }
        // A missed event (queue overflow) still shows as a missing file.
        for (Probe& p : probes)
            if (p.error.empty() && !p.gone && !exists(p.file)) {
                p.gone = true;
                p.latency_ms = ms_since(p.closed, now);
            }
    }
    close(inotify);

    std::string service_problem;
    for (Probe& p : probes) {
        if (!p.error.empty())
            continue;
        if (p.logged && p.vault == "ERROR")
            p.error = "zet found it but could not move it into the vault (logged ERROR)";
        else if (p.logged && !p.gone)
            p.error = "logged, but the file is still in place";
        else if (p.gone && !p.logged)
            p.error = "quarantined, but no line reached the infection log " + s.log_file() + " within " +
                      std::to_string(timeout) + " s";
        else if (!p.gone) {
            if (service_problem.empty()) {
                ServiceState sv = service_state(s);
                service_problem =
                    sv.answers ? "-" : "the scan service at " + s.socket() + " does not answer: " + sv.detail;
            }
            p.error = "not quarantined within " + std::to_string(timeout) + " s" +
                      (service_problem != "-" ? ": " + service_problem : "");
        }
    }
    for (const Probe& p : probes) {
        if (!p.gone && p.watch >= 0)
            unlink(p.file.c_str());
        if (p.watch >= 0)
            clean_vault(s, p);
    }

    bool passed = std::all_of(probes.begin(), probes.end(), [](const Probe& p) { return p.error.empty(); });
    if (args.json) {
        Json j;
        j.begin_object().key("passed").value(passed).key("timeout").value(static_cast<std::int64_t>(timeout));
        j.key("trees").begin_array();
        for (const Probe& p : probes) {
            j.begin_object().key("tree").value(p.tree).key("passed").value(p.error.empty()).key("latency_us");
            p.gone ? j.value(static_cast<std::int64_t>(p.latency_ms * 1000 + 0.5)) : j.null();
            j.key("error");
            p.error.empty() ? j.null() : j.value(p.error);
            j.end_object();
        }
        j.end_array().end_object();
        fputs(j.str().c_str(), stdout);
    } else {
        for (const Probe& p : probes) {
            if (p.error.empty())
                printf("PASS %s: quarantined %.1f ms after close\n", shown(p.tree).c_str(), p.latency_ms);
            else
                printf("FAIL %s: %s\n", shown(p.tree).c_str(), shown(p.error).c_str());
        }
    }
    return passed ? EXIT_OK : EXIT_FAIL;
}

} // namespace ctl
