// zetctl's units: the infection-log reader, the command line, output escaping, restoring from the vault,
// the path explanation, the configuration check's care for the vault, and the sweep client, its display
// and the built zetctl against a scripted zet.
#include "ctl/capture.hpp"
#include "ctl/commands.hpp"
#include "ctl/settings.hpp"
#include "ctl/text.hpp"
#include "ctl/vault.hpp"
#include "src/config.hpp"
#include "src/probe_name.hpp"
#include "tests/support/fake_service.hpp"
#include "tests/support/files.hpp"
#include "tests/support/lists.hpp"
#include "tests/support/programs.hpp"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace {

using zet_test::exists;
using zet_test::PathList;
using zet_test::strerror_text;
using zet_test::TempDir;

void write(const std::string& path, const std::string& text, mode_t mode = 0644) {
    std::ofstream(path, std::ios::binary) << text;
    chmod(path.c_str(), mode);
}

TEST(LogLine, ColumnsAreFoundEvenWhenThePathHoldsTabs) {
    const std::string t = "2026-12-08 10:11:12";
    const struct {
        std::string line;
        bool ok;
        std::string path, vault, finding;
    } cases[] = {
        {t + "\t/srv/a.exe\t/v/a.exe.Ab12Cd\tEicar", true, "/srv/a.exe", "/v/a.exe.Ab12Cd", "Eicar"},
        {t + "\t/srv/a\tb\t/v/a\tb.Ab12Cd\tEicar", true, "/srv/a\tb", "/v/a\tb.Ab12Cd", "Eicar"},
        {t + "\t/srv/x\ty/a\t/v/a.Ab12Cd\tEicar", true, "/srv/x\ty/a", "/v/a.Ab12Cd", "Eicar"},
        {t + "\t/srv/a\tb\tERROR\tEicar", true, "/srv/a\tb", "ERROR", "Eicar"},
        {t + "\t/srv/a\tERROR\tEicar", true, "/srv/a", "ERROR", "Eicar"},
        {t + "\trel/a\tvault/a.Ab12Cd\tEicar", true, "rel/a", "vault/a.Ab12Cd", "Eicar"},
        {t + "\t/srv/a\t/v/b.Ab12Cd\tEicar", false, "", "", ""}, // vault name of another file
        {t + "\t/srv/a\t/v/a.Ab12\tEicar", false, "", "", ""},   // not six characters
        {t + "\t/srv/a\t/v/a.Ab12Cd", false, "", "", ""},        // no finding column
        {t + " /srv/a\t/v/a.Ab12Cd\tEicar", false, "", "", ""},  // no tab after the time
        {"garbage", false, "", "", ""},
        {"", false, "", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(ctl::shown(c.line));
        auto e = ctl::parse_log_line(c.line);
        ASSERT_EQ(e.has_value(), c.ok);
        if (!c.ok)
            continue;
        EXPECT_EQ(e->time, t);
        EXPECT_EQ(e->path, c.path);
        EXPECT_EQ(e->vault, c.vault);
        EXPECT_EQ(e->finding, c.finding);
    }
}

TEST(CommandLine, OptionsAndOperandsPerCommand) {
    const struct {
        std::vector<std::string> argv;
        std::string error; // empty: accepted
    } cases[] = {
        {{"check-config"}, ""},
        {{"check-config", "-c", "/x.conf"}, ""},
        {{"check-config", "-c/x.conf"}, ""},
        {{"check-config", "--config=/x.conf"}, ""},
        {{"check-config", "--json"}, "option --json is not known to check-config"},
        {{"check-config", "extra"}, "check-config takes no operands"},
        {{"check-config", "-c"}, "option -c needs a value"},
        {{"explain"}, "explain needs at least one PATH"},
        {{"explain", "--json", "/a", "/b"}, ""},
        {{"explain", "--", "-a"}, ""},
        {{"status", "--json"}, ""},
        {{"selftest", "--timeout", "5", "/srv"}, ""},
        {{"selftest", "--timeout", "0"},
         "option --timeout needs a number of seconds from 1 to 3600, not '0'"},
        {{"selftest", "--timeout=-1"}, "option --timeout needs a number of seconds from 1 to 3600, not '-1'"},
        {{"selftest", "--timeout", "5s"},
         "option --timeout needs a number of seconds from 1 to 3600, not '5s'"},
        {{"vault"}, "vault needs one of list, show, restore, purge"},
        {{"vault", "erase"}, "vault needs one of list, show, restore, purge"},
        {{"vault", "list", "--json"}, ""},
        {{"vault", "show", "a.Ab12Cd"}, ""},
        {{"vault", "show"}, "vault show needs exactly one NAME"},
        {{"vault", "restore", "a.Ab12Cd", "--to", "/srv/a"}, ""},
        {{"vault", "restore", "a.Ab12Cd", "--json"}, "option --json is not known to vault restore"},
        {{"vault", "purge", "--older-than", "30", "--dry-run"}, ""},
        {{"vault", "purge"}, "vault purge needs --older-than DAYS"},
        {{"vault", "purge", "--older-than", "x"},
         "option --older-than needs a number of days from 0 to 36500, not 'x'"},
        {{"vault", "purge", "--older-than", "1", "--dry-run=yes"}, "option --dry-run takes no value"},
        {{"metrics"}, ""},
        {{"metrics", "--output", "/var/lib/prometheus/node-exporter/zet.prom"}, ""},
        {{"metrics", "--output="}, "option --output needs a file name"},
        {{"metrics", "--json"}, "option --json is not known to metrics"},
        {{"metrics", "extra"}, "metrics takes no operands"},
        {{"frobnicate"}, "unknown command 'frobnicate'"},
        {{}, "missing command"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.argv));
        std::vector<std::string> argv = {"zetctl"};
        argv.insert(argv.end(), c.argv.begin(), c.argv.end());
        ctl::Args args;
        EXPECT_EQ(ctl::parse_args(argv, &args), c.error);
    }
    ctl::Args args;
    ASSERT_EQ(
        ctl::parse_args({"zetctl", "vault", "restore", "--to", "/t", "-c", "/z.conf", "n.Ab12Cd"}, &args),
        "");
    EXPECT_EQ(args.to, "/t");
    EXPECT_EQ(args.config, "/z.conf");
    EXPECT_EQ(args.operands, std::vector<std::string>{"n.Ab12Cd"});
}

