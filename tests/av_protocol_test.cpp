// Wire protocol of the scan-service client: escaping, tokenizer, line parser and the timed socket I/O.
#include "src/av.hpp"
#include "tests/av_support.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace std::string_literals;
using avtest::CapturedStderr;
using avtest::logged;
using zet_test::texts_of;

// Makes the n-th following malloc of the calling thread fail with ENOMEM. glibc's allocator stays in use;
// under a sanitizer, whose allocator must not be replaced, the tests that need this are skipped.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
extern "C" void* __libc_malloc(std::size_t size);
namespace {
thread_local int malloc_countdown = 0;
}
extern "C" void* malloc(std::size_t size) {
    if (malloc_countdown > 0 && --malloc_countdown == 0) {
        errno = ENOMEM;
        return nullptr;
    }
    return __libc_malloc(size);
}
#endif

namespace {

// ---- add_slashes ----

struct SlashCase {
    std::string path;
    int capacity;
    int result;
    std::string text; // when result >= 0
};

const SlashCase slash_cases[] = {
    {"a b\\c", 7, 7, "a\\ b\\\\c"},
    {"a b\\c", 6, -1, ""},
    {"", 0, 0, ""},
    {"abc", 3, 3, "abc"},
    {"abc", 2, -1, ""},
    {"ab ", 4, 4, "ab\\ "},
    {"ab ", 3, -1, ""}, // only the backslash in front of the last blank no longer fits
    {"ab\\", 3, -1, ""},
    {" \t\n\v\f\r", 12, 12, "\\ \\\t\\\n\\\v\\\f\\\r"},
    {" \t\n\v\f\r", 11, -1, ""},
    {"\x80\xff\x1b/", 4, 4, "\x80\xff\x1b/"}, // high bytes and other controls pass unchanged
};

TEST(AddSlashes, EscapesWithinCapacityAndTerminates) {
    for (const auto& c : slash_cases) {
        SCOPED_TRACE(c.path + " / " + std::to_string(c.capacity));
        // Guard bytes around the capacity + 1 bytes the function may use.
        std::string buf(static_cast<std::size_t>(c.capacity) + 1 + 8, '#');
        EXPECT_EQ(add_slashes(c.path.c_str(), buf.data(), c.capacity), c.result);
        EXPECT_EQ(buf.substr(static_cast<std::size_t>(c.capacity) + 1), std::string(8, '#'));
        if (c.result >= 0) {
            EXPECT_EQ(std::string(buf.c_str()), c.text);
            EXPECT_EQ(buf[static_cast<std::size_t>(c.result)], '\0');
        }
    }
}

// ---- Tokenizer ----

struct Token {
    token_kind kind;
    int start; // offset of `token`
    int cur;   // offset of `cur` afterwards
    std::uint64_t number = 0;
};

struct TokenCase {
    std::string text;
    std::vector<Token> tokens; // up to and including the first TOKEN_END
};

const TokenCase token_cases[] = {
    {"", {{TOKEN_END, 0, 1}}},
    {"12 ", {{TOKEN_NUMBER, 0, 2, 12}, {TOKEN_SPACE, 2, 3}, {TOKEN_END, 3, 4}}},
    {"12", {{TOKEN_END, 0, 3}}}, // the digits may go on in bytes not received yet
    {"SCAN\t", {{TOKEN_SCAN, 0, 4}, {TOKEN_TAB, 4, 5}, {TOKEN_END, 5, 6}}},
    {"VPS EXCLUDE E L.",
     {{TOKEN_VPS, 0, 3},
      {TOKEN_SPACE, 3, 4},
      {TOKEN_EXCLUDE, 4, 11},
      {TOKEN_SPACE, 11, 12},
      {TOKEN_E, 12, 13},
      {TOKEN_SPACE, 13, 14},
      {TOKEN_L, 14, 15},
      {TOKEN_DOT, 15, 16},
      {TOKEN_END, 16, 17}}},
    {"Scan SCANS EL l ",
     {{TOKEN_INVALID, 0, 4},
      {TOKEN_SPACE, 4, 5},
      {TOKEN_INVALID, 5, 10},
      {TOKEN_SPACE, 10, 11},
      {TOKEN_INVALID, 11, 13},
      {TOKEN_SPACE, 13, 14},
      {TOKEN_INVALID, 14, 15},
      {TOKEN_SPACE, 15, 16},
      {TOKEN_END, 16, 17}}},
    {"SCAN", {{TOKEN_END, 0, 5}}},
    {"[+]-",
     {{TOKEN_LBRACKET, 0, 1},
      {TOKEN_PLUS, 1, 2},
      {TOKEN_RBRACKET, 2, 3},
      {TOKEN_INVALID, 3, 4},
      {TOKEN_END, 4, 5}}},
    {"\n\r\n\rx\r",
     {{TOKEN_EOL, 0, 1}, {TOKEN_EOL, 1, 3}, {TOKEN_INVALID, 3, 4}, {TOKEN_INVALID, 4, 5}, {TOKEN_END, 5, 7}}},
    // Escape pairs are skipped; `token` stays where they began.
    {"a\\ b.", {{TOKEN_INVALID, 0, 1}, {TOKEN_INVALID, 1, 4}, {TOKEN_DOT, 4, 5}, {TOKEN_END, 5, 6}}},
    {"\\\t\\\n7 ", {{TOKEN_NUMBER, 0, 5, 7}, {TOKEN_SPACE, 5, 6}, {TOKEN_END, 6, 7}}},
    {"\\\\x ", {{TOKEN_INVALID, 0, 2}, {TOKEN_INVALID, 2, 3}, {TOKEN_SPACE, 3, 4}, {TOKEN_END, 4, 5}}},
    {"\\", {{TOKEN_END, 0, 2}}},
    {"\\x", {{TOKEN_END, 0, 3}}},
    {"\\x\\", {{TOKEN_END, 0, 4}}},
    {"\x00\xff "s, {{TOKEN_INVALID, 0, 1}, {TOKEN_INVALID, 1, 2}, {TOKEN_SPACE, 2, 3}, {TOKEN_END, 3, 4}}},
    // Digits accumulate modulo 2^64.
    {"18446744073709551617 ", {{TOKEN_NUMBER, 0, 20, 1}, {TOKEN_SPACE, 20, 21}, {TOKEN_END, 21, 22}}},
    {"1234567890123456789012345678901234567890.",
     {{TOKEN_NUMBER, 0, 40, 12446928571455179474u}, {TOKEN_DOT, 40, 41}, {TOKEN_END, 41, 42}}},
};

TEST(Tokenizer, YieldsKindsPositionsAndNumbers) {
    for (const auto& c : token_cases) {
        SCOPED_TRACE(testing::PrintToString(c.text));
        parser_t p = {c.text.data(), c.text.data() + c.text.size(), nullptr, TOKEN_INVALID, 0};
        for (std::size_t i = 0; i < c.tokens.size(); ++i) {
            SCOPED_TRACE(i);
            const Token& t = c.tokens[i];
            next_token(&p);
            EXPECT_EQ(p.kind, t.kind);
            EXPECT_EQ(p.token - c.text.data(), t.start);
            EXPECT_EQ(p.cur - c.text.data(), t.cur);
            if (t.kind == TOKEN_NUMBER) {
                EXPECT_EQ(p.number, t.number);
            }
        }
    }
}

// ---- Line parser ----

struct ParseCase {
    std::string text;
    int result; // bytes consumed, 0 incomplete, -1 defective
    type_t type = TYPE_CODE;
    code_t code = 0;
    std::uint32_t vps = 0;
    std::vector<std::string> findings = {};
};

const std::string finding = "SCAN /srv/a\t[L]0.1\t1 ";

const ParseCase parse_cases[] = {
    {"200\n", 4, TYPE_CODE, 200},
    {"200\r\n", 5, TYPE_CODE, 200},
    {"210 SCAN OK\r\nSCAN /x\t[+]0.1\r\n", 13, TYPE_CODE, 210}, // only the first line
    {"200 \x01[\xff\\\\ junk\r\n", 16, TYPE_CODE, 200},         // the rest of a status line is skipped
    {"220\\ x\n", 7, TYPE_CODE, 220},
    {"\\ 200\n", 6, TYPE_CODE, 200},
    {"1000000000000000000000000000000000000200 ok\n", 44, TYPE_CODE, 200}, // low 32 bits of 40 digits
    {"1234567890123456789012345678901234567890\n", 41, TYPE_CODE, -834729262},
    {"4294967295\n", 11, TYPE_CODE, -1},
    {"", 0},
    {"20", 0},
    {"200", 0},
    {"200 OK", 0},
    {"200 OK\r", 0},
    {"[200\n", -1},
    {"hello world\n", -1},
    {"Scan /x\t[+]0.1\n", -1},
    {"SCANNER /x\t[+]0.1\n", -1},
    {"\n", -1},
    {"\r200\n", -1},
    {"\\\\200\n", -1},
    {"+ 200\n", -1},
    {"EXCLUDE\n", -1},
    {"EXCLUDE\r\n", -1},
    {"EXCLUDE /srv/tmp/*\r\n", 20, TYPE_EXCLUDE},
    {"EXCLUDE \n", 9, TYPE_EXCLUDE},
    {"VPS 12345\n", 10, TYPE_VPS, 0, 12345},
    {"VPS 12345 2026-12-08\r\n", 22, TYPE_VPS, 0, 12345},
    {"VPS 1000000000000000000000000000000000012345\n", 45, TYPE_VPS, 0, 12345},
    {"VPS 4294967297\n", 15, TYPE_VPS, 0, 1},
    {"VPS\n", -1},
    {"VPS x\n", -1},
    {"VPS  1\n", -1},
    {"SCAN /srv/a\t[+]0.1 OK\r\n", 23, TYPE_SCAN},
    {"SCAN /srv/a\t[E]12.345 Engine said no\n", 37, TYPE_SCAN},
    {"SCAN /srv/a\t[+]0.1\n", 19, TYPE_SCAN},
    {"SCAN /srv/a\\\tb\\ c\t[+]0.1\r\n", 26, TYPE_SCAN},   // escaped tab and blank in the path
    {"SCAN /srv/\x01[]\xff\n/a\t[+]0.1\n", 25, TYPE_SCAN}, // anything until the first plain tab
    {finding + "Eicar-Test-Signature\r\n", 43, TYPE_SCAN, 0, 0, {"Eicar-Test-Signature"}},
    {finding + "Eicar\\ Test\n", 33, TYPE_SCAN, 0, 0, {"Eicar Test"}},
    {finding + "a\\\\b\\\tc\n", 29, TYPE_SCAN, 0, 0, {"a\\b\tc"}},
    {finding + "x\\\n\n", 25, TYPE_SCAN, 0, 0, {"x\n"}},
    {finding + "Trailing\\ \r\n", 33, TYPE_SCAN, 0, 0, {"Trailing "}}, // an escaped last character stays
    {finding + "\\ lead\n", 28, TYPE_SCAN, 0, 0, {" lead"}},
    {finding + "two words\n", 31, TYPE_SCAN, 0, 0, {"two words"}},
    {finding + "\r\n", 23, TYPE_SCAN}, // an empty name adds nothing
    {"SCAN /srv/a\t[L]0.1\t1 \\\n\n", 24, TYPE_SCAN, 0, 0, {"\n"}},
    {"SCAN\t/srv/a\t[+]0.1\n", -1},
    {"SCAN /srv/a [+]0.1\n", 0}, // no tab yet: the path goes on
    {"SCAN /srv/a\t[ +]0.1\n", -1},
    {"SCAN /srv/a\t[X]0.1\n", -1},
    {"SCAN /srv/a\t[LL]0.1\n", -1},
    {"SCAN /srv/a\t[+]\n", -1},
    {"SCAN /srv/a\t[+]0 1\n", -1},
    {"SCAN /srv/a\t[+]0.\n", -1},
    {"SCAN /srv/a\t[+]0.1", 0},
    {"SCAN /srv/a\t[L]0.1 1 Eicar\n", -1},
    {"SCAN /srv/a\t[L]0.1\tx Eicar\n", -1},
    {"SCAN /srv/a\t[L]0.1\t1\tEicar\n", -1},
    {"SCAN /srv/a\t[L]0.1\n", -1},
    {finding + "Eicar", 0},
};

TEST(Parse, LinesGiveResultTypeCodeVpsAndFindings) {
    for (const auto& c : parse_cases) {
        SCOPED_TRACE(testing::PrintToString(c.text));
        response_t resp = {};
        CapturedStderr err;
        int r = parse(c.text.data(), static_cast<int>(c.text.size()), &resp);
        EXPECT_EQ(r, c.result);
        EXPECT_EQ(err.text(), c.result < 0 ? logged("Defective AV response!") : "");
        if (r > 0) {
            EXPECT_EQ(resp.type, c.type);
            EXPECT_EQ(resp.code, c.code);
            EXPECT_EQ(resp.vps, c.vps);
        }
        EXPECT_EQ(texts_of(resp.infections, &infection::name), c.findings);
        av_free_result(resp.infections);
    }
}

TEST(Parse, EveryProperPrefixOfALineIsIncompleteAndAllocatesNothing) {
    for (const auto& c : parse_cases) {
        if (c.result <= 0)
            continue;
        SCOPED_TRACE(testing::PrintToString(c.text));
        response_t resp = {};
        for (int n = 0; n < c.result; ++n) {
            ASSERT_EQ(parse(c.text.data(), n, &resp), 0) << "prefix of " << n << " bytes";
            ASSERT_EQ(resp.infections, nullptr);
            ASSERT_EQ(resp.code, 0);
        }
        EXPECT_EQ(parse(c.text.data(), c.result, &resp), c.result);
        EXPECT_EQ(texts_of(resp.infections, &infection::name), c.findings);
        av_free_result(resp.infections);
    }
}

TEST(Parse, LinesOfOneResponseAccumulateFindingsNewestFirst) {
    const std::string lines = finding + "First\r\n" + "SCAN /srv/b\t[+]0.1\r\n" + finding + "Second\n";
    response_t resp = {};
    int off = 0;
    for (int n; (n = parse(lines.data() + off, static_cast<int>(lines.size()) - off, &resp)) > 0;)
        off += n;
    EXPECT_EQ(off, static_cast<int>(lines.size()));
    EXPECT_EQ(texts_of(resp.infections, &infection::name), (std::vector<std::string>{"Second", "First"}));

    // A status line overwrites type and code but keeps the findings.
    EXPECT_EQ(parse("200 done\n", 9, &resp), 9);
    EXPECT_EQ(resp.type, TYPE_CODE);
    EXPECT_EQ(resp.code, 200);
    EXPECT_EQ(texts_of(resp.infections, &infection::name), (std::vector<std::string>{"Second", "First"}));

    // A defective line releases them.
    CapturedStderr err;
    EXPECT_EQ(parse("SCAN /x\t[?]0.1\n", 15, &resp), -1);
    EXPECT_EQ(resp.infections, nullptr);
    EXPECT_EQ(err.text(), logged("Defective AV response!"));
}

TEST(Parse, VpsAndFindingsDoNotOverlap) {
    response_t resp = {};
    const std::string line = finding + "Kept\n";
    ASSERT_GT(parse(line.data(), static_cast<int>(line.size()), &resp), 0);
    ASSERT_EQ(parse("VPS 4294967295\n", 15, &resp), 15);
    EXPECT_EQ(resp.vps, 4294967295u);
    EXPECT_EQ(texts_of(resp.infections, &infection::name), std::vector<std::string>{"Kept"});
    av_free_result(resp.infections);
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// The line of src/av.cpp a "src/av:N: malloc(): %m" message names must be the allocating call.
void expect_malloc_message(const std::string& text, int* line) {
    const std::string head = std::string(avtest::ident) + ": src/av:";
    const std::string tail = ": malloc(): " + avtest::strerror_text(ENOMEM) + "\n";
    ASSERT_EQ(text.rfind(head, 0), 0u) << text;
    std::size_t digits = text.find_first_not_of("0123456789", head.size());
    ASSERT_GT(digits, head.size()) << text;
    ASSERT_EQ(text.substr(digits), tail);
    *line = std::stoi(text.substr(head.size(), digits - head.size()));
    std::ifstream source(ZET_SOURCE_DIR "/src/av.cpp");
    std::string code;
    for (int i = 0; i < *line && std::getline(source, code); ++i) {
    }
    EXPECT_NE(code.find("malloc("), std::string::npos) << "line " << *line << ": " << code;
    EXPECT_NE(code.find("__LINE__"), std::string::npos) << "line " << *line << ": " << code;
    EXPECT_EQ(code.find("syslog"), std::string::npos) << "line " << *line << ": " << code;
}
#endif

TEST(Parse, FailedAllocationDropsTheFindingAndTheLineStillCounts) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "malloc cannot be made to fail under a sanitizer's allocator";
#else
    const std::string line = finding + "Lost\r\n";
    int lines[2];
    for (int nth : {1, 2}) { // the entry, then its name
        SCOPED_TRACE(nth);
        response_t resp = {};
        CapturedStderr err;
        malloc_countdown = nth;
        int r = parse(line.data(), static_cast<int>(line.size()), &resp);
        malloc_countdown = 0;
        EXPECT_EQ(r, static_cast<int>(line.size()));
        EXPECT_EQ(resp.type, TYPE_SCAN);
        EXPECT_EQ(resp.infections, nullptr);
        expect_malloc_message(err.text(), &lines[nth - 1]);
    }
    EXPECT_NE(lines[0], lines[1]);
#endif
}

// Restartability on random texts from the protocol's own pieces: a prefix parses as incomplete or exactly
// as the whole text does, a parsed line ends with its LF inside the text, and findings appear only then.
TEST(Parse, RandomTextsAreParsedConsistentlyFromAnyPrefix) {
    const char* pieces[] = {"SCAN", "VPS", "EXCLUDE",    "E",      "L",    "X", " ", "\t",
                            "\r",   "\n",  "\r\n",       "\\",     "[",    "]", ".", "+",
                            "0",    "210", "4294967496", "/srv/a", "\xff", "\0"};
    std::mt19937 rng(4711);
    CapturedStderr err; // defective texts are logged
    for (int round = 0; round < 20000; ++round) {
        std::string text;
        if (round % 2 == 0)
            text = "SCAN /x\t[L]0.1\t1 "; // reach the finding states often
        for (int n = static_cast<int>(rng() % 12); n > 0; --n) {
            const char* piece = pieces[rng() % std::size(pieces)];
            text.append(piece, piece[0] == '\0' ? 1 : std::strlen(piece));
        }
        SCOPED_TRACE(testing::PrintToString(text));
        const int len = static_cast<int>(text.size());
        response_t whole = {};
        const int r = parse(text.data(), len, &whole);
        ASSERT_GE(r, -1);
        ASSERT_LE(r, len);
        if (r > 0) {
            ASSERT_EQ(text[static_cast<std::size_t>(r) - 1], '\n');
        } else {
            ASSERT_EQ(whole.infections, nullptr);
        }
        av_free_result(whole.infections);
        const int cut = static_cast<int>(rng() % static_cast<unsigned>(len + 1));
        response_t part = {};
        const int p = parse(text.data(), cut, &part);
        ASSERT_TRUE(p == 0 || p == r) << "cut at " << cut << ": " << p << " vs " << r;
        av_free_result(part.infections);
    }
}

// ---- Timed socket I/O ----

struct SocketPair {
    int fd[2];
    SocketPair() {
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fd) < 0)
            throw std::runtime_error("socketpair");
    }
    ~SocketPair() {
        for (int f : fd)
            if (f >= 0)
                close(f);
    }
    void close_peer() {
        close(fd[1]);
        fd[1] = -1;
    }
};

