// The private c-icap servers the ICAP scans are tested against: two at once, each finding EICAR with our
// test database (plain and zipped) and passing clean content, each paused and stopped on its own.
#include "tests/support/icap.hpp"
#include "tests/support/scand.hpp"

#include <gtest/gtest.h>

#include <string>

namespace zet_test {
namespace {

TEST(IcapHarness, TwoServersScanWithTheTestDatabasePauseAndStop) {
    if (!IcapServer::available())
        GTEST_SKIP() << IcapServer::unavailable();
    TempDir dir;
    IcapServer first(dir, 0, "first"), second(dir, 0, "second");
    ASSERT_TRUE(first.ready()) << first.log();
    ASSERT_TRUE(second.ready()) << second.log();
    ASSERT_NE(first.port(), second.port());
    EXPECT_EQ(first.url(), "icap://127.0.0.1:" + std::to_string(first.port()) + "/avscan");

    const std::string infected = "X-Infection-Found: Type=0; Resolution=2; Threat=" + finding + ";";
    struct Case {
        const char* name;
        std::string content;
        std::string answer; // in c-icap-client's list of the response headers
    };
    const Case cases[] = {
        {"eicar", eicar, infected},
        {"zipped", stored_zip({{"readme.txt", "nothing here\n"}, {"eicar.com", eicar}}), infected},
        {"clean", "nothing to see here\n", "ICAP/1.0 204 Unmodified"},
    };
    for (IcapServer* server : {&first, &second}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.name) + " on port " + std::to_string(server->port()));
            write_file(dir / c.name, c.content);
            const auto r =
                run_to_end({"/usr/bin/c-icap-client", "-i", "127.0.0.1", "-p", std::to_string(server->port()),
                            "-s", IcapServer::service, "-f", dir / c.name, "-v"},
                           dir / (std::string(c.name) + ".client"));
            EXPECT_EQ(r.status, 0);
            // The headers go to standard error, the body to standard output.
            EXPECT_TRUE(has(r.err, c.answer)) << r.err << server->log();
            EXPECT_EQ(has(r.out, finding), c.answer == infected) << r.out; // the page that replaces it
        }
    }

    // Every process of a paused server stops answering, the other one goes on; both work again.
    ASSERT_GT(first.processes().size(), 1u);
    ASSERT_TRUE(first.pause());
    EXPECT_EQ(first.options(1s), "");
    EXPECT_TRUE(second.options().starts_with("ICAP/1.0 200 OK\r\n"));
    ASSERT_TRUE(first.resume());
    EXPECT_TRUE(first.options().starts_with("ICAP/1.0 200 OK\r\n"));

    // Stopped, paused or not: every process has gone (else stop() fails) and the port is closed.
    ASSERT_TRUE(second.pause());
    for (IcapServer* server : {&first, &second}) {
        EXPECT_EQ(server->stop(), 0) << server->log();
        EXPECT_EQ(icap_head(server->port(), "OPTIONS " + server->url() + " ICAP/1.0\r\n\r\n", 1s), "");
    }
}

} // namespace
} // namespace zet_test