// JSON strings as in zet's JSON log, so that the same path reads the same in both.
TEST(Text, PathsStayOnOneLineAndJsonStaysValid) {
    const struct {
        std::string in, shown, json;
    } cases[] = {
        {"/srv/plain", "/srv/plain", "\"/srv/plain\""},
        {"a\tb\nc", "a\\tb\\nc", "\"a\\u0009b\\u000ac\""},
        {"back\\slash \"q\"", "back\\\\slash \"q\"", "\"back\\\\slash \\\"q\\\"\""},
        {"\x01\x7f", "\\x01\\x7f", "\"\\u0001\\u007f\""},
        {"gr\xc3\xbc\xc3\x9f", "gr\xc3\xbc\xc3\x9f", "\"gr\xc3\xbc\xc3\x9f\""},
        {"bad\xff\xc3", "bad\xff\xc3", "\"bad\\udcff\\udcc3\""},
        {"\xed\xa0\x80", "\xed\xa0\x80", "\"\\udced\\udca0\\udc80\""}, // an encoded surrogate
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ctl::shown(c.in), c.shown);
        EXPECT_EQ(ctl::Json().value(c.in).str(), c.json + "\n");
    }
    ctl::Json j;
    j.begin_object().key("a").begin_array().value("x").value(std::int64_t{2}).null().end_array();
    j.key("b").value(true).key("c").begin_object().end_object().end_object();
    EXPECT_EQ(j.str(), "{\"a\":[\"x\",2,null],\"b\":true,\"c\":{}}\n");
}

