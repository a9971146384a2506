// Protection on access with the real zet, the real orbis-scand and real readers (cat as another user,
// execve, many processes at once), on a tmpfs and a loop-mounted ext4, with ON_OPEN = scan and = block:
// what reaches a reader, what is quarantined, what is scanned how often, and that no reader ever waits
// past the deadline, whatever happens to the scan service or to zet.
#include "tests/support/daemon.hpp"
#include "tests/support/files.hpp"
#include "tests/support/scand.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>

using namespace std::chrono_literals;
using namespace zet_test;

namespace {

using Clock = std::chrono::steady_clock;
// The deadline of the tests' held opens, and how much later than it a reader may come back: sanitizer
// builds are slow, a hang is not.
constexpr int OPEN_TIMEOUT = 2;
constexpr auto SLACK = 8s;
constexpr auto DEADLINE = 60s;
const std::string nobody = "--reuid=65534";

struct Read {
    int status;
    std::string out, err;
    std::chrono::milliseconds took;
};

// An .ndb with one body signature for `text`.
std::string signature_for(const std::string& name, const std::string& text) {
    std::string hex;
    char buf[3];
    for (unsigned char c : text) {
        snprintf(buf, sizeof buf, "%02x", c);
        hex += buf;
    }
    return name + ":0:*:" + hex + "\n";
}

enum class Fs { tmpfs, ext4 };

// Public: the rows of the tables below drive it.
class OnOpen : public DaemonTest {
public:
    void TearDown() override {
        readers_.clear();
        zet_.reset();
        scand_.reset();
        DaemonTest::TearDown();
        ext4_.reset();
    }

