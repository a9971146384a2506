// selftest: whether a file written into each monitored tree really reaches the vault, and how fast.
#include "ctl/commands.hpp"
#include "ctl/text.hpp"
#include "ctl/vault.hpp"
#include "src/config.hpp"
#include "src/paths.hpp"
#include "src/probe_name.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <random>

namespace ctl {

namespace {

using Clock = std::chrono::steady_clock;

constexpr long DEFAULT_SELFTEST_SECONDS = 10;
constexpr int POLL_SLICE_MS = 50;
constexpr std::size_t INOTIFY_BUF_SIZE = 4096;

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
    std::optional<std::string> vault; // the vault column of its log line, once zet has logged it
    std::optional<std::string> error; // why it failed
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
    if (p.vault && !p.vault->empty() && *p.vault != "ERROR")
        unlink(s.in_run_dir(*p.vault).c_str());
    std::string error;
    for (const VaultFile& f : list_vault(s.vault(), {}, &error))
        if (f.name.size() == p.name.size() + VAULT_SUFFIX_SIZE && f.name.rfind(p.name + ".", 0) == 0)
            remove_vault_file(s.vault(), f.name, &error);
}

// The trees named on the command line, else every monitored tree.
std::vector<std::string> trees_to_test(const Settings& s, const Args& args) {
    std::vector<std::string> trees = args.operands;
    if (trees.empty()) {
        // Each mount below a tree is watched with a mark of its own, so it is tested on its own too.
        trees = list_paths(s.config->monitors);
        for (const std::string& m : mounts_below(s.config->monitors))
            trees.push_back(m);
    }
    return trees;
}

// One probe a tree under a name no other run uses; a tree that cannot pass fails before anything is written.
std::vector<Probe> plan_probes(const Settings& s, const Args& args, const std::vector<std::string>& trees,
                               const DaemonState& d) {
    std::vector<Probe> probes;
    std::mt19937_64 random(std::random_device{}());
    for (const std::string& tree : trees) {
        Probe p;
        p.tree = kernel_path(tree);
        char suffix[32];
        snprintf(suffix, sizeof suffix, "%d-%016llx", static_cast<int>(getpid()),
                 static_cast<unsigned long long>(random()));
        p.name = std::string(SELFTEST_PREFIX) + suffix + std::string(SELFTEST_SUFFIX);
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
    return probes;
}

// Writes the test file into each tree, watched for its removal; the close is what zet sees.
void write_probes(std::vector<Probe>& probes, int inotify) {
    const std::string text = eicar();
    for (Probe& p : probes) {
        if (p.error)
            continue;
        p.watch = inotify_add_watch(inotify, p.tree.c_str(), IN_MOVED_FROM | IN_DELETE | IN_ONLYDIR);
        int fd = open(p.file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) {
            p.error = "cannot write " + p.file + ": " + strerror(errno);
            continue;
        }
        bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
        int err = errno;
        // The latency counts from here.
        close(fd);
        p.closed = Clock::now();
        if (!written) {
            p.error = "cannot write " + p.file + ": " + strerror(err);
            unlink(p.file.c_str());
        }
    }
}

void note_logged(std::vector<Probe>& probes, const std::vector<LogEntry>& entries) {
    for (const LogEntry& e : entries)
        for (Probe& p : probes)
            if (!p.vault && e.path == p.file)
                p.vault = e.vault;
}

void note_gone(Probe& p, Clock::time_point now) {
    p.gone = true;
    p.latency_ms = ms_since(p.closed, now);
}

// Takes the removals the watches report.
void note_removed(std::vector<Probe>& probes, int inotify, Clock::time_point now) {
    alignas(inotify_event) char buf[INOTIFY_BUF_SIZE];
    ssize_t n;
    while ((n = read(inotify, buf, sizeof buf)) > 0) {
        for (char* at = buf; at < buf + n;) {
            auto* ev = reinterpret_cast<inotify_event*>(at);
            for (Probe& p : probes)
                if (!p.gone && ev->wd == p.watch && ev->len > 0 && p.name == ev->name)
                    note_gone(p, now);
            at += sizeof(inotify_event) + ev->len;
        }
    }
}

// Follows the log and the watches until zet has logged every probe or `timeout` seconds have passed.
void await_quarantine(std::vector<Probe>& probes, int inotify, const std::string& log_file,
                      std::int64_t log_offset, long timeout) {
    const auto deadline = Clock::now() + std::chrono::seconds(timeout);
    auto pending = [&] {
        return std::any_of(probes.begin(), probes.end(), [](const Probe& p) { return !p.error && !p.vault; });
    };
    while (pending() && Clock::now() < deadline) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd pfd = {inotify, POLLIN, 0};
        poll(&pfd, 1, static_cast<int>(std::min<long long>(std::max<long long>(left, 0), POLL_SLICE_MS)));
        auto now = Clock::now();
        // zet moves the file before it logs: reading the log first means a logged file is seen gone below.
        note_logged(probes, new_log_entries(log_file, &log_offset));
        note_removed(probes, inotify, now);
        // A missed event (queue overflow) still shows as a missing file.
        for (Probe& p : probes)
            if (!p.error && !p.gone && !exists(p.file))
                note_gone(p, now);
    }
}

// Names what went wrong with each probe still without an error.
void judge_probes(std::vector<Probe>& probes, const Settings& s, long timeout) {
    // Asked once, for the first probe that zet did not quarantine.
    std::optional<ServiceState> service;
    for (Probe& p : probes) {
        if (p.error)
            continue;
        if (p.vault && *p.vault == "ERROR")
            p.error = "zet found it but could not move it into the vault (logged ERROR)";
        else if (p.vault && !p.gone)
            p.error = "logged, but the file is still in place";
        else if (p.gone && !p.vault)
            p.error = "quarantined, but no line reached the infection log " + s.log_file() + " within " +
                      std::to_string(timeout) + " s";
        else if (!p.gone) {
            if (!service)
                service = service_state(s);
            p.error = "not quarantined within " + std::to_string(timeout) + " s" +
                      (service->answers ? ""
                       : service->icap.empty()
                           ? ": the scan service at " + s.socket() + " does not answer: " + service->detail
                           : ": " + service->detail);
        }
    }
}

// Removes the test files zet left in place and whatever of them reached the vault.
void remove_probes(const Settings& s, const std::vector<Probe>& probes) {
    for (const Probe& p : probes) {
        if (!p.gone && p.watch >= 0)
            unlink(p.file.c_str());
        if (p.watch >= 0)
            clean_vault(s, p);
    }
}

void print_json(const std::vector<Probe>& probes, bool passed, long timeout) {
    Json j;
    j.begin_object().key("passed").value(passed).key("timeout").value(static_cast<std::int64_t>(timeout));
    j.key("trees").begin_array();
    for (const Probe& p : probes) {
        j.begin_object().key("tree").value(p.tree).key("passed").value(!p.error).key("latency_us");
        p.gone ? j.value(static_cast<std::int64_t>(p.latency_ms * 1000 + 0.5)) : j.null();
        j.key("error");
        p.error ? j.value(*p.error) : j.null();
        j.end_object();
    }
    j.end_array().end_object();
    fputs(j.str().c_str(), stdout);
}

void print_text(const std::vector<Probe>& probes) {
    for (const Probe& p : probes) {
        if (!p.error)
            printf("PASS %s: quarantined %.1f ms after close\n", shown(p.tree).c_str(), p.latency_ms);
        else
            printf("FAIL %s: %s\n", shown(p.tree).c_str(), shown(*p.error).c_str());
    }
}

} // namespace

