// Files written while zet is down: the real zet, stopped or killed in each way, catches them up from its
// state file at the next start with the real orbis-scand; and what it does without a state file to go by.
#include "tests/support/daemon.hpp"
#include "tests/support/infection_log.hpp"
#include "tests/support/programs.hpp"
#include "tests/support/scand.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <set>

using namespace std::chrono_literals;
using namespace zet_test;

namespace {

// Generous: the sanitizer builds scan several times slower.
constexpr auto DEADLINE = 90s;
// Longer than the state file's period of 5 s, and than the catch-up's margin of 5 s.
constexpr auto PERIOD_PASSED = 7s, MARGIN_PASSED = 6s;
constexpr int DOWNTIME_FILES = 500, INFECTED_EVERY = 100;
const std::string NOTICE = "Catch-up after downtime: ";

enum class Fs { tmpfs, ext4 };

// The real scan service and zet on a tree of its own, with the state file in the test directory.
class Downtime : public DaemonTest {
public:
    const std::string& state_file_path() const { return state_file_; }
    // The state file in a directory that not even root may write into.
    void seal_state_directory() {
        const std::string sealed = dir_ / "sealed";
        std::filesystem::create_directory(sealed);
        ASSERT_TRUE(set_immutable(sealed, true));
        state_file_ = sealed + "/zet.state";
        set("STATE_FILE", state_file_);
    }

protected:
    void SetUp() override {
        DaemonTest::SetUp();
        if (IsSkipped())
            return;
        start_scand();
    }
    void TearDown() override {
        zet_.reset();
        scand_.reset();
        DaemonTest::TearDown();
        ext4_.reset();
    }

    void mount_fs(Fs fs) {
        if (fs == Fs::tmpfs) {
            ASSERT_NO_FATAL_FAILURE(mount_tmpfs("size=64m,mode=0755"));
            return;
        }
        ext4_ = std::make_unique<LoopExt4>(dir_ / "ext4.img", mnt_);
        ASSERT_EQ(ext4_->error(), "");
        for (const auto& d : {tree_, run_})
            std::filesystem::create_directories(d);
    }
    void start_scand() {
        scand_ = std::make_unique<Service>(dir_, std::vector<std::string>{}, "scan");
        ASSERT_TRUE(scand_->ready()) << scand_->log();
        set("SOCKET", scand_->socket());
    }
    // Starts zet with `coverage` ("" leaves the key out).
    void start(const std::string& coverage) {
        unset("COVERAGE");
        if (!coverage.empty())
            set("COVERAGE", coverage);
        ASSERT_NO_FATAL_FAILURE(start_zet({"-v"}, {}, true, start_timeout));
        if (coverage == "full" && zet_->stderr_has("falls back to writes"))
            GTEST_SKIP() << "no full coverage here: " << zet_->stderr_text();
    }
    // `count` files in `dir` (below the tree), every INFECTED_EVERY-th the test file; the infected ones.
    std::set<std::string> write_files(const std::string& dir, int count) {
        std::filesystem::create_directories(dir);
        std::set<std::string> infected;
        for (int i = 0; i < count; i++) {
            const std::string path = dir + "/f" + std::to_string(i);
            if (i % INFECTED_EVERY == INFECTED_EVERY / 2) {
                write_file(path, eicar);
                infected.insert(path);
            } else {
                write_file(path, "clean " + std::to_string(i) + "\n");
            }
        }
        return infected;
    }
    // Every path of `infected` gone and logged once as moved into the vault.
    bool quarantined(const std::set<std::string>& infected) {
        std::multiset<std::string> moved;
        for (const auto& cols : read_infection_log(log_))
            if (cols.size() >= 4 && cols[2].rfind(vault_ + "/", 0) == 0)
                moved.insert(cols[1]);
        for (const auto& p : infected)
            if (exists(p) || moved.count(p) != 1)
                return false;
        return true;
    }
    // The count of the notice, once it is logged; -1 before.
    long notice_count() {
        const std::string err = zet_->stderr_text();
        const auto at = err.find(NOTICE);
        const auto end = at == std::string::npos ? at : err.find('\n', at);
        if (end == std::string::npos)
            return -1;
        const std::string line = err.substr(at, end - at), tail = " files queued for scanning";
        EXPECT_EQ(line.substr(line.size() - std::min(line.size(), tail.size())), tail) << line;
        return atol(line.c_str() + NOTICE.size());
    }
    std::string state() const { return read_file(state_file_); }

