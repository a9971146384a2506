// The real zet binary with real fanotify marks on a private tmpfs, against the real orbis-scand or the
// scripted fake service: command line, readiness and watchdog, quarantine, filtering, failures, a flood.
#include "tests/support/daemon.hpp"
#include "tests/support/fake_service.hpp"
#include "tests/support/infection_log.hpp"
#include "tests/support/programs.hpp"
#include "tests/support/scand.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>

using namespace std::chrono_literals;
using namespace zet_test;

namespace {

const std::string usage_text = std::string("Usage: ") + bin::zet +
                               " [OPTIONS]\nOptions:\n  -c FILE     Use configuration file FILE\n"
                               "  -V          Print program version and exit\n"
                               "  -v          Verbose logging (debug level)\n"
                               "  -q          Do not log to stderr\n";
// One close after writing, with the mode set before it.
bool write_with_mode(const std::string& path, const std::string& text, mode_t mode) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0)
        return false;
    bool ok =
        fchmod(fd, mode) == 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    return close(fd) == 0 && ok;
}

TEST(CommandLine, OptionsAreHandledBeforeAnythingIsLogged) {
    TempDir dir;
    const struct {
        std::vector<std::string> args;
        int status;
        std::string out, err; // err: the exact text, or for bad options its last line
    } cases[] = {
        {{"-V"}, 0, "4.7.0\n", ""},
        {{"-h"}, 0, usage_text, ""},
        {{"-V", "-h"}, 0, "4.7.0\n", ""},
        {{"-h", "-V"}, 0, usage_text, ""},
        {{"-q", "-v", "-c", "/nonexistent", "-V"}, 0, "4.7.0\n", ""},
        {{"-x"}, 1, "", std::string("Type ") + bin::zet + " -h for usage info\n"},
        {{"-c"}, 1, "", std::string("Type ") + bin::zet + " -h for usage info\n"},
        {{"-V", "-x"}, 0, "4.7.0\n", ""},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv = {bin::zet};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        SCOPED_TRACE(testing::PrintToString(c.args));
        auto p = start_process(argv, {}, dir / "cli");
        EXPECT_EQ(p->exit_code(), c.status);
        EXPECT_EQ(p->stdout_text(), c.out);
        std::string err = p->stderr_text();
        if (c.status == 0) {
            EXPECT_EQ(err, c.err);
        } else {
            // getopt's own diagnostic comes first.
            EXPECT_GT(err.size(), c.err.size());
            EXPECT_EQ(err.substr(err.size() - std::min(err.size(), c.err.size())), c.err);
        }
    }
}

class Daemon : public DaemonTest {
protected:
    void SetUp() override {
        DaemonTest::SetUp();
        if (IsSkipped())
            return;
        ASSERT_NO_FATAL_FAILURE(mount_tmpfs("size=64m,mode=0755", {mnt_ + "/data2", mnt_ + "/other"}));
    }
    void TearDown() override {
        zet_.reset();
        scand_.reset();
        DaemonTest::TearDown();
    }

    // Starts zet (with -v) on the written configuration; with `ready`, waits for its READY=1.
    void start_zet(bool ready = true, std::map<std::string, std::string> env = {},
                   std::vector<std::string> args = {}) {
        args.insert(args.begin(), "-v");
        DaemonTest::start_zet(args, std::move(env), ready);
    }
    // Stops zet and checks the orderly shutdown.
    void stop_zet(int signo = SIGTERM) {
        DaemonTest::stop_zet(signo);
        std::string err = zet_->stderr_text();
        EXPECT_NE(err.find("SIGINT/SIGTERM received. Exiting..."), std::string::npos) << err;
        EXPECT_EQ(err.find("Fatal error. Exiting."), std::string::npos) << err;
        EXPECT_FALSE(exists(run_ + "/zet.pid"));
    }

    std::unique_ptr<ChildProcess> scand_;
};