    // The tree on a file system of its own, and a database of the test's own so that signatures can be
    // added to it.
    void prepare(Fs fs) {
        if (fs == Fs::tmpfs) {
            ASSERT_NO_FATAL_FAILURE(mount_tmpfs("size=64m,mode=0755", {outside_}));
        } else {
            ext4_ = std::make_unique<LoopExt4>(dir_ / "ext4.img", mnt_);
            ASSERT_EQ(ext4_->error(), "");
            for (const auto& d : {tree_, outside_, run_})
                std::filesystem::create_directories(d);
        }
        // Readers of another user reach the tree.
        for (const std::string& d : {dir_.path(), mnt_, tree_})
            chmod(d.c_str(), 0755);
        std::filesystem::create_directories(db_);
        std::filesystem::copy_file(std::string(dbdir) + "/orbis-eicar.ldb", db_ + "/orbis-eicar.ldb");
    }
    // orbis-scand, and zet with full coverage and ON_OPEN = `mode`.
    void start(const std::string& mode, const std::map<std::string, std::string>& extra = {}) {
        start_scand();
        set("SOCKET", scand_->socket());
        set("COVERAGE", "full");
        set("ON_OPEN", mode);
        set("OPEN_TIMEOUT", std::to_string(OPEN_TIMEOUT));
        set("METRICS", "yes");
        for (const auto& [k, v] : extra)
            set(k, v);
        ASSERT_NO_FATAL_FAILURE(start_zet({"-v"}, {}, true, DEADLINE));
        if (mode == "block" && zet_->stderr_has("falls back to scan"))
            GTEST_SKIP() << "this kernel offers no permission events here: " << zet_->stderr_text();
    }
    void start_scand() {
        scand_ = std::make_unique<Service>(dir_, std::vector<std::string>{"-d", db_, "-i", "1"});
        ASSERT_TRUE(scand_->ready()) << scand_->log();
    }
    // Reads `path` with cat as another user, or runs `argv`, to its end.
    Read read_as_nobody(const std::string& path) {
        return run({"/usr/bin/setpriv", nobody, "/bin/cat", path});
    }
    Read run(const std::vector<std::string>& argv, std::chrono::milliseconds limit = DEADLINE) {
        const auto t0 = Clock::now();
        Result r = run_to_end(argv, dir_ / ("reader" + std::to_string(runs_++)), limit);
        return {r.status, r.out, r.err,
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0)};
    }
    // Starts a reader of `path` without waiting for it.
    ChildProcess& spawn_reader(const std::string& path) {
        readers_.push_back(std::make_unique<ChildProcess>());
        std::string base = dir_ / ("bg" + std::to_string(readers_.size()));
        EXPECT_TRUE(readers_.back()->spawn({"/bin/cat", path}, {}, base + ".err", base + ".out"));
        return *readers_.back();
    }
    // Every reader started has ended within `limit`, each with status 0.
    void expect_readers_end(std::chrono::milliseconds limit, int status = 0) {
        const auto until = Clock::now() + limit;
        for (auto& r : readers_) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
            EXPECT_EQ(r->exit_code(std::max(left, 1ms)), status) << r->stderr_text();
        }
    }
    // A count of zet's metrics file; -1 before it has one.
    long metric(const std::string& name) {
        std::string text = "\n" + read_file(run_ + "/zet.metrics");
        auto at = text.find("\n" + name + " ");
        return at == std::string::npos ? -1 : std::stol(text.substr(at + name.size() + 2));
    }
    ::testing::AssertionResult metric_reaches(const std::string& name, long value) {
        if (wait_until([&] { return metric(name) >= value; }, DEADLINE))
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << name << " stays below " << value << ":\n"
                                             << read_file(run_ + "/zet.metrics") << zet_->stderr_text();
    }
    bool quarantined(const std::string& path) {
        return wait_until([&] { return !exists(path) && has(read_file(log_), "\t" + path + "\t"); },
                          DEADLINE);
    }
    // Adds a signature for `text` and waits until zet has seen orbis-scand load it.
    void detect(const std::string& text) {
        const std::size_t seen = count(zet_->stderr_text(), "Signatures changed");
        write_file(db_ + "/.incoming", signature_for("Orbis.Test.Later", text));
        ASSERT_EQ(rename((db_ + "/.incoming").c_str(), (db_ + "/later.ndb").c_str()), 0);
        ASSERT_TRUE(
            wait_until([&] { return count(zet_->stderr_text(), "Signatures changed") > seen; }, DEADLINE))
            << scand_->log();
    }

    std::string db_ = dir_ / "db", outside_ = mnt_ + "/outside";
    std::unique_ptr<LoopExt4> ext4_;
    std::unique_ptr<Service> scand_;
    std::vector<std::unique_ptr<ChildProcess>> readers_;
    int runs_ = 0;
};

// ---- what reaches a reader
// ---------------------------------------------------------------------------------

// One way an infected file meets a reader: `before` runs before zet starts, `act` returns what the reader
// got; `reps` files go through it.
struct Encounter {
    const char* name;
    std::function<void(OnOpen&, const std::string& path)> before;
    std::function<Read(OnOpen&, const std::string& path)> act;
    int reps = 1;
};

void put_eicar(OnOpen&, const std::string& p) {
    write_file(p, eicar);
}

