// Detections beyond the vault and the infection log, with the real zet and orbis-scand on a private tmpfs:
// the alert command (environment only, timeout, overflow, failures), the JSON log read back by Python's
// parser and joined with zetctl's, the syslog line, the metrics file and "zetctl metrics" read by the
// Prometheus client's parser.
#include "tests/support/daemon.hpp"
#include "tests/support/programs.hpp"
#include "tests/support/scand.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <csignal>
#include <filesystem>
#include <map>

namespace {

using namespace std::chrono_literals;
using zet_test::count;
using zet_test::exists;
using zet_test::has;
using zet_test::read_file;
using zet_test::write_file;

std::vector<std::string> split(const std::string& text, const std::string& by) {
    std::vector<std::string> out;
    std::size_t from = 0;
    for (auto at = text.find(by); at != std::string::npos; at = text.find(by, from)) {
        out.push_back(text.substr(from, at - from));
        from = at + by.size();
    }
    if (from < text.size())
        out.push_back(text.substr(from));
    return out;
}

std::string hostname() {
    char name[HOST_NAME_MAX + 1] = "";
    gethostname(name, sizeof name);
    return name;
}

// An executable script.
void write_script(const std::string& path, const std::string& body) {
    write_file(path, "#!/bin/sh\n" + body);
    chmod(path.c_str(), 0755);
}

// Reads JSON lines with Python's strict parser and writes each record's fields NUL-separated (names and
// paths back to their bytes through surrogateescape), records ended by two NULs.
const char* JSON_FIELDS = R"(import json, sys
def raw(s): return s.encode('utf-8', 'surrogateescape')
out = open(sys.argv[2], 'wb')
for line in open(sys.argv[1], 'rb').read().split(b'\n')[:-1]:
    r = json.loads(line)
    out.write(b'\0'.join([raw(r['time']), raw(r['path']), b'-' if r['vault'] is None else raw(r['vault']),
                          b'\n'.join(raw(f) for f in r['findings']), str(r['vps']).encode(), raw(r['host']),
                          ','.join(r.keys()).encode()]) + b'\0\0')
)";

// Parses the exposition text with the Prometheus client library; one line per sample: name, labels,
// value and the family's type.
const char* PROMETHEUS_SAMPLES = R"(import sys
from prometheus_client.parser import text_string_to_metric_families
for f in text_string_to_metric_families(open(sys.argv[1]).read()):
    for s in f.samples:
        labels = ','.join('%s=%s' % kv for kv in sorted(s.labels.items()))
        print(s.name, labels, repr(s.value), f.type)
)";

// The fixture's tree and vault with the real orbis-scand.
class Detections : public zet_test::DaemonTest {
protected:
    void SetUp() override {
        DaemonTest::SetUp();
        if (IsSkipped())
            return;
        ASSERT_NO_FATAL_FAILURE(mount_tmpfs("size=16m,mode=0755", {vault_, out_}));
        unset("UNLIMITED_QUEUE");
        scand_ = std::make_unique<zet_test::Service>(dir_, std::vector<std::string>{}, "scan");
        ASSERT_TRUE(scand_->ready()) << scand_->log();
        set("SOCKET", scand_->socket());
    }
    void TearDown() override {
        zet_.reset();
        scand_.reset();
        zet_test::set_immutable(vault_, false);
        DaemonTest::TearDown();
    }
    // Starts zet with the documented keys and `extra` lines in the global part.
    void start(const std::string& extra) {
        global_extra_ = extra;
        start_zet({}, {}, true, zet_test::start_timeout);
        // The PID file is written right before READY=1, after the marks are set.
        ASSERT_TRUE(
            zet_test::wait_until([&] { return read_file(run_ + "/zet.pid") == std::to_string(zet_->pid()); },
                                 zet_test::start_timeout))
            << zet_->stderr_text();
    }
    // Waits until the infection log holds `lines` lines.
    bool logged(std::size_t lines) {
        return zet_test::wait_until([&] { return count(read_file(log_), "\n") >= lines; }, 60s);
    }
    std::string run(const std::vector<std::string>& argv) {
        static int runs = 0;
        zet_test::Result r = zet_test::run_to_end(argv, dir_ / ("run" + std::to_string(++runs)));
        EXPECT_EQ(r.status, 0) << r.err;
        return r.out;
    }
    std::map<std::string, std::string> metrics_file() {
        std::map<std::string, std::string> out;
        for (const std::string& line : split(read_file(run_ + "/zet.metrics"), "\n"))
            if (auto blank = line.find(' '); blank != std::string::npos)
                out[line.substr(0, blank)] = line.substr(blank + 1);
        return out;
    }

