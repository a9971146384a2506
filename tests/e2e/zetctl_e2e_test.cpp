// The real zetctl binary on real files: its configuration check, explanations, the vault commands, and
// status against a scan service that is down or the real orbis-scand.
#include "tests/support/files.hpp"
#include "tests/support/programs.hpp"
#include "tests/support/scand.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>

namespace {

using zet_test::count;
using zet_test::has;

using namespace std::chrono_literals;
using zet_test::exists;
using zet_test::Result;
using zet_test::strerror_text;
using zet_test::TempDir;

// Runs zetctl to its end; `dir` takes its output files.
Result zetctl(const TempDir& dir, const std::vector<std::string>& args) {
    static int runs = 0;
    std::vector<std::string> argv = {zet_test::bin::zetctl};
    argv.insert(argv.end(), args.begin(), args.end());
    return zet_test::run_to_end(argv, dir / ("zetctl" + std::to_string(++runs)));
}

std::string log_time(std::time_t t) {
    struct tm tm;
    char buf[32];
    localtime_r(&t, &tm);
    strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
    return buf;
}

// A configuration of the test's own, with its tree, vault, log and run directory in a temporary directory.
class Ctl : public ::testing::Test {
protected:
    void SetUp() override {
        for (const auto& d : {tree_, run_, vault_})
            std::filesystem::create_directories(d);
        write_config();
    }
    void write_config(const std::string& extra_monitors = "") {
        zet_test::write_file(conf_, "RUN_DIR = " + run_ + "\nSOCKET = " + socket_ + "\nLOG_FILE = " + log_ +
                                        "\nVAULT = " + vault_ + "\n[MONITORS]\nSCAN = " + tree_ + "\n" +
                                        extra_monitors);
    }
    Result ctl(std::vector<std::string> args) {
        args.insert(args.begin() + (args[0] == "vault" ? 2 : 1), {"-c", conf_});
        return zetctl(dir_, args);
    }

