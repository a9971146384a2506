// Who did it, and what to leave alone, with the real zet, the real orbis-scand and real processes: a
// program from a known path run as another user, a writer that exits before its scan, exclusions by user,
// program and pattern in both coverage modes, and readers held by on-open protection.
#include "tests/support/daemon.hpp"
#include "tests/support/files.hpp"
#include "tests/support/scand.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

using namespace std::chrono_literals;
using namespace zet_test;

namespace {

constexpr auto DEADLINE = 60s;
constexpr uid_t NOBODY = 65534;

class Who : public DaemonTest, public ::testing::WithParamInterface<const char*> {
protected:
    void SetUp() override {
        DaemonTest::SetUp();
        if (IsSkipped())
            return;
        ASSERT_NO_FATAL_FAILURE(mount_tmpfs("size=64m,mode=0755"));
        std::filesystem::create_directories(bin_);
        for (const std::string& d : {dir_.path(), mnt_, bin_})
            chmod(d.c_str(), 0755);
        chmod(tree_.c_str(), 01777); // another user writes there
        // Two copies of a shell at known paths: one a rule names, one none does.
        for (const std::string& p : {writer_, excluded_}) {
            std::filesystem::copy_file("/bin/dash", p);
            chmod(p.c_str(), 0755);
        }
    }
    void TearDown() override {
        processes_.clear();
        zet_.reset();
        scand_.reset();
        DaemonTest::TearDown();
    }
    // orbis-scand, and zet with the coverage `mode`, every report of detections, and `rules` in [MONITORS].
    void start(const std::string& mode, const std::string& rules = "", const std::string& on_open = "off") {
        scand_ = std::make_unique<Service>(dir_);
        ASSERT_TRUE(scand_->ready()) << scand_->log();
        write_file(alert_, "#!/bin/sh\nprintf '%s|%s|%s|%s\\n' \"$ZET_PROCESS_PID\" \"$ZET_PROCESS_USER\" "
                           "\"$ZET_PROCESS_EXE\" \"$ZET_PROCESS\" >>" +
                               alerts_ + "\n");
        chmod(alert_.c_str(), 0755);
        set("SOCKET", scand_->socket());
        set("COVERAGE", mode);
        set("JSON_LOG", json_);
        set("ALERT_COMMAND", alert_);
        set("SYSLOG_DETECTIONS", "yes");
        set("ON_OPEN", on_open);
        monitors_extra_ = rules;
        ASSERT_NO_FATAL_FAILURE(start_zet({"-v"}, {}, true, DEADLINE));
    }
    // Runs the shell copy `program` as `uid`, which writes `text` into `path` and, with `stays`, waits.
    ChildProcess& write_as(const std::string& program, uid_t uid, const std::string& path, bool stays,
                           const std::string& text = eicar) {
        const std::string id = std::to_string(uid);
        processes_.push_back(std::make_unique<ChildProcess>());
        EXPECT_TRUE(processes_.back()->spawn(
            {"/usr/bin/setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups", program, "-c",
             std::string("printf '%s' \"$0\" >\"$1\"") + (stays ? "; sleep 60" : ""), text, path},
            {}, dir_ / ("p" + std::to_string(processes_.size()) + ".err")));
        return *processes_.back();
    }
    bool logged(const std::string& path) {
        return wait_until([&] { return has(read_file(log_), "\t" + path + "\t"); }, DEADLINE);
    }