    std::string out_ = dir_ / "out", json_ = dir_ / "zet.jsonl";
    std::unique_ptr<zet_test::Service> scand_;
};

TEST_F(Detections, AlertCommandGetsTheFactsInItsEnvironmentOnly) {
    const std::string alert = dir_ / "record alert";
    write_script(
        alert, "d=" + out_ +
                   "/$$\nmkdir \"$d\"\nprintf '%s' \"$#\" >\"$d/argc\"\n"
                   "printf '%s' \"$ZET_PATH\" >\"$d/path\"\nprintf '%s' \"$ZET_VAULT\" >\"$d/vault\"\n"
                   "printf '%s' \"$ZET_FINDINGS\" >\"$d/findings\"\nprintf '%s' \"$ZET_TIME\" >\"$d/time\"\n"
                   "printf '%s' \"$ZET_HOST\" >\"$d/host\"\nprintf '%s' \"$ZET_PROCESS\" >\"$d/process\"\n"
                   "ls -l /proc/$$/fd >\"$d/fds\"\n");
    start("ALERT_COMMAND = \"" + alert + "\"\nSYSLOG_DETECTIONS = yes\n");
    // A name a shell would split, expand or end a line at.
    const std::string file = tree_ + "/a b\t$(touch pwned)\n;x.com";
    write_file(file, zet_test::eicar);
    ASSERT_TRUE(logged(2)) << zet_->stderr_text(); // the name's line feed splits its log line in two
    ASSERT_TRUE(zet_test::wait_until([&] { return zet_test::count_files(out_) == 1; }))
        << zet_->stderr_text();
    std::string d = out_ + "/" + std::filesystem::directory_iterator(out_)->path().filename().string();
    ASSERT_TRUE(zet_test::wait_until([&] { return exists(d + "/fds"); })) << zet_->stderr_text();

    EXPECT_EQ(read_file(d + "/argc"), "0");
    EXPECT_EQ(read_file(d + "/path"), file);
    const std::string vault = read_file(d + "/vault");
    EXPECT_EQ(vault.substr(0, vault.size() - 6), vault_ + "/a b\t$(touch pwned)\n;x.com.");
    EXPECT_EQ(read_file(vault), zet_test::eicar);
    EXPECT_EQ(read_file(d + "/findings"), zet_test::finding);
    EXPECT_EQ(read_file(d + "/host"), hostname());
    // The writer is this test's own process, still running.
    const std::string writer = "pid " + std::to_string(getpid()) + ", uid 0 (root), " +
                               std::filesystem::read_symlink("/proc/self/exe").string();
    EXPECT_EQ(read_file(d + "/process").substr(0, writer.size()), writer);
    const std::string log = read_file(log_);
    EXPECT_EQ(log, read_file(d + "/time") + "\t" + file + "\t" + vault + "\t" + zet_test::finding + "\n");
    EXPECT_FALSE(exists(run_ + "/pwned")) << "the command runs in RUN_DIR";
    // Nothing of the daemon's is open in the command: no fanotify descriptor, no scan-service socket.
    const std::string fds = read_file(d + "/fds");
    EXPECT_FALSE(has(fds, "fanotify")) << fds;
    EXPECT_FALSE(has(fds, "socket:")) << fds;
    EXPECT_FALSE(has(fds, log_)) << fds;

    // The syslog line, with the name's control bytes escaped so it stays one line.
    const std::string shown_name = "a b\\u0009$(touch pwned)\\u000a;x.com";
    EXPECT_TRUE(zet_->stderr_has("Infected file quarantined: " + tree_ + "/" + shown_name + " -> " + vault_ +
                                 "/" + shown_name + "." + vault.substr(vault.size() - 6) + ": " +
                                 zet_test::finding + "; written by " + writer))
        << zet_->stderr_text();
}

