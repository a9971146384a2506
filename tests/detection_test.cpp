// What a detection tells besides the vault and the infection log, as the settings ask: the syslog line and
// the JSON record, names escaped so that no byte of a file name can end a field or a line.
#include "src/detection.hpp"

#include "src/av.hpp"
#include "src/config.hpp"
#include "tests/support/files.hpp"

#include <gtest/gtest.h>

#include <syslog.h>

#include <sstream>
#include <string>

using namespace zet_test;

namespace {

TEST(Detection, SyslogLineAndJsonRecordForMovedAndUnmovedFiles) {
    TempDir dir;
    // The worker's connection finds no service: the record's signature version is unknown.
    ASSERT_EQ(av_init((dir / "none.sock").c_str(), nullptr), 0);
    static Config config; // read by the detection unit until the process ends
    config.syslog_detections = 1;
    config.json_log = dir / "detections.jsonl";
    openlog("detection_test", LOG_PERROR, LOG_USER);
    detection_init(config);

    char eicar[] = "Eicar-Signature", other[] = "Second\tname";
    infection second = {other, nullptr}, first = {eicar, &second};
    const struct {
        const char* path;
        const char* vault;
        std::string line, json;
    } rows[] = {
        {"/srv/a b", "/vault/a b.AbCdEf",
         "Infected file quarantined: /srv/a b -> /vault/a b.AbCdEf: Eicar-Signature, Second\\u0009name",
         R"({"time":"?","path":"/srv/a b","vault":"/vault/a b.AbCdEf","findings":["Eicar-Signature","Second\u0009name"],"vps":null)"},
        {"/srv/bad\xff\n", nullptr,
         "Infected file not moved: /srv/bad\\udcff\\u000a: Eicar-Signature, Second\\u0009name",
         R"({"time":"?","path":"/srv/bad\udcff\u000a","vault":null,"findings":["Eicar-Signature","Second\u0009name"],"vps":null)"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.path);
        StderrCapture err;
        int sock = -1;
        detection_report(&sock, r.path, r.vault, &first, 1765000000);
        err.restore();
        EXPECT_TRUE(has(err.text(), "detection_test: " + r.line + "\n")) << err.text();
    }
    std::istringstream records(read_file(config.json_log));
    std::string record;
    for (const auto& r : rows) {
        ASSERT_TRUE(std::getline(records, record));
        // The time is the local time of the log lines, in RFC 3339.
        auto t = record.find("\"time\":\"") + 8, end = record.find('"', t);
        EXPECT_TRUE(like(record.substr(t, end - t), "####-##-##T##:##:##???:##")) << record;
        EXPECT_EQ(record.substr(0, t) + "?" + record.substr(end, r.json.size() - t - 1), r.json);
    }
}

} // namespace
