// The real orbis-scand over its socket: welcome, commands and their answers byte for byte, what it does
// with odd paths and misbehaving clients, its socket and its lifecycle.
#include "scand/reloader.hpp"
#include "tests/support/files.hpp"
#include "tests/support/process.hpp"
#include "tests/support/programs.hpp"
#include "tests/support/scand.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

using namespace std::string_literals;
using namespace zet_test;

namespace {

std::string escaped(const std::string& path) {
    std::string out;
    for (char c : path) {
        if (c == '\\' || c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r') {
            out += '\\';
        }
        out += c;
    }
    return out;
}

using Lines = std::vector<std::string>;

Lines scan_answer(const std::vector<std::string>& data) {
    Lines lines{"210 Accepted\r\n"};
    lines.insert(lines.end(), data.begin(), data.end());
    lines.push_back("200 OK\r\n");
    return lines;
}

// The middle of a data line: status letter and numbers replaced by "[X]#", so the duration drops out.
std::string shape(const std::string& line) {
    const auto bracket = line.find("\t[");
    if (bracket == std::string::npos) {
        return line;
    }
    std::string out = line.substr(0, bracket + 4) + "#";
    std::size_t i = bracket + 4;
    while (i < line.size() && (std::isdigit(static_cast<unsigned char>(line[i])) || line[i] == '.')) {
        ++i;
    }
    return out + line.substr(i);
}

Lines shapes(const Lines& lines) {
    Lines out;
    for (const auto& l : lines) {
        out.push_back(shape(l));
    }
    return out;
}

std::string clean_line(const std::string& path) {
    return "SCAN " + escaped(path) + "\t[+]# OK\r\n";
}
std::string error_line(const std::string& path, const std::string& why) {
    return "SCAN " + escaped(path) + "\t[E]# " + why + "\r\n";
}
std::string found_line(const std::string& path, int n = 1, const std::string& name = finding) {
    return "SCAN " + escaped(path) + "\t[L]#\t" + std::to_string(n) + " " + name + "\r\n";
}

class ScandTest : public ::testing::Test {
protected:
    void SetUp() override {
        service_ = std::make_unique<Service>(dir_);
        ASSERT_TRUE(service_->ready()) << service_->log();
    }
    void TearDown() override {
        if (service_) {
            EXPECT_EQ(service_->stop(), 0) << service_->log();
        }
    }
    std::string path(const std::string& name) const { return dir_ / name; }
    Lines scan(const std::string& p) {
        ScandClient c(service_->socket());
        EXPECT_EQ(c.line(), "220 orbis-scand ready\r\n");
        return shapes(c.command("SCAN " + escaped(p) + " CID portwarden TRIGGER ON_WRITE\n"));
    }

