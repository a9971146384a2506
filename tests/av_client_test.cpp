// The av_* client over real UNIX sockets against the scripted fake service.
#include "src/av.hpp"
#include "tests/av_support.hpp"
#include "tests/support/fake_service.hpp"
#include "tests/support/programs.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

using namespace std::string_literals;
using avtest::CapturedStderr;
using avtest::logged;
using fake::hang_up;
using fake::read_line;
using fake::send;
using fake::serve;

// fcntl() never fails on a fresh socket; this stand-in makes the chosen command fail once on this thread.
namespace {
thread_local int failing_fcntl_cmd = -1;
}
extern "C" int fcntl(int fd, int cmd, ...) {
    va_list ap;
    va_start(ap, cmd);
    long arg = va_arg(ap, long); // every command the tests use takes no argument or an integer one
    va_end(ap);
    if (cmd == failing_fcntl_cmd) {
        failing_fcntl_cmd = -1;
        errno = EINVAL;
        return -1;
    }
    static auto real = reinterpret_cast<int (*)(int, int, ...)>(dlsym(RTLD_NEXT, "fcntl"));
    return real(fd, cmd, arg);
}

namespace {

struct Scanned {
    int result;
    std::vector<std::string> names;
    bool operator==(const Scanned&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Scanned& s) {
    os << s.result << " {";
    for (const auto& n : s.names)
        os << " '" << n << "'";
    return os << " }";
}

Scanned scan(int* handle, const std::string& path) {
    infection* list = reinterpret_cast<infection*>(&list); // must be overwritten
    int r = av_scan(handle, path.c_str(), &list);
    Scanned out{r, zet_test::texts_of(r == 1 ? list : nullptr, &infection::name)};
    if (r != 1) {
        EXPECT_EQ(list, nullptr);
    }
    if (r == 1)
        av_free_result(list);
    return out;
}

std::string scan_line(const std::string& escaped_path) {
    return "SCAN " + escaped_path + " CID portwarden TRIGGER ON_WRITE\n";
}

const std::string welcome = "220 orbis-scand ready\r\n";

// A script that welcomes, answers one command with `answer` and then plays `then`.
fake::Script answer_once(const std::string& answer, fake::Script then = {}) {
    fake::Script s = {send(welcome), read_line(), send(answer)};
    s.insert(s.end(), then.begin(), then.end());
    return s;
}

class Client : public testing::Test {
protected:
    void SetUp() override {
        av_set_wait_limit(10, 0); // a hanging test fails in seconds, not minutes
        ASSERT_EQ(av_init(sock.c_str(), nullptr), 0);
        fds_before = avtest::open_fds();
    }
    void TearDown() override {
        if (handle >= 0)
            close(handle);
        av_set_wait_limit(AV_WAIT_SECONDS, 0);
    }
    // Call once the fake service is gone: nothing of the exchange may stay open.
    void expect_no_descriptor_left() { EXPECT_EQ(avtest::open_fds(), fds_before + (handle >= 0 ? 1 : 0)); }

