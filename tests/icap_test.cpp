// The ICAP client against the answers of the common servers and a scripted server for the faults a real
// one never produces: garbage, 5xx, a 100 Continue that never comes, an answer past the wait limit, a
// reset mid-body, a changed ISTag; and a farm where a failed server's work goes to the other.
#include "src/av.hpp"
#include "src/icap.hpp"
#include "tests/support/files.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using zet_test::TempDir;
using zet_test::write_file;

constexpr const char* OPTIONS_OK =
    "ICAP/1.0 200 OK\r\nISTag: \"tag-1\"\r\nMethods: RESPMOD\r\nPreview: 16\r\n"
    "Allow: 204\r\nEncapsulated: null-body=0\r\n\r\n";

// What the scripted server answers to one RESPMOD: its bytes, sent after the preview (or, with `whole`,
// after the whole body), optionally late or never.
struct Reply {
    std::string text;
    bool continue_after_preview = true; // answer "100 Continue" to a preview that is not the whole file
    int delay_ms = 0;
    bool reset = false; // close as soon as the body starts, without reading it
};

// A TCP ICAP server on 127.0.0.1 that answers OPTIONS with `options` and each RESPMOD with `reply`.
class FakeIcap {
public:
    explicit FakeIcap(std::function<Reply(const std::string& body)> reply, std::string options = OPTIONS_OK)
        : reply_(std::move(reply)), options_(std::move(options)) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(fd_, 16);
        socklen_t len = sizeof a;
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        acceptor_ = std::thread([this] {
            for (;;) {
                int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
                if (c < 0)
                    return;
                std::lock_guard guard(lock_);
                clients_.push_back(c);
                threads_.emplace_back([this, c] { serve(c); });
            }
        });
    }
    ~FakeIcap() {
        shutdown(fd_, SHUT_RDWR);
        close(fd_);
        acceptor_.join();
        {
            std::lock_guard guard(lock_);
            for (int c : clients_)
                shutdown(c, SHUT_RDWR);
        }
        for (auto& t : threads_)
            t.join();
        for (int c : clients_)
            close(c);
    }
    std::string url() const { return "icap://127.0.0.1:" + std::to_string(port_) + "/avscan"; }
    int requests() const { return requests_.load(); }

private:
    bool read_more(int c, std::string& buf) {
        char chunk[4096];
        ssize_t n = recv(c, chunk, sizeof chunk, 0);
        if (n <= 0)
            return false;
        buf.append(chunk, static_cast<std::size_t>(n));
        return true;
    }
    bool read_until(int c, std::string& buf, const std::string& delim) {
        while (buf.find(delim) == std::string::npos)
            if (!read_more(c, buf))
                return false;
        return true;
    }
    // The chunked body's data up to a last chunk; `ieof` when the client said the preview was all.
    bool read_body(int c, std::string& buf, std::string* data, bool* ieof) {
        for (;;) {
            if (!read_until(c, buf, "\r\n"))
                return false;
            std::size_t eol = buf.find("\r\n");
            std::string line = buf.substr(0, eol);
            unsigned long size = strtoul(line.c_str(), nullptr, 16);
            if (size == 0) {
                *ieof = line.find("ieof") != std::string::npos;
                if (!read_until(c, buf, "\r\n\r\n"))
                    return false;
                buf.erase(0, buf.find("\r\n\r\n") + 4);
                return true;
            }
            while (buf.size() < eol + 2 + size + 2)
                if (!read_more(c, buf))
                    return false;
            data->append(buf, eol + 2, size);
            buf.erase(0, eol + 2 + size + 2);
        }
    }
    void serve(int c) {
        std::string buf;
        for (;;) {
            if (!read_until(c, buf, "\r\n\r\n"))
                return;
            const std::size_t end = buf.find("\r\n\r\n") + 4;
            const std::string head = buf.substr(0, end);
            buf.erase(0, end);
            if (head.rfind("OPTIONS", 0) == 0) {
                send(c, options_.data(), options_.size(), MSG_NOSIGNAL);
                continue;
            }
            requests_++;
            // The encapsulated HTTP heads, then the body.
            std::size_t body_at = head.find("res-body=");
            std::size_t skip =
                body_at == std::string::npos ? 0 : strtoul(head.c_str() + body_at + 9, nullptr, 10);
            while (buf.size() < skip)
                if (!read_more(c, buf))
                    return;
            buf.erase(0, skip);
            std::string data;
            bool ieof = false;
            Reply r = reply_("");
            if (r.reset) {
                struct linger l = {1, 0};
                setsockopt(c, SOL_SOCKET, SO_LINGER, &l, sizeof l);
                shutdown(c, SHUT_RDWR);
                return;
            }
            if (!read_body(c, buf, &data, &ieof))
                return;
            if (head.find("Preview:") != std::string::npos && !ieof) {
                if (!r.continue_after_preview) {
                    pollfd p = {c, POLLIN, 0};
                    poll(&p, 1, 5000); // silent until the client gives up
                    return;
                }
                const char* go_on = "ICAP/1.0 100 Continue\r\n\r\n";
                send(c, go_on, strlen(go_on), MSG_NOSIGNAL);
                if (!read_body(c, buf, &data, &ieof))
                    return;
            }
            r = reply_(data);
            if (r.delay_ms > 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(r.delay_ms));
            send(c, r.text.data(), r.text.size(), MSG_NOSIGNAL);
        }
    }

    std::function<Reply(const std::string&)> reply_;
    std::string options_;
    int fd_ = -1, port_ = 0;
    std::atomic<int> requests_{0};
    std::mutex lock_;
    std::vector<int> clients_;
    std::vector<std::thread> threads_;
    std::thread acceptor_;
};

