// Scanning through ICAP with the real zet and real c-icap servers (virus_scan over libclamav, our test
// database): what is found and logged, a farm that loses a server in the middle of a burst, and a farm
// that is away altogether for a while.
#include "tests/support/daemon.hpp"
#include "tests/support/files.hpp"
#include "tests/support/icap.hpp"
#include "tests/support/programs.hpp"
#include "tests/support/scand.hpp"

#include <gtest/gtest.h>

#include <memory>

using namespace std::chrono_literals;
using namespace zet_test;

namespace {

constexpr auto DEADLINE = 60s;

class IcapFarm : public DaemonTest {
protected:
    void SetUp() override {
        DaemonTest::SetUp();
        if (IsSkipped())
            return;
        if (!IcapServer::available())
            GTEST_SKIP() << IcapServer::unavailable();
        ASSERT_NO_FATAL_FAILURE(mount_tmpfs("size=256m,mode=0755"));
    }
    void TearDown() override {
        zet_.reset();
        servers_.clear();
        DaemonTest::TearDown();
    }
    IcapServer& add_server(int port = 0) {
        servers_.push_back(
            std::make_unique<IcapServer>(dir_, port, "icap" + std::to_string(servers_.size())));
        EXPECT_TRUE(servers_.back()->ready()) << servers_.back()->log();
        return *servers_.back();
    }
    void start() {
        std::string urls;
        for (const auto& s : servers_)
            urls += (urls.empty() ? "" : " ") + s->url();
        set("SCAN_SERVICE", urls);
        set("COVERAGE", "full");
        ASSERT_NO_FATAL_FAILURE(start_zet({"-v"}, {}, true, DEADLINE));
    }
    bool logged(const std::string& path) {
        return wait_until([&] { return has(read_file(log_), "\t" + path + "\t"); }, DEADLINE);
    }
    // Every file of `clean` still in place and none in the infection log, once each of `infected` is in it.
    void expect_only(const std::vector<std::string>& infected, const std::vector<std::string>& clean) {
        for (const auto& p : infected) {
            EXPECT_TRUE(logged(p)) << p << "\n" << zet_->stderr_text();
            EXPECT_FALSE(exists(p)) << p;
        }
        const std::string log = read_file(log_);
        for (const auto& p : clean) {
            EXPECT_TRUE(exists(p)) << p;
            EXPECT_FALSE(has(log, "\t" + p + "\t")) << p;
        }
    }
    std::vector<std::unique_ptr<IcapServer>> servers_;
};

TEST_F(IcapFarm, InfectedFilesAreQuarantinedWithTheServersFindingAndCleanOnesStay) {
    add_server();
    ASSERT_NO_FATAL_FAILURE(start());
    const std::string plain = tree_ + "/eicar.com", zipped = tree_ + "/eicar.zip",
                      clean = tree_ + "/notes.txt";
    write_file(plain, eicar);
    write_file(zipped, stored_zip({{"eicar.com", eicar}}));
    write_file(clean, "nothing to see\n");
    ASSERT_NO_FATAL_FAILURE(expect_only({plain, zipped}, {clean}));
    EXPECT_TRUE(has(read_file(log_), "\t" + plain + "\t" + vault_ + "/eicar.com.")) << read_file(log_);
    EXPECT_TRUE(has(read_file(log_), "\t" + finding + "\n")) << read_file(log_);
    // zetctl asks the server itself for its OPTIONS.
    const Result status = run_to_end({bin::zetctl, "status", "-c", conf_}, dir_ / "status");
    EXPECT_TRUE(has(status.out, "ICAP server:  " + servers_[0]->url() + " answers (ISTag ")) << status.out;
    const Result metrics = run_to_end({bin::zetctl, "metrics", "-c", conf_}, dir_ / "metrics");
    EXPECT_TRUE(has(metrics.out, "zet_icap_server_up{server=\"" + servers_[0]->url() + "\"} 1\n"))
        << metrics.out;
    stop_zet(SIGTERM, DEADLINE);
}

// icaps://: the server's certificate must be one the system's trust store vouches for (OpenSSL's
// SSL_CERT_FILE stands in for it here); an untrusted one fails every scan, and passes nothing as clean.
TEST_F(IcapFarm, OverTlsOnlyATrustedServerScans) {
    const std::string cert = dir_ / "icap.pem", key = dir_ / "icap.key";
    ASSERT_EQ(run_to_end({"/usr/bin/openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                          "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", key,
                          "-out", cert},
                         dir_ / "openssl")
                  .status,
              0);
    const int tls_port = free_tcp_port();
    servers_.push_back(std::make_unique<IcapServer>(
        dir_, 0, "tls",
        std::vector<std::string>{"TlsPort 127.0.0.1:" + std::to_string(tls_port) + " cert=" + cert +
                                 " key=" + key}));
    ASSERT_TRUE(servers_.back()->ready()) << servers_.back()->log();
    set("SCAN_SERVICE", "icaps://127.0.0.1:" + std::to_string(tls_port) + "/avscan");
    set("COVERAGE", "full");
    for (const bool trusted : {false, true}) {
        SCOPED_TRACE(trusted ? "trusted" : "untrusted");
        std::map<std::string, std::string> env;
        env["SSL_CERT_FILE"] = trusted ? cert : std::string(dir_ / "none.pem");
        ASSERT_NO_FATAL_FAILURE(start_zet({"-v"}, env, true, DEADLINE));
        const std::string file = tree_ + (trusted ? "/t.com" : "/u.com");
        write_file(file, eicar);
        if (trusted) {
            ASSERT_NO_FATAL_FAILURE(expect_only({file}, {}));
        } else {
            EXPECT_TRUE(wait_until([&] { return zet_->stderr_has("TLS: "); })) << zet_->stderr_text();
            EXPECT_TRUE(exists(file));
        }
        stop_zet(SIGTERM, DEADLINE);
    }
}

TEST_F(IcapFarm, AServerLostMidBurstLosesNothingAndPassesNothingUnscanned) {
    add_server();
    add_server();
    ASSERT_NO_FATAL_FAILURE(start());
    constexpr int FILES = 400, EVERY = 20;
    std::vector<std::string> infected, clean;
    for (int i = 0; i < FILES; i++) {
        const std::string path = tree_ + "/f" + std::to_string(i) + (i % EVERY == 0 ? ".com" : ".txt");
        write_file(path, i % EVERY == 0 ? eicar : "clean " + std::to_string(i) + "\n");
        (i % EVERY == 0 ? infected : clean).push_back(path);
        if (i == FILES / 4) {
            EXPECT_EQ(servers_[0]->stop(), 0); // its connections break in the middle of the burst
        }
    }
    ASSERT_NO_FATAL_FAILURE(expect_only(infected, clean));
    EXPECT_TRUE(wait_until([&] { return zet_->stderr_has("failed:"); })) << zet_->stderr_text();
    EXPECT_FALSE(zet_->stderr_has(": not scanned: ")) << zet_->stderr_text();
    stop_zet(SIGTERM, DEADLINE);
}

TEST_F(IcapFarm, AFarmAwayForAWhileDrainsItsBacklogWhenItIsBack) {
    const int port = add_server().port();
    ASSERT_NO_FATAL_FAILURE(start());
    EXPECT_EQ(servers_[0]->stop(), 0);
    servers_.clear();
    std::vector<std::string> infected, clean;
    for (int i = 0; i < 50; i++) {
        const std::string path = tree_ + "/w" + std::to_string(i);
        write_file(path, i % 10 == 0 ? eicar : "clean\n");
        (i % 10 == 0 ? infected : clean).push_back(path);
    }
    EXPECT_TRUE(wait_until([&] { return zet_->stderr_has("failed:"); })) << zet_->stderr_text();
    const Result check = run_to_end({bin::zetctl, "check-config", "-c", conf_}, dir_ / "check");
    EXPECT_EQ(check.status, 0) << check.out;
    EXPECT_TRUE(has(check.out, "warning: ICAP server icap://127.0.0.1:" + std::to_string(port) +
                                   "/avscan does not answer OPTIONS: "))
        << check.out;
    add_server(port);
    ASSERT_NO_FATAL_FAILURE(expect_only(infected, clean));
    stop_zet(SIGTERM, DEADLINE);
}

} // namespace