class TimedIo : public testing::Test {
protected:
    void SetUp() override { av_set_wait_limit(0, 50000); }
    void TearDown() override { av_set_wait_limit(AV_WAIT_SECONDS, 0); }
};

TEST_F(TimedIo, SendWritesEverythingAcrossPartialWrites) {
    SocketPair s;
    const std::string data(1 << 20, 'x'); // far more than the socket buffer holds
    std::string got;
    std::thread reader([&] {
        char buf[65536];
        while (got.size() < data.size()) {
            ssize_t n = read(s.fd[1], buf, sizeof buf);
            if (n > 0)
                got.append(buf, static_cast<std::size_t>(n));
            else if (n == 0 || errno != EAGAIN)
                break;
            else
                usleep(100);
        }
    });
    av_set_wait_limit(10, 0);
    CapturedStderr err;
    EXPECT_EQ(send_buffer(s.fd[0], data.data(), static_cast<int>(data.size())), 1);
    reader.join();
    EXPECT_EQ(got.size(), data.size());
    EXPECT_EQ(send_buffer(s.fd[0], data.data(), 0), 1);
    EXPECT_EQ(err.text(), "");
}

TEST_F(TimedIo, SendFailures) {
    const std::string data(1 << 20, 'x');
    {
        SocketPair s; // nobody reads: the wait for room expires
        CapturedStderr err;
        EXPECT_EQ(send_buffer(s.fd[0], data.data(), static_cast<int>(data.size())), -1);
        EXPECT_EQ(err.text(), logged("AV daemon connection timeout!"));
    }
    {
        SocketPair s; // the service has gone: EPIPE, silently
        s.close_peer();
        CapturedStderr err;
        EXPECT_EQ(send_buffer(s.fd[0], "SCAN /x\n", 8), -1);
        EXPECT_EQ(err.text(), "");
    }
    {
        int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
        CapturedStderr err;
        EXPECT_EQ(send_buffer(fd, "SCAN /x\n", 8), -1);
        EXPECT_EQ(err.text(),
                  logged("Error writing to AV daemon socket: write(): " + avtest::strerror_text(EBADF)));
        close(fd);
    }
}