TEST_F(Detections, HangingCommandIsKilledAtItsTimeoutWhileScanningGoesOn) {
    const std::string alert = dir_ / "hang";
    // A child of its own, so the whole process group must go; it says so on stderr first.
    write_script(alert, "echo $$ >" + out_ + "/pgid\necho 'waiting for the mail server' >&2\nsleep 1000\n");
    start("ALERT_COMMAND = " + alert + "\nALERT_TIMEOUT = 2\n");
    write_file(tree_ + "/first.com", zet_test::eicar);
    ASSERT_TRUE(logged(1));
    ASSERT_TRUE(zet_test::wait_until([&] { return exists(out_ + "/pgid"); }));
    // While the command hangs, the next infected file is quarantined.
    write_file(tree_ + "/second.com", zet_test::eicar);
    ASSERT_TRUE(logged(2));
    EXPECT_TRUE(zet_test::wait_until([&] {
        return zet_->stderr_has("Alert command " + alert + " timed out after 2 s for " + tree_ +
                                "/first.com: killed: waiting for the mail server\n");
    })) << zet_->stderr_text();
    const pid_t group = std::stoi(read_file(out_ + "/pgid"));
    EXPECT_TRUE(zet_test::wait_until([&] { return kill(-group, 0) != 0 && errno == ESRCH; }))
        << "the command's sleep outlived the timeout";
}

TEST_F(Detections, FailuresAreLoggedWithStatusAndFirstStderrLine) {
    const struct {
        std::string body;
        std::string message; // after "Alert command <path> "; empty: nothing is logged
    } rows[] = {
        {"echo 'sendmail: no route to host' >&2\necho second line >&2\nexit 3\n",
         "failed with exit status 3 for @: sendmail: no route to host\n"},
        {"exit 1\n", "failed with exit status 1 for @\n"},
        {"printf 'tab\\there\\n' >&2\nkill -TERM $$\n", "killed by signal 15 for @: tab\\u0009here\n"},
        {"echo 'fine, just chatty' >&2\nexit 0\n", ""},
    };
    for (std::size_t i = 0; i < std::size(rows); i++)
        write_script(dir_ / ("alert" + std::to_string(i)), rows[i].body);
    // One daemon per row: each has one command.
    for (std::size_t i = 0; i < std::size(rows); i++) {
        SCOPED_TRACE(rows[i].body);
        const std::string alert = dir_ / ("alert" + std::to_string(i));
        const std::string file = tree_ + "/f" + std::to_string(i) + ".com";
        start("ALERT_COMMAND = " + alert + "\nMETRICS = yes\n");
        write_file(file, zet_test::eicar);
        ASSERT_TRUE(logged(i + 1));
        ASSERT_TRUE(zet_test::wait_until([&] { return metrics_file()["alerts_run"] == "1"; }));
        std::string expected = rows[i].message;
        if (auto at = expected.find('@'); at != std::string::npos)
            expected.replace(at, 1, file);
        if (expected.empty()) {
            EXPECT_TRUE(zet_test::wait_until([&] { return metrics_file()["alerts_failed"] == "0"; }));
            EXPECT_FALSE(zet_->stderr_has("Alert command")) << zet_->stderr_text();
        } else {
            EXPECT_TRUE(zet_test::wait_until([&] { return metrics_file()["alerts_failed"] == "1"; }));
            EXPECT_TRUE(zet_->stderr_has("Alert command " + alert + " " + expected)) << zet_->stderr_text();
        }
        zet_->signal(SIGTERM);
        EXPECT_EQ(zet_->exit_code(20s), 0);
    }
}

TEST_F(Detections, BurstWithASlowCommandDropsAlertsButNeverHoldsUpScanning) {
    const std::string alert = dir_ / "slow";
    write_script(alert, "sleep 2\n");
    start("ALERT_COMMAND = " + alert + "\nALERT_QUEUE = 5\nMETRICS = yes\n");
    constexpr int FILES = 200;
    for (int i = 0; i < FILES; i++)
        write_file(tree_ + "/burst" + std::to_string(i) + ".com", zet_test::eicar);
    ASSERT_TRUE(logged(FILES)) << zet_->stderr_text();
    EXPECT_EQ(zet_test::count_files(vault_), static_cast<std::size_t>(FILES));
    // Every alert either ran or was dropped: at most the runners' two plus the queue's five ran.
    std::map<std::string, std::string> m;
    ASSERT_TRUE(zet_test::wait_until(
        [&] {
            m = metrics_file();
            return !m["alerts_run"].empty() &&
                   std::stoi(m["alerts_run"]) + std::stoi(m["alerts_dropped"]) == FILES &&
                   m["queue_depth"] == "0";
        },
        60s))
        << read_file(run_ + "/zet.metrics");
    EXPECT_LE(std::stoi(m["alerts_run"]), 2 + 5 + 2); // the runners may free slots during the burst
    EXPECT_GE(std::stoi(m["alerts_dropped"]), FILES - 9);
    EXPECT_EQ(m["infected"], std::to_string(FILES));
    EXPECT_TRUE(
        zet_->stderr_has("Alert queue full (5 waiting): dropping alerts, first for " + tree_ + "/burst"))
        << zet_->stderr_text();
}

