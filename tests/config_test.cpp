// Configuration reader: real files and trees in a temporary directory, syslog copied to stderr (LOG_PERROR)
// and checked word for word, once with every priority and once per priority through the log mask.
#include "src/config.hpp"
#include "tests/support/files.hpp"
#include "tests/support/lists.hpp"

#include <gtest/gtest.h>

#include <fmt/format.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

using zet_test::exists;
using zet_test::paths_of;
using zet_test::strerror_text;

std::string replace_all(std::string s, const std::string& from, const std::string& to) {
    for (auto at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
        s.replace(at, from.size(), to);
    return s;
}

// Runs `fn` with fd 2 on a temporary file and only the priorities in `mask` let through; returns what
// glibc's LOG_PERROR copy wrote.
std::string capture_stderr(int mask, const std::function<void()>& fn) {
    zet_test::StderrCapture capture;
    const int old_mask = setlogmask(mask);
    fn();
    setlogmask(old_mask);
    capture.restore();
    return capture.text();
}

// A fresh tree: srv/ and home/ directories, link -> srv, and a regular file file.txt.
class Tree {
public:
    Tree() {
        std::filesystem::create_directory(dir + "/srv");
        std::filesystem::create_directory(dir + "/home");
        std::filesystem::create_directory_symlink(dir + "/srv", dir + "/link");
        std::ofstream(dir + "/file.txt") << "x\n";
    }

    std::string write(const std::string& text) const {
        const std::string path = dir + "/zet.conf";
        std::ofstream(path, std::ios::binary) << replace_all(text, "@", dir);
        return path;
    }
    zet_test::TempDir temp;
    std::string dir = std::filesystem::canonical(temp.path());
};

struct Message {
    int priority;
    std::string text; // "@" stands for the tree's directory
};

struct Row {
    int line;
    std::string text; // the configuration file; "@" stands for the tree's directory
    std::vector<Message> messages;
    bool result;
    std::function<void(const Config&, const std::string& dir)> check;
};

std::string expected_output(const std::vector<Message>& messages, int mask, const std::string& dir) {
    std::string out;
    for (const auto& m : messages)
        if (mask & LOG_MASK(m.priority))
            out += "config_test: " + replace_all(m.text, "@", dir) + "\n";
    return out;
}

class ConfigRead : public ::testing::Test {
protected:
    static void SetUpTestSuite() { openlog("config_test", LOG_PERROR, LOG_DAEMON); }
    static void TearDownTestSuite() { closelog(); }

    // Each row runs on a fresh tree, with the vault preset inside it: once with all priorities (texts,
    // order, result and the record), then once each with only LOG_ERR and only LOG_WARNING.
    void run(const Row& row) {
        SCOPED_TRACE(fmt::format("row at line {}", row.line));
        for (int mask : {LOG_UPTO(LOG_DEBUG), LOG_MASK(LOG_ERR), LOG_MASK(LOG_WARNING)}) {
            Tree tree;
            Config config;
            config.vault = tree.dir + "/vault";
            const std::string file = tree.write(row.text);
            bool result = !row.result;
            const std::string out =
                capture_stderr(mask, [&] { result = config.read_from_file(file.c_str()); });
            EXPECT_EQ(out, expected_output(row.messages, mask, tree.dir)) << "mask " << mask;
            EXPECT_EQ(result, row.result);
            if (mask == LOG_UPTO(LOG_DEBUG) && row.check)
                row.check(config, tree.dir);
        }
    }
};

TEST(ConfigDefaults, RecordHoldsTheDefaults) {
    const Config c;
    EXPECT_EQ(c.run_dir, "/run/orbis");
    EXPECT_EQ(c.socket, "/run/orbis/scan.sock");
    EXPECT_EQ(c.log_file, "/var/log/orbis/zet.log");
    EXPECT_EQ(c.vault, "/var/lib/orbis/vault");
    EXPECT_EQ(c.scanners, 4);
    EXPECT_EQ(c.unlimited_queue, 0);
    EXPECT_EQ(c.monitors, nullptr);
    EXPECT_EQ(c.exclusions, nullptr);
}

TEST_F(ConfigRead, SettingsAndTheirValues) {
    const Row rows[] = {
        {__LINE__,
         "",
         {},
         true,
         [](const Config& c, const std::string& dir) {
             EXPECT_EQ(c.run_dir, "/run/orbis");
             EXPECT_EQ(c.socket, "/run/orbis/scan.sock");
             EXPECT_EQ(c.log_file, "/var/log/orbis/zet.log");
             EXPECT_EQ(c.scanners, 4);
             EXPECT_EQ(c.unlimited_queue, 0);
             EXPECT_EQ(c.coverage, COVERAGE_WRITES);
             EXPECT_EQ(paths_of(c.monitors), std::vector<std::string>{});
             EXPECT_EQ(paths_of(c.exclusions), std::vector<std::string>{});
             struct stat st;
             ASSERT_EQ(stat((dir + "/vault").c_str(), &st), 0);
             EXPECT_TRUE(S_ISDIR(st.st_mode));
             EXPECT_EQ(st.st_mode & 07777, 0700u);
         }},
        {__LINE__,
         "# only a comment\n\n",
         {},
         true,
         [](const Config& c, const std::string&) {
             EXPECT_EQ(c.socket, "/run/orbis/scan.sock");
             EXPECT_EQ(c.scanners, 4);
         }},
        {__LINE__,
         "RUN_DIR = /r\nSOCKET = \"/s 1\"\nSOCKET = /s2 \nLOG_FILE = l.log\nVAULT = @/v\nSCANNERS = 8\n"
         "UNLIMITED_QUEUE = yes\n",
         {},
         true,
         [](const Config& c, const std::string& dir) {
             EXPECT_EQ(c.run_dir, "/r");
             EXPECT_EQ(c.socket, "/s2");
             EXPECT_EQ(c.log_file, "l.log");
             EXPECT_EQ(c.vault, dir + "/v");
             EXPECT_EQ(c.scanners, 8);
             EXPECT_EQ(c.unlimited_queue, 1);
             EXPECT_TRUE(std::filesystem::is_directory(dir + "/v"));
         }},
        {__LINE__,
         "SCANNERS = 1\nSCANNERS = 1_024\n",
         {},
         true,
         [](const Config& c, const std::string&) { EXPECT_EQ(c.scanners, 1024); }},
        // Bad values are reported with the file name, and the rest of the file still counts.
        {__LINE__,
         "UNLIMITED_QUEUE = maybe\nSOCKET = /later\n",
         {{LOG_ERR, "@/zet.conf: invalid bool value: [] UNLIMITED_QUEUE = maybe"}},
         false,
         [](const Config& c, const std::string& dir) {
             EXPECT_EQ(c.socket, "/later");
             EXPECT_EQ(c.unlimited_queue, 0);
             EXPECT_FALSE(exists(dir + "/vault"));
         }},
        {__LINE__,
         "UNLIMITED_QUEUE = \"1\"\n",
         {{LOG_ERR, "@/zet.conf: invalid bool value: [] UNLIMITED_QUEUE = 1"}},
         false,
         nullptr},
        {__LINE__,
         "SCANNERS = 0\nSCANNERS = -1\nSCANNERS = 1025\nSCANNERS = 4294967297\nSCANNERS = eight\n"
         "SCANNERS = \"8\"\nSCANNERS = yes\nLOG_FILE = /after\n",
         {{LOG_ERR, "@/zet.conf: invalid scanner count, expected an integer from 1 to 1024: SCANNERS = 0"},
          {LOG_ERR, "@/zet.conf: invalid scanner count, expected an integer from 1 to 1024: SCANNERS = -1"},
          {LOG_ERR, "@/zet.conf: invalid scanner count, expected an integer from 1 to 1024: SCANNERS = 1025"},
          {LOG_ERR,
           "@/zet.conf: invalid scanner count, expected an integer from 1 to 1024: SCANNERS = 4294967297"},
          {LOG_ERR,
           "@/zet.conf: invalid scanner count, expected an integer from 1 to 1024: SCANNERS = eight"},
          {LOG_ERR, "@/zet.conf: invalid scanner count, expected an integer from 1 to 1024: SCANNERS = 8"},
          {LOG_ERR, "@/zet.conf: invalid scanner count, expected an integer from 1 to 1024: SCANNERS = yes"}},
         false,
         [](const Config& c, const std::string&) {
             EXPECT_EQ(c.scanners, 4);
             EXPECT_EQ(c.log_file, "/after");
         }},
        {__LINE__,
         "COVERAGE = full\n",
         {},
         true,
         [](const Config& c, const std::string&) { EXPECT_EQ(c.coverage, COVERAGE_FULL); }},
        {__LINE__,
         "COVERAGE = full\nCOVERAGE = writes\n",
         {},
         true,
         [](const Config& c, const std::string&) { EXPECT_EQ(c.coverage, COVERAGE_WRITES); }},
        {__LINE__,
         "COVERAGE = Full\nCOVERAGE = all\nCOVERAGE =\nSCANNERS = 2\n",
         {{LOG_ERR, "@/zet.conf: invalid coverage, expected writes or full: COVERAGE = Full"},
          {LOG_ERR, "@/zet.conf: invalid coverage, expected writes or full: COVERAGE = all"},
          {LOG_ERR, "@/zet.conf: invalid coverage, expected writes or full: COVERAGE = "}},
         false,
         [](const Config& c, const std::string&) {
             EXPECT_EQ(c.coverage, COVERAGE_WRITES);
             EXPECT_EQ(c.scanners, 2);
         }},
        {__LINE__,
         "SCAN_SERVICE = icap://av1/avscan  icap://10.0.0.2:1345/srv_clamav\n",
         {},
         true,
         [](const Config& c, const std::string&) {
             ASSERT_EQ(c.icap_servers.size(), 2u);
             EXPECT_EQ(c.icap_servers[0].uri, "icap://av1:1344/avscan");
             EXPECT_EQ(c.icap_servers[1].uri, "icap://10.0.0.2:1345/srv_clamav");
         }},
        {__LINE__,
         "SCANNERS = 2\nSCAN_SERVICE = icap://av1/avscan http://av2/avscan\n",
         {{LOG_ERR,
           "@/zet.conf:2:16: invalid scan service, expected icap://HOST[:PORT]/SERVICE: SCAN_SERVICE = "
           "http://av2/avscan"}},
         false,
         nullptr},
        {__LINE__,
         "ON_OPEN = block\nOPEN_TIMEOUT = 60\nOPEN_ERROR = deny\n",
         {},
         true,
         [](const Config& c, const std::string&) {
             EXPECT_EQ(c.on_open, ON_OPEN_BLOCK);
             EXPECT_EQ(c.open_timeout, 60);
             EXPECT_EQ(c.open_error, OPEN_ERROR_DENY);
         }},
        {__LINE__,
         "ON_OPEN = on\nOPEN_TIMEOUT = 0\nOPEN_TIMEOUT = 61\nOPEN_ERROR = fail\nSCANNERS = 2\n",
         {{LOG_ERR, "@/zet.conf: invalid on-open mode, expected off, scan or block: ON_OPEN = on"},
          {LOG_ERR, "@/zet.conf: invalid open timeout, expected seconds from 1 to 60: OPEN_TIMEOUT = 0"},
          {LOG_ERR, "@/zet.conf: invalid open timeout, expected seconds from 1 to 60: OPEN_TIMEOUT = 61"},
          {LOG_ERR, "@/zet.conf: invalid open error policy, expected allow or deny: OPEN_ERROR = fail"}},
         false,
         [](const Config& c, const std::string&) {
             EXPECT_EQ(c.on_open, ON_OPEN_OFF);
             EXPECT_EQ(c.open_timeout, 5);
             EXPECT_EQ(c.scanners, 2);
         }},
        // Every open of the system would wait for zet: refused, naming the tree; scanning is allowed.
        {__LINE__,
         "ON_OPEN = block\n[MONITORS]\nSCAN = /\n",
         {{LOG_ERR,
           "@/zet.conf: ON_OPEN = block refused for '/': it lies on the root file system, where every "
           "open of the system would wait for zet"}},
         false,
         nullptr},
        {__LINE__,
         "ON_OPEN = scan\n[MONITORS]\nSCAN = /\n",
         {},
         true,
         [](const Config& c, const std::string&) { EXPECT_EQ(c.on_open, ON_OPEN_SCAN); }},
        // Names are case-sensitive; unknown ones are warned about and ignored.
        {__LINE__,
         "FOO = 1\nsocket = /x\n[MONITORS]\nFOO = 2\nscan = /y\n[OTHER]\nSCAN = @/srv\n[]\nVAULT2 = z\n",
         {{LOG_WARNING, ": FOO: unknown/obsolete configuration option"},
          {LOG_WARNING, ": socket: unknown/obsolete configuration option"},
          {LOG_WARNING, "MONITORS: FOO: unknown/obsolete configuration option"},
          {LOG_WARNING, "MONITORS: scan: unknown/obsolete configuration option"},
          {LOG_WARNING, "OTHER: SCAN: unknown/obsolete configuration option"},
          {LOG_WARNING, ": VAULT2: unknown/obsolete configuration option"}},
         true,
         [](const Config& c, const std::string&) {
             EXPECT_EQ(c.socket, "/run/orbis/scan.sock");
             EXPECT_EQ(c.monitors, nullptr);
         }},
        // The SCANNERS key under a section is not the setting.
        {__LINE__,
         "[MONITORS]\nSCANNERS = 2\n",
         {{LOG_WARNING, "MONITORS: SCANNERS: unknown/obsolete configuration option"}},
         true,
         [](const Config& c, const std::string&) { EXPECT_EQ(c.scanners, 4); }},
    };
    for (const auto& row : rows)
        run(row);
}

TEST_F(ConfigRead, LargeFileLaneSettings) {
    const Row rows[] = {
        {__LINE__,
         "",
         {},
         true,
         [](const Config& c, const std::string&) {
             EXPECT_EQ(c.large_file_size, 0);
             EXPECT_EQ(c.small_file_scanners, 1);
         }},
        // SCANNERS may follow the key it bounds.
        {__LINE__,
         "LARGE_FILE_SIZE = 10M\nSMALL_FILE_SCANNERS = 3\nSCANNERS = 4\n",
         {},
         true,
         [](const Config& c, const std::string&) {
             EXPECT_EQ(c.large_file_size, 10 << 20);
             EXPECT_EQ(c.small_file_scanners, 3);
         }},
        {__LINE__,
         "LARGE_FILE_SIZE = 1\nLARGE_FILE_SIZE = 512k\n",
         {},
         true,
         [](const Config& c, const std::string&) { EXPECT_EQ(c.large_file_size, 512 << 10); }},
        {__LINE__,
         "LARGE_FILE_SIZE = 2G\nLARGE_FILE_SIZE = 0\n",
         {},
         true,
         [](const Config& c, const std::string&) { EXPECT_EQ(c.large_file_size, 0); }},
        // More than SCANNERS - 1 is what the pool cuts down, not an error: the shipped file sets 1.
        {__LINE__,
         "SCANNERS = 1\nLARGE_FILE_SIZE = 1M\nSMALL_FILE_SCANNERS = 1\n",
         {},
         true,
         [](const Config& c, const std::string&) { EXPECT_EQ(c.small_file_scanners, 1); }},
        {__LINE__,
         "LARGE_FILE_SIZE = 10 M\nLARGE_FILE_SIZE = -1\nLARGE_FILE_SIZE = 1T\nLARGE_FILE_SIZE = M\n"
         "LARGE_FILE_SIZE = 1048577G\nLARGE_FILE_SIZE = 99999999999999999999\nSMALL_FILE_SCANNERS = 0\n"
         "SMALL_FILE_SCANNERS = 1024\nSMALL_FILE_SCANNERS = two\nSOCKET = /later\n",
         {{LOG_ERR, "@/zet.conf: invalid large file size, expected bytes with an optional K, M or G: "
                    "LARGE_FILE_SIZE = 10 M"},
          {LOG_ERR, "@/zet.conf: invalid large file size, expected bytes with an optional K, M or G: "
                    "LARGE_FILE_SIZE = -1"},
          {LOG_ERR, "@/zet.conf: invalid large file size, expected bytes with an optional K, M or G: "
                    "LARGE_FILE_SIZE = 1T"},
          {LOG_ERR, "@/zet.conf: invalid large file size, expected bytes with an optional K, M or G: "
                    "LARGE_FILE_SIZE = M"},
          {LOG_ERR, "@/zet.conf: invalid large file size, expected bytes with an optional K, M or G: "
                    "LARGE_FILE_SIZE = 1048577G"},
          {LOG_ERR, "@/zet.conf: invalid large file size, expected bytes with an optional K, M or G: "
                    "LARGE_FILE_SIZE = 99999999999999999999"},
          {LOG_ERR, "@/zet.conf: invalid small-file scanner count, expected an integer from 1 to 1023: "
                    "SMALL_FILE_SCANNERS = 0"},
          {LOG_ERR, "@/zet.conf: invalid small-file scanner count, expected an integer from 1 to 1023: "
                    "SMALL_FILE_SCANNERS = 1024"},
          {LOG_ERR, "@/zet.conf: invalid small-file scanner count, expected an integer from 1 to 1023: "
                    "SMALL_FILE_SCANNERS = two"}},
         false,
         [](const Config& c, const std::string&) {
             EXPECT_EQ(c.large_file_size, 0);
             EXPECT_EQ(c.socket, "/later");
         }},
    };
    for (const auto& row : rows)
        run(row);
}

TEST_F(ConfigRead, DetectionAndMetricsSettings) {
    const Row rows[] = {
        // Absent: every part is off.
        {__LINE__,
         "",
         {},
         true,
         [](const Config& c, const std::string&) {
             EXPECT_EQ(c.alert_command, "");
             EXPECT_EQ(c.alert_timeout, 60);
             EXPECT_EQ(c.alert_queue, 100);
             EXPECT_EQ(c.json_log, "");
             EXPECT_EQ(c.syslog_detections, 0);
             EXPECT_EQ(c.metrics, 0);
             EXPECT_EQ(c.vault_records, 0);
         }},
        {__LINE__,
         "ALERT_COMMAND = \"/usr/lib/zet/alert mail\"\nALERT_TIMEOUT = 3600\nALERT_QUEUE = 100_000\n"
         "JSON_LOG = zet.jsonl\nSYSLOG_DETECTIONS = on\nMETRICS = 1\nVAULT_RECORDS = yes\n",
         {},
         true,
         [](const Config& c, const std::string&) {
             EXPECT_EQ(c.alert_command, "/usr/lib/zet/alert mail");
             EXPECT_EQ(c.alert_timeout, 3600);
             EXPECT_EQ(c.alert_queue, 100000);
             EXPECT_EQ(c.json_log, "zet.jsonl");
             EXPECT_EQ(c.syslog_detections, 1);
             EXPECT_EQ(c.metrics, 1);
             EXPECT_EQ(c.vault_records, 1);
         }},
        // An empty value turns the command off again.
        {__LINE__,
         "ALERT_COMMAND = /bin/true\nALERT_COMMAND =\nMETRICS = yes\nMETRICS = no\n",
         {},
         true,
         [](const Config& c, const std::string&) {
             EXPECT_EQ(c.alert_command, "");
             EXPECT_EQ(c.metrics, 0);
         }},
        // Bad values are configuration errors; the rest of the file still counts.
        {__LINE__,
         "ALERT_COMMAND = mail-root\nALERT_TIMEOUT = 0\nALERT_TIMEOUT = 3601\nALERT_TIMEOUT = soon\n"
         "ALERT_QUEUE = 0\nALERT_QUEUE = 100001\nSYSLOG_DETECTIONS = loud\nMETRICS = \"yes\"\n"
         "VAULT_RECORDS = kept\nSOCKET = /later\n",
         {{LOG_ERR,
           "@/zet.conf: invalid alert command, expected an absolute path: ALERT_COMMAND = mail-root"},
          {LOG_ERR, "@/zet.conf: invalid alert timeout, expected seconds from 1 to 3600: ALERT_TIMEOUT = 0"},
          {LOG_ERR,
           "@/zet.conf: invalid alert timeout, expected seconds from 1 to 3600: ALERT_TIMEOUT = 3601"},
          {LOG_ERR,
           "@/zet.conf: invalid alert timeout, expected seconds from 1 to 3600: ALERT_TIMEOUT = soon"},
          {LOG_ERR,
           "@/zet.conf: invalid alert queue length, expected an integer from 1 to 100000: ALERT_QUEUE = 0"},
          {LOG_ERR, "@/zet.conf: invalid alert queue length, expected an integer from 1 to 100000: "
                    "ALERT_QUEUE = 100001"},
          {LOG_ERR, "@/zet.conf: invalid bool value: [] SYSLOG_DETECTIONS = loud"},
          {LOG_ERR, "@/zet.conf: invalid bool value: [] METRICS = yes"},
          {LOG_ERR, "@/zet.conf: invalid bool value: [] VAULT_RECORDS = kept"}},
         false,
         [](const Config& c, const std::string&) {
             EXPECT_EQ(c.socket, "/later");
             EXPECT_EQ(c.alert_command, "");
             EXPECT_EQ(c.alert_timeout, 60);
             EXPECT_EQ(c.alert_queue, 100);
         }},
        // Only before any section.
        {__LINE__,
         "[MONITORS]\nMETRICS = yes\n",
         {{LOG_WARNING, "MONITORS: METRICS: unknown/obsolete configuration option"}},
         true,
         [](const Config& c, const std::string&) { EXPECT_EQ(c.metrics, 0); }},
    };
    for (const auto& row : rows)
        run(row);
}

// Kept by default with full coverage only; a COVERAGE later in the file still counts; empty keeps none.
TEST_F(ConfigRead, StateFileSetting) {
    auto kept = [](const char* path, bool set, bool keeps) {
        return [=](const Config& c, const std::string& dir) {
            EXPECT_EQ(c.state_file, path[0] == '@' ? dir + (path + 1) : std::string(path));
            EXPECT_EQ(c.state_file_set, set);
            EXPECT_EQ(c.keeps_state_file(), keeps);
        };
    };
    const Row rows[] = {
        {__LINE__, "", {}, true, kept("/var/lib/orbis/zet.state", false, false)},
        {__LINE__, "COVERAGE = full\n", {}, true, kept("/var/lib/orbis/zet.state", false, true)},
        {__LINE__, "STATE_FILE = @/zet.state\n", {}, true, kept("@/zet.state", true, true)},
        {__LINE__,
         "STATE_FILE = /var/lib/orbis/zet.state\n",
         {},
         true,
         kept("/var/lib/orbis/zet.state", true, true)},
        {__LINE__, "STATE_FILE =\nCOVERAGE = full\n", {}, true, kept("", true, false)},
        {__LINE__,
         "STATE_FILE = zet.state\nSCANNERS = 2\n",
         {{LOG_ERR, "@/zet.conf: invalid state file, expected an absolute path: STATE_FILE = zet.state"}},
         false,
         kept("/var/lib/orbis/zet.state", false, false)},
    };
    for (const auto& row : rows)
        run(row);
}

TEST_F(ConfigRead, UnlimitedQueueSpellings) {
    const std::pair<const char*, int> rows[] = {{"yes", 1}, {"on", 1}, {"1", 1}, {"2", 1},   {"TRUE", 1},
                                                {"-1", 1},  {"no", 0}, {"0", 0}, {"off", 0}, {"f", 0}};
    for (const auto& [value, expected] : rows) {
        run({__LINE__,
             fmt::format("UNLIMITED_QUEUE = 1\nUNLIMITED_QUEUE = {}\n", value),
             {},
             true,
             [expected = expected](const Config& c, const std::string&) {
                 EXPECT_EQ(c.unlimited_queue, expected);
             }});
    }
}

TEST_F(ConfigRead, MonitorAndExclusionLists) {
    const std::string enoent = strerror_text(ENOENT);
    const std::string enotdir = strerror_text(ENOTDIR);
    using V = std::vector<std::string>;
    const Row rows[] = {
        // Head insertion: the lists hold the reverse of the file order; exact repeats are stored once.
        {__LINE__,
         "[MONITORS]\nSCAN = @/srv\nSCAN = @/home\nSCAN = @/srv\nEXCL = @/home\nEXCL = @/srv\n",
         {},
         true,
         [](const Config& c, const std::string& d) {
             EXPECT_EQ(paths_of(c.monitors), (V{d + "/home", d + "/srv"}));
             EXPECT_EQ(paths_of(c.exclusions), (V{d + "/srv", d + "/home"}));
         }},
        // Stored canonical: a symbolic link resolves, and a repeat written another way is stored again.
        {__LINE__,
         "[MONITORS]\nSCAN = @/link\nSCAN = @/srv/\nSCAN = @//home/../home\n",
         {},
         true,
         [](const Config& c, const std::string& d) {
             EXPECT_EQ(paths_of(c.monitors), (V{d + "/home", d + "/srv", d + "/srv"}));
         }},
        // A tree that does not exist yet is kept as written.
        {__LINE__,
         "[MONITORS]\nSCAN = @/missing/\nEXCL = @/gone\nSCAN = @/missing/\n",
         {{LOG_WARNING, "config: @/missing/: " + enoent}, {LOG_WARNING, "config: @/gone: " + enoent}},
         true,
         [](const Config& c, const std::string& d) {
             EXPECT_EQ(paths_of(c.monitors), (V{d + "/missing/"}));
             EXPECT_EQ(paths_of(c.exclusions), (V{d + "/gone"}));
         }},
        // An empty path fails the reading silently, after the whole file was read.
        {__LINE__,
         "[MONITORS]\nSCAN =\nEXCL = \"\"\nSCAN = @/srv\n",
         {},
         false,
         [](const Config& c, const std::string& d) {
             EXPECT_EQ(paths_of(c.monitors), (V{d + "/srv"}));
             EXPECT_EQ(c.exclusions, nullptr);
         }},
        {__LINE__,
         "[MONITORS]\nSCAN = @/file.txt/x\nSCAN = @/srv\n",
         {{LOG_ERR, "realpath(): @/file.txt/x: " + enotdir}},
         false,
         [](const Config& c, const std::string& d) { EXPECT_EQ(paths_of(c.monitors), (V{d + "/srv"})); }},
    };
    for (const auto& row : rows)
        run(row);
}

TEST_F(ConfigRead, ExclusionsByPatternUserAndProgram) {
    const Row rows[] = {
        // Names resolve at start: a user by name or number, a program to its canonical path.
        {__LINE__,
         "[MONITORS]\nEXCL_GLOB = **/*.iso\nEXCL_USER = nobody\nEXCL_USER = 4242\nEXCL_PROGRAM = /bin/sh\n",
         {},
         true,
         [](const Config& c, const std::string&) {
             ASSERT_EQ(c.excluded.users.size(), 2u);
             EXPECT_EQ(c.excluded.users[0].uid, 65534u);
             EXPECT_EQ(c.excluded.users[1].uid, 4242u);
             EXPECT_EQ(c.excluded.globs, std::vector<std::string>{"**/*.iso"});
             EXPECT_EQ(c.excluded.programs,
                       std::vector<std::string>{std::filesystem::canonical("/bin/sh").string()});
         }},
        // What does not resolve names its line and column; the whole file is read first.
        {__LINE__,
         "[MONITORS]\nEXCL_USER = no-such-user\n  EXCL_PROGRAM = bin/sh\nEXCL_PROGRAM = @/missing\nEXCL_GLOB "
         "= \"\"\n",
         {{LOG_ERR, "@/zet.conf:2:13: unknown user, expected a user name or uid: EXCL_USER = no-such-user"},
          {LOG_ERR, "@/zet.conf:3:18: invalid program, expected the absolute path of an executable: "
                    "EXCL_PROGRAM = bin/sh"},
          {LOG_ERR, "@/zet.conf:4:16: invalid program, expected the absolute path of an executable: "
                    "EXCL_PROGRAM = @/missing"},
          {LOG_ERR, "@/zet.conf:5:13: invalid pattern, expected a shell pattern: EXCL_GLOB = "}},
         false,
         nullptr},
    };
    for (const auto& row : rows)
        run(row);
}

TEST_F(ConfigRead, VaultPreparationAndExclusion) {
    const std::string enoent = strerror_text(ENOENT);
    using V = std::vector<std::string>;
    const Row rows[] = {
        // Under a monitored tree: excluded, at the head of the exclusions.
        {__LINE__,
         "VAULT = @/srv/vault\n[MONITORS]\nEXCL = @/home\nSCAN = @/home\nSCAN = @/srv\n",
         {},
         true,
         [](const Config& c, const std::string& d) {
             EXPECT_EQ(paths_of(c.exclusions), (V{d + "/srv/vault", d + "/home"}));
             struct stat st;
             ASSERT_EQ(stat((d + "/srv/vault").c_str(), &st), 0);
             EXPECT_EQ(st.st_mode & 07777, 0700u);
         }},
        {__LINE__,
         "VAULT = @/srv/vault\n[MONITORS]\nSCAN = @/home\n",
         {},
         true,
         [](const Config& c, const std::string&) { EXPECT_EQ(c.exclusions, nullptr); }},
        // A plain text prefix is enough ("@/sr" does not exist and is kept as written).
        {__LINE__,
         "VAULT = @/srv/vault\n[MONITORS]\nSCAN = @/sr\n",
         {{LOG_WARNING, "config: @/sr: " + enoent}},
         true,
         [](const Config& c, const std::string& d) {
             EXPECT_EQ(paths_of(c.exclusions), (V{d + "/srv/vault"}));
         }},
        // The canonical vault path is the one excluded, and an existing exclusion is not repeated.
        {__LINE__,
         "VAULT = @/link/q\n[MONITORS]\nSCAN = @/srv\nEXCL = @/srv/q\n",
         {{LOG_WARNING, "config: @/srv/q: " + enoent}},
         true,
         [](const Config& c, const std::string& d) { EXPECT_EQ(paths_of(c.exclusions), (V{d + "/srv/q"})); }},
        // Not created recursively.
        {__LINE__,
         "VAULT = @/no/vault\n",
         {{LOG_ERR, "mkdir(): @/no/vault: " + enoent}},
         false,
         [](const Config&, const std::string& d) { EXPECT_FALSE(exists(d + "/no")); }},
        // A vault that is not a directory is reported; the reading still succeeds and excludes it.
        {__LINE__,
         "VAULT = @/file.txt\n[MONITORS]\nSCAN = @\n",
         {{LOG_ERR, "@/file.txt: Not a directory"}},
         true,
         [](const Config& c, const std::string& d) {
             EXPECT_EQ(paths_of(c.exclusions), (V{d + "/file.txt"}));
         }},
    };
    for (const auto& row : rows)
        run(row);
}

// Errors on lines 2, 5 and 9: one "%s\n%s" message per report, every valid line still applied.
TEST_F(ConfigRead, SyntaxErrorsAreLoggedWithTheirLines) {
    const char* const invalid = "invalid line, expected '[section]' or 'key=value' or a comment";
    const Row row{
        __LINE__,
        "SOCKET = /one\n"
        "[MONITORS\n"
        "RUN_DIR = /two\n"
        "LOG_FILE = \"x\" y\n"
        "  = nothing\n"
        "[MONITORS]\n"
        "SCAN = @/srv\n"
        "\n"
        "SCAN \"@/home\"\n"
        "EXCL = @/home\n",
        {{LOG_ERR,
          "@/zet.conf:2:10: parse error matching tao::pegtl::ascii::one<']'>\n[MONITORS\n         ^"},
         {LOG_ERR, fmt::format("@/zet.conf:2:1: {}\n[MONITORS\n^", invalid)},
         {LOG_ERR, "@/zet.conf:4:16: unexpected trailing text\nLOG_FILE = \"x\" y\n               ^"},
         {LOG_ERR, fmt::format("@/zet.conf:4:1: {}\nLOG_FILE = \"x\" y\n^", invalid)},
         {LOG_ERR, fmt::format("@/zet.conf:5:3: {}\n  = nothing\n  ^", invalid)},
         {LOG_ERR, fmt::format("@/zet.conf:9:1: {}\nSCAN \"@/home\"\n^", invalid)}},
        false,
        [](const Config& c, const std::string& d) {
            EXPECT_EQ(c.socket, "/one");
            EXPECT_EQ(c.run_dir, "/two");
            EXPECT_EQ(c.log_file, "/var/log/orbis/zet.log");
            EXPECT_EQ(paths_of(c.monitors), std::vector<std::string>{d + "/srv"});
            EXPECT_EQ(paths_of(c.exclusions), std::vector<std::string>{d + "/home"});
        }};
    // The row above has errors on lines 2, 4, 5 and 9; the brief's three-line case is the same minus line 4.
    run(row);
    Row three = row;
    three.text = replace_all(row.text, "LOG_FILE = \"x\" y\n", "LOG_FILE = \"x\"\n");
    three.messages.erase(three.messages.begin() + 2, three.messages.begin() + 4);
    three.check = [](const Config& c, const std::string&) { EXPECT_EQ(c.log_file, "x"); };
    run(three);
}

class ConfigFile : public ConfigRead {};

TEST_F(ConfigFile, UnreadableFileFailsBeforeTheVault) {
    for (const char* name : {"/none.conf", ""}) {
        Tree tree;
        Config config;
        config.vault = tree.dir + "/vault";
        const std::string file = tree.dir + name;
        bool result = true;
        const std::string out =
            capture_stderr(LOG_MASK(LOG_ERR), [&] { result = config.read_from_file(file.c_str()); });
        EXPECT_FALSE(result);
        EXPECT_EQ(out, "config_test: " + file + ": error reading configuration file\n");
        EXPECT_FALSE(exists(tree.dir + "/vault"));
    }
}

TEST_F(ConfigFile, NoFileOnlyPreparesTheVault) {
    Tree tree;
    {
        Config config;
        config.vault = tree.dir + "/vault";
        bool result = false;
        EXPECT_EQ(capture_stderr(LOG_UPTO(LOG_DEBUG), [&] { result = config.read_from_file(nullptr); }), "");
        EXPECT_TRUE(result);
        EXPECT_TRUE(std::filesystem::is_directory(tree.dir + "/vault"));
        EXPECT_EQ(config.socket, "/run/orbis/scan.sock");
        // Already there: nothing to do.
        EXPECT_TRUE(config.read_from_file(nullptr));
    }
    Config config;
    config.vault = tree.dir + "/absent/vault";
    bool result = true;
    EXPECT_EQ(capture_stderr(LOG_UPTO(LOG_DEBUG), [&] { result = config.read_from_file(nullptr); }),
              fmt::format("config_test: mkdir(): {}/absent/vault: {}\n", tree.dir, strerror_text(ENOENT)));
    EXPECT_FALSE(result);
}

TEST_F(ConfigFile, RelativePathsResolveAgainstTheCurrentDirectory) {
    Tree tree;
    const std::string file = tree.write("VAULT = v\n[MONITORS]\nSCAN = srv\nSCAN = .\n");
    char* here = getcwd(nullptr, 0);
    ASSERT_EQ(chdir(tree.dir.c_str()), 0);
    Config config;
    const bool result = config.read_from_file("zet.conf");
    ASSERT_EQ(chdir(here), 0);
    free(here);
    EXPECT_TRUE(result);
    EXPECT_EQ(paths_of(config.monitors), (std::vector<std::string>{tree.dir, tree.dir + "/srv"}));
    EXPECT_EQ(paths_of(config.exclusions), std::vector<std::string>{tree.dir + "/v"});
}

TEST(ConfigLists, AddMonitorKeepsHeadFirstOrder) {
    monitor* list = nullptr;
    EXPECT_FALSE(add_monitor(&list, ""));
    EXPECT_EQ(list, nullptr);
    EXPECT_TRUE(add_monitor(&list, "/"));
    EXPECT_TRUE(add_monitor(&list, "/tmp/../"));
    EXPECT_TRUE(add_monitor(&list, "/"));
    EXPECT_EQ(paths_of(list), (std::vector<std::string>{"/", "/"}));
    Config c; // takes the list over and frees every node (checked by the sanitizer build)
    c.exclusions = list;
}

} // namespace

