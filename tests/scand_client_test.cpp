// zet's scan-service client against the real orbis-scand: what the daemon gets for infected, clean,
// archived, excluded and odd files, the version, and a service restart under a live handle.
#include "scand/reloader.hpp"
#include "scand/wire.hpp"
#include "src/av.hpp"
#include "src/config.hpp"
#include "tests/support/files.hpp"
#include "tests/support/lists.hpp"
#include "tests/support/process.hpp"
#include "tests/support/scand.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace zet_test;

namespace {

class ClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        // As in the daemon: a service that has gone shows up as EPIPE, not as a signal.
        signal(SIGPIPE, SIG_IGN);
        service_ = std::make_unique<Service>(dir_);
        ASSERT_TRUE(service_->ready()) << service_->log();
    }
    void TearDown() override {
        if (handle_ >= 0) {
            close(handle_);
        }
        EXPECT_EQ(service_->stop(), 0) << service_->log();
    }
    std::string path(const std::string& name) const { return dir_ / name; }
    // av_scan's result and the finding names.
    std::pair<int, std::vector<std::string>> scan(const std::string& p) {
        infection* found = nullptr;
        const int r = av_scan(&handle_, p.c_str(), &found);
        auto list = texts_of(found, &infection::name);
        av_free_result(found);
        return {r, list};
    }

    TempDir dir_;
    std::unique_ptr<Service> service_;
    int handle_ = -1;
};

using Result = std::pair<int, std::vector<std::string>>;

TEST_F(ClientTest, GetsFindingsForInfectedFilesOnly) {
    ASSERT_EQ(av_init(service_->socket().c_str(), nullptr), 0);
    struct Case {
        std::string name, content;
        Result expected;
    };
    const Result infected{1, {finding}}, clean{0, {}};
    const Case cases[] = {
        {"eicar.com", eicar, infected},
        {"eicar ws.com", eicar + " \r\n", infected},
        {"eicar\tzip\\.zip", stored_zip({{"x/eicar.com", eicar}}), infected},
        {"nested.zip", stored_zip({{"inner.zip", stored_zip({{"e", eicar}})}}), infected},
        {"eicar\nline.com", eicar + "\n", infected},
        {"clean.txt", "nothing to see\n", clean},
        {"clean.zip", stored_zip({{"a.txt", "hello"}}), clean},
        {"junk.com", eicar + "!", clean},
    };
    for (const auto& c : cases) {
        write_file(path(c.name), c.content);
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(scan(path(c.name)), c.expected);
    }
}

TEST_F(ClientTest, UnscannableObjectsAreNoFindings) {
    ASSERT_EQ(av_init(service_->socket().c_str(), nullptr), 0);
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
    EXPECT_EQ(scan(path("fifo")), Result(0, {}));
    EXPECT_EQ(scan(path("missing")), Result(0, {}));
    EXPECT_EQ(scan("/dev/null"), Result(0, {}));
    EXPECT_EQ(handle_ >= 0, true); // the answers were complete: the connection stays
}

TEST_F(ClientTest, ADirectoryGivesEveryFinding) {
    ASSERT_EQ(av_init(service_->socket().c_str(), nullptr), 0);
    ASSERT_EQ(mkdir(path("tree").c_str(), 0700), 0);
    write_file(path("tree/a.com"), eicar);
    write_file(path("tree/b.txt"), "clean");
    write_file(path("tree/c.zip"), stored_zip({{"e", eicar}}));
    EXPECT_EQ(scan(path("tree")), Result(1, {finding, finding}));
}

TEST_F(ClientTest, ExclusionsAreSentAndHonoured) {
    ASSERT_EQ(mkdir(path("vault").c_str(), 0700), 0);
    write_file(path("vault/eicar.com"), eicar);
    write_file(path("single.com"), eicar);
    write_file(path("other.com"), eicar);
    PathList exclusions{path("single.com"), path("vault")};
    ASSERT_EQ(av_init(service_->socket().c_str(), exclusions.head()), 0);
    EXPECT_EQ(scan(path("vault/eicar.com")), Result(0, {}));
    EXPECT_EQ(scan(path("single.com")), Result(0, {}));
    EXPECT_EQ(scan(path("other.com")), Result(1, {finding}));
    const auto log = service_->log();
    EXPECT_NE(log.find("Excluding '" + path("vault") + "/*'"), std::string::npos) << log;
}

TEST_F(ClientTest, VersionMatchesAcrossConnections) {
    ASSERT_EQ(av_init(service_->socket().c_str(), nullptr), 0);
    std::uint32_t first = 0, second = 0;
    ASSERT_EQ(av_vps(&handle_, &first), 0);
    int other = -1;
    ASSERT_EQ(av_vps(&other, &second), 0);
    close(other);
    EXPECT_NE(first, 0u);
    EXPECT_EQ(first, second);
}

TEST_F(ClientTest, ReconnectsAfterTheServiceRestarts) {
    write_file(path("eicar.com"), eicar);
    ASSERT_EQ(av_init(service_->socket().c_str(), nullptr), 0);
    ASSERT_EQ(scan(path("eicar.com")), Result(1, {finding}));
    ASSERT_EQ(service_->stop(), 0);
    service_ = std::make_unique<Service>(dir_);
    ASSERT_TRUE(service_->ready()) << service_->log();
    EXPECT_EQ(scan(path("eicar.com")), Result(1, {finding}));
}

