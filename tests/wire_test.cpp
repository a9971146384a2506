// The wire rules both ends share: escaping and how an exclusion covers a path.
#include "zelu/wire.hpp"

#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <utility>

namespace {

struct EscapeCase {
    std::string plain, escaped;
};

const EscapeCase escape_cases[] = {
    {"", ""},
    {"/tmp/a", "/tmp/a"},
    {"a b\\c", "a\\ b\\\\c"},
    {"t\tl\nc\rv\vf\f", "t\\\tl\\\nc\\\rv\\\vf\\\f"},
    {"\xc3\xa4\x80\xff", "\xc3\xa4\x80\xff"},
    {"star/*", "star/*"},
};

TEST(Escape, RoundTrips) {
    for (const auto& c : escape_cases) {
        SCOPED_TRACE(c.escaped);
        EXPECT_EQ(zelu::wire::escape(c.plain), c.escaped);
        EXPECT_EQ(zelu::wire::unescape(c.escaped), c.plain);
    }
}

TEST(Escape, RejectsWhatTheClientNeverSends) {
    for (const char* bad : {"trailing\\", "\\a", "x\\0", "\\/"}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(zelu::wire::unescape(bad));
    }
}

// The client escapes and the service splits fields by the same set: a byte one escapes and the other
// takes as a delimiter would cut a path in two.
TEST(Escape, CoversExactlyBackslashAndWhitespace) {
    for (int b = 0; b < 256; ++b) {
        const char c = static_cast<char>(b);
        SCOPED_TRACE(b);
        EXPECT_EQ(zelu::wire::needs_escape(c), c == '\\' || std::isspace(b) != 0);
    }
}

TEST(Exclusions, Normalizes) {
    const std::pair<const char*, const char*> cases[] = {
        {"/", "/"},
        {"//a//b/", "/a/b"},
        {"/a/./b/.", "/a/b"},
        {"/a/../b", "/a/../b"},
        {"a//b", "a/b"},
        {"./", "."},
        {"", ""},
    };
    for (const auto& [in, out] : cases) {
        EXPECT_EQ(zelu::wire::normalized(in), out) << in;
    }
}

struct CoverCase {
    const char* path;
    bool covered, below;
};

TEST(Exclusions, TreesCoverWhatIsBelowAndFilesOnlyThemselves) {
    zelu::wire::Exclusions ex;
    ASSERT_TRUE(ex.add("/srv/vault/*"));
    ASSERT_TRUE(ex.add("/srv/data//one.txt"));
    const CoverCase cases[] = {
        {"/srv/vault", false, true},        {"/srv/vault/", false, true},
        {"/srv/vault/x", true, true},       {"/srv/vault/x/y", true, true},
        {"/srv//vault/./x", true, true},    {"/srv/vaultx", false, false},
        {"/srv/data/one.txt", true, false}, {"/srv/data/one.txt2", false, false},
        {"/srv/data", false, false},        {"/srv", false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(ex.covers(c.path), c.covered);
        EXPECT_EQ(ex.covers_below(c.path), c.below);
    }
    zelu::wire::Exclusions root;
    root.add("/*");
    EXPECT_TRUE(root.covers("/etc/passwd"));
    EXPECT_FALSE(root.covers("/"));
}

TEST(Exclusions, AreBounded) {
    zelu::wire::Exclusions ex;
    const std::string path = "/" + std::string(4094, 'p');
    std::size_t added = 0;
    while (ex.add(path)) {
        ++added;
    }
    EXPECT_EQ(added, zelu::wire::Exclusions::max_bytes / path.size());
}

} // namespace
