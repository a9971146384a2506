// zetctl against a real zet and orbis-scand on a private tmpfs: the self test passes and times the
// quarantine, fails with a reason when the service is down; a false positive goes into the vault and
// comes back, with its owner, mode and times when zet kept a vault record; zet's status line reaches the
// service manager.
#include "src/text.hpp"
#include "tests/support/daemon.hpp"
#include "tests/support/infection_log.hpp"
#include "tests/support/programs.hpp"
#include "tests/support/scand.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <filesystem>

namespace {

using namespace std::chrono_literals;
using zet_test::count_files;
using zet_test::exists;
using zet_test::has;
using zet_test::Result;
using zet_test::strerror_text;

// The fixture's zet with two trees and two workers, and the real orbis-scand.
class WithDaemon : public zet_test::DaemonTest {
protected:
    void SetUp() override {
        DaemonTest::SetUp();
        if (IsSkipped())
            return;
        ASSERT_NO_FATAL_FAILURE(mount_tmpfs("size=16m,mode=0755", {tree2_, vault_}));
        scand_ = std::make_unique<zet_test::Service>(dir_, std::vector<std::string>{}, "scan");
        ASSERT_TRUE(scand_->ready()) << scand_->log();
        set("SOCKET", scand_->socket());
        set("SCANNERS", "2");
        unset("UNLIMITED_QUEUE");
        monitors_ = {tree_, tree2_};
        configure();
        ASSERT_NO_FATAL_FAILURE(start_zet({}, {}, true, zet_test::start_timeout));
    }
    void TearDown() override {
        zet_.reset();
        scand_.reset();
        DaemonTest::TearDown();
    }
    // Settings of a derived fixture, before zet starts.
    virtual void configure() {}
    Result ctl(std::vector<std::string> args) {
        static int runs = 0;
        args.insert(args.begin() + (args[0] == "vault" ? 2 : 1), {"-c", conf_});
        args.insert(args.begin(), zet_test::bin::zetctl);
        return zet_test::run_to_end(args, dir_ / ("zetctl" + std::to_string(++runs)));
    }
    // Writes `content` to `path` and waits until zet has moved it into the vault; the vault name from the
    // infection log line it added.
    std::string write_and_wait_quarantined(const std::string& path, const std::string& content) {
        const std::size_t before = zet_test::read_infection_log(log_).size();
        zet_test::write_file(path, content);
        return wait_quarantined(path, before);
    }
    // The vault name of `path` from the first infection-log line after the first `before` that names it.
    std::string wait_quarantined(const std::string& path, std::size_t before) {
        std::string name;
        zet_test::wait_until(
            [&] {
                if (exists(path))
                    return false;
                const auto lines = zet_test::read_infection_log(log_);
                for (std::size_t i = before; i < lines.size(); i++) {
                    if (lines[i].size() >= 4 && lines[i][1] == path &&
                        lines[i][2].starts_with(vault_ + "/")) {
                        name = lines[i][2].substr(vault_.size() + 1);
                        return true;
                    }
                }
                return false;
            },
            20s);
        return name;
    }

