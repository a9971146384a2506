// Whatever tool puts an infected file into a watched tree, the real zet with the real orbis-scand moves it to
// the vault under the name it has when it is scanned: each way of arriving, on a tmpfs and on a loop-mounted
// ext4, in both coverage modes; then what full coverage does when the service is down, when the kernel queue
// overflows and when the service cannot scan a file.
#include "tests/support/daemon.hpp"
#include "tests/support/fake_service.hpp"
#include "tests/support/infection_log.hpp"
#include "tests/support/programs.hpp"
#include "tests/support/scand.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>

using namespace std::chrono_literals;
using namespace zet_test;

namespace {

// Generous: the sanitizer builds run the same cases several times slower.
constexpr auto DEADLINE = 90s;

enum class Fs { tmpfs, ext4 };

// A second mount of `source` at `target`, removed when the object goes.
class BindMount : public Mount {
public:
    BindMount(const std::string& source, const std::string& target)
        : Mount(source, target, nullptr, MS_BIND, "") {}
};

// A watched tree on a file system of its own, with the real scan service and zet.
class Coverage : public DaemonTest {
protected:
    void SetUp() override {
        DaemonTest::SetUp();
        if (IsSkipped())
            return;
        for (const auto& d : {run_, shm_.path() + "/stage"})
            std::filesystem::create_directories(d);
        exclusions_ = {excluded_};
    }
    void TearDown() override {
        zet_.reset();
        scand_.reset();
        service_.reset();
        bind_.reset();
        DaemonTest::TearDown();
        ext4_.reset();
    }

    void mount_fs(Fs fs) {
        if (fs == Fs::tmpfs) {
            ASSERT_NO_FATAL_FAILURE(mount_tmpfs("size=96m,mode=0755"));
        } else {
            ext4_ = std::make_unique<LoopExt4>(dir_ / "ext4.img", mnt_);
            ASSERT_EQ(ext4_->error(), "");
        }
        for (const auto& d : {tree_, outside_, excluded_})
            std::filesystem::create_directories(d);
    }
    void start_scand() {
        scand_ = start_process({bin::orbis_scand, "-s", socket_, "-d", dbdir}, {}, dir_ / "scand");
        ASSERT_TRUE(wait_until([&] { return socket_accepts(socket_) || !scand_->running(); }, DEADLINE));
        ASSERT_TRUE(scand_->running()) << scand_->stderr_text();
    }
    // The fixture's settings with `coverage` ("" leaves the key out) and UNLIMITED_QUEUE.
    std::string write_config(const std::string& coverage, const std::string& unlimited_queue = "yes") {
        set("UNLIMITED_QUEUE", unlimited_queue);
        unset("COVERAGE");
        if (!coverage.empty())
            set("COVERAGE", coverage);
        return DaemonTest::write_config();
    }
    // Starts zet with `coverage` ("" leaves the key out) and waits for READY=1.
    void start_zet(const std::string& coverage, const std::string& unlimited_queue = "yes") {
        write_config(coverage, unlimited_queue);
        ASSERT_NO_FATAL_FAILURE(DaemonTest::start_zet({"-v"}, {}, true, DEADLINE));
        if (coverage == "full" && zet_->stderr_has("Coverage of '" + tree_ + "' falls back to writes"))
            GTEST_SKIP() << "this kernel cannot give full coverage here: " << zet_->stderr_text();
    }
    void stop_zet() { DaemonTest::stop_zet(SIGTERM, DEADLINE); }
    // Whether a STATUS= line sent so far satisfies `pred`.
    bool status_seen(const std::function<bool(const std::string&)>& pred) {
        for (const auto& m : notify_.messages())
            if (m.rfind("STATUS=", 0) == 0 && pred(m))
                return true;
        return false;
    }
    // Each of `infected` is logged once under its path, with its content in the vault; nothing else is
    // logged. Paths of `may_repeat` may have further lines with "ERROR": a second worker that scanned the
    // same name at the same time finds the file gone when it moves it.
    void expect_quarantined_once(const std::set<std::string>& infected,
                                 const std::set<std::string>& may_log = {},
                                 const std::set<std::string>& may_repeat = {}) {
        std::map<std::string, int> moved, failed;
        for (const auto& cols : read_infection_log(log_)) {
            if (cols.size() < 4) {
                ADD_FAILURE() << "malformed log line " << testing::PrintToString(cols);
                continue;
            }
            const std::string &path = cols[1], &vaulted = cols[2];
            if (!infected.count(path)) {
                EXPECT_TRUE(may_log.count(path)) << "unexpected log line for " << path;
                continue;
            }
            if (vaulted == "ERROR") {
                failed[path]++;
                continue;
            }
            moved[path]++;
            std::string base = path.substr(path.rfind('/') + 1);
            EXPECT_EQ(vaulted.rfind(vault_ + "/" + base + ".", 0), 0u) << vaulted;
            EXPECT_EQ(read_file(vaulted), eicar) << vaulted;
        }
        for (const auto& p : infected) {
            EXPECT_EQ(moved[p], 1) << p;
            EXPECT_FALSE(exists(p)) << p;
            if (!may_repeat.count(p)) {
                EXPECT_EQ(failed[p], 0) << p << " also logged with ERROR";
            }
        }
        int repeats = 0;
        for (const auto& [p, n] : failed)
            repeats += n;
        RecordProperty("error_lines", std::to_string(repeats));
    }
    bool all_gone(const std::set<std::string>& paths) {
        std::set<std::string> logged;
        for (const auto& cols : read_infection_log(log_))
            if (cols.size() >= 4)
                logged.insert(cols[1]);
        return std::all_of(paths.begin(), paths.end(),
                           [&](const auto& p) { return !exists(p) && logged.count(p); });
    }