    avtest::TempDir dir;
    std::string sock = dir.path() + "/scan.sock";
    int fds_before = 0;
    int handle = -1;
};

TEST(AvInit, RefusesSocketPathsOver107BytesAndAnnouncesExclusions) {
    const std::string fits(107, 's'), too_long(108, 's');
    avtest::PathList list{"/srv/b", "/srv/a c"};
    CapturedStderr err;
    EXPECT_EQ(av_init(fits.c_str(), list.head()), 0);
    EXPECT_EQ(av_init(too_long.c_str(), nullptr), -1);
    EXPECT_EQ(err.text(), logged("Excluding '/srv/b' from scanning.") +
                              logged("Excluding '/srv/a c' from scanning.") +
                              logged("Invalid socket path: " + too_long));
    // The refused call left the earlier address in place (connecting fails: nothing listens there).
    CapturedStderr err2;
    int handle = -1;
    EXPECT_EQ(scan(&handle, "/srv/x").result, -1);
    EXPECT_EQ(err2.text(),
              logged("Error connecting to scan socket: " + fits + ": " + avtest::strerror_text(ENOENT)));
    EXPECT_EQ(handle, -1);
}

TEST_F(Client, ConnectionSetUpFailures) {
    {
        CapturedStderr err; // nothing listens
        EXPECT_EQ(scan(&handle, "/srv/x").result, -1);
        EXPECT_EQ(err.text(),
                  logged("Error connecting to scan socket: " + sock + ": " + avtest::strerror_text(ENOENT)));
        EXPECT_EQ(handle, -1);
    }
    {
        // A socket file nobody listens on any more.
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr = {};
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path, sock.c_str(), sock.size() + 1);
        ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        close(fd);
        CapturedStderr err;
        EXPECT_EQ(scan(&handle, "/srv/x").result, -1);
        EXPECT_EQ(err.text(), logged("Error connecting to scan socket: " + sock + ": " +
                                     avtest::strerror_text(ECONNREFUSED)));
        EXPECT_EQ(handle, -1);
    }
    std::optional<fake::Service> service(std::in_place, sock);
    fake::Service& svc = *service;
    for (int cmd : {F_GETFL, F_SETFL}) {
        CapturedStderr err;
        failing_fcntl_cmd = cmd;
        EXPECT_EQ(scan(&handle, "/srv/x").result, -1);
        failing_fcntl_cmd = -1;
        EXPECT_EQ(err.text(), logged("fcntl(): " + avtest::strerror_text(EINVAL)));
        EXPECT_EQ(handle, -1);
    }
    {
        // With every descriptor below the limit taken, socket() fails.
        CapturedStderr err;
        rlimit saved;
        ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
        int lowest_free = dup(0);
        close(lowest_free);
        rlimit low = saved;
        low.rlim_cur = static_cast<rlim_t>(lowest_free);
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
        int r = scan(&handle, "/srv/x").result;
        setrlimit(RLIMIT_NOFILE, &saved);
        EXPECT_EQ(r, -1);
        EXPECT_EQ(err.text(),
                  logged("Error creating scan socket: socket(): " + avtest::strerror_text(EMFILE)));
        EXPECT_EQ(handle, -1);
    }
    EXPECT_EQ(svc.connections(), 0);
    service.reset();
    expect_no_descriptor_left();
}

struct WelcomeCase {
    const char* what;
    fake::Script script;
    std::string message; // empty: silent
    int result;
};

TEST_F(Client, WelcomeLine) {
    const WelcomeCase cases[] = {
        {"220 with CR LF", {send("220 ready\r\n"), serve()}, "", 0},
        {"220 with LF", {send("220\n"), serve()}, "", 0},
        {"220 in pieces",
         {send("2"), fake::delay(5), send("20 rea"), fake::delay(5), send("dy\r"), fake::delay(5), send("\n"),
          serve()},
         "",
         0},
        {"other code", {send("221 busy\r\n")}, "Unexpected AV welcome message code (221)!", -1},
        {"error code", {send("451 no engine\r\n")}, "Unexpected AV welcome message code (451)!", -1},
        {"data line", {send("EXCLUDE /x\r\n")}, "Unexpected AV welcome message code (0)!", -1},
        {"finding line",
         {send("SCAN /x\t[L]0.1\t1 Welcome\r\n")},
         "Unexpected AV welcome message code (0)!",
         -1},
        {"defective", {send("[220]\r\n")}, "Defective AV response!", -1},
        {"hang-up", {hang_up()}, "", -1},
        {"hang-up mid-line", {send("220 rea")}, "", -1},
        {"too long", {send("220 " + std::string(AV_RESPONSE_SIZE, 'x') + "\r\n")}, "", -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        {
            fake::Service svc(sock);
            svc.add_script(c.script);
            CapturedStderr err;
            EXPECT_EQ(scan(&handle, "/srv/x").result, c.result);
            EXPECT_EQ(err.text(), c.message.empty() ? "" : logged(c.message));
            if (c.result < 0) {
                EXPECT_EQ(handle, -1);
            } else {
                EXPECT_EQ(svc.lines(0), std::vector<std::string>{scan_line("/srv/x")});
            }
        }
        expect_no_descriptor_left();
        if (handle >= 0)
            close(handle);
        handle = -1;
    }
}

TEST_F(Client, EveryNewConnectionSendsTheExclusionsInListOrder) {
    const std::string d = dir.path();
    ASSERT_EQ(mkdir((d + "/with space").c_str(), 0700), 0);
    ASSERT_EQ(close(creat((d + "/file").c_str(), 0600)), 0);
    ASSERT_EQ(symlink((d + "/with space").c_str(), (d + "/link").c_str()), 0);
    avtest::PathList list{d, d + "/file", d + "/missing", d + "/with space", d + "/link"};
    {
        CapturedStderr err;
        ASSERT_EQ(av_init(sock.c_str(), list.head()), 0);
    }
    fake::Service svc(sock);
    // The first session hangs up after one scan, as a restarting service would.
    svc.add_script({send(welcome), read_line(), send("210\r\n200\r\n"), read_line(), send("210\r\n200\r\n"),
                    read_line(), send("210\r\n200\r\n"), read_line(), send("210\r\n200\r\n"), read_line(),
                    send("210\r\n200\r\n"), read_line(), send("210\r\n200\r\n")});
    const std::vector<std::string> exclusions = {
        "EXCLUDE " + d + "/*\n",       "EXCLUDE " + d + "/file\n",
        "EXCLUDE " + d + "/missing\n", "EXCLUDE " + d + "/with\\ space/*\n",
        "EXCLUDE " + d + "/link/*\n",
    };
    CapturedStderr err;
    EXPECT_EQ(scan(&handle, "/srv/a b"), (Scanned{0, {}}));
    ASSERT_TRUE(zet_test::wait_until([&] { return svc.finished() == 1; }));
    EXPECT_EQ(scan(&handle, "/srv/infected"), (Scanned{1, {"Eicar-Test-Signature"}}));
    EXPECT_EQ(err.text(), "");
    EXPECT_EQ(svc.connections(), 2);
    for (int i = 0; i < 2; ++i) {
        std::vector<std::string> expected = exclusions;
        expected.push_back(scan_line(i == 0 ? "/srv/a\\ b" : "/srv/infected"));
        EXPECT_EQ(svc.lines(i), expected) << "connection " << i;
    }
}

struct ExclusionCase {
    const char* what;
    std::string answer; // to the second exclusion
    std::string message;
};

TEST_F(Client, AFailedExclusionFailsTheConnection) {
    avtest::PathList list{"/srv/one", "/srv/two", "/srv/three"};
    {
        CapturedStderr err;
        ASSERT_EQ(av_init(sock.c_str(), list.head()), 0);
    }
    const ExclusionCase cases[] = {
        {"refused", "451 no\r\n", "Unexpected AV EXCLUDE response code (451)!"},
        {"not a status line", "EXCLUDE /srv/two\r\n", "Unexpected AV EXCLUDE response code (0)!"},
        {"wrong end code", "210\r\nEXCLUDE /srv/two\r\n500 x\r\n",
         "Unexpected AV EXCLUDE response code (500)!"},
        {"other data line", "210\r\nSCAN /srv/two\t[L]0.1\t1 Stray\r\n200\r\n", ""},
        {"defective", "210\r\nEXCLUDE\r\n200\r\n", "Defective AV response!"},
        {"hang-up mid-answer", "210\r\nEXCLU", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        {
            fake::Service svc(sock);
            svc.add_script({send(welcome), read_line(), send("210\r\n200\r\n"), read_line(), send(c.answer)});
            CapturedStderr err;
            EXPECT_EQ(scan(&handle, "/srv/x").result, -1);
            EXPECT_EQ(err.text(), c.message.empty() ? "" : logged(c.message));
            EXPECT_EQ(handle, -1);
            ASSERT_TRUE(zet_test::wait_until([&] { return svc.finished() == 1; }));
            // The third exclusion and the scan were never sent.
            EXPECT_EQ(svc.lines(0), (std::vector<std::string>{"EXCLUDE /srv/one\n", "EXCLUDE /srv/two\n"}));
        }
        expect_no_descriptor_left();
    }
}

TEST_F(Client, ExclusionsTooLongForTheirCommandFailSilently) {
    // "EXCLUDE " and the escaped path must leave room for the line feed.
    const std::string fits = "/" + std::string(AV_COMMAND_SIZE - 8 - 2, 'm');
    const std::string too_long = fits + "m";
    for (const auto& path : {fits, too_long}) {
        avtest::PathList list{path};
        {
            CapturedStderr err;
            ASSERT_EQ(av_init(sock.c_str(), list.head()), 0);
        }
        fake::Service svc(sock);
        svc.add_script({send(welcome), read_line(), send("210\r\n200\r\n"), serve()});
        CapturedStderr err;
        int r = scan(&handle, "/srv/x").result;
        EXPECT_EQ(err.text(), "");
        if (path == fits) {
            EXPECT_EQ(r, 0);
            EXPECT_EQ(svc.lines(0),
                      (std::vector<std::string>{"EXCLUDE " + path + "\n", scan_line("/srv/x")}));
            close(handle);
            handle = -1;
        } else {
            EXPECT_EQ(r, -1);
            EXPECT_EQ(handle, -1);
            ASSERT_TRUE(zet_test::wait_until([&] { return svc.finished() == 1; }));
            EXPECT_EQ(svc.received(0), "");
        }
    }
}

TEST_F(Client, SuffixesKeepOnlyWhatFitsTheCommandBuffer) {
    struct Row {
        std::string path; // escaped as is: no byte needs a backslash, except in the blank row
        std::string suffix;
    };
    auto path_of = [](int escaped_length) {
        return "/" + std::string(static_cast<std::size_t>(escaped_length - 1), 'p');
    };
    const Row rows[] = {
        {path_of(16345), " CID portwarden TRIGGER ON_WRITE"},
        {"/" + std::string(8172, ' '), " CID portwarden TRIGGER ON_WRITE"}, // 16345 bytes once escaped
        {path_of(16346), " CID portwarden"},
        {path_of(16362), " CID portwarden"},
        {path_of(16363), ""},
        {path_of(16378), ""},
        {"/" + std::string(8188, ' ') + "p", ""}, // 16378 escaped
    };
    fake::Service svc(sock);
    svc.set_responder([](const std::string&) { return fake::Script{send("210\r\n200\r\n")}; });
    int i = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.path.size());
        EXPECT_EQ(scan(&handle, row.path).result, 0);
        auto lines = svc.lines(0);
        ASSERT_EQ(lines.size(), static_cast<std::size_t>(++i));
        std::string expected = "SCAN " + avtest::escaped(row.path) + row.suffix + "\n";
        EXPECT_EQ(lines.back(), expected);
        EXPECT_LE(lines.back().size(), static_cast<std::size_t>(AV_COMMAND_SIZE));
    }
    // One byte more can not be sent at all; the connection is left alone.
    int before = handle;
    CapturedStderr err;
    EXPECT_EQ(scan(&handle, path_of(16379)).result, -1);
    EXPECT_EQ(scan(&handle, "/" + std::string(8189, ' ')).result, -1);
    EXPECT_EQ(err.text(), "");
    EXPECT_EQ(handle, before);
    EXPECT_EQ(svc.lines(0).size(), static_cast<std::size_t>(i));
}

TEST_F(Client, FindingsComeNewestFirstAndCleanAnswersGiveNone) {
    const std::string l = "SCAN /srv/x\t[L]0.1\t1 ";
    const std::string plus = "SCAN /srv/x\t[+]0.1 OK\r\n", e = "SCAN /srv/x\t[E]0.1 Engine hiccup\r\n";
    struct Row {
        std::string answer;
        Scanned expected;
    };
    const Row rows[] = {
        {"210 OK\r\n" + l + "First\r\n" + l + "Second\\ one\r\n200 done\r\n", {1, {"Second one", "First"}}},
        {"210\n" + l + "Only\n200\n", {1, {"Only"}}},
        {"210 OK\r\n" + plus + e + plus + "200 done\r\n", {0, {}}},
        {"210 OK\r\n200 done\r\n", {0, {}}},
        {"210 OK\r\n" + plus + l + "Mixed\r\n" + e + "200 done\r\n", {1, {"Mixed"}}},
        {"210 OK\r\n" + l + "\r\n200 done\r\n", {0, {}}}, // a nameless finding counts for nothing
        {"210 OK\r\n" + l + "A\r\n200 done\r\n210 stale\r\n" + l + "B\r\n", {1, {"A"}}}, // text after the end
    };
    fake::Service svc(sock);
    std::size_t next = 0;
    svc.set_responder([&](const std::string&) { return fake::Script{send(rows[next].answer)}; });
    CapturedStderr err;
    for (; next < std::size(rows); ++next) {
        SCOPED_TRACE(rows[next].answer);
        EXPECT_EQ(scan(&handle, "/srv/x"), rows[next].expected);
    }
    EXPECT_EQ(err.text(), "");
    EXPECT_EQ(svc.connections(), 1);
}

TEST_F(Client, AnswerSplitAcrossReadsAndALineFillingTheWholeBuffer) {
    const std::string head = "SCAN /srv/x\t[L]0.1\t1 ";
    // head + name + CR LF is exactly one response buffer long.
    const std::string name(static_cast<std::size_t>(AV_RESPONSE_SIZE) - head.size() - 2, 'n');
    fake::Service svc(sock);
    svc.add_script({send(welcome), read_line(), send("21"), fake::delay(5),
                    send("0 OK\r\n" + head.substr(0, 9)), fake::delay(5), send(head.substr(9) + name + "\r"),
                    fake::delay(5), send("\n2"), fake::delay(5), send("00 done\r\n"), serve()});
    CapturedStderr err;
    EXPECT_EQ(scan(&handle, "/srv/x"), (Scanned{1, {name}}));
    EXPECT_EQ(err.text(), "");
}

TEST_F(Client, ErrorCodesKeepTheConnection) {
    struct Row {
        std::string answer;
        std::string message;
    };
    const Row rows[] = {
        {"451 Engine error\r\n", "AV SCAN /srv/a b: Error response: 451 Engine error"},
        {"501 Syntax error\r\n", "AV SCAN /srv/a b: Error response: 501 Syntax error"},
        {"499 Whatever\r\n", "AV SCAN /srv/a b: Error response: 499 UNKNOWN"},
        {"400\n", "AV SCAN /srv/a b: Error response: 400 UNKNOWN"},
        {"600 later\r\n", "AV SCAN /srv/a b: Error response: 600 UNKNOWN"},
    };
    fake::Service svc(sock);
    std::size_t next = 0;
    svc.set_responder([&](const std::string&) { return fake::Script{send(rows[next].answer)}; });
    for (; next < std::size(rows); ++next) {
        SCOPED_TRACE(rows[next].answer);
        CapturedStderr err;
        EXPECT_EQ(scan(&handle, "/srv/a b").result, -1);
        EXPECT_EQ(err.text(), logged(rows[next].message));
        EXPECT_GE(handle, 0);
    }
    EXPECT_EQ(svc.connections(), 1);
}

struct AnswerCase {
    const char* what;
    fake::Script script; // after the welcome
    std::string message;
};

TEST_F(Client, AFailedAnswerDropsTheConnection) {
    av_set_wait_limit(0, 100000);
    const std::string l = "SCAN /srv/x\t[L]0.1\t1 ";
    const AnswerCase cases[] = {
        {"unexpected 200",
         {read_line(), send("200 OK\r\n")},
         "AV SCAN /srv/x: Unexpected response code 200!"},
        {"unexpected 220",
         {read_line(), send("220 again\r\n")},
         "AV SCAN /srv/x: Unexpected response code 220!"},
        {"unexpected 399", {read_line(), send("399\r\n")}, "AV SCAN /srv/x: Unexpected response code 399!"},
        {"negative code",
         {read_line(), send("4294967295\r\n")},
         "AV SCAN /srv/x: Unexpected response code -1!"},
        {"data line first",
         {read_line(), send(l + "Early\r\n")},
         "AV SCAN /srv/x: Unexpected response code 0!"},
        {"defective first", {read_line(), send("OK 210\r\n")}, "Defective AV response!"},
        {"hang-up before the answer", {read_line()}, ""},
        {"hang-up mid-answer", {read_line(), send("210 OK\r\n" + l + "Cut\r\n" + l + "Ha")}, ""},
        {"reset",
         {fake::reset()},
         "Error reading from AV daemon socket: read(): " + avtest::strerror_text(ECONNRESET)},
        {"defective data line",
         {read_line(), send("210 OK\r\n" + l + "A\r\nSCAN /srv/x\t[?]0.1\r\n200\r\n")},
         "Defective AV response!"},
        {"other code among data",
         {read_line(), send("210 OK\r\n" + l + "A\r\n451 gone\r\n")},
         "Unexpected AV SCAN response code (451)!"},
        {"other data line", {read_line(), send("210 OK\r\n" + l + "A\r\nEXCLUDE /x\r\n200\r\n")}, ""},
        {"VPS line after a finding", {read_line(), send("210 OK\r\n" + l + "A\r\nVPS 7\r\n200\r\n")}, ""},
        {"line over the buffer",
         {read_line(),
          send("210 OK\r\nSCAN /srv/x\t[+]0.1 " + std::string(AV_RESPONSE_SIZE, 'x') + "\r\n200\r\n")},
         ""},
        {"first line over the buffer",
         {read_line(), send("210 " + std::string(AV_RESPONSE_SIZE, 'x') + "\r\n")},
         ""},
        // A buffer full of one unfinished line fails at once instead of waiting for more.
        {"first line fills the buffer",
         {read_line(), send("210 " + std::string(AV_RESPONSE_SIZE - 4, 'x')), fake::stall()},
         ""},
        {"data line fills the buffer",
         {read_line(), send("210 OK\r\nSCAN /srv/x\t[+]0.1 " + std::string(AV_RESPONSE_SIZE - 19, 'x')),
          fake::stall()},
         ""},
        {"timeout",
         {read_line(), send("210 OK\r\n" + l + "A\r\n"), fake::stall()},
         "AV daemon connection timeout!"},
        {"timeout before the answer", {fake::stall()}, "AV daemon connection timeout!"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        {
            fake::Service svc(sock);
            fake::Script script = {send(welcome)};
            script.insert(script.end(), c.script.begin(), c.script.end());
            svc.add_script(script);
            CapturedStderr err;
            EXPECT_EQ(scan(&handle, "/srv/x"), (Scanned{-1, {}}));
            EXPECT_EQ(err.text(), c.message.empty() ? "" : logged(c.message));
            EXPECT_EQ(handle, -1);
            // The next scan starts on a new connection.
            EXPECT_EQ(scan(&handle, "/srv/infected"), (Scanned{1, {"Eicar-Test-Signature"}}));
            EXPECT_EQ(svc.connections(), 2);
            EXPECT_EQ(svc.lines(1), std::vector<std::string>{scan_line("/srv/infected")});
            close(handle);
            handle = -1;
        }
        expect_no_descriptor_left();
    }
}

// VPS, and VPSWAIT (rows with `known`), which reads the same answer.
TEST_F(Client, SignatureVersion) {
    struct Row {
        std::string answer;
        int result;
        std::uint32_t vps;
        std::string message;
        std::optional<std::uint32_t> known = std::nullopt;
    };
    const Row rows[] = {
        {"210 OK\r\nVPS 12345 2026-12-08\r\n200 done\r\n", 0, 12345, ""},
        {"210\nVPS 1\nVPS 4294967298\n200\n", 0, 2, ""},
        {"210\r\n200\r\n", 0, 0, ""},
        {"451 no\r\n", -1, 0, "Unexpected AV VPS response code (451)!"},
        {"210\r\n500 x\r\n", -1, 0, "Unexpected AV VPS response code (500)!"},
        {"210\r\nSCAN /x\t[L]0.1\t1 Stray\r\n200\r\n", -1, 0, ""},
        {"210\r\nVPS\r\n", -1, 0, "Defective AV response!"},
        {"210\r\nVPS 8\r\n200\r\n", 0, 8, "", 7},
        {"501 Syntax error\r\n", -1, 0, "Unexpected AV VPS response code (501)!", 4294967295u},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.answer);
        {
            fake::Service svc(sock);
            svc.add_script(answer_once(row.answer, {serve()}));
            CapturedStderr err;
            std::uint32_t vps = 99;
            EXPECT_EQ(row.known ? av_vps_wait(&handle, *row.known, &vps) : av_vps(&handle, &vps), row.result);
            EXPECT_EQ(err.text(), row.message.empty() ? "" : logged(row.message));
            EXPECT_EQ(svc.lines(0),
                      std::vector<std::string>{row.known ? "VPSWAIT " + std::to_string(*row.known) + "\n"
                                                         : "VPS\n"});
            if (row.result == 0) {
                EXPECT_EQ(vps, row.vps);
                EXPECT_GE(handle, 0);
                close(handle);
                handle = -1;
            } else {
                EXPECT_EQ(vps, 99u);
                EXPECT_EQ(handle, -1);
            }
        }
        expect_no_descriptor_left();
    }
}

// FDSCAN's answer: the VPS line of the engine that scanned, then the lines of one file.
TEST_F(Client, DescriptorScan) {
    const int passed = open((dir.path() + "/f").c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0600);
    const std::string head = "210\r\nVPS 7\r\n", line = "SCAN /srv/a\\ b\t";
    struct Row {
        std::string answer;
        av_verdict verdict;
        std::vector<std::string> names;
        std::string reason, message;
        bool keeps_connection;
    };
    const Row rows[] = {
        {head + line + "[+]0.1 OK\r\n200\r\n", AV_CLEAN, {}, "", "", true},
        {head + line + "[L]0.1\t1 Found\r\n200\r\n", AV_FOUND, {"Found"}, "", "", true},
        {head + line + "[E]0.1 Not a regular file\r\n200\r\n",
         AV_UNSCANNABLE,
         {},
         "Not a regular file",
         "",
         true},
        {"210\r\n" + line + "[+]0.1 OK\r\n200\r\n", AV_FAILED, {}, "", "", false}, // no VPS line
        {head + "200\r\n", AV_FAILED, {}, "", "", false},                          // no line for the file
        {head + "VPS 7\r\n" + line + "[+]0.1 OK\r\n200\r\n", AV_FAILED, {}, "", "", false},
        {"451 Engine error\r\n",
         AV_FAILED,
         {},
         "",
         "AV SCAN /srv/a b: Error response: 451 Engine error",
         true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.answer);
        {
            fake::Service svc(sock);
            svc.add_script(answer_once(row.answer, {serve()}));
            CapturedStderr err;
            infection* found = nullptr;
            char reason[64] = "";
            std::uint32_t vps = 99;
            EXPECT_EQ(av_scan_fd(&handle, passed, "/srv/a b", &found, reason, sizeof reason, &vps),
                      row.verdict);
            std::vector<std::string> names;
            for (const infection* i = found; i != nullptr; i = i->next)
                names.emplace_back(i->name);
            av_free_result(found);
            EXPECT_EQ(names, row.names);
            EXPECT_EQ(reason, row.reason);
            EXPECT_EQ(vps, row.verdict == AV_FAILED ? 99u : 7u);
            EXPECT_EQ(err.text(), row.message.empty() ? "" : logged(row.message));
            EXPECT_EQ(handle >= 0, row.keeps_connection);
            EXPECT_EQ(svc.lines(0),
                      std::vector<std::string>{"FDSCAN /srv/a\\ b CID portwarden TRIGGER ON_OPEN\n"});
        }
        if (handle >= 0)
            close(handle);
        handle = -1;
        EXPECT_EQ(avtest::open_fds(), fds_before + 1); // the descriptor sent is still the caller's
    }
    close(passed);
}

// The first write of FDSCAN finds its connection closed or full: the command goes, descriptor and all,
// on a new connection, once.
TEST_F(Client, DescriptorScanReconnectsWhenItsWriteFails) {
    av_set_wait_limit(0, 100000);
    const int passed = open((dir.path() + "/f").c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0600);
    const std::string answer = "210\r\nVPS 7\r\nSCAN /srv/x\t[+]0.1 OK\r\n200\r\n";
    struct Row {
        const char* what;
        fake::Step after_vps;
        std::string message;
    };
    const Row rows[] = {
        {"closed", hang_up(), ""},
        {"full", fake::delay(10000), "AV daemon connection timeout!"}, // the service stops reading
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        {
            fake::Service svc(sock);
            svc.add_script(answer_once("210\r\nVPS 7\r\n200\r\n", {row.after_vps}));
            svc.set_responder([&](const std::string&) { return fake::Script{send(answer)}; });
            std::uint32_t vps = 0;
            ASSERT_EQ(av_vps(&handle, &vps), 0);
            if (row.after_vps.op == fake::Step::Op::hang_up) {
                ASSERT_TRUE(zet_test::wait_until([&] { return svc.finished() == 1; }));
            } else {
                const std::string filler(4096, 'x');
                while (write(handle, filler.data(), filler.size()) > 0) {
                }
            }
            CapturedStderr err;
            infection* found = nullptr;
            EXPECT_EQ(av_scan_fd(&handle, passed, "/srv/x", &found, nullptr, 0, &vps), AV_CLEAN);
            EXPECT_EQ(err.text(), row.message.empty() ? "" : logged(row.message));
            EXPECT_EQ(svc.lines(1),
                      std::vector<std::string>{"FDSCAN /srv/x CID portwarden TRIGGER ON_OPEN\n"});
        }
        close(handle);
        handle = -1;
    }
    close(passed);
}

// Each message is logged at its own priority: with -v the daemon shows debug messages, without it not.
TEST_F(Client, MessagesCarryTheirPriorities) {
    av_set_wait_limit(0, 50000);
    struct Row {
        const char* what;
        int priority;
        std::function<void()> provoke;
    };
    avtest::PathList list{"/srv/excluded"};
    const std::string long_path(108, 's');
    auto scan_with = [&](fake::Script script) {
        fake::Service svc(sock);
        svc.add_script(std::move(script));
        scan(&handle, "/srv/x");
        if (handle >= 0)
            close(handle);
        handle = -1;
    };
    const Row rows[] = {
        {"Invalid socket path", LOG_ERR, [&] { av_init(long_path.c_str(), nullptr); }},
        {"Excluding", LOG_NOTICE, [&] { av_init(sock.c_str(), list.head()); }},
        {"Error connecting", LOG_WARNING, [&] { scan(&handle, "/srv/x"); }},
        {"welcome code", LOG_WARNING, [&] { scan_with({send("221\r\n")}); }},
        {"Defective", LOG_WARNING, [&] { scan_with({send("[\r\n")}); }},
        {"timeout", LOG_WARNING, [&] { scan_with({fake::stall()}); }},
        {"Error reading", LOG_WARNING,
         [&] {
             scan_with({send(welcome), fake::reset()});
         }},
        {"Error response", LOG_DEBUG, [&] { scan_with(answer_once("451\r\n")); }},
        {"Unexpected response code", LOG_DEBUG, [&] { scan_with(answer_once("200\r\n")); }},
        {"Unexpected SCAN response code", LOG_DEBUG, [&] { scan_with(answer_once("210\r\n300\r\n")); }},
        {"VPS code", LOG_DEBUG,
         [&] {
             fake::Service svc(sock);
             svc.add_script(answer_once("451\r\n"));
             std::uint32_t vps;
             av_vps(&handle, &vps);
         }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        for (bool shown : {true, false}) {
            ASSERT_EQ(av_init(sock.c_str(), nullptr), 0);
            setlogmask(shown ? LOG_MASK(row.priority) : LOG_UPTO(LOG_DEBUG) & ~LOG_MASK(row.priority));
            CapturedStderr err;
            row.provoke();
            setlogmask(LOG_UPTO(LOG_DEBUG));
            EXPECT_EQ(err.text().empty(), !shown) << err.text();
        }
    }
}

// The fake service as a process of its own, as the daemon's end-to-end runs use it.
TEST_F(Client, FakeServiceProcessPlaysItsScriptFile) {
    const std::string script = dir.path() + "/script", record = dir.path() + "/record";
    ASSERT_EQ(mkdir(record.c_str(), 0700), 0);
    {
        std::ofstream out(script);
        out << "# one scripted session, then standard ones\n"
               "session\nsend 220 hi\\r\\n\nread\nsend 210\\r\\nSCAN /a\\t[L]0.1\\t1 "
               "Scripted\\x21\\r\\n200\\r\\n\n";
    }
    zet_test::ChildProcess fake_scand;
    ASSERT_TRUE(fake_scand.spawn({zet_test::bin::fake_scand, "-r", record, sock, script}, {},
                                 dir.path() + "/stderr"));
    // The socket file appears once the service listens.
    ASSERT_TRUE(zet_test::wait_until([&] { return zet_test::exists(sock); })) << fake_scand.stderr_text();
    CapturedStderr err;
    EXPECT_EQ(scan(&handle, "/srv/a"), (Scanned{1, {"Scripted!"}})) << err.text();
    ASSERT_TRUE(fake_scand.signal(SIGTERM));
    EXPECT_EQ(fake_scand.exit_code(), 0) << fake_scand.stderr_text();
    EXPECT_EQ(scan(&handle, "/srv/b").result, -1); // the service has gone
    EXPECT_EQ(zet_test::read_file(record + "/0"), scan_line("/srv/a"));
}

// Faults at random points of every exchange, reproducible from the seed: each scan must either give what
// the service answered or fail, and nothing may stay open or allocated.
TEST_F(Client, SoakWithFaultsAtRandomPoints) {
    constexpr unsigned seed = 20261208;
    constexpr int scans = 1000, handles = 4;
    av_set_wait_limit(0, 20000);
    avtest::PathList list{dir.path(), "/srv/excluded here"};
    {
        CapturedStderr err;
        ASSERT_EQ(av_init(sock.c_str(), list.head()), 0);
    }
    std::mt19937 rng(seed);
    std::mutex mutex; // the service's threads draw from rng and fill `answered`
    std::map<std::string, Scanned> answered;
    auto chance = [&](int percent) { return static_cast<int>(rng() % 100) < percent; };
    auto fault = [&]() -> fake::Script {
        switch (rng() % 6) {
        case 0:
            return {hang_up()};
        case 1:
            return {send("21")}; // and hang up mid-line
        case 2:
            return {send("[junk\r\n")};
        case 3:
            return {fake::stall()};
        case 4:
            return {send("210 OK\r\n" + std::string(AV_RESPONSE_SIZE + 10, 'x'))};
        default:
            return {send("210 OK\r\n\xff\r\n")};
        }
    };
    std::optional<fake::Service> service(std::in_place, sock);
    fake::Service& svc = *service;
    svc.set_fallback({fake::generate([&]() -> fake::Script {
                          std::lock_guard lock(mutex);
                          if (chance(5))
                              return fault();
                          return {send(chance(2) ? "221 busy\r\n" : welcome)};
                      }),
                      serve()});
    svc.set_responder([&](const std::string& line) -> fake::Script {
        std::lock_guard lock(mutex);
        if (line.rfind("EXCLUDE ", 0) == 0)
            return chance(2) ? fault() : fake::Script{send("210 OK\r\nEXCLUDE x\r\n200 done\r\n")};
        const std::string path = line.substr(5, line.find(" CID ") - 5);
        if (chance(8)) {
            answered[path] = {-1, {}};
            return fault();
        }
        std::string answer = "210 OK\r\n";
        Scanned result{0, {}};
        switch (rng() % 4) {
        case 0:
            answer = "451 Engine error\r\n", result.result = -1;
            break;
        case 1:
            answer += "SCAN " + path + "\t[+]0.1 OK\r\n200 done\r\n";
            break;
        default:
            for (int n = 1 + static_cast<int>(rng() % 3); n > 0; --n) {
                std::string name = "Name " + std::to_string(rng() % 1000);
                answer += "SCAN " + path + "\t[L]0.1\t1 " + avtest::escaped(name) + "\r\n";
                result.names.insert(result.names.begin(), name);
            }
            result.result = 1;
            answer += "200 done\r\n";
        }
        answered[path] = result;
        fake::Script script = {send(answer)};
        if (chance(3)) // a restart right after the answer
            script.push_back(hang_up());
        return script;
    });

    int hs[handles] = {-1, -1, -1, -1};
    int failures = 0;
    {
        CapturedStderr err; // the expected warnings would drown the test's own output
        for (int i = 0; i < scans; ++i) {
            int h = static_cast<int>(std::uniform_int_distribution<>(0, handles - 1)(rng));
            const std::string path = "/soak/" + std::to_string(i) + (i % 7 == 0 ? " \\x" : "");
            Scanned got = scan(&hs[h], path);
            std::lock_guard lock(mutex);
            auto it = answered.find(avtest::escaped(path));
            Scanned expected = it == answered.end() ? Scanned{-1, {}} : it->second;
            ASSERT_EQ(got, expected) << "scan " << i << " on handle " << h;
            failures += got.result < 0;
        }
        // Every line on standard error is one of the client's messages.
        std::istringstream lines(err.text());
        const std::string known[] = {
            "AV daemon connection timeout!",
            "Defective AV response!",
            "Unexpected AV welcome message code (",
            "Unexpected AV EXCLUDE response code (",
            "Unexpected AV SCAN response code (",
            "AV SCAN /soak/",
            "Error reading from AV daemon socket: read(): ",
        };
        const std::string head = std::string(avtest::ident) + ": ";
        for (std::string line; std::getline(lines, line);) {
            bool is_known = false;
            for (const auto& k : known)
                is_known = is_known || line.rfind(head + k, 0) == 0;
            EXPECT_TRUE(is_known) << line;
        }
    }
    EXPECT_GT(failures, scans / 10);
    EXPECT_LT(failures, scans / 2);
    service.reset();
    int live = 0;
    for (int h : hs)
        live += h >= 0;
    EXPECT_LE(avtest::open_fds(), fds_before + live);
    for (int h : hs)
        if (h >= 0)
            close(h);
    EXPECT_EQ(avtest::open_fds(), fds_before);
}

} // namespace