    std::string tree2_ = mnt_ + "/home";
    std::unique_ptr<zet_test::Service> scand_;
};

TEST_F(WithDaemon, SelftestPassesForEveryTreeAndPrintsTheLatency) {
    Result r = ctl({"selftest"});
    EXPECT_EQ(r.status, 0) << r.out << r.err << zet_->stderr_text();
    for (const auto& tree : {tree_, tree2_}) {
        auto at = r.out.find("PASS " + tree + ": quarantined ");
        ASSERT_NE(at, std::string::npos) << r.out;
        EXPECT_NE(r.out.find(" ms after close\n", at), std::string::npos) << r.out;
    }
    EXPECT_EQ(count_files(vault_), 0u) << "the test files are removed from the vault";
    EXPECT_EQ(count_files(tree_) + count_files(tree2_), 0u);

    r = ctl({"selftest", "--json", tree2_});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(has(r.out, "{\"passed\":true,\"timeout\":10,\"trees\":[{\"tree\":\"" + tree2_ +
                               "\",\"passed\":true,\"latency_us\":"))
        << r.out;

    r = ctl({"status"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(has(r.out, "zet:          running (pid " + std::to_string(zet_->pid()) + ")\n")) << r.out;
    EXPECT_TRUE(has(r.out, "scan service: answers at " + scand_->socket() + " (VPS ")) << r.out;
    // Probes are quarantined and logged, but they are no infections.
    EXPECT_TRUE(has(r.out, "infections:   none logged in " + log_ + "\n")) << r.out;
    EXPECT_TRUE(has(r.out, "self-tests:   3 logged (zetctl selftest, not infections)\n")) << r.out;
    EXPECT_TRUE(
        notify_.wait_for("STATUS=3 files queued, 3 scanned, 0 infected, 0 failed scans, 3 self-tests", 20s))
        << testing::PrintToString(notify_.messages());
}

TEST_F(WithDaemon, SelftestFailsWithTheReasonWithinItsTimeout) {
    EXPECT_EQ(scand_->stop(), 0);
    auto start = std::chrono::steady_clock::now();
    Result r = ctl({"selftest", "--timeout", "2", tree_});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "FAIL " + tree_ + ": not quarantined within 2 s: the scan service at " +
                         scand_->socket() + " does not answer: Error connecting to scan socket: " +
                         scand_->socket() + ": " + strerror_text(ENOENT) + "\n");
    // Generous bound: only a hang would exceed it.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);
    EXPECT_EQ(count_files(tree_), 0u) << "the unscanned test file is removed";

    zet_->signal(SIGTERM);
    EXPECT_EQ(zet_->exit_code(20s), 0);
    r = ctl({"selftest", tree_});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "FAIL " + tree_ + ": zet is not running: no PID file " + run_ + "/zet.pid\n");
}

TEST_F(WithDaemon, FalsePositiveComesBackWithItsContentButNeverOverAFile) {
    const std::string doc = tree_ + "/report.doc";
    std::string name = write_and_wait_quarantined(doc, zet_test::eicar);
    ASSERT_FALSE(name.empty()) << zet_->stderr_text();

    Result r = ctl({"vault", "list"});
    EXPECT_TRUE(has(r.out, name + "\n  from:     " + doc + "\n")) << r.out;
    r = ctl({"vault", "restore", name});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(zet_test::read_file(doc), zet_test::eicar);
    EXPECT_FALSE(exists(vault_ + "/" + name));
    EXPECT_LT(lgetxattr(doc.c_str(), "trusted.zet.record", nullptr, 0), 0)
        << "no record without VAULT_RECORDS";

    // Written again, it is quarantined again; a new file in its place is not overwritten by a restore.
    name = write_and_wait_quarantined(doc, zet_test::eicar);
    ASSERT_FALSE(name.empty());
    zet_test::write_file(doc, "the user's new text\n");
    r = ctl({"vault", "restore", name});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "zetctl: " + doc + " exists; not overwriting it\n");
    EXPECT_EQ(zet_test::read_file(doc), "the user's new text\n");
    EXPECT_EQ(zet_test::read_file(vault_ + "/" + name), zet_test::eicar);
}

// Records on, and the vault on another file system (/tmp) than the trees: the quarantine and the restore
// are both copies, which keep neither owner, mode nor times, so that only the record brings them back.
class WithRecords : public WithDaemon {
protected:
    void configure() override {
        vault_ = dir_ / "vault";
        set("VAULT", vault_);
        set("VAULT_RECORDS", "yes");
        // Renames into the trees are scanned.
        set("COVERAGE", "full");
    }
};