    TempDir shm_{"/dev/shm"}; // another file system than the tree's
    std::string outside_ = mnt_ + "/outside", excluded_ = tree_ + "/excluded", bind_dir_ = dir_ / "bind";
    std::unique_ptr<LoopExt4> ext4_;
    std::unique_ptr<BindMount> bind_;
    std::unique_ptr<ChildProcess> scand_;
};

// ---- the ways a file arrives ------------------------------------------------------------------------------

// Where a tool takes its input from and writes its output to.
struct Places {
    std::string tree, outside, shm, bind, scratch;
    // A fresh input file named after `key` holding `content`: on another file system, or on the tree's.
    std::string stage(const std::string& key, const std::string& content, bool same_fs = false) const {
        std::string name = key;
        std::replace(name.begin(), name.end(), '/', '_');
        std::string path = (same_fs ? outside : shm + "/stage") + "/" + name;
        write_file(path, content);
        return path;
    }
};

// Puts `content` at `dir`/`name` (dir lies in the tree) its own way; returns the path the file ends up at,
// or "" with the reason in `put_error`.
using Put = std::function<std::string(const Places&, const std::string& dir, const std::string& name,
                                      const std::string& content)>;

// Why the last Put returned "".
std::string put_error;

std::string tool(const Places& at, const std::vector<std::string>& argv, const std::string& result) {
    put_error = run_tool(argv, at.scratch + "/tool");
    return put_error.empty() ? result : "";
}

std::string fail(const std::string& what) {
    put_error = what + ": " + strerror_text(errno);
    return "";
}

bool write_all(int fd, const std::string& content) {
    return write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
}

// Written beside the target under a temporary name, then renamed over it: editors, office suites, libraries.
std::string atomic_save(const Places&, const std::string& dir, const std::string& name,
                        const std::string& content) {
    std::string tmp = dir + "/." + name + ".XXXXXX", target = dir + "/" + name;
    int fd = mkstemp(tmp.data());
    if (fd < 0)
        return fail("mkstemp " + tmp);
    bool ok = fchmod(fd, 0644) == 0 && write_all(fd, content);
    if (close(fd) != 0 || !ok || rename(tmp.c_str(), target.c_str()) != 0)
        return fail("save " + target);
    return target;
}

// A download: NAME.part, renamed to NAME once complete.
std::string download(const Places&, const std::string& dir, const std::string& name,
                     const std::string& content) {
    std::string part = dir + "/" + name + ".part", target = dir + "/" + name;
    int fd = open(part.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return fail("open " + part);
    bool ok = write_all(fd, content);
    if (close(fd) != 0 || !ok || rename(part.c_str(), target.c_str()) != 0)
        return fail("download " + target);
    return target;
}

// An unnamed file, written, then given its name.
std::string tmpfile_linked(const Places&, const std::string& dir, const std::string& name,
                           const std::string& content) {
    std::string target = dir + "/" + name;
    int fd = open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0644);
    if (fd < 0)
        return fail("O_TMPFILE in " + dir);
    std::string proc = "/proc/self/fd/" + std::to_string(fd);
    bool ok = write_all(fd, content) &&
              linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, target.c_str(), AT_SYMLINK_FOLLOW) == 0;
    if (close(fd) != 0 || !ok)
        return fail("linkat " + target);
    return target;
}

