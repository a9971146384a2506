// On-demand sweeps with the real zet, orbis-scand and zetctl: the files already on a share are scanned
// through the same road as written ones, reported as zetctl promises, and live writes still come first.
#include "tests/support/daemon.hpp"
#include "tests/support/files.hpp"
#include "tests/support/infection_log.hpp"
#include "tests/support/programs.hpp"
#include "tests/support/scand.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <thread>

using namespace std::chrono_literals;
using namespace zet_test;

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto DEADLINE = 120s;

enum class Fs { tmpfs, ext4 };

class Sweep : public DaemonTest {
public:
    void TearDown() override {
        zet_.reset();
        scand_.reset();
        DaemonTest::TearDown();
        ext4_.reset();
    }
    // `files` files below the tree in 20 directories, every `every`-th of them (from the first) infected;
    // the infected paths.
    std::vector<std::string> populate(Fs fs, int files, int every) {
        if (fs == Fs::tmpfs) {
            EXPECT_NO_FATAL_FAILURE(mount_tmpfs("size=256m,mode=0755"));
        } else {
            ext4_ = std::make_unique<LoopExt4>(dir_ / "ext4.img", mnt_);
            EXPECT_EQ(ext4_->error(), "");
            for (const auto& d : {tree_, run_})
                std::filesystem::create_directories(d);
        }
        std::vector<std::string> infected;
        for (int d = 0; d < 20; d++)
            std::filesystem::create_directories(tree_ + "/d" + std::to_string(d));
        for (int i = 0; i < files; i++) {
            std::string path = tree_ + "/d" + std::to_string(i % 20) + "/f" + std::to_string(i);
            bool bad = every > 0 && i % every == 0;
            write_file(path, bad ? eicar : "clean " + std::to_string(i) + "\n");
            if (bad)
                infected.push_back(path);
        }
        return infected;
    }
    void start(const std::vector<std::pair<std::string, std::string>>& extra = {}) {
        scand_ = std::make_unique<Service>(dir_);
        ASSERT_TRUE(scand_->ready()) << scand_->log();
        set("SOCKET", scand_->socket());
        set("COVERAGE", "full");
        set("CONTROL_SOCKET", "zet.ctl");
        for (const auto& [k, v] : extra)
            set(k, v);
        ASSERT_NO_FATAL_FAILURE(start_zet({"-v"}, {}, true, DEADLINE));
    }
    Result zetctl(std::vector<std::string> args, std::chrono::milliseconds limit = DEADLINE) {
        args.insert(args.begin(), {bin::zetctl, "scan", "-c", conf_});
        return run_to_end(args, dir_ / ("zetctl" + std::to_string(runs_++)), limit);
    }

    std::unique_ptr<LoopExt4> ext4_;
    std::unique_ptr<Service> scand_;
    int runs_ = 0;
};

class SweepRows : public Sweep, public ::testing::WithParamInterface<Fs> {};