const Encounter encounters[] = {
    {"present before zet started, read by another user", put_eicar,
     [](OnOpen& t, const std::string& p) { return t.read_as_nobody(p); }},
    {"present before zet started, executed",
     [](OnOpen& t, const std::string& p) {
         put_eicar(t, p);
         chmod(p.c_str(), 0755);
     },
     [](OnOpen& t, const std::string& p) {
         return t.run({"/bin/sh", "-c", "exec \"$0\"", p});
     }},
    // The race between a close and the next open, 20 times.
    {"read right after its close", nullptr,
     [](OnOpen& t, const std::string& p) {
         put_eicar(t, p);
         return t.read_as_nobody(p);
     },
     20},
    {"held open for writing while another process reads it", nullptr,
     [](OnOpen& t, const std::string& p) {
         int fd = open(p.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
         EXPECT_EQ(write(fd, eicar.data(), eicar.size()), static_cast<ssize_t>(eicar.size()));
         Read r = t.read_as_nobody(p);
         close(fd);
         return r;
     }},
    {"detectable only once new signatures are loaded",
     [](OnOpen&, const std::string& p) { write_file(p, "harmless until today\n"); },
     [](OnOpen& t, const std::string& p) {
         EXPECT_EQ(t.read_as_nobody(p).status, 0); // clean, and known clean from now on
         t.detect("harmless until today");
         return t.read_as_nobody(p);
     }},
};

class Encounters : public OnOpen, public ::testing::WithParamInterface<std::tuple<const char*, Fs, int>> {};

TEST_P(Encounters, BlockedReadersNeverGetAnInfectedFileAndEveryModeQuarantinesIt) {
    const auto [mode, fs, row] = GetParam();
    const Encounter& e = encounters[row];
    SCOPED_TRACE(e.name);
    ASSERT_NO_FATAL_FAILURE(prepare(fs));
    std::vector<std::string> paths;
    for (int i = 0; i < e.reps; i++)
        paths.push_back(tree_ + "/f" + std::to_string(i) + ".com");
    if (e.before)
        for (const auto& p : paths)
            e.before(*this, p);
    ASSERT_NO_FATAL_FAILURE(start(mode));
    for (const auto& p : paths) {
        Read r = e.act(*this, p);
        if (std::string(mode) == "block") {
            EXPECT_NE(r.status, 0) << p;
            EXPECT_FALSE(has(r.out, "EICAR")) << p << ": the reader got the content";
        }
        EXPECT_TRUE(quarantined(p)) << p << "\n" << zet_->stderr_text();
    }
    stop_zet(SIGTERM, DEADLINE);
}

INSTANTIATE_TEST_SUITE_P(Rows, Encounters,
                         ::testing::Combine(::testing::Values("block", "scan"),
                                            ::testing::Values(Fs::tmpfs, Fs::ext4),
                                            ::testing::Range(0, static_cast<int>(std::size(encounters)))));

// ---- what is scanned how often
// -----------------------------------------------------------------------------

class Modes : public OnOpen, public ::testing::WithParamInterface<const char*> {};

TEST_P(Modes, UnchangedCleanFilesAreScannedOnceAndAgainAfterAWriteARenameInAndNewSignatures) {
    const char* mode = GetParam();
    {
        ASSERT_NO_FATAL_FAILURE(prepare(Fs::tmpfs));
        constexpr int FILES = 20, READS = 5;
        for (int i = 0; i < FILES; i++)
            write_file(tree_ + "/c" + std::to_string(i), "clean " + std::to_string(i) + "\n");
        ASSERT_NO_FATAL_FAILURE(start(mode));
        for (int n = 0; n < READS; n++)
            for (int i = 0; i < FILES; i++)
                ASSERT_EQ(read_as_nobody(tree_ + "/c" + std::to_string(i)).status, 0);
        ASSERT_TRUE(metric_reaches("open_scans", FILES));
        const long scans = metric("open_scans");
        EXPECT_EQ(scans, FILES) << "each unchanged file is scanned once";
        // A write, a rename out of the tree and back in, new signatures: each makes the next read scan again.
        write_file(tree_ + "/c0", "clean, rewritten\n");
        ASSERT_EQ(rename((tree_ + "/c2").c_str(), (outside_ + "/c2").c_str()), 0);
        ASSERT_EQ(rename((outside_ + "/c2").c_str(), (tree_ + "/c2").c_str()), 0);
        for (const char* name : {"c0", "c2"})
            EXPECT_EQ(read_as_nobody(tree_ + "/" + name).status, 0);
        EXPECT_TRUE(metric_reaches("open_scans", scans + 2));
        ASSERT_NO_FATAL_FAILURE(detect("something else entirely"));
        EXPECT_EQ(read_as_nobody(tree_ + "/c1").status, 0);
        EXPECT_TRUE(metric_reaches("open_scans", scans + 3));
        EXPECT_EQ(metric("opens_denied"), 0);
        stop_zet(SIGTERM, DEADLINE);
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, Modes, ::testing::Values("block", "scan"));

// ---- no reader waits past the deadline
// ---------------------------------------------------------------------

TEST_F(OnOpen, AStoppedOrKilledScanServiceHoldsNoOpenPastTheDeadline) {
    ASSERT_NO_FATAL_FAILURE(prepare(Fs::tmpfs));
    ASSERT_NO_FATAL_FAILURE(start("block"));
    for (int sig : {SIGSTOP, SIGKILL}) {
        SCOPED_TRACE(strsignal(sig));
        std::string file = tree_ + "/uncached-" + std::to_string(sig);
        write_file(file, "clean, never read before\n");
        ASSERT_TRUE(sig == SIGSTOP ? scand_->child().suspend() : scand_->child().signal(sig));
        Read r = read_as_nobody(file);
        EXPECT_EQ(r.status, 0) << r.err; // OPEN_ERROR = allow: the open goes on unscanned
        EXPECT_LT(r.took, std::chrono::seconds(OPEN_TIMEOUT) + SLACK);
        EXPECT_TRUE(
            wait_until([&] { return zet_->stderr_has(file + ": open allowed unscanned: "); }, DEADLINE))
            << zet_->stderr_text();
        scand_->child().signal(SIGCONT);
    }
    stop_zet(SIGTERM, DEADLINE);
}

TEST_F(OnOpen, KillingZetReleasesEveryWaitingOpenAtOnce) {
    ASSERT_NO_FATAL_FAILURE(prepare(Fs::tmpfs));
    ASSERT_NO_FATAL_FAILURE(start("block", {{"OPEN_TIMEOUT", "60"}}));
    constexpr int READERS = 100;
    for (int i = 0; i < READERS; i++)
        write_file(tree_ + "/w" + std::to_string(i), "clean\n");
    ASSERT_TRUE(scand_->child().suspend()); // every open now waits for its verdict
    for (int i = 0; i < READERS; i++)
        spawn_reader(tree_ + "/w" + std::to_string(i));
    ASSERT_TRUE(metric_reaches("opens_held", READERS));
    const auto t0 = Clock::now();
    zet_->signal(SIGKILL);
    expect_readers_end(SLACK);
    EXPECT_LT(Clock::now() - t0, SLACK);
    scand_->child().signal(SIGCONT);
}

TEST_F(OnOpen, AHundredReadersOfOneUncachedFileCauseOneScan) {
    ASSERT_NO_FATAL_FAILURE(prepare(Fs::tmpfs));
    ASSERT_NO_FATAL_FAILURE(start("block", {{"OPEN_TIMEOUT", "60"}}));
    write_file(tree_ + "/shared", "clean, read by many\n");
    ASSERT_TRUE(scand_->child().suspend()); // the first scan waits until they all have come
    for (int i = 0; i < 100; i++)
        spawn_reader(tree_ + "/shared");
    ASSERT_TRUE(metric_reaches("opens_held", 100));
    scand_->child().signal(SIGCONT);
    expect_readers_end(DEADLINE);
    EXPECT_TRUE(metric_reaches("open_scans", 1));
    EXPECT_EQ(metric("open_scans"), 1);
    stop_zet(SIGTERM, DEADLINE);
}

TEST_F(OnOpen, AFewDescriptorsLeftNeverDenyAnOpen) {
    ASSERT_NO_FATAL_FAILURE(prepare(Fs::tmpfs));
    ASSERT_NO_FATAL_FAILURE(start("block"));
    constexpr int READERS = 200;
    for (int i = 0; i < READERS; i++)
        write_file(tree_ + "/d" + std::to_string(i), "clean " + std::to_string(i) + "\n");
    // Fewer descriptors to spare than opens come at once.
    std::string pid = std::to_string(zet_->pid());
    std::size_t open_now = count_files("/proc/" + pid + "/fd");
    std::string limit = std::to_string(open_now + READERS * 3 / 4);
    ASSERT_EQ(run({"/usr/bin/prlimit", "--pid", pid, "--nofile=" + limit + ":" + limit}).status, 0);
    for (int i = 0; i < READERS; i++)
        spawn_reader(tree_ + "/d" + std::to_string(i));
    expect_readers_end(DEADLINE);
    EXPECT_EQ(metric("opens_denied"), 0);
    stop_zet(SIGTERM, DEADLINE);
}

TEST_F(OnOpen, AnOverflowOfTheQueueOfOpensLetsThemThroughAndIsCounted) {
    ASSERT_NO_FATAL_FAILURE(prepare(Fs::tmpfs));
    constexpr int READERS = 100;
    for (int i = 0; i < READERS; i++)
        write_file(tree_ + "/q" + std::to_string(i), "clean\n");
    {
        // A group takes the limit when it is made.
        SysctlOverride small("/proc/sys/fs/fanotify/max_queued_events", "16");
        ASSERT_NO_FATAL_FAILURE(start("block", {{"UNLIMITED_QUEUE", "no"}, {"OPEN_TIMEOUT", "60"}}));
    }
    // Room for one held open: the kernel's queue of 16 fills, and the opens beyond it go on unseen.
    std::string pid = std::to_string(zet_->pid());
    std::string limit = std::to_string(count_files("/proc/" + pid + "/fd") + 68);
    ASSERT_EQ(run({"/usr/bin/prlimit", "--pid", pid, "--nofile=" + limit + ":" + limit}).status, 0);
    ASSERT_TRUE(scand_->child().suspend());
    for (int i = 0; i < READERS; i++)
        spawn_reader(tree_ + "/q" + std::to_string(i));
    scand_->child().signal(SIGCONT);
    expect_readers_end(DEADLINE);
    EXPECT_TRUE(metric_reaches("open_queue_overflows", 1)) << scand_->log();
    EXPECT_TRUE(wait_until([&] { return zet_->stderr_has("fanotify queue of opens overflowed"); }, DEADLINE));
    stop_zet(SIGTERM, DEADLINE);
}

TEST_F(OnOpen, WorkloadsOfThousandsOfOpensRunThroughABlockedTree) {
    ASSERT_NO_FATAL_FAILURE(prepare(Fs::tmpfs));
    const std::string repo = tree_ + "/repo";
    constexpr int SOURCES = 400;
    for (int d = 0; d < 20; d++)
        std::filesystem::create_directories(repo + "/src" + std::to_string(d));
    std::filesystem::create_directories(repo + "/bin");
    for (int i = 0; i < SOURCES; i++)
        write_file(repo + "/src" + std::to_string(i % 20) + "/f" + std::to_string(i) + ".c",
                   "int f" + std::to_string(i) + ";\n");
    std::filesystem::copy_file("/bin/true", repo + "/bin/tool");
    ASSERT_NO_FATAL_FAILURE(start("block"));
    const std::vector<std::pair<const char*, std::vector<std::string>>> workloads = {
        {"git init", {"/usr/bin/git", "-C", repo, "init", "-q"}},
        {"git add", {"/usr/bin/git", "-C", repo, "add", "-A"}},
        {"git commit",
         {"/usr/bin/git", "-C", repo, "-c", "user.name=t", "-c", "user.email=t@t", "commit", "-qm", "all"}},
        {"git status", {"/usr/bin/git", "-C", repo, "status", "--porcelain"}},
        {"tar c", {"/usr/bin/tar", "-cf", dir_ / "repo.tar", "-C", tree_, "repo"}},
        // A build that runs a program from the tree for every source file.
        {"build",
         {"/bin/sh", "-c",
          "for f in " + repo + "/src*/*.c; do " + repo + "/bin/tool \"$f\" || exit 1; done"}},
    };
    for (const auto& [name, argv] : workloads) {
        SCOPED_TRACE(name);
        Read r = run(argv, 4 * DEADLINE);
        EXPECT_EQ(r.status, 0) << r.err;
    }
    // Every source was opened, and scanned once, before the counts are looked at.
    EXPECT_TRUE(metric_reaches("open_scans", SOURCES));
    EXPECT_EQ(metric("opens_denied"), 0);
    EXPECT_EQ(metric("opens_unscanned"), 0);
    stop_zet(SIGTERM, DEADLINE);
}

} // namespace