// sed -i on a file already in the tree: it writes a temporary file beside it and renames that over it.
std::string sed_in_place(const Places& at, const std::string& dir, const std::string& name,
                         const std::string& content) {
    std::string target = dir + "/" + name, replacement;
    write_file(target, "PLACEHOLDER");
    for (char c : content) {
        if (c == '\\' || c == '&' || c == '#' || c == '\n')
            replacement += '\\';
        replacement += c == '\n' ? 'n' : c;
    }
    return tool(at, {"/usr/bin/sed", "-i", "s#PLACEHOLDER#" + replacement + "#", target}, target);
}

// A directory built outside the tree, with the file two levels down, renamed into the tree.
std::string directory_moved_in(const Places& at, const std::string& dir, const std::string& name,
                               const std::string& content) {
    std::string key = dir.substr(at.tree.size() + 1) + "_" + name;
    std::replace(key.begin(), key.end(), '/', '_');
    std::string built = at.outside + "/" + key + ".d";
    std::filesystem::create_directories(built + "/deep");
    write_file(built + "/deep/" + name, content);
    std::string target = dir + "/" + name + ".d";
    if (rename(built.c_str(), target.c_str()) != 0)
        return fail("rename " + built);
    return target + "/deep/" + name;
}

struct Arrival {
    const char* name;
    bool caught_by_writes; // a close after writing on the marked mount, under the name or a later one
    bool renamed_after_close;
    Put put;
    // Replaces a file that was itself written in the tree: the old file's scan may find the new content
    // under the same name at the same time as the new file's own scan.
    bool replaces_written = false;
    // Also a race (events of the same file by two ways), repeated like the renamed classes.
    bool raced = false;
};

const Arrival arrivals[] = {
    {"redirect", true, false,
     [](const Places& at, const std::string& dir, const std::string& name, const std::string& content) {
         return tool(
             at,
             {"/bin/sh", "-c", "cat \"$1\" > \"$2\"", "sh", at.stage(dir + name, content), dir + "/" + name},
             dir + "/" + name);
     }},
    {"cp from another file system", true, false,
     [](const Places& at, const std::string& dir, const std::string& name, const std::string& content) {
         return tool(at, {"/usr/bin/cp", at.stage(dir + name, content), dir + "/" + name}, dir + "/" + name);
     }},
    {"tar extraction", true, false,
     [](const Places& at, const std::string& dir, const std::string& name, const std::string& content) {
         std::string staged = at.stage(dir + name, content), archive = staged + ".tar";
         std::string base = staged.substr(staged.rfind('/') + 1);
         if (tool(at, {"/usr/bin/tar", "-cJf", archive, "-C", at.shm + "/stage", base}, "x").empty())
             return std::string();
         return tool(at, {"/usr/bin/tar", "-xJf", archive, "-C", dir, "--transform", "s#.*#" + name + "#"},
                     dir + "/" + name);
     }},
    {"git clone", true, false,
     [](const Places& at, const std::string& dir, const std::string& name, const std::string& content) {
         std::string repo = at.stage(dir + name, "x") + ".git";
         std::filesystem::create_directories(repo);
         write_file(repo + "/" + name, content);
         const std::vector<std::string> git = {
             "/usr/bin/git", "-c", "user.name=t", "-c", "user.email=t@t", "-c", "init.defaultBranch=main",
             "-C",           repo};
         for (const auto& args :
              {std::vector<std::string>{"init", "-q"}, {"add", name}, {"commit", "-qm", "x"}}) {
             std::vector<std::string> argv = git;
             argv.insert(argv.end(), args.begin(), args.end());
             if (tool(at, argv, "x").empty())
                 return std::string();
         }
         std::string clone = dir + "/" + name + ".clone";
         return tool(at, {"/usr/bin/git", "clone", "-q", repo, clone}, clone + "/" + name);
     }},
    {"rsync", true, true,
     [](const Places& at, const std::string& dir, const std::string& name, const std::string& content) {
         return tool(at, {"/usr/bin/rsync", at.stage(dir + name, content), dir + "/" + name},
                     dir + "/" + name);
     }},
    {"atomic save", true, true, atomic_save},
    {"sed -i", true, true, sed_in_place, true},
    {"download renamed from .part", true, true, download},
    {"mv within the file system", false, false,
     [](const Places& at, const std::string& dir, const std::string& name, const std::string& content) {
         return tool(at, {"/usr/bin/mv", at.stage(dir + name, content, true), dir + "/" + name},
                     dir + "/" + name);
     }},
    {"hard link", false, false,
     [](const Places& at, const std::string& dir, const std::string& name, const std::string& content) {
         return tool(at, {"/usr/bin/ln", at.stage(dir + name, content, true), dir + "/" + name},
                     dir + "/" + name);
     }},
    {"O_TMPFILE and linkat", false, false, tmpfile_linked},
    {"another mount namespace", false, false,
     [](const Places& at, const std::string& dir, const std::string& name, const std::string& content) {
         return tool(at,
                     {"/usr/bin/unshare", "--mount", "--propagation", "private", "/bin/sh", "-c",
                      "cat \"$1\" > \"$2\"", "sh", at.stage(dir + name, content), dir + "/" + name},
                     dir + "/" + name);
     }},
    {"bind mount of the tree", false, false,
     [](const Places& at, const std::string& dir, const std::string& name, const std::string& content) {
         std::string through = at.bind + dir.substr(at.tree.size()) + "/" + name;
         if (tool(at, {"/usr/bin/cp", at.stage(dir + name, content), through}, "x").empty())
             return std::string();
         return dir + "/" + name;
     }},
    {"directory moved in", false, false, directory_moved_in, false, true},
};

