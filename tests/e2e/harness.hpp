// End-to-end harness: the real binaries as child processes with captured stderr, a NOTIFY_SOCKET of the
// test's own, and a fresh tree on a private tmpfs so that the fanotify mount mark sees only this test.
#pragma once

#include "tests/daemon_util.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace daemon_test {

// A child process, killed and reaped when the object goes, whatever the test did.
class Process {
public:
    // Runs `argv` with `env` added to this process's environment; stdout and stderr go to two files.
    Process(std::vector<std::string> argv, const std::map<std::string, std::string>& env,
            const std::string& output_base)
        : out_path_(output_base + ".out"), err_path_(output_base + ".err")
    {
        std::vector<char*> args;
        for (auto& a : argv)
            args.push_back(a.data());
        args.push_back(nullptr);
        int out = open(out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        int err = open(err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        pid_ = fork();
        if (pid_ == 0) {
            for (const auto& [k, v] : env)
                setenv(k.c_str(), v.c_str(), 1);
            dup2(out, STDOUT_FILENO);
            dup2(err, STDERR_FILENO);
            int null = open("/dev/null", O_RDONLY);
            dup2(null, STDIN_FILENO);
            sigset_t none;
            sigemptyset(&none);
            sigprocmask(SIG_SETMASK, &none, nullptr);
            execv(args[0], args.data());
            _exit(127);
        }
        close(out);
        close(err);
    }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;
    ~Process()
    {
        if (pid_ > 0 && !status_) {
            kill(pid_, SIGKILL);
            int st;
            waitpid(pid_, &st, 0);
        }
    }

    pid_t pid() const { return pid_; }
    void signal(int sig) const
    {
        if (!status_)
            kill(pid_, sig);
    }
    // The wait status once the process has ended within `limit`; nothing otherwise.
    std::optional<int> wait(std::chrono::milliseconds limit = std::chrono::seconds(20))
    {
        wait_until(
            [&] {
                int st;
                if (!status_ && waitpid(pid_, &st, WNOHANG) == pid_)
                    status_ = st;
                return status_.has_value();
            },
            limit);
        return status_;
    }
    bool running()
    {
        int st;
        if (!status_ && waitpid(pid_, &st, WNOHANG) == pid_)
            status_ = st;
        return !status_;
    }
    // Exit status, or 128 + signal number, or -1 while it runs after `limit`.
    int exit_code(std::chrono::milliseconds limit = std::chrono::seconds(20))
    {
        auto st = wait(limit);
        if (!st)
            return -1;
        return WIFEXITED(*st) ? WEXITSTATUS(*st) : 128 + WTERMSIG(*st);
    }
    std::string out() const { return read_text(out_path_); }
    std::string err() const { return read_text(err_path_); }
    bool err_has(const std::string& text) const { return err().find(text) != std::string::npos; }

private:
    std::string out_path_, err_path_;
    pid_t pid_ = -1;
    std::optional<int> status_;
};

// The datagram socket the daemon's sd_notify writes to. A thread keeps reading it, as the service manager
// does: a full socket would block the daemon's loop in sd_notify.
class NotifyListener {
public:
    explicit NotifyListener(const std::string& path) : path_(path)
    {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr = {};
        addr.sun_family = AF_UNIX;
        snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
        bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        if (pipe2(stop_, O_CLOEXEC) == 0)
            reader_ = std::thread([this] { read_loop(); });
    }
    NotifyListener(const NotifyListener&) = delete;
    NotifyListener& operator=(const NotifyListener&) = delete;
    ~NotifyListener()
    {
        if (reader_.joinable()) {
            char c = 0;
            [[maybe_unused]] ssize_t n = write(stop_[1], &c, 1);
            reader_.join();
        }
        close(stop_[0]);
        close(stop_[1]);
        close(fd_);
        unlink(path_.c_str());
    }
    // The next message within `limit`, or "" when none came.
    std::string next(std::chrono::milliseconds limit = std::chrono::seconds(20))
    {
        std::unique_lock lock(mutex_);
        if (!cv_.wait_for(lock, limit, [&] { return !messages_.empty(); }))
            return "";
        std::string m = messages_.front();
        messages_.pop_front();
        return m;
    }
    // Drops what earlier processes sent.
    void drain()
    {
        std::lock_guard lock(mutex_);
        messages_.clear();
    }
    const std::string& path() const { return path_; }

private:
    void read_loop()
    {
        pollfd fds[2] = {{fd_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
        while (poll(fds, 2, -1) > 0 && !(fds[1].revents & POLLIN)) {
            char buf[512];
            ssize_t n = recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
            if (n > 0) {
                std::lock_guard lock(mutex_);
                if (messages_.size() < 10000)
                    messages_.emplace_back(buf, static_cast<std::size_t>(n));
                cv_.notify_all();
            }
        }
    }

    std::string path_;
    int fd_ = -1;
    int stop_[2] = {-1, -1};
    std::thread reader_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::string> messages_;
};

// True once a UNIX stream socket at `path` accepts connections.
inline bool socket_accepts(const std::string& path)
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    return ok;
}

} // namespace daemon_test
