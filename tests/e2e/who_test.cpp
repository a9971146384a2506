// Who did it, and what to leave alone, with the real zet, the real orbis-scand and real processes: a
// program from a known path run as another user, a writer that exits before its scan, exclusions by user,
// program and pattern in both coverage modes, readers held by on-open protection, and a Samba user whose
// file a local smbd wrote.
#include "tests/support/daemon.hpp"
#include "tests/support/files.hpp"
#include "tests/support/scand.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

using namespace std::chrono_literals;
using namespace zet_test;

namespace {

constexpr auto DEADLINE = 60s;
constexpr uid_t NOBODY = 65534;

sockaddr_in loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// A loopback TCP port that nothing listens on now; 0 when none is to be had.
int free_loopback_port() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = loopback(0);
    socklen_t n = sizeof a;
    bool ok = fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&a), n) == 0 &&
              getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n) == 0;
    if (fd >= 0)
        close(fd);
    return ok ? ntohs(a.sin_port) : 0;
}

bool loopback_accepts(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = loopback(port);
    bool ok = fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    if (fd >= 0)
        close(fd);
    return ok;
}

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

// smbd serves each connected user from a process of its own under that user's uid: a file put through a
// share names that user and smbd, not root. The client holds its connection until the file has left the
// share, so its smbd still runs when zet asks who wrote it.
TEST_F(Who, AFileWrittenThroughSambaNamesTheSambaUser) {
    const std::string smbd = "/usr/sbin/smbd", client = "/usr/bin/smbclient", passwd = "/usr/bin/smbpasswd";
    for (const std::string& p : {smbd, client, passwd})
        if (!exists(p))
            GTEST_SKIP() << p << " is missing: scripts/setup installs samba and smbclient";
    ASSERT_NO_FATAL_FAILURE(start("writes"));
    const int port = free_loopback_port();
    ASSERT_NE(port, 0);
    const std::string smb = dir_ / "smb", conf = smb + "/smb.conf", cmds = smb + "/cmds";
    const std::string local = smb + "/eicar", path = tree_ + "/by-samba.com";
    std::string text = "[global]\nserver role = standalone server\ninterfaces = 127.0.0.1\n"
                       "bind interfaces only = yes\nsmb ports = " +
                       std::to_string(port) + "\ndisable netbios = yes\npassdb backend = tdbsam:" + smb +
                       "/passdb.tdb\nload printers = no\nprinting = bsd\nprintcap name = /dev/null\n"
                       "disable spoolss = yes\nrpc start on demand helpers = no\nlog file = " +
                       smb + "/log\n";
    for (const std::string d : {"private dir", "lock directory", "state directory", "cache directory",
                                "pid directory", "ncalrpc dir", "binddns dir"}) {
        const std::string sub = smb + "/" + d.substr(0, d.find(' '));
        std::filesystem::create_directories(sub);
        text += d + " = " + sub + "\n";
    }
    write_file(conf, text + "[data]\npath = " + tree_ + "\nread only = no\n");
    write_file(local, eicar);
    write_file(cmds, "put " + local + " by-samba.com\n!timeout 60 sh -c 'while [ -e " + path +
                         " ]; do sleep 0.05; done'\n");
    ASSERT_EQ(run_tool({"/bin/sh", "-c", "printf 'pw\\npw\\n' | " + passwd + " -c " + conf + " -a -s nobody"},
                       smb + "/smbpasswd"),
              "");
    // In a process group of its own: smbd's SIGTERM handler signals its whole group.
    ChildProcess& server = *processes_.emplace_back(std::make_unique<ChildProcess>());
    ASSERT_TRUE(server.spawn({smbd, "--foreground", "--debug-stdout", "-s", conf}, {}, smb + "/smbd.err",
                             smb + "/smbd.out"));
    ASSERT_TRUE(wait_until([&] { return !server.running() || loopback_accepts(port); }));
    ASSERT_TRUE(server.running()) << server.stdout_text();

    Result put = run_to_end({"/bin/sh", "-c",
                             "exec " + client + " //127.0.0.1/data -p " + std::to_string(port) +
                                 " -U nobody%pw -s " + conf + " <" + cmds},
                            smb + "/smbclient", DEADLINE);
    EXPECT_EQ(put.status, 0) << put.out << put.err;
    ASSERT_TRUE(logged(path)) << put.out << server.stdout_text() << zet_->stderr_text();
    EXPECT_FALSE(exists(path));
    // The serving smbd, as the JSON record names it; the syslog line must name the same process.
    const std::string key = "\"process\":{\"role\":\"writer\",\"pid\":",
                      exe = std::filesystem::canonical(smbd);
    std::string json;
    ASSERT_TRUE(wait_until([&] { return has(json = read_file(json_), key); })) << json;
    const std::string pid = std::to_string(std::stol(json.substr(json.find(key) + key.size())));
    EXPECT_TRUE(
        has(json, key + pid + ",\"known\":true,\"uid\":65534,\"user\":\"nobody\",\"exe\":\"" + exe + "\""))
        << json;
    EXPECT_TRUE(zet_->stderr_has(path + " -> ")) << zet_->stderr_text();
    EXPECT_TRUE(zet_->stderr_has("; written by pid " + pid + ", uid 65534 (nobody), " + exe))
        << zet_->stderr_text();
    server.signal(SIGTERM);
    EXPECT_NE(server.exit_code(DEADLINE), -1) << server.stdout_text();
    stop_zet(SIGTERM, DEADLINE);
}

} // namespace