TEST_P(SweepRows, QuarantinesExactlyTheInfectedFilesAlreadyThereAndSaysSo) {
    const std::vector<std::string> infected = populate(GetParam(), 2000, 200);
    ASSERT_EQ(infected.size(), 10u);
    ASSERT_NO_FATAL_FAILURE(start());
    // A first look moves nothing.
    Result look = zetctl({"--no-move"});
    EXPECT_EQ(look.status, 1) << look.err;
    for (const auto& p : infected)
        EXPECT_TRUE(exists(p)) << p;
    EXPECT_EQ(count_files(vault_), 0u);
    // Lines that parse: one object per finding, then the summary.
    Result json = zetctl({"--json", "--no-move"});
    EXPECT_EQ(json.status, 1);
    std::istringstream lines(json.out);
    std::size_t findings = 0;
    for (std::string line; std::getline(lines, line);) {
        EXPECT_TRUE(line.front() == '{' && line.back() == '}') << line;
        findings += has(line, "\"finding\":") ? 1 : 0;
    }
    EXPECT_EQ(findings, infected.size());
    EXPECT_TRUE(
        has(json.out, "\"summary\":{\"walked\":2000,\"scanned\":2000,\"infected\":10,\"unscanned\":0"))
        << json.out;
    // Then the sweep itself: the ten, and only they, go to the vault and the infection log.
    Result sweep = zetctl({});
    EXPECT_EQ(sweep.status, 1) << sweep.err;
    EXPECT_TRUE(has(sweep.out, "2000 files scanned")) << sweep.out;
    for (const auto& p : infected)
        EXPECT_FALSE(exists(p)) << p;
    EXPECT_EQ(count_files(vault_), infected.size());
    const auto logged = read_infection_log(log_);
    EXPECT_EQ(logged.size(), infected.size());
    Result status = run_to_end({bin::zetctl, "status", "-c", conf_}, dir_ / "status");
    EXPECT_TRUE(has(status.out, ": 2000 files, 10 infected, 0 not scanned\n")) << status.out;
    // Nothing left to find: status 0.
    EXPECT_EQ(zetctl({}).status, 0);
    stop_zet(SIGTERM, DEADLINE);
}

INSTANTIATE_TEST_SUITE_P(Fs, SweepRows, ::testing::Values(Fs::tmpfs, Fs::ext4));

TEST_F(Sweep, LiveWritesGoBeforeASweep) {
    populate(Fs::tmpfs, 20000, 0);
    ASSERT_NO_FATAL_FAILURE(start());
    ChildProcess sweep;
    ASSERT_TRUE(sweep.spawn({bin::zetctl, "scan", "-c", conf_}, {}, dir_ / "sweep.err", dir_ / "sweep.out"));
    // While it runs, infected files are written: each is quarantined as quickly as without a sweep.
    for (int i = 0; i < 5; i++) {
        std::string path = tree_ + "/live" + std::to_string(i) + ".com";
        const auto t0 = Clock::now();
        write_file(path, eicar);
        EXPECT_TRUE(wait_until([&] { return !exists(path); }, 10s)) << path;
        EXPECT_LT(Clock::now() - t0, 5s) << path;
    }
    // The sweep may meet a live file before its live scan (status 1); one quarantined before the sweep's
    // turn is gone, not unscanned.
    EXPECT_NE(sweep.exit_code(DEADLINE), 2) << sweep.stderr_text() << sweep.stdout_text();
    EXPECT_TRUE(has(sweep.stdout_text(), ", 0 not scanned\n")) << sweep.stdout_text();
    stop_zet(SIGTERM, DEADLINE);
}

TEST_F(Sweep, CtrlCStopsItAndAnotherUserIsRefused) {
    populate(Fs::tmpfs, 20000, 0);
    ASSERT_NO_FATAL_FAILURE(start());
    ChildProcess sweep;
    ASSERT_TRUE(sweep.spawn({bin::zetctl, "scan", "-c", conf_}, {}, dir_ / "sweep.err", dir_ / "sweep.out"));
    std::this_thread::sleep_for(300ms);
    sweep.signal(SIGINT);
    EXPECT_EQ(sweep.exit_code(30s), 2) << sweep.stderr_text(); // stopped: not every file was scanned
    EXPECT_TRUE(has(sweep.stdout_text(), "stopped")) << sweep.stdout_text();
    EXPECT_TRUE(wait_until([&] { return zet_->stderr_has("Sweep 1 stopped"); }, 30s)) << zet_->stderr_text();
    // Not root: refused before anything is asked.
    chmod(dir_.path().c_str(), 0755);
    chmod(conf_.c_str(), 0644);
    Result other = run_to_end({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                               bin::zetctl, "scan", "-c", conf_},
                              dir_ / "nobody");
    EXPECT_EQ(other.status, 77) << other.err;
    stop_zet(SIGTERM, DEADLINE);
}

} // namespace