TEST(Capture, ErrnoTextIsExpandedAndMessagesNest) {
    EXPECT_EQ(ctl::expand_errno("open(): %s: %m", ENOENT),
              std::string("open(): %s: ") + strerror_text(ENOENT));
    EXPECT_EQ(ctl::expand_errno("100%% %m%%", EACCES), std::string("100%% ") + strerror_text(EACCES) + "%%");
    ctl::LogCapture outer;
    syslog(LOG_WARNING, "first %d", 1);
    {
        ctl::LogCapture inner;
        errno = EPERM;
        syslog(LOG_ERR, "inner: %m");
        auto got = inner.take();
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].priority, LOG_ERR);
        EXPECT_EQ(got[0].text, std::string("inner: ") + strerror_text(EPERM));
    }
    syslog(LOG_NOTICE | LOG_DAEMON, "last");
    auto got = outer.take();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].text, "first 1");
    EXPECT_EQ(got[1].priority, LOG_NOTICE);
}

class Restore : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(vault_);
        std::filesystem::create_directories(home_ + "/docs");
        write(vault_ + "/report.doc.Ab12Cd", "the content", 0640);
    }
    TempDir dir_;
    std::string vault_ = dir_ / "vault", home_ = dir_ / "home";
    const std::string name_ = "report.doc.Ab12Cd";
};

TEST_F(Restore, RefusalsLeaveTheFileInTheVaultAndNothingAtTheTarget) {
    write(home_ + "/docs/taken", "someone else's");
    symlink("/nonexistent", (home_ + "/docs/dangling").c_str());
    symlink((home_ + "/docs").c_str(), (home_ + "/link").c_str());
    const struct {
        std::string name, target, error;
    } cases[] = {
        {name_, home_ + "/docs/taken", home_ + "/docs/taken exists; not overwriting it"},
        {name_, home_ + "/docs/dangling", home_ + "/docs/dangling exists; not overwriting it"},
        {name_, home_ + "/link/new", "refusing to restore through the symbolic link " + home_ + "/link"},
        {name_, home_ + "/missing/new",
         "cannot restore to " + home_ + "/missing/new: " + home_ + "/missing: " + strerror_text(ENOENT)},
        {name_, home_ + "/../x", "restore target must not contain '..': " + home_ + "/../x"},
        {name_, "docs/x", "restore target must be an absolute path: docs/x"},
        {name_, home_ + "/docs/", "restore target names no file: " + home_ + "/docs/"},
        {"../vault/" + name_, home_ + "/docs/x", "'../vault/" + name_ + "' is not a file name in the vault"},
        {"gone.Ab12Cd", home_ + "/docs/x", "no file 'gone.Ab12Cd' in the vault " + vault_},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target);
        ctl::RestoreResult r = ctl::restore_file(vault_, c.name, c.target);
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.error, c.error);
        EXPECT_EQ(zet_test::read_file(vault_ + "/" + name_), "the content");
    }
    EXPECT_EQ(zet_test::read_file(home_ + "/docs/taken"), "someone else's");
    EXPECT_FALSE(exists(home_ + "/docs/new"));
    EXPECT_FALSE(exists("/nonexistent"));
}