    TempDir dir_;
    std::unique_ptr<Service> service_;
};

TEST_F(ScandTest, GreetsAndAnswersVps) {
    ScandClient c(service_->socket());
    ASSERT_TRUE(c.connected());
    EXPECT_EQ(c.line(), "220 orbis-scand ready\r\n");
    const auto first = c.command("VPS\n");
    ASSERT_EQ(first.size(), 3u);
    EXPECT_EQ(first[0], "210 Accepted\r\n");
    EXPECT_TRUE(first[1].starts_with("VPS "));
    EXPECT_EQ(first[1].find_first_not_of("0123456789", 4), first[1].size() - 2) << first[1];
    EXPECT_EQ(first[2], "200 OK\r\n");
    EXPECT_EQ(c.command("VPS\r\n"), first);     // the same databases, the same number
    EXPECT_EQ(c.command("VPSWAIT 0\n"), first); // another version than the client's: at once
}

TEST_F(ScandTest, DetectsEicarInItsStandardForms) {
    struct Case {
        std::string name, content;
        bool infected;
    };
    // An archive of exactly `size` bytes holding the test file: small files are scanned from memory,
    // larger ones from their descriptor, and the boundary must not matter.
    const auto zip_of_size = [](std::size_t size, const std::string& member) {
        const auto build = [&](std::size_t pad) {
            return stored_zip({{"e.com", member}, {"pad", std::string(pad, 'x')}});
        };
        return build(size - build(0).size());
    };
    const Case cases[] = {
        {"limit.zip", zip_of_size(128 * 1024, eicar), true},
        {"limit_plus_one.zip", zip_of_size(128 * 1024 + 1, eicar), true},
        {"large.zip", zip_of_size(1024 * 1024, eicar), true},
        {"large_clean.zip", zip_of_size(128 * 1024 + 1, "harmless"), false},
        {"eicar.com", eicar, true},
        {"eicar_blanks.com", eicar + "  \t", true},
        {"eicar_crlf.com", eicar + "\r\n", true},
        {"eicar_ctrlz.com", eicar + "\x1a", true},
        {"eicar.zip", stored_zip({{"eicar.com", eicar}}), true},
        {"eicar_deep.zip",
         stored_zip({{"inner.zip", stored_zip({{"eicar.com", eicar + "\n"}})}, {"readme", "hi"}}), true},
        {"two.zip", stored_zip({{"a.com", eicar}, {"b.com", eicar}}), true},
        {"leading_blank.com", " " + eicar, false},
        {"trailing_junk.com", eicar + "junk", false},
        {"truncated.com", eicar.substr(0, 67), false},
        {"padded.com", eicar + std::string(61, ' '), false}, // 129 bytes: longer than the test file may be
        {"empty.txt", "", false},
        {"clean.txt", "just text\n", false},
        {"clean.zip", stored_zip({{"a.txt", "hello"}}), false},
    };
    for (const auto& c : cases) {
        write_file(path(c.name), c.content);
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(scan(path(c.name)),
                  scan_answer({c.infected ? found_line(path(c.name)) : clean_line(path(c.name))}));
        EXPECT_EQ(read_file(path(c.name)), c.content); // only read, never changed
    }
    EXPECT_NE(service_->log().find("Found '" + finding + "' in '" + path("eicar.com") + "'."),
              std::string::npos);
}

TEST_F(ScandTest, ReportsWhatIsNotARegularFile) {
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
    ASSERT_EQ(symlink(path("fifo").c_str(), path("link").c_str()), 0);
    write_file(path("eicar.com"), eicar);
    ASSERT_EQ(symlink(path("eicar.com").c_str(), path("eicar_link").c_str()), 0);
    EXPECT_EQ(scan(path("fifo")), scan_answer({error_line(path("fifo"), "Not a regular file")}));
    EXPECT_EQ(scan("/dev/null"), scan_answer({error_line("/dev/null", "Not a regular file")}));
    EXPECT_EQ(scan(service_->socket()), scan_answer({error_line(service_->socket(), "Not a regular file")}));
    EXPECT_EQ(scan(path("link")), scan_answer({error_line(path("link"), "Symbolic link not followed")}));
    EXPECT_EQ(scan(path("eicar_link")),
              scan_answer({error_line(path("eicar_link"), "Symbolic link not followed")}));
    EXPECT_EQ(scan(path("missing")), scan_answer({error_line(path("missing"), strerror_text(ENOENT))}));
    EXPECT_EQ(scan(path("eicar.com/x")),
              scan_answer({error_line(path("eicar.com/x"), strerror_text(ENOTDIR))}));
}

TEST_F(ScandTest, WalksDirectoriesInNameOrder) {
    ASSERT_EQ(mkdir(path("tree").c_str(), 0700), 0);
    ASSERT_EQ(mkdir(path("tree/sub").c_str(), 0700), 0);
    ASSERT_EQ(mkdir(path("tree/empty").c_str(), 0700), 0);
    write_file(path("tree/b clean"), "clean");
    write_file(path("tree/a\\odd\tname\n"), eicar);
    write_file(path("tree/sub/eicar.zip"), stored_zip({{"e.com", eicar}}));
    ASSERT_EQ(mkfifo(path("tree/sub/fifo").c_str(), 0600), 0);
    ASSERT_EQ(symlink("..", path("tree/sub/up").c_str()), 0); // not followed, so no loop
    const Lines expected = scan_answer({
        found_line(path("tree/a\\odd\tname\n")),
        clean_line(path("tree/b clean")),
        found_line(path("tree/sub/eicar.zip")),
        error_line(path("tree/sub/fifo"), "Not a regular file"),
        error_line(path("tree/sub/up"), "Symbolic link not followed"),
    });
    EXPECT_EQ(scan(path("tree")), expected);
    EXPECT_EQ(scan(path("tree/")).size(), expected.size());
}

TEST_F(ScandTest, BindMountLoopEnds) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "a bind mount needs CAP_SYS_ADMIN";
    }
    ASSERT_EQ(mkdir(path("loop").c_str(), 0700), 0);
    ASSERT_EQ(mkdir(path("loop/again").c_str(), 0700), 0);
    write_file(path("loop/file"), "clean");
    if (mount(path("loop").c_str(), path("loop/again").c_str(), nullptr, MS_BIND, nullptr) != 0) {
        GTEST_SKIP() << "mount(MS_BIND): " << strerror_text(errno);
    }
    const auto lines = scan(path("loop"));
    umount2(path("loop/again").c_str(), MNT_DETACH);
    EXPECT_EQ(lines,
              scan_answer({error_line(path("loop/again"), "Directory loop"), clean_line(path("loop/file"))}));
}

