// The path rules: trees by byte prefix of the canonical form, exclusions and mounts by whole components,
// the mount table's escapes.
#include "src/paths.hpp"

#include "src/actor.hpp"

#include "tests/support/files.hpp"
#include "tests/support/lists.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

using zet_test::PathList;
using zet_test::TempDir;
using zet_test::write_file;

namespace {

TEST(Paths, UnderTreesByBytesExcludedByComponents) {
    PathList trees({"/srv/data", "/home"});
    PathList excl({"/srv/data/vault", "/srv/data/one.txt", "/tmp/"});
    const struct {
        const char* path;
        bool under, excluded;
    } rows[] = {
        {"/srv/data/x", true, false},         {"/srv/data2/x", true, false},
        {"/srv/dat", false, false},           {"/home/u/f", true, false},
        {"/srv/data/vault", true, true},      {"/srv/data/vault/x.AbCdEf", true, true},
        {"/srv/data/vaulted/x", true, false}, {"/srv/data/one.txt", true, true},
        {"/srv/data/one.txt2", true, false},  {"/tmp/x", false, true},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.path);
        EXPECT_EQ(path_under(r.path, trees.head()), r.under);
        EXPECT_EQ(path_excluded(r.path, excl.head()), r.excluded);
    }
}

TEST(Paths, MonitoredByBytePrefixOfTheCanonicalForm) {
    TempDir dir;
    std::string data = dir / "data";
    std::filesystem::create_directories(data + "/sub");
    std::filesystem::create_directories(dir / "data2");
    std::filesystem::create_directories(dir / "other");
    std::filesystem::create_directory_symlink(data, dir / "link");
    for (const char* f : {"data/f", "data/sub/f", "data2/f", "other/f"})
        write_file(dir / f, "x");
    PathList list{data, dir / "elsewhere"};

    const struct {
        std::string path;
        bool monitored;
    } cases[] = {
        {data + "/f", true},
        {data + "/sub/f", true},
        {data, true},
        {dir / "data2/f", true},         // a byte prefix, not a path component
        {dir / "link/f", true},          // canonicalised before the match
        {dir / "other/../data/f", true}, // likewise
        {dir / "other/f", false},
        {dir / "dat", false},
        {data + "/gone (deleted)", true}, // no canonical form: the text itself is matched
        {dir / "other/gone (deleted)", false},
        {"/", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(is_monitored(c.path.c_str(), list.head()), c.monitored) << c.path;
    EXPECT_FALSE(is_monitored((data + "/f").c_str(), nullptr));
}

TEST(Paths, ShellPatternsOverTheWholePath) {
    const struct {
        const char* pattern;
        const char* path;
        bool match;
    } rows[] = {
        {"/srv/*/cache/**", "/srv/a/cache/x/y.bin", true},
        {"/srv/*/cache/**", "/srv/a/b/cache/x", false}, // '*' stays within a component
        {"/srv/*/cache/**", "/srv/a/cache", false},     // below the directory, not the directory
        {"**/*.iso", "/srv/data/disk.iso", true},
        {"**/*.iso", "/disk.iso", true},
        {"**/*.iso", "/srv/disk.iso.part", false},
        {"/srv/**/tmp/*", "/srv/tmp/f", true}, // "/**/" may stand for no directory at all
        {"/srv/**/tmp/*", "/srv/a/b/tmp/f", true},
        {"/srv/**/tmp/*", "/srv/a/b/tmp/c/f", false},
        {"/srv/data/*.txt", "/srv/data/notes.txt", true},
        {"/srv/data/*.txt", "/srv/data/notesatxt", false}, // a literal dot
        {"/srv/data/?.txt", "/srv/data/é.txt", true},      // '?' is one character, not one byte
        {"/srv/data/?.txt", "/srv/data//.txt", false},
        {"/srv/data/[a-c]x", "/srv/data/bx", true},
        {"/srv/data/[!a-c]x", "/srv/data/bx", false},
        {"/srv/data/[]x", "/srv/data/]", false}, // a set that never closes is text
        {"/srv/data/[x", "/srv/data/[x", true},
        {"/srv/data/\\*", "/srv/data/*", true},
        {"/srv/data/\\*", "/srv/data/x", false},
        {"/srv/cache/", "/srv/cache/a/b", true}, // a trailing slash: everything below
        {"/srv/cache/", "/srv/cachex", false},
        {"/srv/\xff*", "/srv/\xff\xfe.bin", true}, // bytes that are not UTF-8 match as bytes
        {"/srv/?", "/srv/\xff", true},
        {"srv/*", "/srv/x", false}, // a relative pattern never matches
    };
    for (const auto& r : rows)
        EXPECT_EQ(glob_match(r.pattern, r.path), r.match) << r.pattern << " ~ " << r.path;

    // One place decides, the first rule that applies named; zet's own files whatever else.
    exclusion_rules rules;
    rules.globs = {"**/*.iso"};
    rules.users = {{4242, "backup"}};
    rules.programs = {"/usr/bin/rsync"};
    rules.own = {"/srv/vault"};
    PathList excl({"/srv/data/tmp"});
    actor_ids backup{4242, "/usr/bin/tar"}, rsync{1000, "/usr/bin/rsync"}, other{1000, "/usr/bin/cp"};
    const struct {
        const char* path;
        const actor_ids* who;
        const char* rule; // null: scanned
    } cases[] = {
        {"/srv/vault/x.AbCdEf", nullptr, "zet's own: /srv/vault"},
        {"/srv/data/tmp/f", &other, "EXCL = /srv/data/tmp"},
        {"/srv/data/a.iso", &other, "EXCL_GLOB = **/*.iso"},
        {"/srv/data/f", &backup, "EXCL_USER = backup"},
        {"/srv/data/f", &rsync, "EXCL_PROGRAM = /usr/bin/rsync"},
        {"/srv/data/f", &other, nullptr},
        {"/srv/data/f", nullptr, nullptr}, // a writer that cannot be asked is not excluded
    };
    for (const auto& c : cases) {
        auto rule = excluded_by(c.path, excl.head(), rules, c.who);
        EXPECT_EQ(rule.value_or("(scanned)"), c.rule != nullptr ? c.rule : "(scanned)") << c.path;
    }
}

TEST(Paths, MountsStrictlyBelowATreeFromTheMountTable) {
    TempDir dir;
    const std::string table = dir / "mountinfo";
    // Fields as the kernel writes them; the fifth is the mount point, with \040 for a blank.
    write_file(table, "22 1 0:21 / / rw - ext4 /dev/vda rw\n"
                      "23 22 0:22 / /srv/data rw - tmpfs tmpfs rw\n"
                      "24 23 0:23 / /srv/data/with\\040blank rw - tmpfs tmpfs rw\n"
                      "25 23 0:24 / /srv/data2 rw - tmpfs tmpfs rw\n"
                      "26 24 0:25 / /srv/data/with\\040blank rw - tmpfs tmpfs rw\n"
                      "truncated line\n");
    PathList trees({"/srv/data"});
    int fd = open(table.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(read_mounts_below(fd, trees.head()), std::vector<std::string>{"/srv/data/with blank"});
    close(fd);
    EXPECT_EQ(unescape_octal("a\\011b\\134c\\12"), "a\tb\\c\\12");
}

} // namespace