TEST_F(Restore, MovesWithinAFileSystemAndCopiesAcrossOnes) {
    struct stat st;
    ASSERT_EQ(stat(vault_.c_str(), &st), 0);
    struct stat shm;
    if (stat("/dev/shm", &shm) != 0 || shm.st_dev == st.st_dev)
        GTEST_SKIP() << "needs /dev/shm on a file system of its own";
    TempDir other("/dev/shm"); // a tmpfs, another file system than /tmp
    ASSERT_FALSE(other.path().empty());
    const struct {
        std::string target, how;
    } cases[] = {
        {home_ + "/docs/report.doc", "renamed"},
        {other.path() + "/report.doc", "copied"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.how);
        write(vault_ + "/" + name_, "the content", 0640);
        ctl::RestoreResult r = ctl::restore_file(vault_, name_, c.target);
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_EQ(r.how, c.how);
        EXPECT_EQ(zet_test::read_file(c.target), "the content");
        ASSERT_EQ(stat(c.target.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0640u);
        EXPECT_FALSE(exists(vault_ + "/" + name_));
    }
}

TEST(Vault, ListingJoinsTheLogAndDigestsAreSha256) {
    TempDir dir;
    std::string vault = dir / "vault";
    std::filesystem::create_directories(vault + "/subdir");
    write(vault + "/a\tb.Ab12Cd", "abc");
    write(vault + "/stray.Zz99Yy", "");
    symlink("/etc/passwd", (vault + "/link.Ab12Cd").c_str());
    std::vector<ctl::LogEntry> log = {
        {"2026-12-01 10:00:00", "/srv/a\tb", vault + "/a\tb.Ab12Cd", "One"},
        {"2026-12-01 10:00:00", "/srv/a\tb", vault + "/a\tb.Ab12Cd", "Two"},
        {"2026-12-01 11:00:00", "/srv/c", "ERROR", "One"},
    };
    std::string error;
    auto files = ctl::list_vault(vault, log, &error);
    ASSERT_EQ(error, "");
    ASSERT_EQ(files.size(), 2u);             // regular files only
    EXPECT_EQ(files[0].name, "a\tb.Ab12Cd"); // logged in 2026, before the stray file's change time
    EXPECT_EQ(files[0].original, "/srv/a\tb");
    EXPECT_EQ(files[0].findings, (std::vector<std::string>{"One", "Two"}));
    EXPECT_EQ(files[0].size, 3);
    EXPECT_EQ(files[1].name, "stray.Zz99Yy");
    EXPECT_EQ(files[1].original, "");

    EXPECT_EQ(ctl::vault_sha256(vault, "a\tb.Ab12Cd", &error),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(ctl::vault_sha256(vault, "stray.Zz99Yy", &error),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_FALSE(ctl::vault_sha256(vault, "link.Ab12Cd", &error)); // never read through a link

    ctl::list_vault(dir / "none", log, &error);
    EXPECT_EQ(error, dir / "none" + ": " + strerror_text(ENOENT));
}

TEST(Explain, MatchesByBytePrefixInListOrderAndExclusionsAsTheServiceDoes) {
    TempDir dir;
    for (const char* d : {"data", "data2", "data/tmp", "data/sub"})
        std::filesystem::create_directories(dir / d);
    write(dir / "data/sub/secret", "");
    symlink((dir / "data").c_str(), (dir / "alias").c_str());
    Config config;
    config.monitors = PathList{dir / "data", dir / "data/sub"}.release(); // walked in this order
    config.exclusions = PathList{dir / "data/gone", dir / "data/sub/secret", dir / "data/tmp"}.release();
    const struct {
        std::string path, canonical, monitor, exclusion;
        bool prefix_only, tree;
    } cases[] = {
        {dir / "data/new.txt", dir / "data/new.txt", dir / "data", "", false, false},
        {dir / "data/sub/x", dir / "data/sub/x", dir / "data", "", false, false},
        {dir / "data2/x", dir / "data2/x", dir / "data", "", true, false},
        {dir / "alias/x", dir / "data/x", dir / "data", "", false, false},
        {dir / "data/tmp/x/y", dir / "data/tmp/x/y", dir / "data", dir / "data/tmp", false, true},
        {dir / "data/tmp", dir / "data/tmp", dir / "data", "", false,
         false}, // the directory itself is scanned
        {dir / "data/sub/secret", dir / "data/sub/secret", dir / "data", dir / "data/sub/secret", false,
         false},
        {dir / "data/gone", dir / "data/gone", dir / "data", dir / "data/gone", false, false},
        {dir / "other", dir / "other", "", "", false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        ctl::Explanation e = ctl::explain_path(c.path, config.monitors, config.exclusions);
        EXPECT_EQ(e.canonical, c.canonical);
        EXPECT_EQ(e.monitor.value_or(""), c.monitor);
        EXPECT_EQ(e.prefix_only, c.prefix_only);
        EXPECT_EQ(e.exclusion.value_or(""), c.exclusion);
        EXPECT_EQ(e.exclusion_is_tree, c.tree);
    }
}

TEST(Settings, TheCheckLeavesNoVaultBehindButKeepsAnExistingOne) {
    TempDir dir;
    const std::string conf = dir / "zet.conf";
    for (bool existed : {false, true}) {
        SCOPED_TRACE(existed);
        if (existed)
            std::filesystem::create_directories(dir / "vault");
        write(conf, "VAULT = " + dir / "vault" + "\n[MONITORS]\nSCAN = " + dir.path() + "\n");
        ctl::Settings s = ctl::load_settings(conf);
        EXPECT_TRUE(s.accepted);
        EXPECT_EQ(s.vault_missing, !existed);
        EXPECT_EQ(exists(dir / "vault"), existed);
        // The reader's exclusion of the vault under the monitored tree stands either way.
        ASSERT_NE(s.config->exclusions, nullptr);
        EXPECT_STREQ(s.config->exclusions->path, (dir / "vault").c_str());
    }
    write(conf, "LOG_FILE = zet.log\nSOCKET = /abs.sock\nRUN_DIR = " + dir.path() + "\n");
    ctl::Settings s = ctl::load_settings(conf);
    EXPECT_EQ(s.log_file(), dir / "zet.log");
    EXPECT_EQ(s.socket(), "/abs.sock");
    EXPECT_EQ(s.pid_file(), dir / "zet.pid");
}

TEST(Selftest, OnlyTheProbeNameAndTheTestSignatureMakeASelfTest) {
    struct Case {
        const char* name;
        bool probe;
    };
    const Case names[] = {
        {".zetctl-selftest-1-0123456789abcdef.com", true},
        {".zetctl-selftest-4194304-FFFFFFFFFFFFFFFF.com", true},
        {".zetctl-selftest--0123456789abcdef.com", false},
        {".zetctl-selftest-1-0123456789abcde.com", false},
        {".zetctl-selftest-1-0123456789abcdefa.com", false},
        {".zetctl-selftest-1-0123456789abcdeg.com", false},
        {".zetctl-selftest-x-0123456789abcdef.com", false},
        {".zetctl-selftest-1-0123456789abcdef.exe", false},
        {"zetctl-selftest-1-0123456789abcdef.com", false},
        {".zetctl-selftest-.com", false},
        {"", false},
    };
    for (const Case& c : names)
        EXPECT_EQ(selftest_name(c.name), c.probe) << c.name;
    struct Finding {
        const char* name;
        bool test_signature;
    };
    const Finding findings[] = {
        {"Orbis.Test.EICAR", true},
        {"Eicar-Test-Signature", true},
        {"Win.Test.EICAR_HDB-1", true},
        {"Win.Trojan.Agent-1", false},
        {"", false},
    };
    for (const Finding& f : findings)
        EXPECT_EQ(selftest_finding(f.name), f.test_signature) << f.name;
}

// What the view gets during a sweep: at `seconds`, a line from zet, "" for a turn of the loop without one,
// or "^C" for the STOP sent.
std::string play(ctl::SweepView& view, const std::vector<std::pair<double, std::string>>& events) {
    std::string out;
    for (const auto& [seconds, line] : events) {
        auto l = ctl::parse_sweep_line(line);
        EXPECT_TRUE(l) << line;
        out += line.empty()   ? view.tick(seconds)
               : line == "^C" ? view.stopping(seconds)
                              : view.show(*l, seconds);
    }
    return out;
}

TEST(Sweep, LinesAreShownInPlaceOnATerminalOneAFindingOtherwiseAndAsJsonThatParses) {
    const std::string R = "\r\033[K", c0 = "walked 0, scanned 0, infected 0, not scanned 0, ",
                      c1 = "walked 10, scanned 4, infected 0, not scanned 0, ",
                      c2 = "walked 40, scanned 20, infected 1, not scanned 0, ",
                      c3 = "walked 50, scanned 45, infected 1, not scanned 1, ";
    const std::string st1 = c1 + "13 files/s, elapsed 0:00, estimating",
                      st2 = c2 + "10 files/s, elapsed 0:02, at least 0:02 left";
    const std::vector<std::pair<double, std::string>> findings = {
        {0, ""},
        {0.2, "PROGRESS 3 1 0 0 0"},
        {0.5, "FOUND /srv/a\\ b\t/v/a\\ b.Ab12Cd\tEicar"},
        {0.6, "FOUND /srv/\xff\t-\tOther"},
        {0.7, "UNSCANNED /srv/x\\\ty\tread\\ error"},
        {0.8, "LATER addition"},
        {3725.4, "DONE 3 1 1 1 0"},
    };
    const struct {
        ctl::SweepOutput output;
        std::size_t width;
        std::vector<std::pair<double, std::string>> events;
        std::string shown;
    } cases[] = {
        {ctl::SweepOutput::terminal,
         0,
         {{0, ""},
          {0.1, "PROGRESS 10 4 0 0 0"}, // too soon after the first draw
          {0.3, ""},
          {0.4, "FOUND /srv/a\\ b\t/v/a\\ b.Ab12Cd\tEicar"},
          {2.0, "PROGRESS 40 20 1 0 0"},
          {2.1, "UNSCANNED /srv/big\ttoo\\ large"},
          {3.5, "^C"},
          {5.0, "PROGRESS 50 45 1 1 1"},
          {5.5, ""}, // nothing new, and the clock has not moved a second
          {6.0, ""},
          {6.5, "DONE 50 48 1 1 1"}},
         R + c0 + "0.0 files/s, elapsed 0:00, estimating" + R + st1 + R +
             "/srv/a b -> /v/a b.Ab12Cd: Eicar\n" + st1 + R + st2 + R + "/srv/big: not scanned: too large\n" +
             st2 + R + c2 + "5.7 files/s, elapsed 0:03, at least 0:04 left, stopping" + R + c3 +
             "9.2 files/s, elapsed 0:05, about 0:01 left, stopping" + R + c3 +
             "7.7 files/s, elapsed 0:06, about 0:01 left, stopping" + R +
             "48 files scanned in 0:06, 1 infected, 1 not scanned, stopped\n"},
        {ctl::SweepOutput::terminal,
         40,
         {{0.5, "PROGRESS 7 7 0 0 1"}},
         R + "walked 7, scanned 7, infected 0, not sc"},
        {ctl::SweepOutput::plain, 0, findings,
         "/srv/a b -> /v/a b.Ab12Cd: Eicar\n"
         "/srv/\xff: Other (not moved)\n"
         "/srv/x\\ty: not scanned: read error\n"
         "1 files scanned in 1:02:05, 1 infected, 1 not scanned\n"},
        {ctl::SweepOutput::json, 0, findings,
         "{\"path\":\"/srv/a b\",\"vault\":\"/v/a b.Ab12Cd\",\"finding\":\"Eicar\"}\n"
         "{\"path\":\"/srv/\\udcff\",\"vault\":null,\"finding\":\"Other\"}\n"
         "{\"path\":\"/srv/x\\u0009y\",\"unscanned\":\"read error\"}\n"
         "{\"summary\":{\"walked\":3,\"scanned\":1,\"infected\":1,\"unscanned\":1,\"stopped\":false,"
         "\"seconds\":3725.400}}\n"},
    };
    TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.output));
        ctl::SweepView view(c.output, c.width);
        const std::string out = play(view, c.events);
        EXPECT_EQ(out, c.shown);
        if (c.output != ctl::SweepOutput::json)
            continue;
        write(dir / "lines", out);
        write(dir / "check.py", "import json, sys\n"
                                "r = [json.loads(l) for l in open(sys.argv[1], 'rb')]\n"
                                "assert r[1]['path'].encode('utf-8', 'surrogateescape') == b'/srv/\\xff'\n");
        EXPECT_EQ(zet_test::run_tool({"/usr/bin/python3", dir / "check.py", dir / "lines"}, dir / "py"), "");
    }
}

bool ends_like(const std::string& text, const std::string& pattern) {
    return text.size() >= pattern.size() &&
           zet_test::like(text.substr(text.size() - pattern.size()), pattern);
}

// The built zetctl against a scripted zet on the control socket in a run directory of the test's own.
class ZetctlScan : public ::testing::Test {
protected:
    void SetUp() override {
        if (!zet_test::is_root())
            GTEST_SKIP() << "zetctl scan refuses anyone but root";
        std::filesystem::create_directories(data_ + "/a b");
        std::filesystem::create_directories(run_);
        symlink(data_.c_str(), (dir_ / "alias").c_str());
        chmod(dir_.path().c_str(), 0755); // for the unprivileged user
        write(conf_, "RUN_DIR = " + run_ + "\nCONTROL_SOCKET = zet.ctl\nVAULT = " + dir_ / "vault" +
                         "\n[MONITORS]\nSCAN = " + data_ + "\n");
    }
    // zet's side: takes the request, then sends `lines` and plays `then`.
    std::unique_ptr<fake::Service> zet(const std::vector<std::string>& lines, fake::Script then = {}) {
        fake::Script script = {fake::read_line()};
        for (const std::string& l : lines)
            script.push_back(fake::send(l));
        script.insert(script.end(), then.begin(), then.end());
        return std::make_unique<fake::Service>(socket_, std::vector<fake::Script>{script});
    }
    std::vector<std::string> zetctl(std::vector<std::string> args) const {
        args.insert(args.begin(), {zet_test::bin::zetctl, "scan", "-c", conf_});
        return args;
    }
    std::string output_base() { return dir_ / ("zetctl" + std::to_string(++runs_)); }

    TempDir dir_;
    std::string run_ = dir_ / "run", data_ = dir_ / "data", conf_ = dir_ / "zet.conf",
                socket_ = run_ + "/zet.ctl";
    int runs_ = 0;
};

TEST_F(ZetctlScan, ExitStatusTellsWhatTheSweepFoundOrWhyItCouldNotRun) {
    const std::string found = "FOUND /x\t-\tEicar\n", unscanned = "UNSCANNED /y\tgone\n",
                      done = "DONE 0 0 0 0 0\n";
    const std::string not_running = "zetctl: zet is not running: " + socket_ + ": ";
    const struct {
        const char* outcome;
        std::vector<std::string> args, lines; // lines: zet's answer; none: no zet, "dead": a stale socket
        int status;
        std::string error, request; // request: "" when none may arrive
    } cases[] = {
        {"clean", {}, {"PROGRESS 2 1 0 0 0\n", "DONE 2 2 0 0 0\n"}, 0, "", "SWEEP\n"},
        {"infected", {}, {found, "DONE 2 2 1 0 0\n"}, 1, "", "SWEEP\n"},
        {"unscanned", {}, {unscanned, "DONE 2 1 0 1 0\n"}, 2, "", "SWEEP\n"},
        {"both", {}, {found, unscanned, "DONE 3 2 1 1 0\n"}, 1, "", "SWEEP\n"},
        {"stopped", {}, {"DONE 9 1 0 0 1\n"}, 2, "", "SWEEP\n"},
        {"paths",
         {"--no-move", dir_ / "alias/a b", run_},
         {done},
         0,
         "",
         "SWEEP NOMOVE " + data_ + "/a\\ b " + run_ + "\n"},
        {"refused by zet",
         {},
         {"ERROR only\\ root\\ may\\ ask\\ zet\\ to\\ scan\n"},
         77,
         "zetctl: zet refused the sweep: only root may ask zet to scan\n",
         "SWEEP\n"},
        {"error",
         {},
         {"ERROR a\\ sweep\\ is\\ already\\ running\n"},
         70,
         "zetctl: zet refused the sweep: a sweep is already running\n",
         "SWEEP\n"},
        {"closed early",
         {},
         {"PROGRESS 2 1 0 0 0\n"},
         70,
         "zetctl: the connection to zet (" + socket_ + ") ended before the sweep did\n",
         "SWEEP\n"},
        {"garbage",
         {},
         {"FOUND /x\tEicar\n"},
         70,
         "zetctl: zet sent a line zetctl does not understand: FOUND /x\\tEicar\n",
         "SWEEP\n"},
        {"not root", {}, {done}, 77, "zetctl: only root may ask zet to scan\n", ""},
        {"no such path",
         {dir_ / "missing"},
         {done},
         64,
         "zetctl: " + dir_ / "missing: " + strerror_text(ENOENT) + "\n",
         ""},
        {"no socket", {}, {}, 69, not_running + strerror_text(ENOENT) + "\n", ""},
        {"nobody listens", {}, {"dead"}, 69, not_running + strerror_text(ECONNREFUSED) + "\n", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.outcome);
        std::unique_ptr<fake::Service> service;
        if (!c.lines.empty() && c.lines[0] != "dead")
            service = zet(c.lines);
        if (!c.lines.empty() && c.lines[0] == "dead") { // bound once, then closed: nothing accepts
            int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_un addr = {AF_UNIX, {}};
            strcpy(addr.sun_path, socket_.c_str());
            ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
            close(fd);
        }
        std::vector<std::string> argv = zetctl(c.args);
        if (c.outcome == std::string("not root"))
            argv.insert(argv.begin(),
                        {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
        zet_test::Result r = zet_test::run_to_end(argv, output_base());
        EXPECT_EQ(r.status, c.status) << r.out << r.err;
        EXPECT_EQ(r.err, c.error);
        EXPECT_EQ(service ? service->received(0) : "", c.request);
        unlink(socket_.c_str());
    }
}

TEST_F(ZetctlScan, CtrlCSendsStopOnceAndWaitsForTheSummaryASecondOneExitsAtOnce) {
    const struct {
        std::vector<int> signals;
        fake::Script after_stop;
        int status;
        std::string summary; // "": none may be printed
    } cases[] = {
        {{SIGINT},
         {fake::send("FOUND /x\t-\tEicar\n"), fake::send("DONE 5 2 1 0 1\n")},
         1,
         "2 files scanned in 0:0#, 1 infected, 0 not scanned, stopped\n"},
        {{SIGTERM},
         {fake::send("DONE 5 2 0 0 1\n")},
         2,
         "2 files scanned in 0:0#, 0 infected, 0 not scanned, stopped\n"},
        {{SIGINT, SIGINT}, {fake::stall()}, 128 + SIGINT, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.signals.size());
        fake::Script then = {fake::read_line()};
        then.insert(then.end(), c.after_stop.begin(), c.after_stop.end());
        auto service = zet({"PROGRESS 5 1 0 0 0\n"}, then);
        const std::string base = output_base();
        zet_test::ChildProcess p;
        ASSERT_TRUE(p.spawn(zetctl({}), {}, base + ".err", base + ".out"));
        ASSERT_TRUE(zet_test::wait_until([&] { return service->lines(0).size() == 1; }));
        for (int sig : c.signals) {
            ASSERT_TRUE(p.signal(sig));
            // Signals of one kind do not queue: the next goes once the first has become the STOP.
            ASSERT_TRUE(zet_test::wait_until([&] { return service->lines(0).size() == 2; }));
        }
        EXPECT_EQ(p.exit_code(), c.status) << p.stderr_text();
        EXPECT_EQ(service->received(0), "SWEEP\nSTOP\n");
        const std::string out = p.stdout_text();
        EXPECT_TRUE(c.summary.empty() ? !zet_test::has(out, "files scanned") : ends_like(out, c.summary))
            << out;
    }
}

TEST_F(ZetctlScan, OnATerminalTheStatusLineIsRewrittenInPlaceAndEndsAsTheSummary) {
    if (!exists("/usr/bin/script"))
        GTEST_SKIP() << "needs script(1) for a pseudo-terminal";
    fake::Script progress;
    for (int i = 1; i <= 8; i++) {
        progress.push_back(
            fake::send("PROGRESS " + std::to_string(10 * i) + " " + std::to_string(5 * i) + " 0 0 0\n"));
        progress.push_back(fake::delay(150));
    }
    progress.push_back(fake::send("DONE 80 80 0 0 0\n"));
    auto service = zet({}, progress);
    const std::string command = zet_test::bin::zetctl + std::string(" scan -c ") + conf_;
    zet_test::Result r =
        zet_test::run_to_end({"/usr/bin/script", "-qfec", command, "/dev/null"}, output_base());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_GE(zet_test::count(r.out, "\r\033[Kwalked "), 4u) << ctl::shown(r.out);
    EXPECT_EQ(zet_test::count(r.out, "\n"), 1u) << ctl::shown(r.out); // the summary's only
    EXPECT_TRUE(ends_like(r.out, "\r\033[K80 files scanned in 0:0#, 0 infected, 0 not scanned\r\n"))
        << ctl::shown(r.out);
}

} // namespace
