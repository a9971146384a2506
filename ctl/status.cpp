// status: whether zet and the scan service run, what signatures the service uses, the catch-up after
// downtime, the vault and the infections logged last.
#include "ctl/commands.hpp"
#include "ctl/text.hpp"
#include "ctl/vault.hpp"
#include "src/av.hpp"
#include "src/config.hpp"
#include "src/control.hpp"
#include "src/icap.hpp"
#include "src/kernel.hpp"
#include "src/metrics_keys.hpp"
#include "src/paths.hpp"
#include "src/probe_name.hpp"
#include "src/state_file.hpp"
#include "src/text.hpp"
#include "zelu/wire.hpp"

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>

namespace ctl {

namespace {

using Clock = std::chrono::steady_clock;

constexpr long SERVICE_WAIT_SECONDS = 5; // a probe must not hang for the daemon's 120 s
constexpr std::size_t LAST_LOG_ENTRIES = 5;
// Signatures older than this miss what spreads now: a working updater refreshes them several times a day.
constexpr std::int64_t STALE_SECONDS = 7 * 24 * 3600;
constexpr std::size_t DBINFO_ANSWER_MAX = 4096;

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

// Connects as a worker does (welcome 220) and asks for the signature version; with ICAP servers, asks each
// for its OPTIONS: the service answers when one of them does, its version is the first one's ISTag.
ServiceState service_state(const Settings& s) {
    ServiceState st;
    LogCapture capture;
    av_set_wait_limit(SERVICE_WAIT_SECONDS, 0);
    if (!s.config->icap_servers.empty()) {
        for (const icap_server& server : s.config->icap_servers) {
            ServiceState::Icap one;
            one.uri = server.uri;
            icap_options o;
            one.answers = icap_probe(server, &o, &one.detail);
            one.istag = o.istag;
            one.preview = o.preview;
            one.max_connections = o.max_connections;
            if (one.answers && !st.answers) {
                st.answers = true;
                st.vps = icap_version(o.istag);
            }
            st.icap.push_back(one);
        }
        if (!st.answers)
            st.detail = "no ICAP server answers OPTIONS";
        return st;
    }
    static constexpr char command[] = "VPS\n";
    sockaddr_un addr;
    int fd = av_address(s.socket().c_str(), &addr) == 0 ? av_connect(addr, nullptr, false) : -1;
    if (fd >= 0 && send_buffer(fd, command, sizeof command - 1) == 1 && vps_response(fd, &st.vps) == 1)
        st.answers = true;
    if (fd >= 0)
        close(fd);
    if (!st.answers) {
        std::vector<Message> messages = capture.take();
        st.detail = messages.empty() ? "no valid answer to VPS" : messages.back().text;
    }
    return st;
}

namespace {

// What orbis-scand tells about the signatures new scans use (its DBINFO command, which zet never sends).
struct Database : zelu::wire::DbInfo {
    bool known = false;
};

// Whether `answer` begins with the status code `code`.
bool begins_with_code(const std::string& answer, int code) {
    return answer.rfind(std::to_string(code), 0) == 0;
}

// The answer to DBINFO on a connection of its own, read up to its "200" line: nothing when the service
// does not answer in time or does not know the command (another scan service, an older orbis-scand).
std::optional<std::string> dbinfo_answer(const std::string& socket_path) {
    sockaddr_un addr{};
    if (socket_path.size() >= sizeof addr.sun_path)
        return std::nullopt;
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path, socket_path.data(), socket_path.size());
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return std::nullopt;
    const timeval wait{SERVICE_WAIT_SECONDS, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
    const std::string end_line_start = "\n" + std::to_string(zelu::wire::end_code);
    std::string in;
    const auto deadline = Clock::now() + std::chrono::seconds(SERVICE_WAIT_SECONDS);
    bool sent = false;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) {
        while (in.size() < DBINFO_ANSWER_MAX && Clock::now() < deadline) {
            if (!sent && in.find('\n') != std::string::npos) {
                if (!begins_with_code(in, zelu::wire::welcome_code))
                    break;
                in.clear();
                static const char command[] = "DBINFO\n";
                if (send(fd, command, sizeof command - 1, MSG_NOSIGNAL) != sizeof command - 1)
                    break;
                sent = true;
            }
            if (sent && (in.find(end_line_start) != std::string::npos ||
                         (!in.empty() && !begins_with_code(in, zelu::wire::accept_code) &&
                          in.find('\n') != std::string::npos)))
                break;
            char buf[1024];
            const ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            in.append(buf, static_cast<std::size_t>(n));
        }
    }
    close(fd);
    if (!sent || !begins_with_code(in, zelu::wire::accept_code) ||
        in.find(end_line_start) == std::string::npos)
        return std::nullopt;
    return in;
}

Database database_state(const Settings& s) {
    Database db;
    const std::optional<std::string> reply = dbinfo_answer(s.socket());
    if (!reply)
        return db;
    const std::string_view answer = *reply;
    const auto at = answer.find("\nDBINFO ");
    if (at == std::string_view::npos)
        return db;
    const auto line = answer.substr(at + 1, answer.find('\n', at + 1) - at - 1);
    if (const auto info = zelu::wire::parse_dbinfo_line(line)) {
        static_cast<zelu::wire::DbInfo&>(db) = *info;
        db.known = true;
    }
    return db;
}

// "3 hours", "9 days": the largest whole unit.
std::string age_text(std::int64_t seconds) {
    struct Unit {
        std::int64_t seconds;
        const char* name;
    };
    static const Unit units[] = {{86400, "day"}, {3600, "hour"}, {60, "minute"}, {1, "second"}};
    seconds = std::max<std::int64_t>(seconds, 0);
    for (const Unit& u : units)
        if (seconds >= u.seconds || u.seconds == 1) {
            const std::int64_t n = seconds / u.seconds;
            return std::to_string(n) + " " + u.name + (n == 1 ? "" : "s");
        }
    return "";
}

// What zet's state file tells of its catch-up after downtime.
struct CatchUp {
    // "off", "unreadable", "absent", or the phase the file names (CATCHUP_PHASE_NAMES).
    std::string state;
    std::string detail; // off: why; unreadable: the path and the error
    bool read = false;  // `file` holds the state file
    zet_state file;
    bool current_run = false; // written by the zet that runs now
};

CatchUp catchup_state(const Settings& s, const DaemonState& d) {
    CatchUp c;
    const Config& config = *s.config;
    if (!config.keeps_state_file()) {
        c.state = "off";
        c.detail = config.state_file.empty() ? "STATE_FILE is empty" : "COVERAGE = writes without STATE_FILE";
        return c;
    }
    const char* call = "open";
    switch (state_read(config.state_file.c_str(), &c.file, &call)) {
    case STATE_READ:
        c.read = true;
        c.state = CATCHUP_PHASE_NAMES[c.file.catchup];
        c.current_run = d.running && d.pid == c.file.pid;
        break;
    case STATE_ABSENT:
        c.state = "absent";
        break;
    case STATE_FAILED:
        // The daemon keeps it for root only.
        c.state = "unreadable";
        c.detail = config.state_file + ": " + strerror(errno);
        break;
    case STATE_GARBAGE:
        c.state = "unreadable";
        c.detail = config.state_file + ": not a state file of zet";
        break;
    }
    return c;
}

std::string time_shown(const timespec& t) {
    return local_time(t.tv_sec).value_or(std::to_string(t.tv_sec));
}

// The "catch-up:" line after its label.
std::string catchup_text(const CatchUp& c) {
    if (c.state == "off")
        return "off (" + c.detail + ")";
    if (c.state == "unreadable")
        return "cannot be read: " + shown(c.detail);
    if (!c.read)
        return "no state file yet (zet has not run with it)";
    std::string text;
    switch (c.file.catchup) {
    case CATCHUP_FIRST_START:
        text = "none needed: first start, there was no state file";
        break;
    case CATCHUP_SKIPPED:
        text = "none possible: the state file could not be read at start (zet's log says why)";
        break;
    case CATCHUP_WALKING:
        text = "walking the trees for files changed since " + time_shown(c.file.catchup_since);
        break;
    case CATCHUP_DONE:
        text = std::to_string(c.file.catchup_queued) + " file" + (c.file.catchup_queued == 1 ? "" : "s") +
               " queued, changed since " + time_shown(c.file.catchup_since) + "; done " +
               time_shown(c.file.catchup_finished);
        break;
    }
    if (!c.current_run)
        text += " (an earlier run, pid " + std::to_string(c.file.pid) + ")";
    return text;
}

// A log line of a `zetctl selftest` probe, which zet logs like any finding.
bool selftest_entry(const LogEntry& e) {
    std::size_t slash = e.path.rfind('/');
    return selftest_name(slash == std::string::npos ? e.path : e.path.substr(slash + 1)) &&
           selftest_finding(e.finding);
}

} // namespace

int status(const Args& args) {
    Settings s;
    if (auto rc = load_for_command(args, &s))
        return *rc;
    DaemonState d = daemon_state(s);
    ServiceState sv = service_state(s);
    Database db = sv.answers ? database_state(s) : Database{};
    const std::int64_t now = static_cast<std::int64_t>(time(nullptr));
    const std::int64_t age = db.built > 0 ? now - db.built : 0;
    const bool stale = db.known && db.built > 0 && age > STALE_SECONDS;
    std::string error;
    std::vector<VaultFile> files = list_vault(s.vault(), {}, &error);
    std::int64_t bytes = 0;
    for (const VaultFile& f : files)
        bytes += f.size;
    LogContents log = read_log(s.log_file());
    const std::size_t selftests =
        static_cast<std::size_t>(std::count_if(log.entries.begin(), log.entries.end(), selftest_entry));
    std::erase_if(log.entries, selftest_entry);
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
    // What opens of each tree are covered for, and what zet's metrics file counts of them.
    const int on_open = s.config->on_open;
    std::vector<std::string> opens_for;
    for (const std::string& t : trees) {
        char reason[256] = "";
        if (on_open == ON_OPEN_OFF)
            opens_for.push_back("off");
        else if (on_open == ON_OPEN_SCAN || onopen_probe(t.c_str(), reason, sizeof reason))
            opens_for.push_back(on_open == ON_OPEN_SCAN ? "scan" : "block");
        else
            opens_for.push_back(std::string("scan (block unavailable: ") + reason + ")");
    }
    bool metrics_found = false;
    const std::map<std::string, std::string> counts =
        on_open != ON_OPEN_OFF ? read_metrics_state(s.in_run_dir(METRICS_FILE_NAME), &metrics_found)
                               : std::map<std::string, std::string>{};
    auto count = [&counts](metrics_key key) -> std::int64_t {
        auto it = counts.find(METRIC_NAMES[key]);
        return it == counts.end() ? 0 : std::stoll(it->second);
    };
    const bool open_counts = metrics_found && counts.count(METRIC_NAMES[METRIC_OPENS]) != 0;
    // The last sweep zet finished, as it recorded it beside its metrics.
    bool sweep_found = false;
    std::map<std::string, std::string> sweep =
        read_metrics_state(s.in_run_dir(SWEEP_FILE_NAME), &sweep_found);
    sweep_found = sweep_found && sweep.count("finished") != 0;
    auto swept = [&sweep](const char* name) -> std::int64_t {
        auto it = sweep.find(name);
        return it == sweep.end() ? 0 : std::stoll(it->second);
    };
    const CatchUp catchup = catchup_state(s, d);

    if (args.json) {
        Json j;
        j.begin_object().key("zet").begin_object().key("running").value(d.running).key("pid");
        d.pid > 0 ? j.value(static_cast<std::int64_t>(d.pid)) : j.null();
        j.key("detail").value(d.detail).end_object();
        j.key("scan_service").begin_object().key("socket").value(s.socket()).key("answers").value(sv.answers);
        if (!sv.icap.empty()) {
            j.key("icap").begin_array();
            for (const auto& i : sv.icap) {
                j.begin_object().key("uri").value(i.uri).key("answers").value(i.answers).key("istag");
                i.answers ? j.value(i.istag) : j.null();
                j.key("detail").value(i.detail).end_object();
            }
            j.end_array();
        }
        j.key("vps");
        sv.answers ? j.value(static_cast<std::int64_t>(sv.vps)) : j.null();
        j.key("detail").value(sv.detail).key("database");
        if (db.known) {
            j.begin_object().key("version").value(static_cast<std::int64_t>(db.version)).key("built");
            db.built > 0 ? j.value(db.built) : j.null();
            j.key("built_from").value(db.built_from_header ? "header" : "file").key("age_seconds");
            db.built > 0 ? j.value(age) : j.null();
            j.key("stale").value(stale).key("signatures").value(db.signatures).key("loaded").value(db.loaded);
            j.key("load_ms").value(db.load_ms).end_object();
        } else {
            j.null();
        }
        j.end_object();
        j.key("monitors").begin_array();
        for (const std::string& t : trees)
            j.value(t);
        j.end_array();
        j.key("coverage")
            .begin_object()
            .key("mode")
            .value(full ? "full" : "writes")
            .key("trees")
            .begin_array();
        for (std::size_t i = 0; i < trees.size(); i++)
            j.begin_object().key("tree").value(trees[i]).key("covered_for").value(covered[i]).end_object();
        j.end_array().end_object();
        j.key("on_open").begin_object().key("mode").value(ON_OPEN_NAMES[on_open]).key("trees").begin_array();
        for (std::size_t i = 0; i < trees.size(); i++)
            j.begin_object().key("tree").value(trees[i]).key("covered_for").value(opens_for[i]).end_object();
        j.end_array().key("counts");
        if (open_counts) {
            j.begin_object();
            for (metrics_key k : OPEN_METRICS)
                j.key(METRIC_NAMES[k]).value(count(k));
            j.end_object();
        } else {
            j.null();
        }
        j.end_object();
        const bool read = catchup.read;
        // CATCHUP_WALKING and CATCHUP_DONE have walked from a time.
        const bool walked = read && catchup.file.catchup >= CATCHUP_WALKING;
        const bool done = read && catchup.file.catchup == CATCHUP_DONE;
        j.key("catch_up")
            .begin_object()
            .key("state")
            .value(catchup.state)
            .key("detail")
            .value(catchup.detail);
        j.key("state_file").value(s.config->state_file).key("current_run").value(catchup.current_run);
        j.key("handled_until");
        read ? j.value(static_cast<std::int64_t>(catchup.file.handled_until.tv_sec)) : j.null();
        j.key("since");
        walked ? j.value(static_cast<std::int64_t>(catchup.file.catchup_since.tv_sec)) : j.null();
        j.key("files_queued");
        done ? j.value(static_cast<std::int64_t>(catchup.file.catchup_queued)) : j.null();
        j.key("finished");
        done ? j.value(static_cast<std::int64_t>(catchup.file.catchup_finished.tv_sec)) : j.null();
        j.end_object();
        j.key("vault").begin_object().key("path").value(s.vault()).key("files");
        error.empty() ? j.value(static_cast<std::int64_t>(files.size())) : j.null();
        j.key("bytes").value(bytes).key("error").value(error).end_object();
        j.key("infection_log").begin_object().key("path").value(s.log_file()).key("error").value(log.error);
        j.key("selftests").value(static_cast<std::int64_t>(selftests));
        j.key("last").begin_array();
        for (std::size_t i = first; i < log.entries.size(); i++) {
            const LogEntry& e = log.entries[i];
            j.begin_object().key("time").value(e.time).key("path").value(e.path).key("vault").value(e.vault);
            j.key("finding").value(e.finding).end_object();
        }
        j.end_array().end_object();
        j.key("last_sweep");
        if (sweep_found) {
            j.begin_object();
            for (const char* name : {"started", "finished", "files", "scanned", "infected", "unscanned"})
                j.key(name).value(swept(name));
            j.key("stopped").value(swept("stopped") != 0).end_object();
        } else {
            j.null();
        }
        j.end_object();
        fputs(j.str().c_str(), stdout);
    } else {
        if (d.running)
            printf("zet:          running (pid %ld)\n", d.pid);
        else
            printf("zet:          not running: %s\n", shown(d.detail).c_str());
        if (!sv.icap.empty()) {
            for (const auto& i : sv.icap) {
                if (i.answers)
                    printf("ICAP server:  %s answers (ISTag %s, preview %ld, max. connections %u)\n",
                           shown(i.uri).c_str(), shown(i.istag).c_str(), i.preview, i.max_connections);
                else
                    printf("ICAP server:  %s does not answer: %s\n", shown(i.uri).c_str(),
                           shown(i.detail).c_str());
            }
        } else if (sv.answers)
            printf("scan service: answers at %s (VPS %u)\n", shown(s.socket()).c_str(), sv.vps);
        else
            printf("scan service: does not answer at %s: %s\n", shown(s.socket()).c_str(),
                   shown(sv.detail).c_str());
        if (db.known) {
            std::string when = db.built <= 0 ? "build time unknown"
                                             : (db.built_from_header ? "built " : "newest file ") +
                                                   local_time(db.built).value_or(std::to_string(db.built)) +
                                                   " (" + age_text(age) + " ago)";
            printf("signatures:   version %u, %lld signature%s, %s\n", db.version,
                   static_cast<long long>(db.signatures), db.signatures == 1 ? "" : "s", when.c_str());
            if (stale)
                printf("              warning: older than 7 days: are the databases updated "
                       "(clamav-freshclam)?\n");
        } else if (sv.answers && sv.icap.empty()) {
            printf("signatures:   not reported by the scan service (VPS %u)\n", sv.vps);
        }
        if (trees.empty())
            printf("monitored:    nothing (no SCAN path)\n");
        for (std::size_t i = 0; i < trees.size(); i++)
            printf("%s%s: %s\n", i == 0 ? "monitored:    " : "              ", shown(trees[i]).c_str(),
                   covered[i].c_str());
        for (std::size_t i = 0; on_open != ON_OPEN_OFF && i < trees.size(); i++)
            printf("%s%s: %s\n", i == 0 ? "opens:        " : "              ", shown(trees[i]).c_str(),
                   opens_for[i].c_str());
        if (on_open != ON_OPEN_OFF && open_counts) {
            const std::int64_t checked = count(METRIC_OPENS), hits = count(METRIC_OPEN_HITS);
            printf("              %lld checked, %lld%% known clean (%lld cached), %lld held now (oldest %lld "
                   "ms), "
                   "%lld allowed unscanned, %lld denied\n",
                   static_cast<long long>(checked),
                   static_cast<long long>(checked > 0 ? 100 * hits / checked : 0),
                   static_cast<long long>(count(METRIC_OPEN_CACHE_ENTRIES)),
                   static_cast<long long>(count(METRIC_OPENS_HELD)),
                   static_cast<long long>(count(METRIC_OLDEST_OPEN_HELD_MS)),
                   static_cast<long long>(
                       s.config->open_error == OPEN_ERROR_DENY ? 0 : count(METRIC_OPENS_UNSCANNED)),
                   static_cast<long long>(count(METRIC_OPENS_DENIED)));
        } else if (on_open != ON_OPEN_OFF) {
            printf("              counts of opens: set METRICS = yes\n");
        }
        printf("catch-up:     %s\n", catchup_text(catchup).c_str());
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
        if (log.error.empty() && selftests > 0)
            printf("self-tests:   %zu logged (zetctl selftest, not infections)\n", selftests);
        if (sweep_found)
            printf("last sweep:   %s: %lld files, %lld infected, %lld not scanned%s\n",
                   local_time(swept("finished")).value_or("?").c_str(),
                   static_cast<long long>(swept("files")), static_cast<long long>(swept("infected")),
                   static_cast<long long>(swept("unscanned")), swept("stopped") != 0 ? ", stopped" : "");
        else if (!s.config->control_socket.empty())
            printf("last sweep:   none since zet started (zetctl scan)\n");
    }
    return d.running && sv.answers ? EXIT_OK : EXIT_FAIL;
}

} // namespace ctl