TEST_F(ScandTest, ReportsFilesOverTheEngineLimits) {
    // Sparse: the engine gives up on the size before reading anything.
    const int fd = open(path("huge.bin").c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, 1LL << 32), 0);
    close(fd);
    EXPECT_EQ(scan(path("huge.bin")),
              scan_answer({error_line(path("huge.bin"), "Exceeds scan limits (MaxFileSize)")}));
}

TEST_F(ScandTest, HonoursExclusionsOfItsConnectionOnly) {
    ASSERT_EQ(mkdir(path("tree").c_str(), 0700), 0);
    ASSERT_EQ(mkdir(path("tree/vault dir").c_str(), 0700), 0);
    write_file(path("tree/vault dir/eicar.com"), eicar);
    write_file(path("tree/skip.com"), eicar);
    write_file(path("tree/keep.com"), eicar);

    ScandClient c(service_->socket());
    EXPECT_EQ(c.line(), "220 orbis-scand ready\r\n");
    const auto vault = escaped(path("tree/vault dir")) + "/*";
    EXPECT_EQ(c.command("EXCLUDE " + vault + "\n"),
              (Lines{"210 Accepted\r\n", "EXCLUDE " + vault + "\r\n", "200 OK\r\n"}));
    EXPECT_EQ(c.command("EXCLUDE " + path("tree/skip.com") + "\n"),
              (Lines{"210 Accepted\r\n", "EXCLUDE " + path("tree/skip.com") + "\r\n", "200 OK\r\n"}));
    EXPECT_EQ(shapes(c.command("SCAN " + escaped(path("tree/vault dir/eicar.com")) + "\n")),
              scan_answer({error_line(path("tree/vault dir/eicar.com"), "Excluded")}));
    EXPECT_EQ(shapes(c.command("SCAN " + escaped(path("tree/vault dir")) + "\n")),
              scan_answer({error_line(path("tree/vault dir"), "Excluded")}));
    EXPECT_EQ(shapes(c.command("SCAN " + path("tree") + "\n")),
              scan_answer({found_line(path("tree/keep.com")), error_line(path("tree/skip.com"), "Excluded"),
                           error_line(path("tree/vault dir"), "Excluded")}));
    // Another connection has exclusions of its own.
    EXPECT_EQ(scan(path("tree/skip.com")), scan_answer({found_line(path("tree/skip.com"))}));
}

// The descriptor is what is scanned: the named paths do not exist, and an unlinked file still scans.
TEST_F(ScandTest, FdscanScansTheDescriptorItCarries) {
    write_file(path("clean.txt"), "clean\n");
    write_file(path("eicar.com"), eicar);
    write_file(path("eicar.zip"), stored_zip({{"e.com", eicar}}));
    write_file(path("gone.com"), eicar);
    const auto open_file = [&](const std::string& name, int flags) {
        return open(path(name).c_str(), flags | O_CLOEXEC);
    };
    const int clean = open_file("clean.txt", O_RDONLY), infected = open_file("eicar.com", O_RDONLY),
              zip = open_file("eicar.zip", O_RDONLY), gone = open_file("gone.com", O_RDONLY),
              dir = open(dir_.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC),
              write_only = open_file("clean.txt", O_WRONLY);
    ASSERT_EQ(unlink(path("gone.com").c_str()), 0);
    struct Case {
        std::string path;
        std::vector<int> fds;
        Lines data; // none: refused
    };
    const Case cases[] = {
        {"/named/clean.txt", {clean}, {clean_line("/named/clean.txt")}},
        {"/named/eicar com", {infected}, {found_line("/named/eicar com")}},
        {"/named/eicar.zip", {zip}, {found_line("/named/eicar.zip")}},
        {"/named/gone.com", {gone}, {found_line("/named/gone.com")}},
        {"/named/dir", {dir}, {error_line("/named/dir", "Not a regular file")}},
        {"/named/write_only", {write_only}, {error_line("/named/write_only", "Not open for reading")}},
        {"/named/vault/eicar.com", {infected}, {error_line("/named/vault/eicar.com", "Excluded")}},
        {"/named/two", {clean, infected}, {}},
    };
    ScandClient c(service_->socket());
    EXPECT_EQ(c.line(), "220 orbis-scand ready\r\n");
    EXPECT_EQ(c.command("EXCLUDE /named/vault/*\n").size(), 3u);
    const std::string vps = c.command("VPS\n").at(1);
    for (const auto& k : cases) {
        SCOPED_TRACE(k.path);
        ASSERT_TRUE(c.send("FDSCAN " + escaped(k.path) + " CID portwarden TRIGGER ON_OPEN\n", k.fds));
        Lines want{"501 Syntax error\r\n"};
        if (!k.data.empty()) {
            want = scan_answer(k.data);
            want.insert(want.begin() + 1, vps);
        }
        EXPECT_EQ(shapes(c.answer()), want);
    }
    for (const int fd : {clean, infected, zip, gone, dir, write_only}) {
        close(fd);
    }
}