struct MatrixCase {
    Fs fs;
    std::string coverage; // "" leaves the key out
};

void PrintTo(const MatrixCase& c, std::ostream* os) {
    *os << (c.fs == Fs::tmpfs ? "tmpfs" : "ext4") << ", COVERAGE "
        << (c.coverage.empty() ? "absent" : c.coverage);
}

class CoverageMatrix : public Coverage, public ::testing::WithParamInterface<MatrixCase> {};

// Every way of arriving, once with an infected and once with a clean file; the classes renamed right after
// their close 20 times over. One zet serves the whole table, each file in a directory of its own.
TEST_P(CoverageMatrix, EveryInfectedFileThatMustBeCaughtIsQuarantinedUnderItsFinalName) {
    constexpr int RACE_REPEATS = 20;
    const MatrixCase& param = GetParam();
    const bool full = param.coverage == "full";
    mount_fs(param.fs);
    bind_ = std::make_unique<BindMount>(tree_, bind_dir_);
    ASSERT_TRUE(bind_->mounted());
    start_scand();
    start_zet(param.coverage);
    if (IsSkipped())
        return;
    const Places at{tree_, outside_, shm_.path(), bind_dir_, dir_.path()};

    // Excluded paths stay as they are, however the file arrives.
    std::set<std::string> left_alone;
    for (const char* way : {"redirect", "mv within the file system"}) {
        const Arrival& a = *std::find_if(std::begin(arrivals), std::end(arrivals),
                                         [&](const Arrival& x) { return strcmp(x.name, way) == 0; });
        left_alone.insert(a.put(at, excluded_, std::string("excluded-") + way[0], eicar));
        EXPECT_EQ(put_error, "") << way;
    }

    std::set<std::string> must_catch, others, replaced;
    std::map<std::string, std::string> quarantined_early; // directory, the writer's failure
    std::map<std::string, std::string> clean_content;
    for (const Arrival& a : arrivals) {
        const int repeats = a.renamed_after_close || a.raced ? RACE_REPEATS : 1;
        for (int i = 0; i < repeats; i++) {
            std::string dir = tree_ + "/" + a.name + "-" + std::to_string(i);
            std::replace(dir.begin() + static_cast<long>(tree_.size()) + 1, dir.end(), ' ', '_');
            std::filesystem::create_directories(dir);
            std::string text = std::string("clean, by ") + a.name + "\n";
            std::string c = a.put(at, dir, "clean.txt", text);
            if (c.empty())
                ADD_FAILURE() << a.name << ": " << put_error;
            else
                clean_content[c] = text;
            std::string bad = a.put(at, dir, "eicar.com", eicar);
            if (bad.empty() && a.renamed_after_close)
                quarantined_early[dir] = put_error; // zet may have been faster than the rename
            else if (bad.empty())
                ADD_FAILURE() << a.name << ": " << put_error;
            else
                (full || a.caught_by_writes ? must_catch : others).insert(bad);
            if (a.replaces_written)
                replaced.insert(bad);
        }
    }
    EXPECT_TRUE(wait_until([&] { return all_gone(must_catch); }, DEADLINE)) << zet_->stderr_text();
    // A file scanned before its rename is quarantined under the name it had then, and the tool's rename
    // fails.
    for (const auto& [dir, error] : quarantined_early) {
        std::string logged;
        EXPECT_TRUE(wait_until(
            [&, &dir = dir] {
                for (const auto& cols : read_infection_log(log_))
                    if (cols.size() >= 4 && cols[1].rfind(dir + "/", 0) == 0 && cols[2] != "ERROR")
                        logged = cols[1];
                return !logged.empty();
            },
            DEADLINE))
            << dir << " has nothing quarantined, and its writer failed: " << error;
        if (!logged.empty())
            must_catch.insert(logged);
        EXPECT_NE(read_file(dir + "/eicar.com"), eicar) << dir;
    }
    RecordProperty("quarantined_before_rename", std::to_string(quarantined_early.size()));
    expect_quarantined_once(must_catch, others, replaced);
    for (const auto& [path, text] : clean_content)
        EXPECT_EQ(read_file(path), text) << path;
    for (const auto& path : left_alone)
        EXPECT_EQ(read_file(path), eicar) << path;

    // Full mode counts the files it could not scan; the documented status line stays in writes mode.
    ASSERT_TRUE(wait_until([&] { return status_seen([](const std::string&) { return true; }); }, DEADLINE));
    if (full)
        EXPECT_TRUE(wait_until(
            [&] {
                return status_seen([](const std::string& m) {
                    return m.find(" infected, 0 failed scans, 0 unscanned\n") != std::string::npos;
                });
            },
            DEADLINE));
    else
        EXPECT_FALSE(
            status_seen([](const std::string& m) { return m.find("unscanned") != std::string::npos; }));
    stop_zet();
    std::string err = zet_->stderr_text();
    EXPECT_EQ(err.find("not scanned:"), std::string::npos) << err;
    RecordProperty("caught_beyond_writes",
                   std::to_string(std::count_if(others.begin(), others.end(),
                                                [](const auto& p) { return !exists(p); })));
}

