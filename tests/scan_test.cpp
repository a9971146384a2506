// The scan task against the scripted fake scan service: vault moves, every failure row and its "ERROR"
// column, the infection log's format and its whole lines under concurrent writers.
#include "src/scan.hpp"

#include "src/av.hpp"
#include "src/config.hpp"
#include "src/fileops.hpp"
#include "tests/support/fake_service.hpp"
#include "tests/support/files.hpp"
#include "tests/support/infection_log.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <syslog.h>

#include <cstring>
#include <functional>
#include <thread>

using zet_test::exists;
using zet_test::read_file;
using zet_test::read_infection_log;
using zet_test::strerror_text;
using zet_test::TempDir;
using zet_test::write_file;

namespace {

std::vector<std::string> vault_files(const std::string& vault) {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(vault))
        out.push_back(e.path().string());
    return out;
}

// A SCAN answer with one finding line per name, in the given order.
fake::Responder findings(std::vector<std::string> names) {
    return [names](const std::string& line) {
        if (line.rfind("SCAN ", 0) != 0)
            return fake::standard_answer(line);
        std::string path = line.substr(5, line.find(" CID ") - 5);
        std::string answer = "210 SCAN OK\r\n";
        for (const auto& n : names)
            answer += "SCAN " + path + "\t[L]0.1\t1 " + n + "\r\n";
        return fake::Script{fake::send(answer + "200 SCAN done\r\n")};
    };
}

class Scan : public ::testing::Test {
protected:
    void SetUp() override {
        openlog("scan_test", LOG_PERROR, LOG_USER);
        service_ = std::make_unique<fake::Service>(dir_ / "scan.sock");
        ASSERT_EQ(av_init((dir_ / "scan.sock").c_str(), nullptr), 0);
        vault_ = dir_ / "vault";
        mkdir(vault_.c_str(), 0700);
        vault_dir = vault_.c_str();
        scan_init(config_);
        log_path_ = dir_ / "infections.log";
        ASSERT_EQ(log_init(log_path_.c_str()), 0);
    }
    void TearDown() override {
        log_free();
        if (sock_ >= 0)
            close(sock_);
        service_.reset();
        closelog();
    }
    // Runs the scan task on `path` as a worker would, with stderr captured.
    std::string run_scan(const std::string& path) {
        task_t task = {};
        snprintf(task.path, sizeof task.path, "%s", path.c_str());
        task.sock = &sock_;
        task.fd = -1;
        task.attempt = 0;
        zet_test::StderrCapture capture;
        scan(&task);
        capture.restore();
        return capture.text();
    }
    std::vector<std::vector<std::string>> log_lines() { return read_infection_log(log_path_); }

    TempDir dir_;
    std::unique_ptr<fake::Service> service_;
    std::string vault_, log_path_;
    Config config_; // no trees: a file renamed before its scan has left them
    int sock_ = -1;
};

TEST_F(Scan, CleanFileLeavesNoTrace) {
    std::string file = dir_ / "clean.txt";
    write_file(file, "harmless");
    EXPECT_EQ(run_scan(file), "");
    EXPECT_TRUE(exists(file));
    EXPECT_TRUE(vault_files(vault_).empty());
    EXPECT_EQ(read_file(log_path_), "");
}