TEST_F(Detections, JsonLogRecordsMatchTheInfectionLogWithHostileNames) {
    start("JSON_LOG = " + json_ + "\n");
    const std::vector<std::string> names = {
        "tab\there.com",       "quote\"back\\slash.com", "bytes\xff\xc0\xed\xa0\x80.com",
        "ctl\x01\x1b\x7f.com", "ünïcødé €.com",          "fake\",\"vault\":null.com"};
    std::size_t lines = 0;
    for (const std::string& name : names) {
        write_file(tree_ + "/" + name, zet_test::eicar);
        ASSERT_TRUE(logged(++lines)) << name;
    }
    // A failed move: the vault cannot take the reserved name.
    ASSERT_TRUE(zet_test::set_immutable(vault_, true));
    write_file(tree_ + "/stuck.com", zet_test::eicar);
    ASSERT_TRUE(logged(++lines));
    zet_test::set_immutable(vault_, false);

    ASSERT_TRUE(zet_test::wait_until([&] { return count(read_file(json_), "\n") == lines; }));
    write_file(dir_ / "fields.py", JSON_FIELDS);
    run({"/usr/bin/python3", dir_ / "fields.py", json_, dir_ / "fields"});
    std::vector<std::string> records = split(read_file(dir_ / "fields"), std::string("\0\0", 2));
    ASSERT_EQ(records.size(), lines);
    const std::string log = read_file(log_);
    std::vector<std::string> all = names;
    all.push_back("stuck.com");
    // Workers append in the order they finish, so records are matched to files by path.
    std::map<std::string, std::vector<std::string>> by_path;
    for (const std::string& record : records) {
        std::vector<std::string> f = split(record, std::string("\0", 1));
        ASSERT_EQ(f.size(), 7u) << record;
        by_path[f[1]] = f;
    }
    for (std::size_t i = 0; i < lines; i++) {
        const std::string path = tree_ + "/" + all[i];
        ASSERT_EQ(by_path.count(path), 1u) << path;
        const std::vector<std::string>& f = by_path[path];
        // The infection log's line for the same file, field by field.
        auto at = log.find("\t" + path + "\t");
        ASSERT_NE(at, std::string::npos) << path;
        ASSERT_GE(at, 19u);
        EXPECT_EQ(f[0].substr(0, 19), log.substr(at - 19, 10) + "T" + log.substr(at - 8, 8)) << f[0];
        EXPECT_TRUE(zet_test::like(f[0].substr(19), "+##:##") || zet_test::like(f[0].substr(19), "-##:##"))
            << f[0];
        std::size_t vault_at = at + path.size() + 2;
        // The name's own tabs are in the vault column too; the finding ends the line.
        std::string vault =
            log.substr(vault_at, log.find("\t" + zet_test::finding + "\n", vault_at) - vault_at);
        EXPECT_EQ(f[2], vault == "ERROR" ? "-" : vault);
        EXPECT_EQ(f[3], zet_test::finding);
        EXPECT_NE(f[4], "None") << "the service knows its signature version";
        EXPECT_EQ(f[5], hostname());
        EXPECT_EQ(f[6], "time,path,vault,findings,vps,host,process");
    }
    EXPECT_EQ(by_path[tree_ + "/stuck.com"][2], "-") << "the failed move has a null vault";

    // zetctl writes each path exactly as the JSON log does, so that scripts can join the two on it.
    const std::string listed = run({zet_test::bin::zetctl, "vault", "list", "--json", "-c", conf_});
    for (const std::string& record : split(read_file(json_), "\n")) {
        const std::size_t from = record.find("\"path\":") + 7;
        std::size_t end = from + 1;
        while (end < record.size() && record[end] != '"')
            end += record[end] == '\\' ? 2 : 1;
        const std::string path = record.substr(from, end + 1 - from); // quotes included
        if (record.compare(end + 1, 13, ",\"vault\":null") != 0) {
            EXPECT_TRUE(has(listed, "\"original\":" + path)) << record << listed;
        }
    }
}