namespace {

// The shipped default configuration: every key known to the reader, no syntax error, and with the vault
// pointed into a test tree it is read without a single message.
TEST(ShippedConfiguration, ReadsCleanly) {
    std::ifstream in(ZET_SOURCE_DIR "/dist/zet.conf", std::ios::binary);
    ASSERT_TRUE(in) << "dist/zet.conf";
    std::stringstream text;
    text << in.rdbuf();
    Tree tree;
    const std::string file =
        tree.write(replace_all(text.str(), "VAULT = /var/lib/orbis/vault", "VAULT = @/vault"));
    Config config;
    bool result = false;
    EXPECT_EQ(capture_stderr(LOG_UPTO(LOG_DEBUG), [&] { result = config.read_from_file(file.c_str()); }), "");
    EXPECT_TRUE(result);
    const Config defaults;
    EXPECT_EQ(config.run_dir, defaults.run_dir);
    EXPECT_EQ(config.socket, defaults.socket);
    EXPECT_EQ(config.log_file, defaults.log_file);
    EXPECT_EQ(config.scanners, defaults.scanners);
    EXPECT_EQ(config.unlimited_queue, defaults.unlimited_queue);
    EXPECT_EQ(config.monitors, nullptr);
    EXPECT_EQ(config.exclusions, nullptr);
}

} // namespace