// An answer that carries `body` back as a chunked HTTP 200.
std::string echo(const std::string& body, const std::string& headers = "") {
    const std::string http = "HTTP/1.1 200 OK\r\n\r\n";
    char size[16];
    snprintf(size, sizeof size, "%zx\r\n", body.size());
    return "ICAP/1.0 200 OK\r\nISTag: \"tag-1\"\r\n" + headers +
           "Encapsulated: res-hdr=0, res-body=" + std::to_string(http.size()) + "\r\n\r\n" + http +
           (body.empty() ? "" : size + body + "\r\n") + "0\r\n\r\n";
}

struct Scanned {
    av_verdict verdict;
    std::vector<std::string> findings;
    std::uint32_t vps;
};

class Icap : public ::testing::Test {
protected:
    void SetUp() override { av_set_wait_limit(1, 0); }
    void TearDown() override { av_set_wait_limit(AV_WAIT_SECONDS, 0); }
    // Scans `content` through the servers `urls` on one worker connection.
    Scanned scan(const std::string& content, int* handle) {
        write_file(file_, content);
        int fd = open(file_.c_str(), O_RDONLY | O_CLOEXEC);
        infection* found = nullptr;
        char reason[AV_REASON_SIZE] = "";
        Scanned s{};
        s.verdict = icap_scan(handle, fd, file_.c_str(), &found, reason, sizeof reason, &s.vps);
        for (infection* i = found; i != nullptr; i = i->next)
            s.findings.insert(s.findings.begin(), i->name);
        av_free_result(found);
        close(fd);
        return s;
    }
    void use(const std::vector<std::string>& urls) {
        std::string text, bad;
        for (const auto& u : urls)
            text += u + " ";
        ASSERT_TRUE(icap_parse(text, &servers_, &bad)) << bad;
        icap_init(servers_);
    }
    TempDir dir_;
    std::string file_ = dir_ / "doc.com";
    std::vector<icap_server> servers_;
};