TEST_F(WithRecords, RestoreBringsBackOwnerGroupModeAndTimes) {
    // Staged outside the trees and renamed in, so that nothing writes it after its facts are set.
    const std::string staged = mnt_ + "/report.doc", doc = tree_ + "/report.doc";
    zet_test::write_file(staged, zet_test::eicar);
    // The access time is the scan's by the time zet takes it; only the modification time is the user's.
    const timespec times[2] = {{1000000000, 0}, {999999999, 500}};
    ASSERT_EQ(chown(staged.c_str(), 4242, 4243), 0);
    ASSERT_EQ(chmod(staged.c_str(), 0640), 0);
    ASSERT_EQ(utimensat(AT_FDCWD, staged.c_str(), times, 0), 0);
    const std::size_t before = zet_test::read_infection_log(log_).size();
    ASSERT_EQ(rename(staged.c_str(), doc.c_str()), 0);
    const std::string name = wait_quarantined(doc, before);
    ASSERT_FALSE(name.empty()) << zet_->stderr_text();

    Result r = ctl({"vault", "show", name});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string mtime = local_time(999999999).value_or("?");
    EXPECT_TRUE(has(r.out, "from:     " + doc + "\n")) << r.out;
    EXPECT_TRUE(has(r.out, "sha256:   275a021bbfb6489e54d471899f7db9d1663fc695ec2fe2a2c4538aabf651fd0f\n"
                           "owner:    4242(4242)\ngroup:    4243(4243)\nmode:     0640\nmtime:    " +
                               mtime + "\ndatabase: "))
        << r.out;
    // The writer was this test's own process, still running.
    EXPECT_TRUE(has(r.out, "\nwriter:   pid " + std::to_string(getpid()) + ", uid 0 (root), ")) << r.out;
    EXPECT_FALSE(has(r.out, "recorded:")) << r.out;

    // With zet stopped and the log gone, only the record still names the origin.
    stop_zet();
    zet_test::write_file(log_, "");
    r = ctl({"vault", "restore", name});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(has(r.out, "restored " + name + " to " + doc +
                               " (copied)\nput back: owner 4242(4242), group "
                               "4243(4243), mode 0640, mtime " +
                               mtime + "\n"))
        << r.out;
    struct stat st;
    ASSERT_EQ(lstat(doc.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 4242u);
    EXPECT_EQ(st.st_gid, 4243u);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_mtim.tv_sec, times[1].tv_sec);
    EXPECT_EQ(st.st_mtim.tv_nsec, times[1].tv_nsec);
    EXPECT_EQ(zet_test::read_file(doc), zet_test::eicar);
    EXPECT_LT(lgetxattr(doc.c_str(), "trusted.zet.record", nullptr, 0), 0);
    EXPECT_EQ(count_files(vault_), 0u);
}

// A file system mounted below a tree while zet runs is tested on its own, and passes.
TEST_F(WithDaemon, SelftestWritesIntoEveryWatchedMount) {
    const std::string dept = tree_ + "/dept";
    std::filesystem::create_directories(dept);
    zet_test::TmpfsMount dept_fs(dept, "size=1m");
    ASSERT_TRUE(dept_fs.mounted()) << strerror_text(errno);
    EXPECT_TRUE(zet_test::wait_until([&] {
        return zet_->stderr_has("Started monitoring '" + dept + "'...\n");
    })) << zet_->stderr_text();
    Result r = ctl({"selftest"});
    EXPECT_EQ(r.status, 0) << r.out << r.err << zet_->stderr_text();
    for (const auto& tree : {tree_, tree2_, dept})
        EXPECT_TRUE(has(r.out, "PASS " + tree + ": quarantined ")) << r.out;
    r = ctl({"explain", dept + "/x.doc"});
    EXPECT_TRUE(has(r.out, "  queued: yes, under the monitored path " + tree_ +
                               "\n  on the file system mounted at " + dept +
                               ", which zet watches with a mark of its own\n"))
        << r.out;
}

TEST_F(WithDaemon, StatusLineCountsQueuedScannedInfectedAndFailed) {
    zet_test::write_file(tree_ + "/clean.txt", "nothing\n");
    zet_test::write_file(tree_ + "/bad.com", zet_test::eicar);
    EXPECT_TRUE(notify_.wait_for("STATUS=2 files queued, 2 scanned, 1 infected, 0 failed scans", 20s))
        << testing::PrintToString(notify_.messages());
    EXPECT_EQ(scand_->stop(), 0);
    zet_test::write_file(tree_ + "/later.txt", "x");
    // While scans find no service, the line says since when.
    EXPECT_TRUE(zet_test::wait_until([&] {
        for (const std::string& m : notify_.messages())
            if (m.rfind(
                    "STATUS=3 files queued, 2 scanned, 1 infected, 1 failed scans; scan service unreachable "
                    "since ",
                    0) == 0)
                return true;
        return false;
    })) << testing::PrintToString(notify_.messages());
}

} // namespace