TEST_F(ClientTest, RefusedPathsFailTheScan) {
    ASSERT_EQ(av_init(service_->socket().c_str(), nullptr), 0);
    const std::string too_long = "/" + std::string(4096, 'x'); // longer than any path the kernel takes
    EXPECT_EQ(scan(too_long), Result(-1, {}));
    write_file(path("eicar.com"), eicar);
    EXPECT_EQ(scan(path("eicar.com")), Result(1, {finding}));
}

// The descriptor crosses to the service, which names the version that scanned it; its process is then
// known as the service's.
TEST_F(ClientTest, ScansADescriptorAndKnowsTheServicesProcess) {
    ASSERT_EQ(av_init(service_->socket().c_str(), nullptr), 0);
    const pid_t pid = service_->child().pid();
    EXPECT_FALSE(av_is_service_pid(pid));
    write_file(path("eicar.com"), eicar);
    const int fd = open(path("eicar.com").c_str(), O_RDONLY | O_CLOEXEC);
    const int fds_before = open_fds();
    infection* found = nullptr;
    std::uint32_t scanned_by = 0, current = 1;
    EXPECT_EQ(av_scan_fd(&handle_, fd, "/named/eicar.com", &found, nullptr, 0, &scanned_by), AV_FOUND);
    EXPECT_EQ(texts_of(found, &infection::name), std::vector<std::string>{finding});
    av_free_result(found);
    ASSERT_EQ(av_vps(&handle_, &current), 0);
    EXPECT_EQ(scanned_by, current);
    EXPECT_TRUE(av_is_service_pid(pid));
    EXPECT_EQ(open_fds(), fds_before + 1); // the connection: what was sent stays the caller's alone
    close(fd);
}

// VPSWAIT's wait on the engines: at once for another version, at the limit for the current one.
TEST(VersionWait, EndsAtOnceForAnotherVersionAndAtTheLimitForTheSame) {
    ASSERT_TRUE(scand::Engine::initialise());
    scand::Reloader engines(dbdir, std::chrono::seconds(0));
    ASSERT_TRUE(engines.load_first());
    const std::uint32_t current = engines.current()->version();
    const std::atomic<bool> stop{false};
    struct Case {
        std::uint32_t known;
        std::chrono::milliseconds limit;
        bool waits_out_the_limit;
    };
    for (const Case c : {Case{current + 1, 60s, false}, Case{current, 100ms, true}}) {
        SCOPED_TRACE(c.known);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(engines.wait_for_version(c.known, c.limit, stop), current);
        EXPECT_EQ(std::chrono::steady_clock::now() - start >= c.limit, c.waits_out_the_limit);
    }
}

// Every line the service writes, parsed by the client's own parser: consumed whole, of the right type,
// findings with their names unescaped.
TEST(WireAgreement, ServiceLinesParseAsTheClientExpects) {
    using Kind = scand::Outcome::Kind;
    const std::string paths[] = {"/plain", "/a b\tc\\d\ne\rf\vg\fh", "/123/45.6/[L]/x", "/\xc3\xa4\x80\xff",
                                 "/t\\"};
    const scand::Outcome outcomes[] = {
        {Kind::Clean, "", {}, std::chrono::microseconds(1)},
        {Kind::Unscannable, "No such file or directory", {}, {}},
        {Kind::EngineFailure, "Can't create temporary directory", {}, {}},
        {Kind::Infected, "", {"First.Name", "Second Name\\x"}, std::chrono::microseconds(3000001)},
    };
    for (const auto& p : paths) {
        for (const auto& o : outcomes) {
            std::string text;
            scand::append_scan_lines(text, p, o);
            SCOPED_TRACE(text);
            response_t resp = {};
            std::size_t off = 0, lines = 0;
            while (off < text.size()) {
                const int n = parse(text.data() + off, static_cast<int>(text.size() - off), &resp);
                ASSERT_GT(n, 0);
                EXPECT_EQ(text[off + static_cast<std::size_t>(n) - 1], '\n');
                EXPECT_EQ(resp.type, TYPE_SCAN);
                off += static_cast<std::size_t>(n);
                ++lines;
            }
            EXPECT_EQ(lines, o.kind == Kind::Infected ? o.findings.size() : 1u);
            auto found = texts_of(resp.infections, &infection::name);
            std::reverse(found.begin(), found.end());
            EXPECT_EQ(found, o.findings);
            av_free_result(resp.infections);
        }
    }
    struct Fixed {
        std::string line;
        type_t type;
        code_t code;
    };
    const Fixed fixed[] = {
        {std::string(scand::welcome_line), TYPE_CODE, 220},
        {std::string(scand::accept_line), TYPE_CODE, 210},
        {std::string(scand::end_line), TYPE_CODE, 200},
        {std::string(scand::engine_error_line), TYPE_CODE, 451},
        {std::string(scand::exclusion_limit_line), TYPE_CODE, 452},
        {std::string(scand::syntax_error_line), TYPE_CODE, 501},
        {scand::exclude_line("/v a/*"), TYPE_EXCLUDE, 0},
        {scand::vps_line(4294967295u), TYPE_VPS, 0},
    };
    for (const auto& f : fixed) {
        SCOPED_TRACE(f.line);
        response_t resp = {};
        EXPECT_EQ(parse(f.line.data(), static_cast<int>(f.line.size()), &resp),
                  static_cast<int>(f.line.size()));
        EXPECT_EQ(resp.type, f.type);
        EXPECT_EQ(resp.code, f.code);
        if (f.type == TYPE_VPS) {
            EXPECT_EQ(resp.vps, 4294967295u);
        }
    }
}

} // namespace