TEST_F(Scan, InfectedFileIsRenamedIntoTheVaultAndLogged) {
    std::string file = dir_ / "infected.com";
    write_file(file, "payload");
    ASSERT_EQ(chmod(file.c_str(), 0640), 0);
    EXPECT_EQ(run_scan(file), "");
    EXPECT_FALSE(exists(file));

    auto files = vault_files(vault_);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_TRUE(zet_test::like(files[0], vault_ + "/infected.com.??????"));
    struct stat st;
    ASSERT_EQ(stat(files[0].c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u) << "a rename keeps the mode";
    EXPECT_EQ(read_file(files[0]), "payload");

    auto lines = log_lines();
    ASSERT_EQ(lines.size(), 1u);
    const auto& cols = lines[0];
    ASSERT_EQ(cols.size(), 4u);
    EXPECT_TRUE(zet_test::is_log_time(cols[0])) << cols[0];
    EXPECT_EQ(cols[1], file);
    EXPECT_EQ(cols[2], files[0]);
    EXPECT_EQ(cols[3], "Eicar-Test-Signature");
}

TEST_F(Scan, InfectedFileOnAnotherFileSystemIsCopiedPrivately) {
    TempDir shm("/dev/shm");
    std::string file = shm / "infected.bin";
    write_file(file, std::string(20000, 'v'));
    ASSERT_EQ(chmod(file.c_str(), 0644), 0);
    EXPECT_EQ(run_scan(file), "");
    EXPECT_FALSE(exists(file));
    auto files = vault_files(vault_);
    ASSERT_EQ(files.size(), 1u);
    struct stat st;
    ASSERT_EQ(stat(files[0].c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(read_file(files[0]), std::string(20000, 'v'));
    EXPECT_EQ(log_lines().at(0).at(2), files[0]);
}

TEST_F(Scan, EveryFindingGetsALineInListOrderWithOneTime) {
    service_->set_responder(findings({"First.Sig", "Second.Sig", "Third.Sig"}));
    std::string file = dir_ / "multi";
    write_file(file, "x");
    run_scan(file);
    auto lines = log_lines();
    ASSERT_EQ(lines.size(), 3u);
    // The client lists findings newest line first.
    const char* names[] = {"Third.Sig", "Second.Sig", "First.Sig"};
    const auto& first = lines[0];
    for (std::size_t i = 0; i < lines.size(); i++) {
        const auto& cols = lines[i];
        ASSERT_EQ(cols.size(), 4u);
        EXPECT_EQ(cols[0], first[0]);
        EXPECT_EQ(cols[1], file);
        EXPECT_EQ(cols[2], first[2]);
        EXPECT_EQ(cols[3], names[i]);
    }
}

TEST_F(Scan, TabInPathIsWrittenAsItIs) {
    std::string file = dir_ / "infected\tname";
    write_file(file, "x");
    run_scan(file);
    auto cols = log_lines().at(0);
    ASSERT_EQ(cols.size(), 6u) << "the tab in the path and in the vault name add a column each";
    EXPECT_EQ(cols[1] + "\t" + cols[2], file);
}

TEST_F(Scan, WithoutTheLogFilesAreStillMoved) {
    log_free();
    std::string file = dir_ / "infected";
    write_file(file, "x");
    run_scan(file);
    EXPECT_FALSE(exists(file));
    EXPECT_EQ(vault_files(vault_).size(), 1u);
    EXPECT_EQ(read_file(log_path_), "");
}

TEST_F(Scan, UnopenableLogIsReported) {
    log_free();
    std::string path = dir_ / "no/such/dir/zet.log";
    zet_test::StderrCapture capture;
    EXPECT_EQ(log_init(path.c_str()), -1);
    capture.restore();
    EXPECT_EQ(capture.text(),
              "scan_test: Error opening log file: " + path + ": " + strerror_text(ENOENT) + "\n");
}

// One failing quarantine per row: the scene, the expected warning ('?' for a character mkstemp picks) and
// whether the file stays in place. Every row writes "ERROR" into the vault column.
struct ScanFailure {
    const char* name;
    std::function<bool(const TempDir& dir, std::string& file, std::string& vault)> setup;
    std::function<std::string(const std::string& file, const std::string& vault)> message;
    bool file_stays;
    std::size_t vault_files; // what the vault holds afterwards
};

const ScanFailure scan_failures[] = {
    {"vault name too long",
     [](const TempDir& dir, std::string& file, std::string& vault) {
         file = dir / ("infected" + std::string(200, 'n'));
         write_file(file, "x");
         vault = dir / std::string(3890, 'v');
         return true;
     },
     [](const std::string& file, const std::string& vault) {
         return ("snprintf(): " + vault + "/" + basename_r(file.c_str()) + ": Error creating vault path");
     },
     true, 0},
    {"vault missing",
     [](const TempDir& dir, std::string& file, std::string& vault) {
         file = dir / "infected";
         write_file(file, "x");
         vault = dir / "missing-vault";
         return true;
     },
     [](const std::string&, const std::string& vault) {
         return ("mkstemp(): " + vault + "/infected.") + "??????" + (": Error creating temp file");
     },
     true, 0},
    {"file deleted before the move",
     [](const TempDir& dir, std::string& file, std::string& vault) {
         file = dir / "infected-gone";
         vault = dir / "vault";
         return true;
     },
     [](const std::string& file, const std::string& vault) {
         return ("rename(): " + file + " -> " + vault + "/infected-gone.") + "??????" +
                (": " + strerror_text(ENOENT));
     },
     false, 1},
    // Only a regular file's bytes are copied; the reserved name stays, as for a source that cannot be opened.
    {"file is no regular file for the copy",
     [](const TempDir&, std::string& file, std::string& vault) {
         static TempDir shm("/dev/shm");
         file = shm / "infected-dir";
         vault = "";
         return mkdir(file.c_str(), 0755) == 0;
     },
     [](const std::string& file, const std::string&) { return ("open(): " + file + ": Not a regular file"); },
     true, 1},
    {"vault file system full",
     [](const TempDir& dir, std::string& file, std::string& vault) {
         file = dir / "infected-large";
         write_file(file, std::string(256 * 1024, 'z'));
         vault = dir / "small";
         static std::unique_ptr<zet_test::TmpfsMount> small;
         small = std::make_unique<zet_test::TmpfsMount>(vault, "size=64k");
         write_file(vault + "/filler", "f"); // makes the last write a short one
         return small->mounted();
     },
     [](const std::string&, const std::string&) { return ("write(): " + strerror_text(ENOSPC)); }, true, 1},
    {"file cannot be removed after the copy",
     [](const TempDir& dir, std::string& file, std::string& vault) {
         std::string locked = dir / "locked";
         mkdir(locked.c_str(), 0755);
         file = locked + "/infected";
         write_file(file, "x");
         static TempDir shm_vault("/dev/shm");
         vault = shm_vault.path();
         return zet_test::set_immutable(locked, true);
     },
     [](const std::string& file, const std::string&) {
         return ("unlink(): " + file + ": " + strerror_text(EPERM));
     },
     true, 0},
};

TEST_F(Scan, EveryFailedMoveWarnsAndLogsError) {
    if (!zet_test::is_root())
        GTEST_SKIP() << "needs root for immutable directories and mounts";
    for (const auto& row : scan_failures) {
        SCOPED_TRACE(row.name);
        std::string file, vault;
        if (!row.setup(dir_, file, vault)) {
            ADD_FAILURE() << "setup failed: " << strerror_text(errno);
            continue;
        }
        if (vault.empty())
            vault = vault_;
        vault_dir = vault.c_str();
        ASSERT_EQ(truncate(log_path_.c_str(), 0), 0);
        std::string warnings = run_scan(file);
        EXPECT_TRUE(zet_test::like(warnings, "scan_test: " + row.message(file, vault) + "\n")) << warnings;
        EXPECT_EQ(exists(file), row.file_stays);
        if (exists(vault)) {
            EXPECT_EQ(vault_files(vault).size(), row.vault_files);
        }
        auto lines = log_lines();
        ASSERT_EQ(lines.size(), 1u);
        const auto& cols = lines[0];
        ASSERT_EQ(cols.size(), 4u);
        EXPECT_EQ(cols[1], file);
        EXPECT_EQ(cols[2], "ERROR");
        umount2(vault.c_str(), MNT_DETACH);
        for (const auto& f : std::filesystem::directory_iterator(vault_))
            std::filesystem::remove_all(f.path());
    }
}

TEST_F(Scan, ConcurrentWritersNeverMixALine) {
    constexpr int WRITERS = 4, LINES = 400;
    std::vector<std::string> names;
    for (int w = 0; w < WRITERS; w++)
        names.push_back(std::string(1500, static_cast<char>('a' + w)));
    std::vector<std::thread> writers;
    for (int w = 0; w < WRITERS; w++) {
        writers.emplace_back([&, w] {
            std::string path = "/srv/" + names[w];
            infection second = {names[w].data(), nullptr};
            infection first = {names[w].data(), &second};
            for (int i = 0; i < LINES / 2; i++)
                log_infection(path.c_str(), nullptr, &first);
        });
    }
    for (auto& t : writers)
        t.join();
    auto lines = log_lines();
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(WRITERS * LINES));
    for (const auto& cols : lines) {
        ASSERT_EQ(cols.size(), 4u);
        ASSERT_TRUE(zet_test::is_log_time(cols[0]));
        const std::string& name = cols[3];
        ASSERT_EQ(name.size(), 1500u);
        ASSERT_EQ(name.find_first_not_of(name[0]), std::string::npos);
        ASSERT_EQ(cols[1], "/srv/" + name);
        ASSERT_EQ(cols[2], "ERROR");
    }
}

} // namespace