TEST_F(Detections, MetricsCountAKnownWorkloadAndZetctlExportsThem) {
    start("METRICS = yes\n");
    ASSERT_TRUE(zet_test::wait_until([&] { return metrics_file()["queued"] == "0"; })) << "written at start";
    for (int i = 0; i < 3; i++)
        write_file(tree_ + "/clean" + std::to_string(i) + ".txt", "nothing here\n");
    write_file(tree_ + "/bad1.com", zet_test::eicar);
    write_file(tree_ + "/bad2.com", zet_test::eicar);
    std::map<std::string, std::string> m;
    ASSERT_TRUE(zet_test::wait_until([&] {
        m = metrics_file();
        return m["scanned"] == "5";
    })) << read_file(run_ + "/zet.metrics");
    EXPECT_EQ(m["queued"], "5");
    EXPECT_EQ(m["infected"], "2");
    EXPECT_EQ(m["failed"], "0");
    EXPECT_EQ(m["queue_depth"], "0");
    EXPECT_EQ(m["scan_latency_ms_le_inf"], "5");
    EXPECT_EQ(m["alerts_run"], "0");
    EXPECT_FALSE(exists(run_ + "/zet.metrics.tmp"));

    const std::string text = run({zet_test::bin::zetctl, "metrics", "-c", conf_});
    write_file(dir_ / "metrics.prom", text);
    write_file(dir_ / "samples.py", PROMETHEUS_SAMPLES);
    const std::string samples = run({"/usr/bin/python3", dir_ / "samples.py", dir_ / "metrics.prom"});
    for (const char* line :
         {"zet_up  1.0 gauge\n", "zet_files_queued_total  5.0 counter\n",
          "zet_files_scanned_total  5.0 counter\n", "zet_files_infected_total  2.0 counter\n",
          "zet_scans_failed_total  0.0 counter\n", "zet_queue_depth  0.0 gauge\n",
          "zet_scan_duration_seconds_bucket le=+Inf 5.0 histogram\n",
          "zet_scan_duration_seconds_bucket le=0.001 ",
          "zet_scan_duration_seconds_bucket le=120 5.0 histogram\n",
          "zet_scan_duration_seconds_count  5.0 histogram\n", "zet_alerts_dropped_total  0.0 counter\n",
          "orbis_scand_up  1.0 gauge\n", "orbis_scand_signature_version  "})
        EXPECT_TRUE(has(samples, line)) << line << "\n" << samples << text;
    EXPECT_TRUE(has(text, "zet_scan_duration_seconds_bucket{le=\"2.5\"} ")) << text;

    // --output replaces the file for the textfile collector in one step.
    run({zet_test::bin::zetctl, "metrics", "-c", conf_, "--output", dir_ / "zet.prom"});
    EXPECT_TRUE(has(read_file(dir_ / "zet.prom"), "zet_files_infected_total 2\n"));
    EXPECT_FALSE(exists(dir_ / "zet.prom.tmp"));

    // Stopped, zet is down in the export, and the scan service is still up.
    zet_->signal(SIGTERM);
    EXPECT_EQ(zet_->exit_code(20s), 0);
    const std::string after = run({zet_test::bin::zetctl, "metrics", "-c", conf_});
    EXPECT_TRUE(has(after, "\nzet_up 0\n")) << after;
    EXPECT_TRUE(has(after, "\norbis_scand_up 1\n")) << after;
}

TEST_F(Detections, NothingNewWithoutTheSettings) {
    start("");
    write_file(tree_ + "/bad.com", zet_test::eicar);
    ASSERT_TRUE(logged(1));
    // A metrics writer would have written its file at start-up already.
    zet_->signal(SIGTERM);
    EXPECT_EQ(zet_->exit_code(20s), 0);
    EXPECT_EQ(zet_test::count_files(run_), 0u);
    EXPECT_FALSE(exists(json_));
    const std::string err = zet_->stderr_text();
    EXPECT_FALSE(has(err, "Infected file")) << err;
    EXPECT_FALSE(has(err, "Alert")) << err;
    EXPECT_FALSE(has(err, "JSON")) << err;

    const std::string text = run({zet_test::bin::zetctl, "metrics", "-c", conf_});
    EXPECT_TRUE(has(text, "\nzet_metrics_file_present 0\n")) << text;
    EXPECT_FALSE(has(text, "zet_files_")) << text;
}

} // namespace
