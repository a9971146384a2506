// The end-to-end fixture: mount, configuration, start and stop of the real zet.
#include "tests/support/daemon.hpp"

#include "tests/support/programs.hpp"
#include "zelu/wire.hpp"

#include <filesystem>

namespace zet_test {

void DaemonTest::SetUp() {
    if (!is_root())
        GTEST_SKIP() << "fanotify and mounts need CAP_SYS_ADMIN (run as root)";
    settings_ = {{"RUN_DIR", run_}, {"SOCKET", socket_}, {"LOG_FILE", log_},
                 {"VAULT", vault_}, {"SCANNERS", "4"},   {"UNLIMITED_QUEUE", "1"}};
    monitors_ = {tree_};
}

void DaemonTest::TearDown() {
    zet_.reset();
    service_.reset();
    tmpfs_.reset();
}

void DaemonTest::mount_tmpfs(const std::string& options, const std::vector<std::string>& dirs) {
    tmpfs_ = std::make_unique<TmpfsMount>(mnt_, options);
    ASSERT_TRUE(tmpfs_->mounted()) << mnt_;
    for (const auto& d : {tree_, run_})
        std::filesystem::create_directories(d);
    for (const auto& d : dirs)
        std::filesystem::create_directories(d);
}

void DaemonTest::set(const std::string& key, const std::string& value) {
    for (auto& [k, v] : settings_) {
        if (k == key) {
            v = value;
            return;
        }
    }
    settings_.emplace_back(key, value);
}

void DaemonTest::unset(const std::string& key) {
    std::erase_if(settings_, [&](const auto& setting) { return setting.first == key; });
}

std::string DaemonTest::write_config() const {
    std::string text;
    bool full = false, state_file = false;
    for (const auto& [k, v] : settings_) {
        text += k + " = " + v + "\n";
        full = full || (k == "COVERAGE" && v == "full");
        state_file = state_file || k == "STATE_FILE";
    }
    if (full && !state_file)
        text += "STATE_FILE = " + state_file_ + "\n";
    text += global_extra_ + "[MONITORS]\n";
    for (const auto& m : monitors_)
        text += "SCAN = " + m + "\n";
    for (const auto& e : exclusions_)
        text += "EXCL = " + e + "\n";
    write_file(conf_, text + monitors_extra_);
    return conf_;
}

void DaemonTest::start_zet(const std::vector<std::string>& args, std::map<std::string, std::string> env,
                           bool ready, std::chrono::milliseconds limit) {
    write_config();
    notify_.drain();
    env["NOTIFY_SOCKET"] = notify_.path();
    std::vector<std::string> argv = wrapper_;
    argv.push_back(bin::zet);
    argv.insert(argv.end(), args.begin(), args.end());
    argv.insert(argv.end(), {"-c", conf_});
    zet_ = start_process(argv, env, dir_ / "zet");
    if (ready) {
        ASSERT_EQ(notify_.next(limit), "READY=1\n") << zet_->stderr_text();
    }
}

void DaemonTest::stop_zet(int signo, std::chrono::milliseconds limit) {
    zet_->signal(signo);
    EXPECT_EQ(zet_->exit_code(limit), 0) << zet_->stderr_text();
    EXPECT_FALSE(zet_->stderr_has("Fatal error")) << zet_->stderr_text();
}

void DaemonTest::start_fake(std::vector<fake::Script> scripts) {
    service_ = std::make_unique<fake::Service>(socket_, std::move(scripts));
}

bool DaemonTest::fake_scanned(const std::string& path) const {
    return has(service_->received_all(),
               "SCAN " + zelu::wire::escape(path) + " CID portwarden TRIGGER ON_WRITE\n");
}

} // namespace zet_test
