// The status line for the service manager: every part it may carry, and since when the service is down.
#include "src/status.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

namespace {

std::string line(const status_snapshot& s, bool unscanned, bool opens) {
    char buf[512];
    status_format(buf, sizeof buf, s, unscanned, opens);
    return buf;
}

TEST(Status, LineCarriesEachPartOnlyWhenDue) {
    setenv("TZ", "UTC", 1);
    tzset();
    const struct {
        status_snapshot s;
        bool unscanned;
        const char* expected;
        bool opens = false;
    } rows[] = {
        {{0, 0, 0, 0, 0, 0, 0}, false, "STATUS=0 files queued, 0 scanned, 0 infected, 0 failed scans\n"},
        {{5, 4, 1, 1, 7, 0, 0}, false, "STATUS=5 files queued, 4 scanned, 1 infected, 1 failed scans\n"},
        {{5, 4, 1, 1, 7, 0, 0},
         true,
         "STATUS=5 files queued, 4 scanned, 1 infected, 1 failed scans, 7 unscanned\n"},
        {{2, 2, 0, 0, 0, 1, 0},
         false,
         "STATUS=2 files queued, 2 scanned, 0 infected, 0 failed scans, 1 self-test\n"},
        {{3, 3, 0, 0, 0, 2, 0},
         true,
         "STATUS=3 files queued, 3 scanned, 0 infected, 0 failed scans, 2 self-tests, 0 unscanned\n"},
        {{3, 2, 0, 1, 0, 0, 86400},
         false,
         "STATUS=3 files queued, 2 scanned, 0 infected, 1 failed scans; scan service unreachable since "
         "1970-01-02 00:00:00\n"},
        {{18446744073709551615u, 1, 1, 1, 1, 1, 86400},
         true,
         "STATUS=18446744073709551615 files queued, 1 scanned, 1 infected, 1 failed scans, 1 self-test, 1 "
         "unscanned; scan service unreachable since 1970-01-02 00:00:00\n"},
        {{4, 4, 1, 0, 0, 0, 86400, 9, 5, 1, 2, 0, 3},
         false,
         "STATUS=4 files queued, 4 scanned, 1 infected, 0 failed scans; opens: 9 checked, 5 known clean, 1 "
         "denied, 2 unscanned, 3 held; scan service unreachable since 1970-01-02 00:00:00\n",
         true},
    };
    for (const auto& r : rows)
        EXPECT_EQ(line(r.s, r.unscanned, r.opens), r.expected);
}

TEST(Status, TheFirstMissKeepsItsTimeUntilAScanReachesTheService) {
    status_service(true);
    EXPECT_EQ(status_read().service_down_since, 0);
    time_t before = time(nullptr);
    status_service(false);
    std::int64_t since = status_read().service_down_since;
    EXPECT_GE(since, before);
    status_counters.service_down_since.store(since - 100);
    status_service(false); // a later miss keeps the first time
    EXPECT_EQ(status_read().service_down_since, since - 100);
    status_service(true);
    EXPECT_EQ(status_read().service_down_since, 0);
}

} // namespace