TEST_F(ScandTest, AnswersSyntaxErrorsAndStaysUsable) {
    const std::string bad[] = {
        "BOGUS\n",
        "\n",
        "scan /x\n",
        "SCAN\n",
        "SCAN \n",
        "SCAN  /x\n",
        "SCAN /x CID\n",
        "SCAN /x FOO bar\n",
        "SCAN /x\\q\n",
        "SCAN /x\ty\n",
        "SCAN /x CID a CID b\n",
        "EXCLUDE\n",
        "EXCLUDE /a /b\n",
        "VPS now\n",
        "VPSWAIT\n",
        "VPSWAIT x\n",
        "FDSCAN /x\n", // without its descriptor
        "SCAN /" + std::string(5000, 'x') + "\n",
    };
    ScandClient c(service_->socket());
    EXPECT_EQ(c.line(), "220 orbis-scand ready\r\n");
    for (const auto& line : bad) {
        SCOPED_TRACE(line.substr(0, 40));
        EXPECT_EQ(c.command(line), Lines{"501 Syntax error\r\n"});
    }
    EXPECT_EQ(c.command("VPS\n").size(), 3u);
}

TEST_F(ScandTest, ClosesTheConnectionAfterAnOverlongLine) {
    ScandClient fits(service_->socket());
    EXPECT_EQ(fits.line(), "220 orbis-scand ready\r\n");
    // 16384 bytes with the line end: read whole, refused for its path, the connection stays.
    EXPECT_EQ(fits.command("SCAN /" + std::string(16384 - 7, 'x') + "\n"), Lines{"501 Syntax error\r\n"});
    EXPECT_EQ(fits.command("VPS\n").size(), 3u);

    ScandClient over(service_->socket());
    EXPECT_EQ(over.line(), "220 orbis-scand ready\r\n");
    over.send("SCAN /" + std::string(16384 - 6, 'x') + "\n");
    EXPECT_EQ(over.line(), "501 Syntax error\r\n");
    EXPECT_TRUE(over.closed_by_peer());
}

TEST_F(ScandTest, SurvivesClientsThatVanish) {
    ASSERT_EQ(mkdir(path("many").c_str(), 0700), 0);
    for (int i = 0; i < 300; ++i) {
        write_file(path("many/f" + std::to_string(i)), "clean " + std::to_string(i));
    }
    {
        ScandClient mid_command(service_->socket());
        mid_command.send("SCAN " + path("many"));
    }
    {
        ScandClient mid_answer(service_->socket());
        mid_answer.send("SCAN " + path("many") + "\n");
    }
    {
        ScandClient mid_escape(service_->socket());
        mid_escape.send("SCAN /x\\");
    }
    EXPECT_EQ(scan(path("many/f1")), scan_answer({clean_line(path("many/f1"))}));
    EXPECT_TRUE(service_->child().running());
}