TEST(IcapParse, UrlsAndTheHeadersOfTheCommonServers) {
    const struct {
        const char* text;
        bool ok;
        const char* first_uri;
    } urls[] = {
        {"icap://av1/avscan", true, "icap://av1:1344/avscan"},
        {"icap://10.0.0.5:1345/srv_clamav icap://av2/x", true, "icap://10.0.0.5:1345/srv_clamav"},
        {"icap://[::1]:11344/avscan", true, "icap://[::1]:11344/avscan"},
        {"http://av1/avscan", false, nullptr},
        {"icap://av1", false, nullptr},
        {"icap://av1:0/x", false, nullptr},
        {"icap://:1344/x", false, nullptr},
        {"", false, nullptr},
    };
    for (const auto& u : urls) {
        std::vector<icap_server> out;
        std::string bad;
        EXPECT_EQ(icap_parse(u.text, &out, &bad), u.ok) << u.text;
        if (u.ok) {
            EXPECT_EQ(out.at(0).uri, u.first_uri);
        }
    }

    const struct {
        const char* server;
        const char* head;
        std::vector<std::string> findings;
    } answers[] = {
        {"c-icap virus_scan",
         "ICAP/1.0 200 OK\r\nX-Infection-Found: Type=0; Resolution=2; Threat=Eicar-Signature;\r\n"
         "X-Violations-Found: 1\r\n\tdoc.com\r\n\tEicar-Signature\r\n\t0\r\n\t0\r\n\r\n",
         {"Eicar-Signature"}},
        {"Kaspersky, Trend Micro",
         "ICAP/1.0 200 OK\r\nX-Virus-ID: EICAR-Test-File\r\n\r\n",
         {"EICAR-Test-File"}},
        {"MetaDefender",
         "ICAP/1.0 200 OK\r\nX-Violations-Found: "
         "2\r\n\ta\r\n\tTrojan.A\r\n\t1\r\n\t2\r\n\tb\r\n\tWorm.B\r\n\t2\r\n\t2\r\n\r\n",
         {"Trojan.A", "Worm.B"}},
        {"ESET, Sophos",
         "ICAP/1.0 200 OK\r\nx-infection-found: Type=0; Resolution=0; Threat=Win32/Agent;\r\n\r\n",
         {"Win32/Agent"}},
        {"clean", "ICAP/1.0 204 No Content\r\nISTag: \"x\"\r\n\r\n", {}},
    };
    for (const auto& a : answers) {
        icap_answer parsed;
        ASSERT_TRUE(icap_parse_head(a.head, &parsed)) << a.server;
        EXPECT_EQ(icap_findings(parsed), a.findings) << a.server;
    }
    icap_answer bad;
    EXPECT_FALSE(icap_parse_head("HTTP/1.1 200 OK\r\n\r\n", &bad));
    EXPECT_FALSE(icap_parse_head("ICAP/1.0 200 OK\r\nno colon here\r\n\r\n", &bad));
    icap_answer opts;
    ASSERT_TRUE(
        icap_parse_head("ICAP/1.0 200 OK\r\nISTag: \"W3E4R7U9-L2E4-2\"\r\nPreview: 1024\r\n"
                        "Max-Connections: 20\r\nOptions-TTL: 3600\r\nTransfer-Ignore: iso, MP4\r\n\r\n",
                        &opts));
    icap_options o = icap_options_of(opts);
    EXPECT_EQ(o.istag, "W3E4R7U9-L2E4-2");
    EXPECT_EQ(o.preview, 1024);
    EXPECT_EQ(o.max_connections, 20u);
    EXPECT_EQ(o.ttl, 3600u);
    EXPECT_EQ(o.transfer_ignore, (std::vector<std::string>{"iso", "mp4"}));
}

// Transfer-Ignore: files of such an extension are not sent, and count as excluded, never as clean.
TEST_F(Icap, TheServersTransferListsDecideWhatIsSent) {
    FakeIcap server([](const std::string&) { return Reply{"ICAP/1.0 204 No Content\r\n\r\n"}; },
                    "ICAP/1.0 200 OK\r\nISTag: \"t\"\r\nPreview: 0\r\nTransfer-Ignore: com\r\n"
                    "Transfer-Preview: *\r\nEncapsulated: null-body=0\r\n\r\n");
    ASSERT_NO_FATAL_FAILURE(use({server.url()}));
    int handle = -1;
    EXPECT_EQ(scan("small", &handle).verdict, AV_UNSCANNABLE); // doc.com
    EXPECT_EQ(server.requests(), 0);
    file_ = dir_ / "doc.txt";
    EXPECT_EQ(scan("small", &handle).verdict, AV_CLEAN);
    EXPECT_EQ(server.requests(), 1);
    icap_disconnect(&handle);
}