INSTANTIATE_TEST_SUITE_P(ModesAndFileSystems, CoverageMatrix,
                         ::testing::Values(MatrixCase{Fs::tmpfs, ""}, MatrixCase{Fs::ext4, "writes"},
                                           MatrixCase{Fs::tmpfs, "full"}, MatrixCase{Fs::ext4, "full"}),
                         [](const auto& info) {
                             return std::string(info.param.fs == Fs::tmpfs ? "tmpfs_" : "ext4_") +
                                    (info.param.coverage.empty() ? "default" : info.param.coverage);
                         });

// ---- full coverage when scans or events are lost ----------------------------------------------------------

// Files written while the service is down wait in the backlog, and are scanned once it is back.
TEST_F(Coverage, FilesWrittenWhileTheServiceIsDownAreScannedOnceItIsBack) {
    constexpr int FILES = 1000, EVERY = 100;
    mount_fs(Fs::tmpfs);
    start_scand();
    start_zet("full");
    if (IsSkipped())
        return;
    scand_->signal(SIGTERM);
    ASSERT_EQ(scand_->exit_code(DEADLINE), 0);

    std::set<std::string> infected;
    std::filesystem::create_directories(tree_ + "/batch");
    for (int i = 0; i < FILES; i++) {
        std::string path = tree_ + "/batch/f" + std::to_string(i);
        if (i % EVERY == EVERY / 2) {
            write_file(path, eicar);
            infected.insert(path);
        } else {
            write_file(path, "clean " + std::to_string(i) + "\n");
        }
    }
    EXPECT_TRUE(wait_until(
        [&] {
            return status_seen([](const std::string& m) {
                auto at = m.find("; scan service unreachable since ");
                return at != std::string::npos && is_log_time(m.substr(at + 33, 19));
            });
        },
        DEADLINE))
        << testing::PrintToString(notify_.messages());
    start_scand();
    EXPECT_TRUE(wait_until([&] { return all_gone(infected); }, DEADLINE)) << zet_->stderr_text();
    expect_quarantined_once(infected);
    EXPECT_EQ(count_files(tree_ + "/batch"), static_cast<std::size_t>(FILES - FILES / EVERY));
    // Waiting for the service cost no attempt, so no file was given up.
    EXPECT_FALSE(zet_->stderr_has("not scanned:")) << zet_->stderr_text();
    EXPECT_TRUE(wait_until(
        [&] {
            auto msgs = notify_.messages();
            auto last = std::find_if(msgs.rbegin(), msgs.rend(),
                                     [](const auto& m) { return m.rfind("STATUS=", 0) == 0; });
            return last != msgs.rend() && last->find("unreachable") == std::string::npos;
        },
        DEADLINE))
        << "the status line still says the service is unreachable";
    stop_zet();
}

