// Faults and hostile inputs against the real zet binary: broken configuration files, a scan service that
// dies or misbehaves, a vault that cannot take files, event floods, trees and files that change under the
// daemon, and files swapped for links between their event and their move.
#include "tests/support/daemon.hpp"
#include "tests/support/fake_service.hpp"
#include "tests/support/infection_log.hpp"
#include "tests/support/programs.hpp"
#include "tests/support/scand.hpp"
#include "zelu/wire.hpp"

#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <random>
#include <set>

using namespace std::chrono_literals;
using namespace zet_test;

namespace {

namespace fs = std::filesystem;

// The escaping of paths and names on the wire, as the client applies it.
std::string escaped(const std::string& text) {
    return zelu::wire::escape(text);
}

// What a finding line for `path` looks like from the service.
fake::Script infected_answer(const std::string& path, const std::vector<std::string>& names) {
    std::string text = "210 Accepted\r\n";
    int i = 1;
    for (const auto& n : names)
        text += "SCAN " + escaped(path) + "\t[L]0.000100\t" + std::to_string(i++) + " " + escaped(n) + "\r\n";
    return {fake::send(text + "200 OK\r\n")};
}

TEST(BrokenConfiguration, EndsWithStatus13AndTheErrorsReported) {
    TempDir dir;
    std::mt19937 random(20261208); // fixed, so that a failure can be rerun
    std::string garbage(4096, '\0');
    for (auto& c : garbage)
        c = static_cast<char>(random() & 0xff);
    const std::string conf = dir / "zet.conf";
    const struct {
        const char* name;
        std::string text;
        std::string report; // a fragment of what the reader reports
    } cases[] = {
        {"truncated section header", "RUN_DIR = /run\n[MONITORS\nSCAN = /srv\n",
         conf + ":2:10: parse error matching tao::pegtl::ascii::one<']'>"},
        {"truncated quoted value", "SOCKET = \"/run/orbis/scan", conf + ":1:26: string value not closed"},
        {"truncated escape", "SOCKET = \"\\x4", conf + ":1:14: invalid escape sequence, expected hex digit"},
        {"truncated key", "RUN_DIR = /run\nSOCK", conf + ":2:1: invalid line"},
        {"binary garbage", garbage, conf + ":1:"},
        {"1 MB line without a value", std::string(1 << 20, 'k') + "\n", conf + ":1:1: invalid line"},
        {"1 MB unclosed quoted value", "VAULT = \"" + std::string(1 << 20, 'v') + "\n",
         conf + ":1:1048586: string value not closed"},
        {"NUL bytes on a line", std::string("\0\0\0\n", 4), conf + ":1:1: invalid line"},
        {"NUL byte in a quoted value", std::string("SOCKET = \"a\0b\"\n", 15),
         conf + ":1:12: string value not closed"},
        {"lone CR after a section", "[MONITORS]\r", conf + ":1:11: unexpected trailing text"},
        {"blanks without a line end", "RUN_DIR = /run\n  ", conf + ":2:1: unexpected input"},
        {"SCANNERS not a number", "SCANNERS = many\n", "Failed to read config"},
        {"UNLIMITED_QUEUE not a boolean", "UNLIMITED_QUEUE = maybe\n",
         conf + ": invalid bool value: [] UNLIMITED_QUEUE = maybe"},
        {"empty SCAN path", "[MONITORS]\nSCAN =\n", "Failed to read config"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        write_file(conf, c.text);
        auto p = start_process({bin::zet, "-c", conf}, {}, dir / "zet");
        EXPECT_EQ(p->exit_code(60s), 13);
        std::string err = p->stderr_text();
        EXPECT_NE(err.find(c.report), std::string::npos) << err.substr(0, 2000);
        EXPECT_NE(err.find("Failed to read config\n"), std::string::npos) << err.substr(0, 2000);
        EXPECT_NE(err.find("Fatal error. Exiting.\n"), std::string::npos) << err.substr(0, 2000);
    }
}

// The fixture's tree and a directory outside every monitored tree on the tree's mount; one worker.
class Fault : public DaemonTest {
protected:
    void SetUp() override {
        DaemonTest::SetUp();
        if (IsSkipped())
            return;
        ASSERT_NO_FATAL_FAILURE(mount_tmpfs("size=256m,mode=0755", {other_}));
        set("SCANNERS", "1");
    }
    void TearDown() override {
        zet_.reset();
        scand_.reset();
        DaemonTest::TearDown();
    }

    void start_zet(std::map<std::string, std::string> env = {}) {
        DaemonTest::start_zet({"-v"}, std::move(env));
    }
    int open_descriptors() const {
        return static_cast<int>(count_files("/proc/" + std::to_string(zet_->pid()) + "/fd"));
    }

    std::string other_ = mnt_ + "/other";
    std::unique_ptr<ChildProcess> scand_;
};

TEST_F(Fault, ScanServiceKilledDuringAFloodAndRestarted) {
    constexpr int FILES = 10000;
    constexpr int SCANNERS = 4;
    set("SCANNERS", std::to_string(SCANNERS));
    exclusions_ = {other_};
    auto start_scand = [&](const std::string& name) {
        scand_ = start_process(std::vector<std::string>{bin::orbis_scand, "-v", "-s", socket_, "-d", dbdir},
                               std::map<std::string, std::string>{}, dir_ / name);
        ASSERT_TRUE(wait_until([&] { return socket_accepts(socket_) || !scand_->running(); }, 60s));
        ASSERT_TRUE(scand_->running()) << scand_->stderr_text();
    };
    const std::string excluding = "Excluding '" + other_ + "/*'";
    start_scand("scand-1");
    start_zet();
    // Warm up until every worker holds its connection, then count the daemon's descriptors.
    for (int i = 0; i < 200; i++)
        write_file(tree_ + "/warm" + std::to_string(i), "x");
    ASSERT_TRUE(wait_until([&] { return count(scand_->stderr_text(), excluding) == SCANNERS; }, 60s))
        << scand_->stderr_text();
    ASSERT_TRUE(
        wait_until([&] { return count(scand_->stderr_text(), "SCAN '" + tree_ + "/warm199'") == 1; }, 60s));
    const int descriptors = open_descriptors();

    std::thread writer([&] {
        for (int i = 0; i < FILES; i++)
            write_file(tree_ + "/flood" + std::to_string(i), "x");
    });
    wait_until([&] { return count(scand_->stderr_text(), "SCAN '" + tree_ + "/flood") > 100; }, 60s);
    kill(scand_->pid(), SIGKILL);
    EXPECT_EQ(scand_->exit_code(), 128 + SIGKILL);
    unlink(socket_.c_str());
    start_scand("scand-2");
    writer.join();

    // Every worker reconnects: welcome, then the exclusion again, before its next scan. Enough files
    // follow the restart for each worker to take some, however much of the flood went before it.
    for (int i = 0; i < 200; i++)
        write_file(tree_ + "/after" + std::to_string(i), "x");
    write_file(tree_ + "/eicar.com", eicar);
    EXPECT_TRUE(wait_until([&] { return !exists(tree_ + "/eicar.com"); }, 120s))
        << zet_->stderr_text().substr(0, 4000);
    EXPECT_TRUE(wait_until([&] { return count(scand_->stderr_text(), excluding) == SCANNERS; }, 120s))
        << scand_->stderr_text().substr(0, 4000);
    EXPECT_TRUE(zet_->running());
    // Broken connections were closed, not piled up.
    EXPECT_TRUE(wait_until([&] { return open_descriptors() <= descriptors; }, 30s))
        << open_descriptors() << " descriptors, " << descriptors << " before the fault";
    stop_zet();
    scand_->signal(SIGTERM);
    EXPECT_EQ(scand_->exit_code(), 0);
}

// Each row: the first connection misbehaves while the first file is scanned; the second file gets a
// standard connection and is quarantined.
TEST_F(Fault, MisbehavingServiceResetsTheConnectionAndTheNextFileIsScanned) {
    const std::string welcome = "220 fake ready\r\n";
    fake::Script drip = {fake::send(welcome), fake::read_line()};
    for (char c : std::string("210\r\n200\r\n")) {
        drip.push_back(fake::delay(1000));
        drip.push_back(fake::send(std::string(1, c)));
    }
    drip.push_back(fake::serve());
    const struct {
        const char* name;
        fake::Script script;
        std::string message; // logged by zet, or "" when the fault passes without one
        int connections;     // the drip keeps its connection: the answer is slow but whole
        bool command_sent;   // the first file's command reaches the service
    } cases[] = {
        {"garbage answer",
         {fake::send(welcome), fake::read_line(), fake::send("\x01\x02 garbage\r\n")},
         "Defective AV response!",
         2,
         true},
        {"garbage welcome", {fake::send("\x7f\x7f\r\n")}, "Defective AV response!", 2, false},
        {"stops mid-line",
         {fake::send(welcome), fake::read_line(), fake::send("210 Acc"), fake::hang_up()},
         "",
         2,
         true},
        {"closes after the welcome", {fake::send(welcome), fake::hang_up()}, "", 2, false},
        {"resets the connection", {fake::send(welcome), fake::reset()}, "", 2, false},
        {"one byte a second", drip, "", 1, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        start_fake({c.script});
        start_zet();
        write_file(tree_ + "/first", "x");
        ASSERT_TRUE(wait_until(
            [&] { return c.command_sent ? fake_scanned(tree_ + "/first") : service_->finished() >= 1; }, 30s))
            << zet_->stderr_text();
        const std::string infected = tree_ + "/infected-second";
        write_file(infected, "x");
        EXPECT_TRUE(wait_until([&] { return !exists(infected); }, 30s)) << zet_->stderr_text();
        EXPECT_EQ(service_->connections(), c.connections);
        if (!c.message.empty()) {
            EXPECT_TRUE(zet_->stderr_has(c.message)) << zet_->stderr_text();
        }
        EXPECT_TRUE(zet_->running());
        stop_zet();
        service_.reset();
        fs::remove_all(vault_);
        fs::remove(log_);
    }
}

TEST_F(Fault, VaultThatCannotTakeTheFileLeavesItInPlace) {
    const std::string small_vault = dir_ / "small-vault";
    const std::string infected = tree_ + "/infected.bin";
    const std::string payload(1 << 20, 'v');
    std::unique_ptr<TmpfsMount> small; // the vault's own file system, unmounted by each case's undo
    const struct {
        const char* name;
        std::string vault;
        std::function<bool()> prepare; // makes the vault unusable; false when this kernel cannot
        std::function<void()> undo;
        std::string message;
    } cases[] = {
        {"full vault on another file system", small_vault + "/v",
         [&] {
             small = std::make_unique<TmpfsMount>(small_vault, "size=64k");
             return small->mounted() && mkdir((small_vault + "/v").c_str(), 0700) == 0;
         },
         [&] { small.reset(); }, "write(): " + strerror_text(ENOSPC)},
        {"read-only vault", small_vault + "/v",
         [&] {
             small = std::make_unique<TmpfsMount>(small_vault, "size=1m");
             if (!small->mounted() || mkdir((small_vault + "/v").c_str(), 0700) != 0)
                 return false;
             write_file(small_vault + "/v/kept", "old");
             return mount(nullptr, small_vault.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0;
         },
         [&] { small.reset(); }, "mkstemp(): "},
        {"immutable vault", vault_,
         [&] { return mkdir(vault_.c_str(), 0700) == 0 && set_immutable(vault_, true); },
         [&] { set_immutable(vault_, false); }, "mkstemp(): "},
    };
    fs::create_directories(small_vault);
    write_file(other_ + "/bystander", "outside");
    write_file(tree_ + "/clean", "clean");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (!c.prepare()) {
            c.undo();
            ADD_FAILURE() << "cannot prepare the vault: " << strerror_text(errno);
            continue;
        }
        const std::size_t in_vault = count_files(c.vault);
        set("VAULT", c.vault);
        start_fake();
        start_zet();
        write_file(infected, payload);
        auto cols = wait_for_log_line(log_, infected);
        ASSERT_EQ(cols.size(), 4u) << zet_->stderr_text();
        EXPECT_EQ(cols[2], "ERROR");
        EXPECT_TRUE(zet_->stderr_has(c.message)) << zet_->stderr_text();
        EXPECT_EQ(read_file(infected), payload) << "the infected file stays whole where it was";
        EXPECT_EQ(read_file(tree_ + "/clean"), "clean");
        EXPECT_EQ(read_file(other_ + "/bystander"), "outside");
        EXPECT_EQ(count_files(c.vault), in_vault) << "no partial copy is left in the vault";
        EXPECT_TRUE(zet_->running());
        stop_zet();
        service_.reset();
        c.undo();
        fs::remove(log_);
        fs::remove(infected);
    }
}

// With an unlimited kernel queue, a flood that would overflow the default queue loses no event.
TEST_F(Fault, UnlimitedQueueLosesNoEventInAFlood) {
    constexpr int FILES = 20000;
    set("SCANNERS", "4");
    // Shared with the service's threads, which may answer until the fixture stops the service.
    auto writing = std::make_shared<std::atomic<bool>>(true);
    start_fake();
    service_->set_responder([writing](const std::string& line) {
        fake::Script s = fake::standard_answer(line);
        if (*writing && line.rfind("SCAN ", 0) == 0)
            s.insert(s.begin(), fake::delay(20));
        return s;
    });
    start_zet();
    for (int i = 0; i < FILES; i++)
        write_file(tree_ + "/f" + std::to_string(i), "x");
    *writing = false;
    auto scanned = [&] {
        std::set<std::string> paths;
        for (int i = 0; i < service_->connections(); i++)
            for (const auto& l : service_->lines(i))
                if (l.rfind("SCAN ", 0) == 0)
                    paths.insert(fake::scan_path(l));
        return paths.size();
    };
    EXPECT_TRUE(wait_until([&] { return scanned() == FILES; }, 180s)) << scanned() << " of " << FILES;
    EXPECT_FALSE(zet_->stderr_has("fanotify event queue overflow!"));
    stop_zet();
}

TEST_F(Fault, TreeDeletedAndRecreatedIsStillMonitored) {
    start_fake();
    start_zet();
    write_file(tree_ + "/before", "x");
    ASSERT_TRUE(wait_until([&] { return fake_scanned(tree_ + "/before"); }));
    fs::remove_all(tree_);
    write_file(other_ + "/while-gone", "x");
    fs::create_directories(tree_);
    const std::string infected = tree_ + "/infected-after";
    write_file(infected, "x");
    EXPECT_TRUE(wait_until([&] { return !exists(infected); })) << zet_->stderr_text();
    EXPECT_EQ(wait_for_log_line(log_, infected).size(), 4u);
    EXPECT_FALSE(fake_scanned(other_ + "/while-gone"));
    stop_zet();
}

TEST_F(Fault, FileDeletedBetweenItsEventAndItsMove) {
    const std::string gone = tree_ + "/infected-gone";
    start_fake();
    service_->set_responder([gone](const std::string& line) {
        if (line.rfind("SCAN " + gone + " ", 0) == 0) {
            unlink(gone.c_str());
            return infected_answer(gone, {"Test.Gone"});
        }
        return fake::standard_answer(line);
    });
    start_zet();
    write_file(gone, "x");
    auto cols = wait_for_log_line(log_, gone);
    ASSERT_EQ(cols.size(), 4u);
    EXPECT_EQ(cols[2], "ERROR");
    EXPECT_TRUE(zet_->stderr_has("rename(): " + gone + " -> " + vault_ + "/infected-gone."))
        << zet_->stderr_text();
    const std::string next = tree_ + "/infected-next";
    write_file(next, "x");
    EXPECT_TRUE(wait_until([&] { return !exists(next); })) << zet_->stderr_text();
    stop_zet();
}

// Large files whose scans hang hold only the workers they may take: an infected small file written after
// them is still quarantined. With one queue it would wait behind both.
TEST_F(Fault, SmallFileQuarantinedWhileLargeScansHang) {
    set("SCANNERS", "2");
    settings_.emplace_back("LARGE_FILE_SIZE", "64K");
    start_fake();
    service_->set_responder([](const std::string& line) -> fake::Script {
        if (line.find("/big") != std::string::npos)
            return {fake::delay(600000)};
        return fake::standard_answer(line);
    });
    start_zet();
    const std::string big1 = tree_ + "/big1", big2 = tree_ + "/big2", small = tree_ + "/infected-small";
    write_file(big1, std::string(64 << 10, 'b'));
    ASSERT_TRUE(wait_until([&] { return fake_scanned(big1); })) << zet_->stderr_text();
    write_file(big2, std::string(1 << 20, 'b'));
    write_file(small, "x");
    EXPECT_TRUE(wait_until([&] { return !exists(small); })) << zet_->stderr_text();
    EXPECT_EQ(wait_for_log_line(log_, small).size(), 4u);
    // The second large file waits for the one worker large files may take.
    EXPECT_FALSE(fake_scanned(big2));
    EXPECT_TRUE(exists(big1) && exists(big2));
}

// Between the scan and the move, the scanned name is replaced by a link to a file outside every monitored
// tree, or by a FIFO. The outside file is never changed or removed, and no worker is held up.
TEST_F(Fault, FileSwappedBeforeItsMove) {
    enum Swap { symlink_to_outside, hardlink_to_outside, fifo };
    const std::string outside = other_ + "/secret";
    const std::string other_fs_vault = dir_ / "vault";
    const struct {
        const char* name;
        Swap swap;
        bool other_fs; // vault on another file system: copy and unlink instead of rename
        bool moved;    // the swapped-in name ends up in the vault
    } cases[] = {
        {"symlink, same file system", symlink_to_outside, false, true},
        {"symlink, other file system", symlink_to_outside, true, false},
        {"hard link, same file system", hardlink_to_outside, false, true},
        {"hard link, other file system", hardlink_to_outside, true, true},
        {"FIFO, same file system", fifo, false, true},
        {"FIFO, other file system", fifo, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        write_file(outside, "outside the trees");
        const std::string path = tree_ + "/infected-swapped";
        const std::string vault = c.other_fs ? other_fs_vault : vault_;
        set("VAULT", vault);
        start_fake();
        service_->set_responder([path, outside, swap = c.swap](const std::string& line) {
            if (line.rfind("SCAN " + path + " ", 0) == 0) {
                unlink(path.c_str());
                if (swap == symlink_to_outside)
                    symlink(outside.c_str(), path.c_str());
                else if (swap == hardlink_to_outside)
                    link(outside.c_str(), path.c_str());
                else
                    mkfifo(path.c_str(), 0600);
                return infected_answer(path, {"Test.Swapped"});
            }
            return fake::standard_answer(line);
        });
        start_zet();
        write_file(path, "infected");
        auto cols = wait_for_log_line(log_, path);
        ASSERT_EQ(cols.size(), 4u) << zet_->stderr_text();
        EXPECT_EQ(cols[2] != "ERROR", c.moved) << zet_->stderr_text();
        EXPECT_EQ(exists(path), !c.moved);
        EXPECT_EQ(read_file(outside), "outside the trees");
        for (const auto& e : fs::directory_iterator(vault)) {
            std::error_code ec;
            if (fs::is_regular_file(fs::symlink_status(e.path(), ec)) && fs::file_size(e.path()) > 0) {
                EXPECT_TRUE(c.swap == hardlink_to_outside) << "the vault received another file's content";
            }
        }
        // The worker is free for the next file.
        const std::string next = tree_ + "/infected-next";
        write_file(next, "x");
        EXPECT_TRUE(wait_until([&] { return !exists(next); })) << zet_->stderr_text();
        stop_zet();
        service_.reset();
        fs::remove_all(vault);
        fs::remove(log_);
        fs::remove(path);
    }
}

// Between the scan and the move, a directory of the scanned path is replaced by a symbolic link to a
// directory outside the trees that holds a file of the same name: that file is never moved. The scanned
// file itself is followed to its new place, scanned there again and quarantined from there.
TEST_F(Fault, DirectorySwappedBeforeTheMove) {
    const std::string other_fs_vault = dir_ / "vault";
    for (bool other_fs : {false, true}) {
        SCOPED_TRACE(other_fs ? "vault on another file system" : "vault on the same file system");
        const std::string sub = tree_ + "/sub", path = sub + "/infected-x", outside = other_ + "/infected-x";
        fs::create_directories(sub);
        write_file(outside, "outside the trees");
        const std::string vault = other_fs ? other_fs_vault : vault_;
        set("VAULT", vault);
        start_fake();
        service_->set_responder(
            [sub, path, away = tree_ + "/sub-away", other = other_](const std::string& line) {
                if (line.rfind("SCAN " + path + " ", 0) == 0) {
                    rename(sub.c_str(), away.c_str());
                    symlink(other.c_str(), sub.c_str());
                    return infected_answer(path, {"Test.Swapped"});
                }
                return fake::standard_answer(line);
            });
        start_zet();
        write_file(path, "infected");
        const std::string moved = tree_ + "/sub-away/infected-x";
        auto cols = wait_for_log_line(log_, moved);
        ASSERT_EQ(cols.size(), 4u) << zet_->stderr_text();
        EXPECT_EQ(cols[2].rfind(vault + "/infected-x.", 0), 0u) << zet_->stderr_text();
        EXPECT_FALSE(exists(moved));
        EXPECT_EQ(read_file(outside), "outside the trees") << "the file outside the trees stays in place";
        stop_zet();
        service_.reset();
        fs::remove_all(vault);
        fs::remove(log_);
        fs::remove(sub);
        fs::remove_all(tree_ + "/sub-away");
    }
}

// Tabs, line feeds and bytes that are no UTF-8 travel escaped on the wire and raw into the vault name and
// the infection log (its columns are not quoted: a tab adds a column, a line feed splits the line).
TEST_F(Fault, ControlBytesInNamesArriveUnchanged) {
    const struct {
        const char* name;
        std::string file;
        std::string finding;
    } cases[] = {
        {"tab", "a\tb-infected", "Name\twith tab"},
        {"line feed", "a\nb-infected", "Name\nwith line feed"},
        {"invalid UTF-8", "\xff\xfe\xc3(-infected", "\xc3\x28\xa0\xa1"},
        {"blanks and backslashes", "a b\\c-infected", "Name with\\backslash "},
        {"8000-byte finding name", "long-infected", std::string(8000, 'n')},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = tree_ + "/" + c.file;
        start_fake();
        service_->set_responder([finding = c.finding](const std::string& line) {
            if (line.rfind("SCAN ", 0) == 0)
                return infected_answer(fake::scan_path(line), {finding});
            return fake::standard_answer(line);
        });
        start_zet();
        write_file(path, "x");
        ASSERT_TRUE(wait_until([&] { return !exists(path) && !read_file(log_).empty(); }))
            << zet_->stderr_text();
        EXPECT_TRUE(fake_scanned(path));
        std::string log = read_file(log_);
        ASSERT_GT(log.size(), 20u);
        std::string rest = log.substr(20); // after the time and its tab
        std::string prefix = path + "\t" + vault_ + "/" + c.file + ".";
        ASSERT_EQ(rest.rfind(prefix, 0), 0u) << log;
        std::string vaulted = vault_ + "/" + rest.substr(vault_.size() + path.size() + 2, c.file.size() + 7);
        EXPECT_EQ(rest, path + "\t" + vaulted + "\t" + c.finding + "\n");
        EXPECT_TRUE(exists(vaulted)) << vaulted;
        stop_zet();
        service_.reset();
        fs::remove_all(vault_);
        fs::remove(log_);
    }
}

// Limits: a path that the kernel cannot resolve, and a finding line longer than the client's buffer.
TEST_F(Fault, OverlongPathAndFindingAreRefusedWithoutHarm) {
    start_fake();
    const std::string long_finding = tree_ + "/infected-long-finding";
    service_->set_responder([long_finding](const std::string& line) {
        if (line.rfind("SCAN " + long_finding + " ", 0) == 0)
            return infected_answer(long_finding, {std::string(20000, 'n')});
        return fake::standard_answer(line);
    });
    start_zet();

    // Over 4095 bytes: built from relative names, which stay within the limits of every call.
    int dirfd = open(tree_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(dirfd, 0);
    std::size_t length = tree_.size();
    const std::string component(200, 'd');
    while (length < 4200) {
        ASSERT_EQ(mkdirat(dirfd, component.c_str(), 0755), 0);
        int sub = openat(dirfd, component.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        close(dirfd);
        ASSERT_GE(dirfd = sub, 0);
        length += component.size() + 1;
    }
    int fd = openat(dirfd, "infected-deep", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    close(fd);
    close(dirfd);
    EXPECT_TRUE(wait_until([&] {
        std::string err = zet_->stderr_text();
        auto pos = err.find("readlink(): /proc/self/fd/");
        return pos != std::string::npos &&
               err.find(": " + strerror_text(ENAMETOOLONG), pos) != std::string::npos;
    })) << zet_->stderr_text().substr(0, 4000);

    write_file(long_finding, "x");
    const std::string next = tree_ + "/infected-next";
    write_file(next, "x");
    EXPECT_TRUE(wait_until([&] { return !exists(next); })) << zet_->stderr_text();
    EXPECT_TRUE(exists(long_finding)) << "an answer that cannot be read moves nothing";
    EXPECT_EQ(read_file(log_).find(long_finding), std::string::npos);
    EXPECT_TRUE(zet_->running());
    stop_zet();
}

// The vault made by the daemon is 0700 and a copied file 0600, whatever umask the daemon inherits.
TEST_F(Fault, VaultAndVaultFilesArePrivate) {
    const std::string vault = dir_ / "new-vault";
    set("VAULT", vault);
    start_fake();
    mode_t old = umask(0);
    start_zet();
    umask(old);
    struct stat st;
    ASSERT_EQ(stat(vault.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    const std::string infected = tree_ + "/infected-public";
    write_file(infected, "x");
    chmod(infected.c_str(), 0666);
    auto cols = wait_for_log_line(log_, infected);
    ASSERT_EQ(cols.size(), 4u);
    ASSERT_EQ(stat(cols[2].c_str(), &st), 0) << cols[2];
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    stop_zet();
}

} // namespace