TEST_F(TimedIo, ReceiveResultsAndFailures) {
    char buf[16];
    {
        SocketPair s;
        ASSERT_EQ(write(s.fd[1], "200 OK\r\n", 8), 8);
        CapturedStderr err;
        EXPECT_EQ(recv_buffer(s.fd[0], buf, 4), 4); // never more than the room
        EXPECT_EQ(recv_buffer(s.fd[0], buf, sizeof buf), 4);
        s.close_peer();
        EXPECT_EQ(recv_buffer(s.fd[0], buf, sizeof buf), 0);
        EXPECT_EQ(err.text(), "");
    }
    {
        SocketPair s;
        CapturedStderr err;
        EXPECT_EQ(recv_buffer(s.fd[0], buf, sizeof buf), -1);
        EXPECT_EQ(err.text(), logged("AV daemon connection timeout!"));
    }
    {
        SocketPair s;
        CapturedStderr err;
        int fd = s.fd[0];
        s.fd[0] = -1;
        close(fd); // select on a closed descriptor
        EXPECT_EQ(recv_buffer(fd, buf, sizeof buf), -1);
        EXPECT_EQ(err.text(),
                  logged("Error monitoring AV daemon socket: select(): " + avtest::strerror_text(EBADF)));
    }
    {
        // Readable, but read() fails: a directory descriptor gives EISDIR.
        int fd = open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        CapturedStderr err;
        EXPECT_EQ(recv_buffer(fd, buf, sizeof buf), -1);
        EXPECT_EQ(err.text(),
                  logged("Error reading from AV daemon socket: read(): " + avtest::strerror_text(EISDIR)));
        close(fd);
    }
}