TEST_F(Icap, VerdictsAndFaults) {
    const std::string big(100, 'x'); // beyond the preview of 16 bytes
    const struct {
        const char* name;
        std::string content;
        Reply reply;
        av_verdict verdict;
        std::vector<std::string> findings;
    } rows[] = {
        {"204 within the preview",
         "small",
         {"ICAP/1.0 204 No Content\r\nISTag: \"tag-1\"\r\n\r\n"},
         AV_CLEAN,
         {}},
        {"204 after 100 Continue", big, {"ICAP/1.0 204 No Content\r\n\r\n"}, AV_CLEAN, {}},
        {"200 echoing the content", big, {echo(big)}, AV_CLEAN, {}},
        {"200 with other content", big, {echo("blocked page")}, AV_UNSCANNABLE, {}},
        {"an infection header",
         big,
         {echo("", "X-Infection-Found: Type=0; Resolution=2; Threat=Eicar-Signature;\r\n")},
         AV_FOUND,
         {"Eicar-Signature"}},
        {"an encapsulated 403 alone",
         "small",
         {"ICAP/1.0 200 OK\r\nEncapsulated: res-hdr=0, null-body=26\r\n\r\nHTTP/1.1 403 Forbidden\r\n\r\n"},
         AV_FOUND,
         {"ICAP.Blocked"}},
        {"garbage", "small", {"SMTP ready\r\n\r\n"}, AV_FAILED, {}},
        {"a 500", "small", {"ICAP/1.0 500 Server Error\r\n\r\n"}, AV_FAILED, {}},
        {"no 100 Continue", big, {"", false}, AV_FAILED, {}},
        {"an answer past the wait limit",
         "small",
         {"ICAP/1.0 204 No Content\r\n\r\n", true, 2500},
         AV_FAILED,
         {}},
        {"a reset mid-body", big, {"", true, 0, true}, AV_FAILED, {}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        FakeIcap server([&](const std::string&) { return r.reply; });
        ASSERT_NO_FATAL_FAILURE(use({server.url()}));
        int handle = -1;
        Scanned s = scan(r.content, &handle);
        EXPECT_EQ(s.verdict, r.verdict);
        EXPECT_EQ(s.findings, r.findings);
        if (r.verdict != AV_FAILED) {
            EXPECT_EQ(s.vps, icap_version("tag-1"));
        }
        icap_disconnect(&handle);
    }
}

TEST_F(Icap, ANewIsTagIsANewSignatureVersionAndAFailedServersWorkGoesToTheOther) {
    FakeIcap down([](const std::string&) { return Reply{"ICAP/1.0 503 Busy\r\n\r\n"}; });
    FakeIcap up([](const std::string&) { return Reply{"ICAP/1.0 204 No Content\r\n\r\n"}; });
    ASSERT_NO_FATAL_FAILURE(use({down.url(), up.url()}));
    // Every scan gets its verdict, though half the workers start at the failing server.
    for (int worker = 0; worker < 4; worker++) {
        int handle = -1;
        Scanned s = scan("small", &handle);
        if (s.verdict == AV_FAILED) // the failing server's answer, once: it rests from then on
            s = scan("small", &handle);
        EXPECT_EQ(s.verdict, AV_CLEAN) << worker;
        icap_disconnect(&handle);
    }
    EXPECT_LE(down.requests(), 1);
    // The server's signatures change: OPTIONS names a new tag, the answers carry it.
    FakeIcap server(
        [](const std::string&) { return Reply{"ICAP/1.0 204 No Content\r\nISTag: \"tag-2\"\r\n\r\n"}; });
    ASSERT_NO_FATAL_FAILURE(use({server.url()}));
    int handle = -1;
    EXPECT_EQ(scan("small", &handle).vps, icap_version("tag-2"));
    EXPECT_NE(icap_version("tag-1"), icap_version("tag-2"));
    icap_disconnect(&handle);
}

} // namespace