// Beyond the backlog's 4096 files, each further failed file is said and counted at once; those held are
// scanned once the service is back.
TEST_F(Coverage, FilesBeyondTheRetryBacklogAreSaidAndCounted) {
    constexpr int BACKLOG = 4096, BEYOND = 100, FILES = BACKLOG + BEYOND;
    mount_fs(Fs::tmpfs);
    start_zet("full");
    if (IsSkipped())
        return;
    // The first files fail first, so the infected ones are among those held.
    std::set<std::string> infected;
    std::filesystem::create_directories(tree_ + "/batch");
    for (int i = 0; i < FILES; i++) {
        std::string path = tree_ + "/batch/f" + std::to_string(i);
        if (i % 100 == 0 && i < 1000) {
            write_file(path, eicar);
            infected.insert(path);
        } else {
            write_file(path, "clean\n");
        }
    }
    const std::string full_backlog = ": not scanned: no answer from the scan service, retry backlog full\n";
    // Paths given up, once per warning.
    auto given_up = [&] {
        std::string err = zet_->stderr_text();
        std::multiset<std::string> paths;
        for (auto at = err.find(full_backlog); at != std::string::npos; at = err.find(full_backlog, at + 1))
            paths.insert(err.substr(err.rfind(' ', at) + 1, at - err.rfind(' ', at) - 1));
        return paths;
    };
    EXPECT_TRUE(wait_until([&] { return given_up().size() >= BEYOND; }, DEADLINE)) << given_up().size();
    // The status line counts every file said. A file whose creation and close were both queued (the monitor
    // lagged behind the writes) may take two entries, so more than BEYOND may be said.
    EXPECT_TRUE(wait_until(
        [&] {
            const std::string counted =
                ", " + std::to_string(given_up().size()) + " unscanned; scan service unreachable";
            return status_seen([&](const std::string& m) { return m.find(counted) != std::string::npos; });
        },
        DEADLINE))
        << testing::PrintToString(notify_.messages());
    start_scand();
    EXPECT_TRUE(wait_until([&] { return all_gone(infected); }, DEADLINE)) << zet_->stderr_text();
    expect_quarantined_once(infected);
    auto paths = given_up();
    EXPECT_LE(paths.size(), static_cast<std::size_t>(2 * BEYOND));
    std::size_t twice = 0;
    for (auto it = paths.begin(); it != paths.end(); it = paths.upper_bound(*it))
        twice += paths.count(*it) > 1;
    RecordProperty("given_up", std::to_string(paths.size()));
    RecordProperty("given_up_twice", std::to_string(twice));
    EXPECT_FALSE(zet_->stderr_has("after 3 attempts")) << "waiting for the service costs no attempt";
    stop_zet();
}