TEST_F(TimedIo, DescriptorsBeyondFdSetSizeAreWaitedForToo) {
    rlimit lim;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &lim), 0);
    const int high = FD_SETSIZE + 10;
    if (lim.rlim_max <= static_cast<rlim_t>(high))
        GTEST_SKIP() << "the descriptor limit " << lim.rlim_max << " does not reach beyond FD_SETSIZE";
    rlimit raised = lim;
    raised.rlim_cur = static_cast<rlim_t>(high) + 1;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);
    {
        SocketPair s;
        ASSERT_EQ(dup3(s.fd[0], high, O_CLOEXEC), high);
        char buf[16];
        CapturedStderr err;
        EXPECT_EQ(recv_buffer(high, buf, sizeof buf), -1);
        EXPECT_EQ(err.text(), logged("AV daemon connection timeout!"));
        ASSERT_EQ(write(s.fd[1], "220 hi\n", 7), 7);
        EXPECT_EQ(recv_buffer(high, buf, sizeof buf), 7);
        const std::string data(1 << 20, 'x');
        EXPECT_EQ(send_buffer(high, data.data(), static_cast<int>(data.size())), -1);
        EXPECT_EQ(err.text(),
                  logged("AV daemon connection timeout!") + logged("AV daemon connection timeout!"));
        close(high);
    }
    setrlimit(RLIMIT_NOFILE, &lim);
}

} // namespace
