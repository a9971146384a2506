// Full coverage's pieces without the kernel: name records of events (malformed ones dropped), the
// exclusion test, the catch-up window of a walk, and the bounds of the retry backlog.
#include "src/av.hpp"
#include "src/config.hpp"
#include "src/coverage.hpp"
#include "src/paths.hpp"
#include "src/pool.hpp"
#include "src/recovery.hpp"

#include "tests/support/files.hpp"
#include "tests/support/lists.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <vector>

using zet_test::PathList;
using zet_test::TempDir;
using zet_test::write_file;

namespace {

// An event record built byte by byte: metadata, then one directory-handle-and-name record.
struct EventBytes {
    std::vector<unsigned char> bytes;

    static EventBytes make(std::uint32_t handle_bytes, const std::string& name, std::size_t pad = 0) {
        EventBytes e;
        fanotify_event_metadata md = {};
        md.metadata_len = sizeof md;
        md.vers = FANOTIFY_METADATA_VERSION;
        md.mask = FAN_CLOSE_WRITE;
        md.fd = FAN_NOFD;
        fanotify_event_info_header hdr = {};
        hdr.info_type = FAN_EVENT_INFO_TYPE_DFID_NAME;
        std::size_t rec = sizeof hdr + 8 + 8 + handle_bytes + name.size() + pad;
        hdr.len = static_cast<std::uint16_t>(rec);
        md.event_len = static_cast<std::uint32_t>(sizeof md + rec);
        e.put(&md, sizeof md);
        e.put(&hdr, sizeof hdr);
        const unsigned char fsid[8] = {1, 2, 3, 4, 5, 6, 7, 8};
        e.put(fsid, sizeof fsid);
        std::int32_t type = 1;
        e.put(&handle_bytes, 4);
        e.put(&type, 4);
        e.bytes.insert(e.bytes.end(), handle_bytes, 0xab);
        e.put(name.data(), name.size());
        e.bytes.insert(e.bytes.end(), pad, 0);
        return e;
    }
    void put(const void* p, std::size_t n) {
        auto c = static_cast<const unsigned char*>(p);
        bytes.insert(bytes.end(), c, c + n);
    }
    fanotify_event_metadata* md() { return reinterpret_cast<fanotify_event_metadata*>(bytes.data()); }
    fanotify_event_info_header* hdr() {
        return reinterpret_cast<fanotify_event_info_header*>(bytes.data() + 24);
    }
};

TEST(FidRecords, WellFormedAndMalformed) {
    const std::string nul(1, '\0');
    const struct {
        int line;
        EventBytes event;
        void (*spoil)(EventBytes&);
        const char* name; // expected, or null for a dropped event
    } rows[] = {
        {__LINE__, EventBytes::make(8, "file" + nul), nullptr, "file"},
        {__LINE__, EventBytes::make(8, "file" + nul, 3), nullptr, "file"}, // padded to 4 bytes
        {__LINE__, EventBytes::make(128, "a b\tc" + nul), nullptr, "a b\tc"},
        {__LINE__, EventBytes::make(129, "file" + nul), nullptr, nullptr}, // handle over the kernel's maximum
        {__LINE__, EventBytes::make(8, "file"), nullptr, nullptr},         // no terminator
        {__LINE__, EventBytes::make(8, nul), nullptr, nullptr},            // empty name
        {__LINE__, EventBytes::make(8, "." + nul), nullptr, nullptr},
        {__LINE__, EventBytes::make(8, ".." + nul), nullptr, nullptr},
        {__LINE__, EventBytes::make(8, "a/b" + nul), nullptr, nullptr},
        // The record claims more than the event holds.
        {__LINE__, EventBytes::make(8, "file" + nul), [](EventBytes& e) { e.hdr()->len += 4; }, nullptr},
        // The handle claims more than the record holds.
        {__LINE__, EventBytes::make(8, "file" + nul),
         [](EventBytes& e) {
             std::uint32_t big = 12;
             memcpy(e.bytes.data() + 24 + 4 + 8, &big, 4);
         },
         nullptr},
        // A record shorter than its own header.
        {__LINE__, EventBytes::make(8, "file" + nul), [](EventBytes& e) { e.hdr()->len = 2; }, nullptr},
        // Metadata longer than the event.
        {__LINE__, EventBytes::make(8, "file" + nul),
         [](EventBytes& e) { e.md()->metadata_len = static_cast<std::uint16_t>(e.md()->event_len + 1); },
         nullptr},
        // Another record type only.
        {__LINE__, EventBytes::make(8, "file" + nul),
         [](EventBytes& e) { e.hdr()->info_type = FAN_EVENT_INFO_TYPE_FID; }, nullptr},
        // Trailing bytes too short for a header.
        {__LINE__, EventBytes::make(8, "file" + nul),
         [](EventBytes& e) {
             e.bytes.insert(e.bytes.end(), 2, 0);
             e.md()->event_len += 2;
         },
         nullptr},
    };
    for (auto row : rows) {
        SCOPED_TRACE(row.line);
        if (row.spoil != nullptr)
            row.spoil(row.event);
        fid_name rec = {};
        fanotify_event_metadata md;
        memcpy(&md, row.event.bytes.data(), sizeof md);
        bool ok = fid_parse(row.event.bytes.data(), md, &rec);
        ASSERT_EQ(ok, row.name != nullptr);
        if (ok) {
            EXPECT_STREQ(rec.name, row.name);
            EXPECT_EQ(rec.fsid[0], 1);
            std::uint32_t handle_bytes;
            memcpy(&handle_bytes, rec.handle, 4);
            EXPECT_EQ(rec.handle_size, 8 + handle_bytes);
        }
    }
}

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

void collect(const char* path, void* ctx) {
    static_cast<std::set<std::string>*>(ctx)->insert(path);
}

timespec ctime_of(const std::string& path) {
    struct stat st = {};
    stat(path.c_str(), &st);
    return st.st_ctim;
}

TEST(CatchUp, WalksFilesChangedSinceTheWindowSkippingExclusionsAndLinks) {
    TempDir dir;
    std::filesystem::create_directories(dir / "tree/sub/deep");
    std::filesystem::create_directories(dir / "tree/vault");
    for (const char* f : {"tree/a", "tree/sub/b", "tree/sub/deep/c", "tree/vault/v"})
        write_file(dir / f, "x");
    symlink((dir / "tree/a").c_str(), (dir / "tree/link").c_str());
    mkfifo((dir / "tree/fifo").c_str(), 0600);
    PathList trees({dir / "tree"});
    PathList excl({dir / "tree/vault"});

    std::set<std::string> found;
    timespec epoch = {0, 0};
    EXPECT_EQ(catchup_walk(trees.head(), excl.head(), epoch, collect, &found), 3u);
    EXPECT_EQ(found, (std::set<std::string>{dir / "tree/a", dir / "tree/sub/b", dir / "tree/sub/deep/c"}));

    // Past every change: nothing. A file written after that, and one whose times were set back but whose
    // change time is new, are both found.
    timespec after = ctime_of(dir / "tree/sub/deep/c");
    for (const char* f : {"tree/a", "tree/sub/b", "tree/sub/deep/c"})
        after = std::max(after, ctime_of(dir / f), [](const timespec& x, const timespec& y) {
            return x.tv_sec != y.tv_sec ? x.tv_sec < y.tv_sec : x.tv_nsec < y.tv_nsec;
        });
    after.tv_nsec += 1;
    found.clear();
    EXPECT_EQ(catchup_walk(trees.head(), excl.head(), after, collect, &found), 0u);

    struct timespec old_times[2] = {{1000, 0}, {1000, 0}};
    // Busy-wait for the clock to move past `after`, so the new change times are later.
    while (true) {
        timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        if (now.tv_sec > after.tv_sec || (now.tv_sec == after.tv_sec && now.tv_nsec > after.tv_nsec))
            break;
    }
    write_file(dir / "tree/sub/b", "new");
    utimensat(AT_FDCWD, (dir / "tree/sub/deep/c").c_str(), old_times, 0);
    EXPECT_EQ(catchup_walk(trees.head(), excl.head(), after, collect, &found), 2u);
    EXPECT_EQ(found, (std::set<std::string>{dir / "tree/sub/b", dir / "tree/sub/deep/c"}));
}

TEST(Retry, DelaysAndBacklogBounds) {
    EXPECT_EQ(retry_delay(2), 1u);
    EXPECT_EQ(retry_delay(3), 2u);

    task_t task = {};
    task.fd = -1;
    snprintf(task.path, sizeof task.path, "/srv/f");
    // Not started: nothing is taken.
    EXPECT_FALSE(retry_add(&task));

    TempDir dir;
    // Read by the recovery threads until the process ends.
    auto* config = new Config;
    ASSERT_TRUE(add_monitor(&config->monitors, dir.path()));
    // No service at this socket: the backlog only waits, consuming no attempt.
    ASSERT_EQ(av_init((dir / "none.sock").c_str(), nullptr), 0);
    ASSERT_EQ(recovery_start(*config), 0);
    task.attempt = RETRY_ATTEMPTS - 1; // its last attempt failed
    EXPECT_FALSE(retry_add(&task));
    for (std::size_t i = 0; i < RETRY_BACKLOG_SIZE; i++) {
        snprintf(task.path, sizeof task.path, "/srv/f%zu", i);
        task.attempt = static_cast<unsigned>(i % (RETRY_ATTEMPTS - 1));
        ASSERT_TRUE(retry_add(&task)) << i;
    }
    // A file already waiting is taken again without a slot of its own, its failure counted as an attempt;
    // a new one finds the backlog full.
    snprintf(task.path, sizeof task.path, "/srv/f8"); // waits for its second attempt
    task.attempt = 0;
    EXPECT_TRUE(retry_add(&task));
    snprintf(task.path, sizeof task.path, "/srv/new");
    int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    task.fd = fd;
    EXPECT_FALSE(retry_add(&task));
    EXPECT_EQ(task.fd, fd); // the descriptor stays the caller's
    close(fd);
    // One more failure of it is past the last attempt: given up as such, and its slot freed.
    snprintf(task.path, sizeof task.path, "/srv/f8");
    task.attempt = 0;
    EXPECT_FALSE(retry_add(&task));
    EXPECT_EQ(task.attempt, RETRY_ATTEMPTS - 1);
    snprintf(task.path, sizeof task.path, "/srv/new");
    task.attempt = 0;
    EXPECT_TRUE(retry_add(&task));
}

} // namespace