// A burst beyond a small kernel queue: the overflow is said, and a catch-up walk finds what the lost events
// would have reported.
TEST_F(Coverage, OverflowOfTheKernelQueueIsCaughtUp) {
    constexpr int MAX_FILES = 20000, BATCH = 100;
    const std::string knob = "/proc/sys/fs/fanotify/max_queued_events";
    if (!exists(knob))
        GTEST_SKIP() << "no " << knob;
    mount_fs(Fs::tmpfs);
    start_scand();
    {
        // A group takes the limit when it is made: other users of fanotify see the lowered value only
        // briefly.
        SysctlOverride small_queue(knob, "64");
        start_zet("full", "no");
    }
    if (IsSkipped())
        return;
    std::set<std::string> infected;
    std::filesystem::create_directories(tree_ + "/burst");
    for (int i = 0; i < MAX_FILES && !zet_->stderr_has("fanotify event queue overflow!\n"); i += BATCH) {
        for (int j = i; j < i + BATCH; j++) {
            std::string path = tree_ + "/burst/f" + std::to_string(j);
            if (j % BATCH == BATCH - 1) {
                write_file(path, eicar);
                infected.insert(path);
            } else {
                write_file(path, "clean\n");
            }
        }
    }
    ASSERT_TRUE(zet_->stderr_has("fanotify event queue overflow!\n"))
        << "no overflow after " << MAX_FILES << " files";
    EXPECT_TRUE(wait_until([&] { return all_gone(infected); }, DEADLINE))
        << infected.size() << " infected files\n"
        << zet_->stderr_text();
    expect_quarantined_once(infected);
    // The notice follows the walk, which may still be queueing when the last infected file is gone.
    const std::string notice = "Catch-up after event queue overflow: ";
    std::string err;
    std::size_t at = std::string::npos;
    EXPECT_TRUE(wait_until(
        [&] {
            err = zet_->stderr_text();
            at = err.find(notice, err.find("fanotify event queue overflow!\n"));
            return at != std::string::npos && err.find('\n', at) != std::string::npos;
        },
        DEADLINE));
    ASSERT_NE(at, std::string::npos) << err;
    const std::string line = err.substr(at, err.find('\n', at) - at), tail = " files queued for scanning";
    ASSERT_GT(line.size(), notice.size() + tail.size()) << line;
    const std::string count = line.substr(notice.size(), line.size() - notice.size() - tail.size());
    EXPECT_EQ(line.substr(notice.size() + count.size()), tail) << line;
    EXPECT_TRUE(std::all_of(count.begin(), count.end(), [](char c) { return c >= '0' && c <= '9'; })) << line;
    EXPECT_GT(atol(count.c_str()), 0) << line;
    stop_zet();
}

// What the real service never answers for a file zet queues: "cannot scan it", a file removed before its
// scan, and broken answers until the attempts are used up. The scripted service plays those.
TEST_F(Coverage, FilesTheServiceCannotScanAreSaidAndCounted) {
    mount_fs(Fs::tmpfs);
    start_fake();
    service_->set_responder([](const std::string& line) -> fake::Script {
        if (line.rfind("SCAN ", 0) != 0)
            return fake::standard_answer(line);
        std::string path = line.substr(5, line.find(" CID ") - 5);
        if (path.find("/big") != std::string::npos)
            return {fake::send("210 SCAN OK\r\nSCAN " + path +
                               "\t[E]0.1 Size limit exceeded\r\n200 SCAN done\r\n")};
        if (path.find("/gone") != std::string::npos) {
            unlink(path.c_str());
            return {fake::send("210 SCAN OK\r\nSCAN " + path +
                               "\t[E]0.1 No such file or directory\r\n200 SCAN done\r\n")};
        }
        if (path.find("/broken") != std::string::npos)
            return {fake::hang_up()};
        return fake::standard_answer(line);
    });
    start_zet("full");
    if (IsSkipped())
        return;
    for (const auto& name : {"big", "gone", "broken"})
        write_file(tree_ + "/" + name, "x");
    const std::string big = tree_ + "/big: not scanned: Size limit exceeded\n";
    const std::string broken =
        tree_ + "/broken: not scanned: no answer from the scan service after 3 attempts\n";
    EXPECT_TRUE(wait_until([&] { return zet_->stderr_has(big) && zet_->stderr_has(broken); }, DEADLINE))
        << zet_->stderr_text();
    EXPECT_TRUE(
        wait_until([&] { return zet_->stderr_has(tree_ + "/gone: removed before its scan\n"); }, DEADLINE))
        << zet_->stderr_text();
    EXPECT_FALSE(zet_->stderr_has(tree_ + "/gone: not scanned")) << zet_->stderr_text();
    // A broken answer costs an attempt: the file was sent three times.
    std::string all;
    for (int i = 0; i < service_->connections(); i++)
        all += service_->received(i);
    std::size_t sent = 0;
    for (auto at = all.find("SCAN " + tree_ + "/broken "); at != std::string::npos;
         at = all.find("SCAN " + tree_ + "/broken ", at + 1))
        sent++;
    EXPECT_EQ(sent, 3u) << all;
    EXPECT_TRUE(wait_until(
        [&] {
            return status_seen(
                [](const std::string& m) { return m.find(", 2 unscanned") != std::string::npos; });
        },
        DEADLINE))
        << testing::PrintToString(notify_.messages());
    stop_zet();
}