    TempDir dir_;
    std::string tree_ = dir_ / "data", run_ = dir_ / "run", vault_ = dir_ / "vault";
    std::string socket_ = dir_ / "scan.sock", log_ = dir_ / "infections.log", conf_ = dir_ / "zet.conf";
};

TEST_F(Ctl, CheckConfigReportsEveryErrorInOnePassAndRefusesWith13) {
    zet_test::write_file(conf_, "SCANNERS = many\nUNLIMITED_QUEUE = maybe\n[MONITORS]\nSCAN = " + tree_ +
                                    "\nEXCL =\n");
    Result r = ctl({"check-config"});
    EXPECT_EQ(r.status, 13) << r.out << r.err;
    EXPECT_EQ(count(r.out, "\nerror: "), 3u) << r.out;
    EXPECT_TRUE(has(r.out, "error: " + conf_ + ": invalid scanner count")) << r.out;
    EXPECT_TRUE(has(r.out, "error: " + conf_ + ": invalid bool value: [] UNLIMITED_QUEUE = maybe")) << r.out;
    EXPECT_TRUE(has(r.out, "error: " + conf_ + ": [MONITORS] EXCL with an empty path")) << r.out;
    EXPECT_TRUE(has(r.out, "3 errors, 0 warnings: zet refuses this configuration (exit status 13)\n"))
        << r.out;
}

TEST_F(Ctl, CheckConfigShowsSettingsInTheOrderZetUsesThem) {
    std::filesystem::create_directories(tree_ + "/tmp");
    std::filesystem::create_directories(dir_ / "home");
    write_config("SCAN = " + dir_ / "home" + "\nEXCL = " + tree_ + "/tmp\nEXCL = " + tree_ +
                 "/x.iso\nSPEED = 9\n");
    std::filesystem::remove(vault_);
    Result r = ctl({"check-config"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(has(r.out, "warning: config: " + tree_ + "/x.iso: " + strerror_text(ENOENT) + "\n")) << r.out;
    EXPECT_TRUE(has(r.out, "warning: MONITORS: SPEED: unknown/obsolete configuration option\n")) << r.out;
    EXPECT_TRUE(has(r.out, "warning: vault " + vault_ + " does not exist: zet creates it")) << r.out;
    EXPECT_TRUE(has(r.out, "  SCAN = " + dir_ / "home" + "\n  SCAN = " + tree_ + "\n")) << r.out;
    EXPECT_TRUE(
        has(r.out, "  EXCL = " + tree_ + "/x.iso\n  EXCL = " + tree_ + "/tmp (everything below it)\n"))
        << r.out;
    EXPECT_TRUE(has(r.out, "0 errors, 3 warnings: zet starts with this configuration\n")) << r.out;
    EXPECT_FALSE(exists(vault_)) << "the check must not leave a vault behind";
}

// What zet will use, not what was written: one worker at least stays for large files, and whether the
// state file is kept follows COVERAGE, which may come after the key.
TEST_F(Ctl, CheckConfigShowsTheLargeFileLaneAndTheStateFile) {
    const struct {
        std::string settings, shown;
    } cases[] = {
        {"", "  LARGE_FILE_SIZE = 0 (one queue for all files)\n  ALERT_COMMAND"},
        {"LARGE_FILE_SIZE = 10M\n", "  LARGE_FILE_SIZE = 10485760 bytes\n  SMALL_FILE_SCANNERS = 1\n"},
        {"LARGE_FILE_SIZE = 1k\nSCANNERS = 3\nSMALL_FILE_SCANNERS = 8\n",
         "  LARGE_FILE_SIZE = 1024 bytes\n  SMALL_FILE_SCANNERS = 2\n"},
        {"LARGE_FILE_SIZE = 1G\nSCANNERS = 1\n",
         "  LARGE_FILE_SIZE = 1073741824 bytes\n  SMALL_FILE_SCANNERS = 0\n"},
        {"", "  STATE_FILE = (none with COVERAGE = writes unless set)\n"},
        {"COVERAGE = full\n", "  STATE_FILE = /var/lib/orbis/zet.state\n"},
        {"STATE_FILE = /srv/zet.state\n", "  STATE_FILE = /srv/zet.state\n"},
        {"STATE_FILE =\nCOVERAGE = full\n", "  STATE_FILE = (none)\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.settings);
        zet_test::write_file(conf_, "RUN_DIR = " + run_ + "\nVAULT = " + vault_ + "\n" + c.settings);
        Result r = ctl({"check-config"});
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_TRUE(has(r.out, c.shown)) << r.out;
    }
}

TEST_F(Ctl, CheckConfigShowsDetectionSettingsAndChecksTheAlertCommand) {
    Result r = ctl({"check-config"});
    EXPECT_TRUE(has(r.out,
                    "  ALERT_COMMAND = (none)\n  ALERT_TIMEOUT = 60\n  ALERT_QUEUE = 100\n"
                    "  JSON_LOG = (none)\n  SYSLOG_DETECTIONS = no\n  METRICS = no\n  VAULT_RECORDS = no\n"))
        << r.out;

    const std::string alert = dir_ / "alert";
    const struct {
        std::string name;
        std::function<void()> prepare;
        std::string warning; // empty: none
    } cases[] = {
        {"executable",
         [&] {
             zet_test::write_file(alert, "#!/bin/sh\n");
             chmod(alert.c_str(), 0755);
         },
         ""},
        {"not executable", [&] { chmod(alert.c_str(), 0644); },
         "warning: alert command " + alert + ": " + strerror_text(EACCES) +
             " (zet logs every alert as failed)\n"},
        {"missing", [&] { std::filesystem::remove(alert); },
         "warning: alert command " + alert + ": " + strerror_text(ENOENT) +
             " (zet logs every alert as failed)\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        c.prepare();
        zet_test::write_file(
            conf_, "RUN_DIR = " + run_ + "\nVAULT = " + vault_ + "\nALERT_COMMAND = " + alert +
                       "\nALERT_TIMEOUT = 5\nALERT_QUEUE = 7\nJSON_LOG = " + dir_ / "nodir/z.jsonl" +
                       "\nSYSLOG_DETECTIONS = yes\nMETRICS = yes\n");
        r = ctl({"check-config"});
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_TRUE(has(
            r.out, "  ALERT_COMMAND = " + alert +
                       "\n  ALERT_TIMEOUT = 5\n  ALERT_QUEUE = 7\n  JSON_LOG = " + dir_ / "nodir/z.jsonl" +
                       "\n  SYSLOG_DETECTIONS = yes\n  METRICS = yes (" + run_ + "/zet.metrics)\n"))
            << r.out;
        EXPECT_TRUE(has(r.out, "warning: JSON log " + dir_ / "nodir/z.jsonl" + ": its directory is missing"))
            << r.out;
        if (c.warning.empty())
            EXPECT_FALSE(has(r.out, "warning: alert command")) << r.out;
        else
            EXPECT_TRUE(has(r.out, c.warning)) << r.out;
    }
}

TEST_F(Ctl, CheckConfigForeseesStartUpFailuresAfterTheReader) {
    const struct {
        std::string name, config, error;
        int status;
    } cases[] = {
        {"missing run directory", "RUN_DIR = " + dir_ / "norun" + "\nVAULT = " + vault_ + "\n",
         "error: run directory " + dir_ / "norun" + ": " + strerror_text(ENOENT) +
             " (zet does not create it)\n",
         1},
        {"socket path too long",
         "RUN_DIR = " + run_ + "\nVAULT = " + vault_ + "\nSOCKET = /" + std::string(120, 's') + "\n",
         "error: Invalid socket path: /" + std::string(120, 's') + "\n", 1},
        {"monitored tree missing",
         "RUN_DIR = " + run_ + "\nVAULT = " + vault_ + "\n[MONITORS]\nSCAN = " + dir_ / "later" + "\n",
         "error: monitored path " + dir_ / "later" + ": " + strerror_text(ENOENT) +
             " (zet cannot mark its mount)\n",
         1},
        {"vault's parent missing", "RUN_DIR = " + run_ + "\nVAULT = " + dir_ / "a/b" + "\n",
         "error: mkdir(): " + dir_ / "a/b" + ": " + strerror_text(ENOENT) + "\n", 13},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        zet_test::write_file(conf_, c.config);
        Result r = ctl({"check-config"});
        EXPECT_EQ(r.status, c.status) << r.out;
        EXPECT_TRUE(has(r.out, c.error)) << r.out;
    }
    Result r = ctl({"check-config", "-c", dir_ / "absent.conf"});
    EXPECT_TRUE(has(r.out, "warning: realpath(): " + dir_ / "absent.conf" + ": " + strerror_text(ENOENT) +
                               "\n" + "warning: Configuration file not available. Using default settings.\n"))
        << r.out;
}

TEST_F(Ctl, ExplainNamesTheTreeAndTheExclusion) {
    std::filesystem::create_directories(tree_ + "/cache");
    std::filesystem::create_directories(dir_ / "data2");
    write_config("EXCL = " + tree_ + "/cache\n");
    Result r = ctl({"explain", tree_ + "/cache/x", dir_ / "data2/y", dir_ / "elsewhere"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(
        r.out,
        tree_ + "/cache/x\n  queued: yes, under the monitored path " + tree_ +
            "\n  scanned: no, the scan service skips it: excluded by " + tree_ +
            "/cache (everything below it)\n" + dir_ / "data2/y" +
            "\n  queued: yes, under the monitored path " + tree_ +
            " (a text prefix only: not a directory above it)\n  scanned: yes, no exclusion covers it\n" +
            dir_ / "elsewhere" +
            "\n  queued: no, under no monitored path\n  scanned: no exclusion covers it\n");
    r = ctl({"explain", "--json", tree_ + "/f"});
    EXPECT_EQ(r.out, "[{\"path\":\"" + tree_ + "/f\",\"canonical\":\"" + tree_ +
                         "/f\",\"queued\":true,\"monitor\":\"" + tree_ +
                         "\",\"prefix_only\":false,\"skipped\":false,\"exclusion\":null,\"rule\":null}]\n");
    zet_test::write_file(conf_, "[MONITORS\n");
    r = ctl({"explain", tree_ + "/f"});
    EXPECT_EQ(r.status, 13);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(has(r.err, "zet refuses this configuration (zetctl check-config shows why)\n")) << r.err;
}

class CtlVault : public Ctl {
protected:
    // A vault file and its log lines as zet writes them, `age_days` ago.
    std::string quarantine(const std::string& original, const std::string& content, int age_days,
                           const std::vector<std::string>& findings = {"Eicar-Test-Signature"}) {
        static int n = 0;
        std::string base = original.substr(original.rfind('/') + 1);
        std::string name = base + ".Qx" + std::to_string(1000 + ++n);
        zet_test::write_file(vault_ + "/" + name, content);
        std::ofstream log(log_, std::ios::app | std::ios::binary);
        for (const auto& f : findings)
            log << log_time(std::time(nullptr) - age_days * 86400) << "\t" << original << "\t" << vault_
                << "/" << name << "\t" << f << "\n";
        return name;
    }
};

TEST_F(CtlVault, ListAndShowJoinTheLogEvenWithTabsInPaths) {
    std::string tabbed = quarantine(tree_ + "/q1\treport.doc", "abc", 2, {"One", "Two"});
    std::string plain = quarantine(tree_ + "/b.exe", "", 1);
    Result r = ctl({"vault", "list"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(has(r.out, "q1\\treport.doc.Qx1001\n  from:     " + tree_ + "/q1\\treport.doc\n")) << r.out;
    EXPECT_TRUE(has(r.out, "  findings: One, Two\n  size:     3 bytes\n")) << r.out;
    EXPECT_LT(r.out.find(tabbed.substr(3)), r.out.find(plain)) << "oldest first";
    EXPECT_TRUE(has(r.out, "2 files in " + vault_ + "\n"));

    r = ctl({"vault", "list", "--json"});
    EXPECT_TRUE(has(r.out, "{\"name\":\"q1\\u0009report.doc.Qx1001\",\"original\":\"" + tree_ +
                               "/q1\\u0009report.doc\",\"time\":\""))
        << r.out;
    EXPECT_TRUE(has(r.out, "\"findings\":[\"One\",\"Two\"],\"size\":3}")) << r.out;

    r = ctl({"vault", "show", tabbed});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(has(r.out, "sha256:   ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad\n"))
        << r.out;
    r = ctl({"vault", "show", "nothing.Qx0000"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "zetctl: no file 'nothing.Qx0000' in the vault " + vault_ + "\n");
}

TEST_F(CtlVault, RestorePutsTheFileBackButNeverOverOrThroughAnything) {
    std::filesystem::create_directories(tree_ + "/docs");
    std::string name = quarantine(tree_ + "/docs/fp.doc", "false positive", 0);

    zet_test::write_file(tree_ + "/docs/fp.doc", "newer work");
    Result r = ctl({"vault", "restore", name});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "zetctl: " + tree_ + "/docs/fp.doc exists; not overwriting it\n");
    EXPECT_EQ(zet_test::read_file(tree_ + "/docs/fp.doc"), "newer work");
    EXPECT_EQ(zet_test::read_file(vault_ + "/" + name), "false positive");

    std::filesystem::remove(tree_ + "/docs/fp.doc");
    std::filesystem::create_directories(dir_ / "victim");
    symlink((dir_ / "victim").c_str(), (tree_ + "/evil").c_str());
    r = ctl({"vault", "restore", name, "--to", tree_ + "/evil/fp.doc"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "zetctl: refusing to restore through the symbolic link " + tree_ + "/evil\n");
    EXPECT_FALSE(exists(dir_ / "victim/fp.doc"));

    r = ctl({"vault", "restore", name});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "restored " + name + " to " + tree_ + "/docs/fp.doc (renamed)\nnote: " + tree_ +
                         "/docs/fp.doc lies under the monitored path " + tree_ +
                         "; zet scans it again when it is next written\n");
    EXPECT_EQ(zet_test::read_file(tree_ + "/docs/fp.doc"), "false positive");
    EXPECT_FALSE(exists(vault_ + "/" + name));

    // A user's setuid file keeps its bits through a rename into the vault; root's copy of it must not.
    std::string tool = quarantine(tree_ + "/tool", "#!/bin/sh\n", 0);
    ASSERT_EQ(chmod((vault_ + "/" + tool).c_str(), 06755), 0);
    TempDir shm("/dev/shm");
    r = ctl({"vault", "restore", tool, "--to", shm / "tool"});
    EXPECT_EQ(r.status, 0) << r.err;
    struct stat st;
    ASSERT_EQ(lstat((shm / "tool").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);

    zet_test::write_file(vault_ + "/unlogged.Qx9999", "?");
    r = ctl({"vault", "restore", "unlogged.Qx9999"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "zetctl: no infection-log line names the origin of unlogged.Qx9999; give --to PATH\n");
}

TEST_F(CtlVault, PurgeListsFirstAndDeletesOnlyOldFiles) {
    std::string old_one = quarantine(tree_ + "/old.exe", "x", 40);
    std::string new_one = quarantine(tree_ + "/new.exe", "y", 1);
    Result r = ctl({"vault", "purge", "--older-than", "30", "--dry-run"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(has(r.out, "would delete " + old_one + " (")) << r.out;
    EXPECT_FALSE(has(r.out, new_one)) << r.out;
    EXPECT_TRUE(exists(vault_ + "/" + old_one));
    r = ctl({"vault", "purge", "--older-than", "30"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(has(r.out, "deleted " + old_one + " (")) << r.out;
    EXPECT_TRUE(has(r.out, "1 file deleted\n")) << r.out;
    EXPECT_FALSE(exists(vault_ + "/" + old_one));
    EXPECT_TRUE(exists(vault_ + "/" + new_one));
}

TEST_F(Ctl, StatusTellsWhatIsDownAndWhatAnswers) {
    Result r = ctl({"status"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r.out, "zet:          not running: no PID file " + run_ + "/zet.pid\n")) << r.out;
    EXPECT_TRUE(has(r.out, "scan service: does not answer at " + socket_ +
                               ": Error connecting to scan socket: " + socket_ + ": " +
                               strerror_text(ENOENT) + "\n"))
        << r.out;
    EXPECT_TRUE(has(r.out, "monitored:    " + tree_ + ": writes\n")) << r.out;
    EXPECT_TRUE(has(r.out, "vault:        " + vault_ + ": 0 files, 0 bytes\n")) << r.out;

    // A PID file naming a live process that is not zet (this test).
    zet_test::write_file(run_ + "/zet.pid", std::to_string(getpid()));
    zet_test::Service scand(dir_, {}, "scan");
    ASSERT_TRUE(scand.ready()) << scand.log();
    socket_ = scand.socket();
    write_config();
    zet_test::write_file(vault_ + "/a.Qx1234", "12345");
    r = ctl({"status", "--json"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r.out, "\"zet\":{\"running\":false,\"pid\":" + std::to_string(getpid()))) << r.out;
    EXPECT_TRUE(has(r.out, "\"answers\":true,\"vps\":")) << r.out;
    EXPECT_TRUE(has(r.out, "\"vault\":{\"path\":\"" + vault_ + "\",\"files\":1,\"bytes\":5,")) << r.out;
    EXPECT_EQ(scand.stop(), 0);
}

// What the state file tells of the catch-up after downtime, whoever wrote it; without a running zet every
// record is of an earlier run.
TEST_F(Ctl, StatusTellsTheCatchUpAfterDowntimeFromTheStateFile) {
    const std::string state = dir_ / "zet.state", since = log_time(1733660000), done = log_time(1733670002);
    const struct {
        std::string name, settings;
        std::function<void()> prepare;
        std::string line, json;
    } cases[] = {
        {"writes without the key", "", [] {}, "off (COVERAGE = writes without STATE_FILE)",
         "\"state\":\"off\",\"detail\":\"COVERAGE = writes without STATE_FILE\""},
        {"first start", "STATE_FILE = " + state,
         [&] {
             std::filesystem::remove(state);
             zet_test::write_file(state,
                                  "handled_until 1733670000.000000000\npid 999999999\ncatchup first-start\n");
         },
         "none needed: first start, there was no state file (an earlier run, pid 999999999)",
         "\"state\":\"first-start\",\"detail\":\"\",\"state_file\":\"" + state +
             "\",\"current_run\":false,\"handled_until\":1733670000,\"since\":null,\"files_queued\":null,"
             "\"finished\":null"},
        {"done", "STATE_FILE = " + state,
         [&] {
             zet_test::write_file(state, "handled_until 1733670000.000000000\npid 1\ncatchup done\n"
                                         "catchup_since 1733660000.000000000\ncatchup_queued 1\n"
                                         "catchup_finished 1733670002.500000000\nlater_field x\n");
         },
         "1 file queued, changed since " + since + "; done " + done + " (an earlier run, pid 1)",
         "\"state\":\"done\",\"detail\":\"\",\"state_file\":\"" + state +
             "\",\"current_run\":false,\"handled_until\":1733670000,\"since\":1733660000,\"files_queued\":1,"
             "\"finished\":1733670002}"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        c.prepare();
        zet_test::write_file(conf_, "RUN_DIR = " + run_ + "\nVAULT = " + vault_ + "\n" + c.settings);
        Result r = ctl({"status"});
        EXPECT_TRUE(has(r.out, "\ncatch-up:     " + c.line + "\nvault:")) << r.out;
        r = ctl({"status", "--json"});
        EXPECT_TRUE(has(r.out, "\"catch_up\":{" + c.json)) << r.out;
    }
}

TEST_F(CtlVault, StatusCountsSelftestProbesApartFromInfections) {
    const std::string probe = "/.zetctl-selftest-4242-0123456789abcdef.com";
    quarantine(tree_ + probe, "x", 0, {"Orbis.Test.EICAR"});
    quarantine(tree_ + probe, "x", 0, {"Win.Test.EICAR_HDB-1"});
    // A real sample renamed like a probe, and a near-miss name, are infections.
    quarantine(tree_ + probe, "x", 0, {"Win.Trojan.Agent-1"});
    quarantine(tree_ + "/.zetctl-selftest-4242-0123456789abcde.com", "x", 0);
    Result r = ctl({"status"});
    EXPECT_TRUE(has(r.out, "infections:   2 logged in " + log_ + ", the last:\n")) << r.out;
    EXPECT_TRUE(has(r.out, "self-tests:   2 logged (zetctl selftest, not infections)\n")) << r.out;
    EXPECT_FALSE(has(r.out, "Orbis.Test.EICAR") || has(r.out, "Win.Test.EICAR_HDB-1")) << r.out;
    r = ctl({"status", "--json"});
    EXPECT_TRUE(has(r.out, "\"selftests\":2,\"last\":[{")) << r.out;
}

TEST(CtlVersion, SameAsTheDaemonsAndOnlyAlone) {
    TempDir dir;
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string out;
    };
    const Case cases[] = {
        {{"--version"}, 0, "zetctl 4.7.0\n"},
        {{"-V"}, 0, "zetctl 4.7.0\n"},
        {{"--version", "status"}, 2, ""},
        {{"status", "--version"}, 2, ""},
    };
    for (const Case& c : cases) {
        Result r = zetctl(dir, c.args);
        EXPECT_EQ(r.status, c.status) << testing::PrintToString(c.args) << r.err;
        EXPECT_EQ(r.out, c.out) << testing::PrintToString(c.args);
    }
}

} // namespace