TEST_F(ScandTest, ServesSixtyFourClientsAtOnce) {
    constexpr int clients = 64, files = 20;
    for (int i = 0; i < files; ++i) {
        write_file(path("f" + std::to_string(i)), i % 4 == 0 ? eicar : "clean " + std::to_string(i));
    }
    std::atomic<int> good{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < clients; ++t) {
        threads.emplace_back([&, t] {
            ScandClient c(service_->socket());
            if (c.line() != "220 orbis-scand ready\r\n") {
                return;
            }
            for (int i = 0; i < files; ++i) {
                const int f = (i + t) % files;
                const auto p = path("f" + std::to_string(f));
                const auto want = scan_answer({f % 4 == 0 ? found_line(p) : clean_line(p)});
                if (shapes(c.command("SCAN " + p + " CID portwarden TRIGGER ON_WRITE\n")) != want) {
                    return;
                }
            }
            ++good;
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(good.load(), clients);
}

// libclamav returns "clean" when it cannot create its temporary directory: that must not pass as clean.
TEST(Scand, EngineFailuresAreNotReportedAsClean) {
    TempDir dir;
    write_file(dir / "eicar.com", eicar);
    ASSERT_EQ(mkdir((dir / "tree").c_str(), 0700), 0);
    write_file(dir / "tree/clean.txt", std::string(1000, 'c'));
    Service service(dir, {}, "scand", {"TMPDIR=" + dir / "missing"});
    ASSERT_TRUE(service.ready()) << service.log();
    ScandClient c(service.socket());
    EXPECT_EQ(c.line(), "220 orbis-scand ready\r\n");
    EXPECT_EQ(c.command("SCAN " + dir / "eicar.com" + " CID portwarden TRIGGER ON_WRITE\n"),
              Lines{"451 Engine error\r\n"});
    // Inside a walk the answer has begun: the file gets a line of its own.
    const auto walk = c.command("SCAN " + dir / "tree\n");
    ASSERT_EQ(walk.size(), 3u);
    EXPECT_TRUE(walk[1].starts_with("SCAN " + dir / "tree/clean.txt\t[E]")) << walk[1];
    EXPECT_NE(walk[1].find(" Engine error: "), std::string::npos) << walk[1];
    EXPECT_EQ(c.command("VPS\n").size(), 3u);
    EXPECT_EQ(service.stop(), 0);
}

// Whatever way descriptors arrive, none stays open in the service: after its scan, with a line split
// over two reads, as the second of a line, with another command, or with a client that vanishes.
TEST(Scand, KeepsNoReceivedDescriptor) {
    TempDir dir;
    write_file(dir / "eicar.com", eicar);
    Service service(dir, {"-i", "0"}); // no looks at the database directory, which open descriptors
    ASSERT_TRUE(service.ready()) << service.log();
    const std::string open_in_service = "/proc/" + std::to_string(service.child().pid()) + "/fd";
    const auto before = count_files(open_in_service);
    const int file = open((dir / "eicar.com").c_str(), O_RDONLY | O_CLOEXEC);
    const std::string fdscan = "FDSCAN " + dir / "eicar.com" + "\n";
    {
        ScandClient c(service.socket());
        EXPECT_EQ(c.line(), "220 orbis-scand ready\r\n");
        const auto vps = c.command("VPS\n");
        const Lines found{"210 Accepted\r\n", vps.at(1), found_line(dir / "eicar.com"), "200 OK\r\n"};
        for (int i = 0; i < 20; ++i) {
            c.send(fdscan.substr(0, 9), {file});
            EXPECT_EQ(c.line(100ms), "");              // an unfinished line waits for its end
            c.send(fdscan.substr(9) + fdscan, {file}); // its end, then a line with a descriptor of its own
            EXPECT_EQ(shapes(c.answer()), found);
            EXPECT_EQ(shapes(c.answer()), found);
            c.send("VPS\n" + fdscan, {file}); // one read: the descriptor goes with the last line
            EXPECT_EQ(c.answer(), vps);
            EXPECT_EQ(shapes(c.answer()), found);
            c.send(fdscan, {file, file});
            EXPECT_EQ(c.answer(), Lines{"501 Syntax error\r\n"});
            c.send("VPS\n", {file});
            EXPECT_EQ(c.answer(), vps);
        }
        ScandClient vanishing(service.socket());
        EXPECT_EQ(vanishing.line(), "220 orbis-scand ready\r\n");
        vanishing.send(fdscan.substr(0, 9), {file});
    }
    close(file);
    EXPECT_TRUE(wait_until([&] { return count_files(open_in_service) == before; }))
        << count_files(open_in_service) << " open, " << before << " before";
    EXPECT_EQ(service.stop(), 0);
}

// A stop wakes a VPSWAIT at once instead of waiting out its limit.
TEST(Scand, StopEndsAWaitingVpswait) {
    TempDir dir;
    Service service(dir);
    ASSERT_TRUE(service.ready()) << service.log();
    ScandClient c(service.socket());
    EXPECT_EQ(c.line(), "220 orbis-scand ready\r\n");
    const std::string vps = c.command("VPS\n").at(1);
    const std::string known = vps.substr(4, vps.size() - 6);
    c.send("VPSWAIT " + known + "\n");
    ASSERT_TRUE(wait_until([&] { return service.child().stderr_has("]: VPSWAIT " + known + "\n"); }));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(service.stop(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, scand::version_wait_limit / 2);
    EXPECT_EQ(c.line(), "");
    EXPECT_TRUE(c.closed_by_peer());
}

TEST(Scand, BoundsConnectionsAndLetsTheNextOneIn) {
    TempDir dir;
    Service service(dir, {"-n", "2"});
    ASSERT_TRUE(service.ready()) << service.log();
    auto first = std::make_unique<ScandClient>(service.socket());
    ScandClient second(service.socket());
    EXPECT_EQ(first->line(), "220 orbis-scand ready\r\n");
    EXPECT_EQ(second.line(), "220 orbis-scand ready\r\n");
    ScandClient third(service.socket());
    ASSERT_TRUE(third.connected()); // waits in the backlog
    EXPECT_EQ(third.line(200ms), "");
    first.reset();
    EXPECT_EQ(third.line(), "220 orbis-scand ready\r\n");
    EXPECT_EQ(third.command("VPS\n").size(), 3u);
    EXPECT_EQ(service.stop(), 0);
}

TEST(Scand, CreatesItsSocketWithTheGivenMode) {
    const std::pair<std::vector<std::string>, mode_t> cases[] = {
        {{}, 0660}, {{"-m", "0600"}, 0600}, {{"-m", "666"}, 0666}};
    for (const auto& [args, mode] : cases) {
        TempDir dir;
        const mode_t old = umask(0077); // inherited by the service, which must not depend on it
        Service service(dir, args);
        umask(old);
        ASSERT_TRUE(service.ready()) << service.log();
        struct stat st {};
        ASSERT_EQ(lstat(service.socket().c_str(), &st), 0);
        EXPECT_TRUE(S_ISSOCK(st.st_mode));
        EXPECT_EQ(st.st_mode & 07777, mode);
        EXPECT_EQ(service.stop(), 0);
    }
}

TEST(Scand, StopsCleanlyAndRemovesItsSocket) {
    TempDir dir;
    Service service(dir);
    ASSERT_TRUE(service.ready()) << service.log();
    ScandClient idle(service.socket());
    EXPECT_EQ(idle.line(), "220 orbis-scand ready\r\n");
    EXPECT_EQ(service.stop(), 0);
    EXPECT_TRUE(idle.closed_by_peer());
    EXPECT_NE(access(service.socket().c_str(), F_OK), 0);
    const auto log = service.log();
    EXPECT_NE(log.find("]: Listening on '" + service.socket() + "'.\n"), std::string::npos) << log;
    EXPECT_NE(log.find("]: SIGINT/SIGTERM received. Exiting...\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("Fatal error"), std::string::npos) << log;
}

TEST(Scand, ReplacesAStaleSocketAndRefusesALiveOne) {
    TempDir dir;
    const std::string sock = dir / "scand.sock";
    {
        const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strcpy(addr.sun_path, sock.c_str());
        ASSERT_EQ(bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
        close(fd); // what a crashed instance leaves behind
    }
    Service first(dir);
    ASSERT_TRUE(first.ready()) << first.log();
    EXPECT_NE(first.log().find("Replaced stale socket '" + sock + "'."), std::string::npos) << first.log();

    Service second(dir);
    EXPECT_EQ(second.child().exit_code(start_timeout), 1);
    EXPECT_NE(second.log().find("]: Socket in use by a running instance: " + sock + "\n"), std::string::npos);
    EXPECT_NE(second.log().find("]: Fatal error. Exiting.\n"), std::string::npos);
    ScandClient c(first.socket());
    EXPECT_EQ(c.line(), "220 orbis-scand ready\r\n");
    EXPECT_EQ(first.stop(), 0);
}

TEST(Scand, NeverReplacesWhatIsNotASocket) {
    TempDir dir;
    write_file(dir / "scand.sock", "data");
    Service service(dir);
    EXPECT_EQ(service.child().exit_code(start_timeout), 1);
    EXPECT_NE(service.log().find("Not a socket, not replaced: " + dir / "scand.sock"), std::string::npos);
    EXPECT_EQ(read_file(dir / "scand.sock"), "data");
}

TEST(Scand, CommandLine) {
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string out, err; // expected standard output; a text standard error must contain
    };
    const std::string usage_head = "Usage: "s + bin::orbis_scand + " [OPTIONS]\nOptions:\n";
    const Case cases[] = {
        {{"-V"}, 0, "4.7.0\n", ""},
        {{"-V", "-h"}, 0, "4.7.0\n", ""},
        {{"-x"}, 1, "", "Type "s + bin::orbis_scand + " -h for usage info\n"},
        {{"-s"}, 1, "", "Type "s + bin::orbis_scand + " -h for usage info\n"},
        {{"-m", "0999"}, 1, "", "invalid socket mode: 0999"},
        {{"-m", "1777"}, 1, "", "invalid socket mode: 1777"},
        {{"-n", "0"}, 1, "", "invalid connection limit: 0"},
        {{"-n", "-3"}, 1, "", "invalid connection limit: -3"},
        {{"-i", "86401"}, 1, "", "invalid check interval: 86401 (0 to 86400 seconds)"},
        {{"-i", "1s"}, 1, "", "invalid check interval: 1s"},
        {{"-d", "/nonexistent/db", "-s", "/nonexistent/s.sock"}, 1, "", "]: cl_load(): /nonexistent/db: "},
        {{"-s", "/" + std::string(108, 's')},
         1,
         "",
         "]: Invalid socket path: /" + std::string(108, 's') + "\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0]);
        TempDir dir;
        std::vector<std::string> argv{bin::orbis_scand};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        ChildProcess child;
        ASSERT_TRUE(child.spawn(argv, {"NOTIFY_SOCKET"}, dir / "err", dir / "out"));
        EXPECT_EQ(child.exit_code(start_timeout), c.status);
        EXPECT_EQ(read_file(dir / "out"), c.out);
        EXPECT_NE(read_file(dir / "err").find(c.err), std::string::npos) << read_file(dir / "err");
    }
    TempDir dir;
    ChildProcess help;
    ASSERT_TRUE(help.spawn({bin::orbis_scand, "-h", "-V"}, {}, dir / "err", dir / "out"));
    EXPECT_EQ(help.exit_code(start_timeout), 0);
    EXPECT_TRUE(read_file(dir / "out").starts_with(usage_head)) << read_file(dir / "out");
}

TEST(Scand, FromTheBuildTreeLoadsTheSourceDatabaseAndLogsNoDebugWithoutV) {
    TempDir dir;
    write_file(dir / "eicar.com", eicar);
    NotifySocket notify(dir / "notify");
    ChildProcess child;
    ASSERT_TRUE(child.spawn({bin::orbis_scand, "-s", dir / "s.sock"}, {notify.env()}, dir / "err"));
    ASSERT_TRUE(notify.wait_for("READY=1", start_timeout)) << child.stderr_text();
    {
        ScandClient c(dir / "s.sock");
        EXPECT_EQ(c.line(), "220 orbis-scand ready\r\n");
        EXPECT_EQ(shapes(c.command("SCAN " + dir / "eicar.com\n")),
                  scan_answer({found_line(dir / "eicar.com")}));
    }
    child.signal(SIGTERM);
    EXPECT_EQ(child.exit_code(start_timeout), 0);
    const auto log = child.stderr_text();
    EXPECT_NE(log.find("]: Loaded 1 signatures from '" + dbdir + "', database version "), std::string::npos)
        << log;
    EXPECT_NE(log.find("]: Found '" + finding + "' in '" + dir / "eicar.com" + "'.\n"), std::string::npos)
        << log;
    EXPECT_EQ(log.find("SCAN '"), std::string::npos) << log; // the per-scan debug line
}

TEST(Scand, QuietKeepsStandardErrorEmpty) {
    TempDir dir;
    Service service(dir, {"-q"});
    ASSERT_TRUE(service.ready());
    EXPECT_EQ(service.stop(), 0);
    EXPECT_EQ(service.log(), "");
}

} // namespace