    std::unique_ptr<Service> scand_;
    std::unique_ptr<LoopExt4> ext4_;
};

// ---- caught up -------------------------------------------------------------------------------------------

enum class Down {
    stopped,      // SIGTERM: the state file of the clean stop
    killed,       // SIGKILL right after files were written: the state file of the last periodic write
    service_down, // SIGKILL while written files wait for a scan service that is down
};

struct CaughtUp {
    const char* name;
    Fs fs;
    const char* coverage; // "" leaves the key out: writes, and STATE_FILE is set
    Down down;
};

void PrintTo(const CaughtUp& c, std::ostream* os) {
    *os << c.name;
}

class DowntimeCaughtUp : public Downtime, public ::testing::WithParamInterface<CaughtUp> {};

TEST_P(DowntimeCaughtUp, EveryInfectedFileIsQuarantinedAndTheNoticeCountsThem) {
    const CaughtUp& c = GetParam();
    ASSERT_NO_FATAL_FAILURE(mount_fs(c.fs));
    if (c.coverage[0] == '\0')
        set("STATE_FILE", state_file_);
    ASSERT_NO_FATAL_FAILURE(start(c.coverage));
    if (IsSkipped())
        return;
    ASSERT_TRUE(wait_until([&] { return has(state(), "catchup first-start\n"); })) << state();

    // Files of the first run that are not yet known scanned when it ends.
    std::set<std::string> before;
    switch (c.down) {
    case Down::stopped:
        stop_zet(SIGTERM, DEADLINE);
        break;
    case Down::killed: {
        const std::string first = state();
        const auto scanned = write_files(tree_ + "/run1", 2 * INFECTED_EVERY);
        ASSERT_TRUE(wait_until([&] { return quarantined(scanned); }, DEADLINE)) << zet_->stderr_text();
        ASSERT_TRUE(wait_until([&] { return state() != first; }, DEADLINE)) << "no periodic write";
        before = write_files(tree_ + "/last", INFECTED_EVERY);
        zet_->signal(SIGKILL);
        break;
    }
    case Down::service_down:
        EXPECT_EQ(scand_->stop(), 0);
        before = write_files(tree_ + "/last", INFECTED_EVERY);
        ASSERT_TRUE(
            wait_until([&] { return zet_->stderr_has("Error connecting to scan socket"); }, DEADLINE));
        // Events handled well after those files (beyond the margin), then time for a periodic write: it
        // must not pass the files waiting for another attempt.
        wait_until([] { return false; }, MARGIN_PASSED);
        write_file(tree_ + "/much-later.txt", "clean\n");
        wait_until([] { return false; }, PERIOD_PASSED);
        zet_->signal(SIGKILL);
        break;
    }
    if (c.down != Down::stopped) {
        EXPECT_EQ(zet_->exit_code(DEADLINE), 128 + SIGKILL);
    }
    if (c.down == Down::service_down) {
        ASSERT_NO_FATAL_FAILURE(start_scand());
    }

    auto infected = write_files(tree_ + "/down", DOWNTIME_FILES);
    infected.insert(before.begin(), before.end());
    ASSERT_NO_FATAL_FAILURE(start(c.coverage));
    EXPECT_TRUE(wait_until([&] { return quarantined(infected); }, DEADLINE)) << zet_->stderr_text();
    ASSERT_TRUE(wait_until([&] { return notice_count() >= 0; }, DEADLINE)) << zet_->stderr_text();
    if (c.down == Down::stopped) {
        EXPECT_EQ(notice_count(), DOWNTIME_FILES);
    } else {
        EXPECT_GE(notice_count(), DOWNTIME_FILES);
    }

    // zetctl status tells this run's catch-up once the state file has it.
    ASSERT_TRUE(wait_until([&] { return has(state(), "catchup done\n"); }, DEADLINE)) << state();
    const std::string count = std::to_string(notice_count());
    Result r = run_to_end({bin::zetctl, "status", "-c", conf_}, dir_ / "status");
    EXPECT_TRUE(has(r.out, "\ncatch-up:     " + count + " files queued, changed since ")) << r.out;
    EXPECT_FALSE(has(r.out, "an earlier run")) << r.out;
    r = run_to_end({bin::zetctl, "status", "--json", "-c", conf_}, dir_ / "status-json");
    EXPECT_TRUE(has(r.out, "\"catch_up\":{\"state\":\"done\",\"detail\":\"\",\"state_file\":\"" +
                               state_file_ + "\",\"current_run\":true,"))
        << r.out;
    EXPECT_TRUE(has(r.out, ",\"files_queued\":" + count + ",\"finished\":")) << r.out;
    stop_zet(SIGTERM, DEADLINE);
}

INSTANTIATE_TEST_SUITE_P(
    Ways, DowntimeCaughtUp,
    ::testing::Values(CaughtUp{"stopped", Fs::tmpfs, "full", Down::stopped},
                      CaughtUp{"killed", Fs::tmpfs, "full", Down::killed},
                      CaughtUp{"killed_while_the_service_is_down", Fs::tmpfs, "full", Down::service_down},
                      CaughtUp{"writes_with_the_key_stopped", Fs::tmpfs, "", Down::stopped},
                      CaughtUp{"killed_on_ext4", Fs::ext4, "full", Down::killed}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- nothing walked
// ----------------------------------------------------------------------------------------

struct NotWalked {
    const char* name;
    const char* coverage;
    std::function<void(Downtime&)> prepare; // before the start
    // Every message that names the state file, each said once; "@" stands for the test directory.
    std::vector<std::string> said;
    bool state_written; // a state file for the next start
};

void PrintTo(const NotWalked& c, std::ostream* os) {
    *os << c.name;
}

class DowntimeNotWalked : public Downtime, public ::testing::WithParamInterface<NotWalked> {};

std::string at_dir(std::string text, const std::string& dir) {
    for (auto at = text.find('@'); at != std::string::npos; at = text.find('@', at + dir.size()))
        text.replace(at, 1, dir);
    return text;
}

// A file written before the start stays unscanned, zet scans what is written afterwards, and the only
// messages about the state file are the row's.
TEST_P(DowntimeNotWalked, FilesFromBeforeTheStartStayAndZetRuns) {
    const NotWalked& c = GetParam();
    ASSERT_NO_FATAL_FAILURE(mount_fs(Fs::tmpfs));
    if (c.prepare)
        c.prepare(*this);
    const std::string old_file = tree_ + "/from-before.com";
    write_file(old_file, eicar);
    ASSERT_NO_FATAL_FAILURE(start(c.coverage));
    if (IsSkipped())
        return;
    const std::string later = tree_ + "/later.com";
    write_file(later, eicar);
    EXPECT_TRUE(wait_until([&] { return quarantined({later}); }, DEADLINE)) << zet_->stderr_text();
    stop_zet(SIGTERM, DEADLINE);

    const std::string err = zet_->stderr_text();
    EXPECT_TRUE(exists(old_file));
    EXPECT_FALSE(has(err, NOTICE)) << err;
    std::size_t mentions = 0;
    for (const auto& m : c.said) {
        const std::string line = at_dir(m, dir_.path());
        EXPECT_EQ(count(err, line), 1u) << line << err;
        mentions += count(line, "zet.state");
    }
    EXPECT_EQ(count(err, "zet.state"), mentions) << err;
    EXPECT_EQ(has(state(), "handled_until "), c.state_written) << state();
    struct stat st;
    if (c.state_written && stat(state_file_.c_str(), &st) == 0) {
        EXPECT_EQ(st.st_mode & 0777, 0600u);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Ways, DowntimeNotWalked,
    ::testing::Values(
        NotWalked{
            "first_start", "full", nullptr, {"@/zet.state: no state file yet, nothing to catch up\n"}, true},
        // The documented writes mode: no state file is read or written, anywhere.
        NotWalked{"writes_without_the_key", "", nullptr, {}, false},
        NotWalked{"not_a_state_file",
                  "full",
                  [](Downtime& t) { write_file(t.state_file_path(), "handled_until yesterday\n"); },
                  {"@/zet.state: not a state file of zet (no catch-up after downtime)\n"},
                  true},
        NotWalked{"state_file_is_a_directory",
                  "full",
                  [](Downtime& t) { std::filesystem::create_directory(t.state_file_path()); },
                  {"read(): @/zet.state: Is a directory (no catch-up after downtime)\n",
                   "rename(): @/zet.state.tmp -> @/zet.state: Is a directory\n"},
                  false},
        NotWalked{"unwritable_state_directory",
                  "full",
                  [](Downtime& t) { t.seal_state_directory(); },
                  {"@/sealed/zet.state: no state file yet, nothing to catch up\n",
                   "open(): @/sealed/zet.state.tmp: Operation not permitted\n"},
                  false}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