    std::string bin_ = dir_ / "bin", writer_ = bin_ + "/writer", excluded_ = bin_ + "/excluded";
    std::string json_ = dir_ / "zet.jsonl", alert_ = dir_ / "alert", alerts_ = dir_ / "alerts";
    std::unique_ptr<Service> scand_;
    std::vector<std::unique_ptr<ChildProcess>> processes_;
};

TEST_P(Who, EveryDetectionNamesTheWriterOrSaysItHadExited) {
    ASSERT_NO_FATAL_FAILURE(start(GetParam()));
    // Still running at its scan: named in full, in every report.
    const std::string kept = tree_ + "/kept.com";
    ChildProcess& running = write_as(writer_, NOBODY, kept, true);
    ASSERT_TRUE(logged(kept)) << zet_->stderr_text();
    const std::string pid = std::to_string(running.pid());
    const std::string named = "pid " + pid + ", uid 65534 (nobody), " + writer_;
    EXPECT_TRUE(wait_until([&] { return has(read_file(alerts_), pid + "|nobody|" + writer_ + "|" + named); }))
        << read_file(alerts_);
    EXPECT_TRUE(has(read_file(json_), "\"process\":{\"role\":\"writer\",\"pid\":" + pid +
                                          ",\"known\":true,\"uid\":65534,\"user\":\"nobody\",\"exe\":\"" +
                                          writer_ + "\""))
        << read_file(json_);
    EXPECT_TRUE(zet_->stderr_has(kept + " -> ")) << zet_->stderr_text();
    EXPECT_TRUE(zet_->stderr_has("; written by " + named)) << zet_->stderr_text();

    // Gone before its scan: never named wrongly.
    const std::string gone = tree_ + "/gone.com";
    ASSERT_TRUE(scand_->child().suspend());
    ChildProcess& quick = write_as(writer_, NOBODY, gone, false);
    EXPECT_EQ(quick.exit_code(DEADLINE), 0);
    const std::string quick_pid = std::to_string(quick.pid());
    scand_->child().signal(SIGCONT);
    ASSERT_TRUE(logged(gone)) << zet_->stderr_text();
    EXPECT_TRUE(wait_until([&] { return has(read_file(alerts_), quick_pid + "|||unknown (exited)"); }))
        << read_file(alerts_);
    EXPECT_TRUE(
        has(read_file(json_), "\"process\":{\"role\":\"writer\",\"pid\":" + quick_pid + ",\"known\":false}"))
        << read_file(json_);
    stop_zet(SIGTERM, DEADLINE);
}

TEST_P(Who, ExclusionsLeaveThatUserProgramAndPatternAloneAndNoOneElse) {
    ASSERT_NO_FATAL_FAILURE(start(GetParam(), "EXCL_USER = nobody\nEXCL_PROGRAM = " + excluded_ +
                                                  "\nEXCL_GLOB = **/*.iso\nEXCL_GLOB = " + tree_ +
                                                  "/*/cache/**\n"));
    // Made after the start: a pattern covers what is created later.
    std::filesystem::create_directories(tree_ + "/x/cache/deep");
    std::filesystem::create_directories(tree_ + "/cache");
    const struct {
        const char* name;
        const std::string& program;
        uid_t uid;
        bool scanned;
    } rows[] = {
        {"u.com", writer_, NOBODY, false},         // EXCL_USER
        {"p.com", excluded_, 0, false},            // EXCL_PROGRAM
        {"disk.iso", writer_, 0, false},           // **/*.iso
        {"x/cache/deep/f.com", writer_, 0, false}, // /*/cache/**
        {"cache/f.com", writer_, 0, true},         // one directory level short of the pattern
        {"a.com", writer_, 0, true},               // another user, another program
    };
    for (const auto& r : rows) {
        const std::string path = tree_ + "/" + r.name;
        ChildProcess& p = write_as(r.program, r.uid, path, true);
        // Each file written before the next: the last's quarantine then tells that all were decided.
        ASSERT_TRUE(wait_until([&] {
            return read_file(path) == eicar || has(read_file(log_), "\t" + path + "\t");
        })) << r.name
            << "\n"
            << zet_->stderr_text() << p.stderr_text();
    }
    const std::string last = tree_ + "/last.com";
    write_file(last, eicar);
    ASSERT_TRUE(logged(last)) << zet_->stderr_text();
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        const std::string path = tree_ + "/" + r.name;
        if (r.scanned) {
            EXPECT_TRUE(logged(path)) << zet_->stderr_text();
        }
        EXPECT_EQ(exists(path), !r.scanned);
        EXPECT_EQ(has(read_file(log_), "\t" + path + "\t"), r.scanned);
    }
    stop_zet(SIGTERM, DEADLINE);
}

INSTANTIATE_TEST_SUITE_P(Coverage, Who, ::testing::Values("writes", "full"));

// A held open is asked exactly: the excluded user's and program's reads go through, anyone else's not.
TEST_F(Who, ExcludedReadersGetTheFileWhileOthersAreRefused) {
    const struct {
        const char* name;
        std::vector<std::string> reader;
        bool refused;
    } rows[] = {
        {"by-user.com", {"/usr/bin/setpriv", "--reuid=65534", "/bin/cat"}, false},
        {"by-program.com",
         {excluded_, "-c", "while IFS= read -r l || [ -n \"$l\" ]; do printf '%s' \"$l\"; l=; done <\"$0\""},
         false},
        {"by-anyone.com", {"/bin/cat"}, true},
    };
    for (const auto& r : rows)
        write_file(tree_ + "/" + r.name, eicar);
    ASSERT_NO_FATAL_FAILURE(start("full", "EXCL_USER = nobody\nEXCL_PROGRAM = " + excluded_ + "\n", "block"));
    if (zet_->stderr_has("falls back to scan"))
        GTEST_SKIP() << "this kernel offers no permission events here";
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        const std::string path = tree_ + "/" + r.name;
        std::vector<std::string> argv = r.reader;
        argv.push_back(path);
        Result got = run_to_end(argv, dir_ / r.name, DEADLINE);
        EXPECT_EQ(got.status != 0, r.refused) << got.err;
        EXPECT_EQ(has(got.out, "EICAR"), !r.refused);
        if (r.refused) {
            EXPECT_TRUE(logged(path)) << zet_->stderr_text();
        }
    }
    // Nothing else quarantined what the excluded ones read.
    EXPECT_TRUE(exists(tree_ + "/by-user.com"));
    EXPECT_TRUE(exists(tree_ + "/by-program.com"));
    stop_zet(SIGTERM, DEADLINE);
}

} // namespace