TEST_F(Daemon, ReadyThenServesAndStopsCleanlyOnSigterm) {
    start_fake();
    start_zet();
    EXPECT_EQ(read_file(run_ + "/zet.pid"), std::to_string(zet_->pid()));
    struct stat st;
    ASSERT_EQ(stat((run_ + "/zet.pid").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    // Without a watchdog the loop waits for events, and pings after each wake-up.
    write_file(tree_ + "/f", "x");
    EXPECT_EQ(notify_.next(), "WATCHDOG=1\n");
    EXPECT_TRUE(wait_until([&] { return fake_scanned(tree_ + "/f"); }));
    stop_zet();
    std::string err = zet_->stderr_text();
    EXPECT_NE(err.find("zet[" + std::to_string(zet_->pid()) + "]: Starting daemon.\n"), std::string::npos);
    EXPECT_NE(err.find("Started monitoring '" + tree_ + "'...\n"), std::string::npos);
}

TEST_F(Daemon, WatchdogPingsWhileIdle) {
    start_fake();
    // The last -c counts.
    start_zet(true, {{"WATCHDOG_USEC", "200000"}}, {"-c", dir_ / "missing.conf"});
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(notify_.next(5s), "WATCHDOG=1\n") << i;
    stop_zet(SIGINT);
}

TEST_F(Daemon, QuietKeepsStderrEmpty) {
    start_fake();
    start_zet(true, {}, {"-q"});
    write_file(tree_ + "/f", "x");
    EXPECT_TRUE(wait_until([&] { return fake_scanned(tree_ + "/f"); }));
    zet_->signal(SIGTERM);
    EXPECT_EQ(zet_->exit_code(), 0);
    EXPECT_EQ(zet_->stderr_text(), "");
    EXPECT_FALSE(exists(run_ + "/zet.pid"));
}

TEST_F(Daemon, OtherSignalsKeepTheirDefaultAction) {
    start_fake();
    start_zet();
    zet_->signal(SIGHUP);
    EXPECT_EQ(zet_->exit_code(), 128 + SIGHUP);
    EXPECT_TRUE(exists(run_ + "/zet.pid")) << "only an orderly shutdown removes the PID file";
}

TEST_F(Daemon, StartupFailuresEndWithTheirStatus) {
    const struct {
        const char* name;
        std::vector<std::pair<std::string, std::string>> settings;
        std::vector<std::string> monitors;
        int status;
        std::string message;
    } cases[] = {
        {"bad configuration value", {{"SCANNERS", "many"}}, {}, 13, "Failed to read config\n"},
        {"missing run directory",
         {{"RUN_DIR", dir_ / "no-run"}},
         {},
         1,
         "Error changing run directory: chdir(): " + dir_ / "no-run" + ": " + strerror_text(ENOENT) + "\n"},
        {"scan path cannot be marked",
         {},
         {mnt_ + "/missing"},
         1,
         "fanotify_mark(): " + mnt_ + "/missing: " + strerror_text(ENOENT) + "\n"},
        {"socket path too long",
         {{"SOCKET", "/" + std::string(120, 's')}},
         {},
         1,
         "Invalid socket path: /" + std::string(120, 's') + "\n"},
    };
    auto defaults = settings_;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        settings_ = defaults;
        settings_.insert(settings_.end(), c.settings.begin(), c.settings.end());
        monitors_ = {tree_};
        monitors_.insert(monitors_.end(), c.monitors.begin(), c.monitors.end());
        start_zet(false);
        EXPECT_EQ(zet_->exit_code(), c.status);
        std::string err = zet_->stderr_text();
        EXPECT_NE(err.find(c.message), std::string::npos) << err;
        EXPECT_NE(err.find("]: Fatal error. Exiting.\n"), std::string::npos) << err;
        EXPECT_FALSE(exists(run_ + "/zet.pid"));
    }
}

TEST_F(Daemon, PrefixMatchIsByBytesAndOtherWritesAreIgnored) {
    start_fake();
    start_zet();
    write_file(mnt_ + "/other/f", "outside every tree, same mount");
    write_file(mnt_ + "/data2/f", "matches /data by its bytes");
    write_file(tree_ + "/last", "x");
    EXPECT_TRUE(wait_until([&] { return fake_scanned(tree_ + "/last") && fake_scanned(mnt_ + "/data2/f"); }));
    // Events are filtered in their order, so the later write being scanned means the earlier was dropped.
    EXPECT_EQ(service_->received_all().find(mnt_ + "/other/f"), std::string::npos);
    stop_zet();
}

// Why zet.service has no PrivateTmp=, ProtectSystem= and the like: marks set inside a private mount
// namespace sit on its copies of the mounts and see no write made through the host's.
TEST_F(Daemon, PrivateMountNamespaceSeesNoHostWrites) {
    if (access("/usr/bin/unshare", X_OK) != 0 || access("/usr/bin/nsenter", X_OK) != 0)
        GTEST_SKIP() << "needs unshare and nsenter (util-linux)";
    start_fake();
    for (const bool private_namespace : {false, true}) {
        SCOPED_TRACE(private_namespace ? "under unshare" : "in the host namespace");
        if (private_namespace)
            wrapper_ = {"/usr/bin/unshare", "--mount", "--propagation", "private"};
        start_zet();
        const std::string host_file = tree_ + (private_namespace ? "/host-private" : "/host-shared");
        write_file(host_file, "written through the host's mount");
        // A write through zet's own mounts: its scan means every earlier event has been handled.
        const std::string own_file = tree_ + (private_namespace ? "/own-private" : "/own-shared");
        auto writer = start_process({"/usr/bin/nsenter", "--mount", "--target", std::to_string(zet_->pid()),
                                     "/bin/sh", "-c", "echo x > '" + own_file + "'"},
                                    {}, dir_ / "nsenter");
        EXPECT_EQ(writer->exit_code(), 0) << writer->stderr_text();
        EXPECT_TRUE(wait_until([&] { return fake_scanned(own_file); })) << zet_->stderr_text();
        EXPECT_EQ(fake_scanned(host_file), !private_namespace);
        stop_zet();
    }
}

TEST_F(Daemon, ServiceDownIsSurvivedAndLaterFilesAreScanned) {
    start_zet();
    write_file(tree_ + "/infected-early", "x");
    EXPECT_TRUE(wait_until([&] {
        return zet_->stderr_has("Error connecting to scan socket: " + socket_ + ": ");
    })) << zet_->stderr_text();
    start_fake();
    write_file(tree_ + "/infected-late", "x");
    EXPECT_TRUE(wait_until([&] { return !exists(tree_ + "/infected-late"); }));
    EXPECT_TRUE(exists(tree_ + "/infected-early")) << "a failed scan is not retried";
    EXPECT_EQ(count_files(vault_), 1u);
    EXPECT_TRUE(zet_->running());
    stop_zet();
}

// The real scan service with its shipped test signature, the vault beside the tree or on another file system.
TEST_F(Daemon, RealServiceQuarantinesTheTestFile) {
    const struct {
        const char* name;
        std::string vault;
        mode_t mode; // of the vault file: kept by a rename, 0600 for a copy
    } cases[] = {
        {"vault on the tree's file system", mnt_ + "/vault", 0640},
        {"vault on another file system", dir_ / "vault", 0600},
    };
    scand_ = start_process(std::vector<std::string>{bin::orbis_scand, "-s", socket_, "-d", dbdir},
                           std::map<std::string, std::string>{}, dir_ / "scand");
    ASSERT_TRUE(wait_until([&] { return socket_accepts(socket_) || !scand_->running(); }));
    ASSERT_TRUE(scand_->running()) << scand_->stderr_text();

    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        settings_[4] = {"VAULT", c.vault};
        start_zet();
        std::string clean = tree_ + "/clean.txt", infected = tree_ + "/eicar.com";
        write_file(clean, "nothing to see here\n");
        ASSERT_TRUE(write_with_mode(infected, eicar, 0640));
        EXPECT_TRUE(wait_until([&] { return !exists(infected) && !read_file(log_).empty(); }))
            << zet_->stderr_text();
        stop_zet();
        EXPECT_TRUE(exists(clean));

        std::string log = read_file(log_);
        ASSERT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
        const auto cols = read_infection_log(log_).at(0);
        ASSERT_GE(cols.size(), 4u) << log;
        EXPECT_TRUE(is_log_time(cols[0])) << log;
        EXPECT_EQ(cols[1], infected);
        const std::string& vaulted = cols[2];
        EXPECT_FALSE(cols[3].empty()) << "the finding's name";
        EXPECT_EQ(vaulted.rfind(c.vault + "/eicar.com.", 0), 0u) << vaulted;
        struct stat st;
        ASSERT_EQ(stat(vaulted.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, c.mode);
        EXPECT_EQ(read_file(vaulted), eicar);
        std::filesystem::remove(log_);
        std::filesystem::remove_all(c.vault);
        std::filesystem::remove(clean);
    }
    scand_->signal(SIGTERM);
    EXPECT_EQ(scand_->exit_code(), 0);
}

// A flood faster than the scan service: the bounded task queue holds the daemon back, so the kernel queue
// fills up and drops events. The service stalls only while the files are written, to bound the run time.
TEST_F(Daemon, FloodOverflowsTheKernelQueueWithoutHarm) {
    constexpr int FILES = 20000;
    std::atomic<bool> writing = true;
    start_fake();
    service_->set_responder([&writing](const std::string& line) {
        fake::Script s = fake::standard_answer(line);
        if (writing && line.rfind("SCAN ", 0) == 0)
            s.insert(s.begin(), fake::delay(20));
        return s;
    });
    settings_[5] = {"UNLIMITED_QUEUE", "0"};
    // A sanitizer build holds freed memory back for a while; keep that small so growth means a leak.
    const char* asan = getenv("ASAN_OPTIONS");
    start_zet(true, {{"ASAN_OPTIONS", std::string(asan != nullptr ? asan : "") + ":quarantine_size_mb=4"}});
    std::string status_path = "/proc/" + std::to_string(zet_->pid()) + "/status";
    long max_rss_kb = 0;
    auto sample = [&] {
        std::string status = read_file(status_path);
        auto pos = status.find("VmRSS:");
        if (pos != std::string::npos)
            max_rss_kb = std::max(max_rss_kb, atol(status.c_str() + pos + 6));
    };
    sample();
    long start_rss_kb = max_rss_kb;
    for (int i = 0; i < FILES; i++) {
        write_file(tree_ + "/f" + std::to_string(i), "x");
        if (i % 1000 == 0)
            sample();
    }
    writing = false;
    EXPECT_TRUE(wait_until(
        [&] {
            sample();
            return zet_->stderr_has("fanotify event queue overflow!\n") || !zet_->running();
        },
        40s));
    EXPECT_TRUE(zet_->running());
    EXPECT_TRUE(zet_->stderr_has("fanotify event queue overflow!\n"));
    // The queue and the buffers are fixed in size: the flood must not make the daemon grow.
    EXPECT_LT(max_rss_kb - start_rss_kb, 32 * 1024)
        << "resident set grew from " << start_rss_kb << " to " << max_rss_kb << " kB";
    RecordProperty("max_rss_kb", std::to_string(max_rss_kb));
    // Scanning goes on after the overflow.
    write_file(tree_ + "/after-flood", "x");
    EXPECT_TRUE(wait_until([&] { return fake_scanned(tree_ + "/after-flood"); }, 40s));
    stop_zet();
}

} // namespace

