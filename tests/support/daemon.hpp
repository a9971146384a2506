// The fixture of the end-to-end suites: zet on a tree of a private tmpfs, so that the fanotify mount mark
// sees only the test's own writes, with a configuration file, a NOTIFY_SOCKET and its output in files, and
// the scripted fake service on its socket.
#pragma once

#include "tests/support/fake_service.hpp"
#include "tests/support/files.hpp"
#include "tests/support/process.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace zet_test {

class DaemonTest : public ::testing::Test {
protected:
    // Skips the test without root: fanotify marks and mounts need CAP_SYS_ADMIN. Sets the documented keys
    // in settings_ (SCANNERS 4, UNLIMITED_QUEUE 1) and tree_ as the one monitored path.
    void SetUp() override;
    // Kills zet if it still runs, stops the fake service, then unmounts the tmpfs.
    void TearDown() override;

    // A tmpfs with `options` on mnt_, then tree_, run_ and `dirs` created.
    void mount_tmpfs(const std::string& options, const std::vector<std::string>& dirs = {});
    // Sets `key` in settings_ in its place, or appends it.
    void set(const std::string& key, const std::string& value);
    // Leaves `key` out of settings_.
    void unset(const std::string& key);
    // Writes conf_: settings_ in order (with COVERAGE = full, STATE_FILE = state_file_ unless set, so that
    // no test reads or writes the system's), global_extra_, then [MONITORS] with a SCAN line for each of
    // monitors_ and an EXCL line for each of exclusions_, then monitors_extra_.
    std::string write_config() const;
    // Writes the configuration and starts wrapper_ + zet + `args` + "-c conf_", NOTIFY_SOCKET at notify_
    // and `env` added to the environment, its output in dir_/zet.err and zet.out. With `ready`, the first
    // datagram must be READY=1 within `limit`.
    void start_zet(const std::vector<std::string>& args = {"-v"}, std::map<std::string, std::string> env = {},
                   bool ready = true, std::chrono::milliseconds limit = 20s);
    // Sends `signo`; zet must exit with status 0 within `limit` and report no fatal error.
    void stop_zet(int signo = SIGTERM, std::chrono::milliseconds limit = 20s);
    // Starts the fake service on socket_, `scripts` for its first connections.
    void start_fake(std::vector<fake::Script> scripts = {});
    // Whether the fake service has received zet's SCAN command for `path`.
    bool fake_scanned(const std::string& path) const;

    TempDir dir_;
    std::string mnt_ = dir_ / "mnt", tree_ = mnt_ + "/data", vault_ = mnt_ + "/vault", run_ = dir_ / "run";
    std::string socket_ = dir_ / "scan.sock", log_ = dir_ / "infections.log", conf_ = dir_ / "zet.conf";
    std::string state_file_ = dir_ / "zet.state";
    NotifySocket notify_{dir_ / "notify"};
    std::vector<std::pair<std::string, std::string>> settings_;
    std::string global_extra_; // lines added to the global part as they are
    std::vector<std::string> monitors_, exclusions_;
    std::string monitors_extra_;       // lines added to [MONITORS] after the EXCL lines, as they are
    std::vector<std::string> wrapper_; // a command that execs zet, such as unshare
    std::unique_ptr<TmpfsMount> tmpfs_;
    std::unique_ptr<ChildProcess> zet_;
    std::unique_ptr<fake::Service> service_;
};

} // namespace zet_test