// A tree whose file system cannot take a file-system mark keeps the mount mark of the writes mode, and says
// so; the other trees keep full coverage.
TEST_F(Coverage, TreeWithoutFileSystemMarksFallsBackToWritesAndSaysSo) {
    mount_fs(Fs::tmpfs);
    const std::string proc = dir_ / "proc"; // procfs has no file handles to report
    std::filesystem::create_directories(proc);
    ASSERT_EQ(mount("proc", proc.c_str(), "proc", 0, nullptr), 0) << strerror_text(errno);
    struct Unmount {
        std::string dir;
        ~Unmount() { umount2(dir.c_str(), MNT_DETACH); }
    } unmount{proc};
    monitors_.push_back(proc);
    start_scand();
    start_zet("full");
    if (IsSkipped())
        return;
    const std::string warning = "Coverage of '" + proc + "' falls back to writes: ";
    std::string err = zet_->stderr_text();
    auto at = err.find(warning);
    ASSERT_NE(at, std::string::npos) << err;
    EXPECT_NE(err[at + warning.size()], '\n') << "a reason follows";
    EXPECT_NE(err.find("Started monitoring '" + proc + "'...\n"), std::string::npos) << err;
    EXPECT_NE(err.find("Started monitoring '" + tree_ + "'...\n"), std::string::npos) << err;
    EXPECT_EQ(err.find("Coverage of '" + tree_ + "'"), std::string::npos) << err;
    // Renamed in: only full coverage sees it.
    write_file(outside_ + "/eicar.com", eicar);
    ASSERT_EQ(rename((outside_ + "/eicar.com").c_str(), (tree_ + "/eicar.com").c_str()), 0);
    EXPECT_TRUE(wait_until([&] { return all_gone({tree_ + "/eicar.com"}); }, DEADLINE))
        << zet_->stderr_text();
    stop_zet();
}

// Both modes say in the status line since when scans find no service, until one finds it again.
TEST_F(Coverage, StatusSaysSinceWhenTheServiceIsUnreachable) {
    mount_fs(Fs::tmpfs);
    for (const std::string coverage : {"", "full"}) {
        SCOPED_TRACE(coverage.empty() ? "default" : coverage);
        start_zet(coverage);
        if (IsSkipped())
            return;
        write_file(tree_ + "/before", "x");
        auto unreachable = [](const std::string& m) {
            auto at = m.find("; scan service unreachable since ");
            return at != std::string::npos && m.size() == at + 33 + 20 && is_log_time(m.substr(at + 33, 19));
        };
        EXPECT_TRUE(wait_until([&] { return status_seen(unreachable); }, DEADLINE))
            << testing::PrintToString(notify_.messages());
        start_scand();
        write_file(tree_ + "/after.com", eicar);
        EXPECT_TRUE(wait_until([&] { return all_gone({tree_ + "/after.com"}); }, DEADLINE))
            << zet_->stderr_text();
        EXPECT_TRUE(wait_until(
            [&] {
                auto msgs = notify_.messages();
                auto last = std::find_if(msgs.rbegin(), msgs.rend(),
                                         [](const auto& m) { return m.rfind("STATUS=", 0) == 0; });
                return last != msgs.rend() && !unreachable(*last);
            },
            DEADLINE))
            << testing::PrintToString(notify_.messages());
        stop_zet();
        scand_.reset();
        std::filesystem::remove(socket_);
        std::filesystem::remove(log_);
    }
}

TEST_F(Coverage, BadValueIsAConfigurationError) {
    for (const std::string value : {"partial", "Full", "writes,full", "1"}) {
        SCOPED_TRACE(value);
        write_config(value);
        zet_ = start_process({bin::zet, "-c", conf_}, {}, dir_ / "zet-bad");
        EXPECT_EQ(zet_->exit_code(DEADLINE), 13);
        EXPECT_TRUE(zet_->stderr_has(
            conf_ + ": invalid coverage, expected writes or full: COVERAGE = " + value + "\n"))
            << zet_->stderr_text();
    }
}

} // namespace