int selftest(const Args& args) {
    Settings s;
    if (auto rc = load_for_command(args, &s))
        return *rc;
    const long timeout = args.timeout.value_or(DEFAULT_SELFTEST_SECONDS);
    const std::vector<std::string> trees = trees_to_test(s, args);
    if (trees.empty()) {
        fprintf(stderr, "zetctl: no monitored tree to test (no SCAN path in %s)\n",
                shown(args.config).c_str());
        return EXIT_FAIL;
    }
    int inotify = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (inotify < 0) {
        fprintf(stderr, "zetctl: inotify_init1(): %s\n", strerror(errno));
        return EXIT_FAIL;
    }
    const DaemonState d = daemon_state(s);
    const std::int64_t log_offset = file_size(s.log_file());
    std::vector<Probe> probes = plan_probes(s, args, trees, d);
    write_probes(probes, inotify);
    await_quarantine(probes, inotify, s.log_file(), log_offset, timeout);
    close(inotify);
    judge_probes(probes, s, timeout);
    remove_probes(s, probes);

    const bool passed =
        std::none_of(probes.begin(), probes.end(), [](const Probe& p) { return p.error.has_value(); });
    if (args.json)
        print_json(probes, passed, timeout);
    else
        print_text(probes);
    return passed ? EXIT_OK : EXIT_FAIL;
}

} // namespace ctl