// A file system mounted below a tree, before zet starts or while it runs, is watched like the tree in
// either coverage; one that goes is forgotten, and one mounted there again is watched again.
TEST_F(Daemon, MountsBelowATreeAreWatchedAsTheyComeAndGo) {
    for (const char* coverage : {"writes", "full"}) {
        SCOPED_TRACE(coverage);
        const std::string before = tree_ + "/before", later = tree_ + "/later";
        std::filesystem::create_directories(before);
        std::filesystem::create_directories(later);
        auto first = std::make_unique<TmpfsMount>(before, "size=1m");
        ASSERT_TRUE(first->mounted());
        settings_.push_back({"COVERAGE", coverage});
        start_fake();
        start_zet();
        EXPECT_TRUE(zet_->stderr_has("Started monitoring '" + before + "'...\n")) << zet_->stderr_text();
        write_file(before + "/a", "x");
        EXPECT_TRUE(wait_until([&] { return fake_scanned(before + "/a"); })) << zet_->stderr_text();

        for (std::size_t round = 0; round < 2; round++) {
            SCOPED_TRACE(round);
            auto second = std::make_unique<TmpfsMount>(later, "size=1m");
            ASSERT_TRUE(second->mounted());
            EXPECT_TRUE(wait_until([&] {
                return count(zet_->stderr_text(), "Started monitoring '" + later + "'...\n") == round + 1;
            })) << zet_->stderr_text();
            const std::string file = later + "/b" + std::to_string(round);
            write_file(file, "x");
            EXPECT_TRUE(wait_until([&] { return fake_scanned(file); })) << zet_->stderr_text();
            second.reset();
            EXPECT_TRUE(wait_until([&] {
                return count(zet_->stderr_text(), "Stopped monitoring '" + later + "': unmounted\n") ==
                       round + 1;
            })) << zet_->stderr_text();
        }
        stop_zet();
        settings_.pop_back();
        service_.reset();
        first.reset();
    }
}

// Without the means to open file handles again (here CAP_DAC_READ_SEARCH dropped, as a container's filter
// would refuse the call), full coverage is not claimed: the tree falls back to writes and says why.
TEST_F(Daemon, FullCoverageWithoutHandlesFallsBackAndSaysSo) {
    wrapper_ = {"/usr/bin/setpriv", "--inh-caps=-dac_read_search", "--bounding-set=-dac_read_search"};
    settings_.push_back({"COVERAGE", "full"});
    start_fake();
    start_zet();
    EXPECT_TRUE(zet_->stderr_has("Coverage of '" + tree_ + "' falls back to writes: open_by_handle_at(): " +
                                 strerror_text(EPERM) + "\n"))
        << zet_->stderr_text();
    write_file(tree_ + "/f", "x");
    EXPECT_TRUE(wait_until([&] { return fake_scanned(tree_ + "/f"); })) << zet_->stderr_text();
    stop_zet();
}
