// Test helpers for running real binaries: a child process with its stderr in a file, polling with a
// deadline, temporary directories, and a datagram socket that plays the service manager.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace zet_test {

using namespace std::chrono_literals;

// Calls `condition` every `interval` until it holds (true) or `timeout` has passed (false).
bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds timeout,
                std::chrono::milliseconds interval = 5ms);

// The whole file, or an empty text when it cannot be read.
std::string read_file(const std::string& path);

// A fresh directory under /tmp, removed with everything in it when the object goes.
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "zet-test");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// One child process. Killed with SIGKILL and reaped when the object goes, if still running.
class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts argv[0] (a path) with `argv`, the test's environment changed by `env` ("NAME=value" sets,
    // a bare "NAME" removes), standard input from /dev/null and standard error (and output, when
    // `stdout_path` is given; else /dev/null) written to `stderr_path`. The signal mask and dispositions
    // are reset. The child gets SIGKILL when the spawning thread ends (PR_SET_PDEATHSIG), so a crashed
    // test leaves no process behind: spawn from a thread that outlives the child. False when the child
    // could not be started; a program that cannot be executed exits with status 127.
    bool spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
               const std::string& stderr_path, const std::string& stdout_path = "");

    pid_t pid() const { return pid_; }
    // Not yet exited (reaps it when it has).
    bool running();
    bool signal(int sig) const;
    // The wait status once the child has exited within `timeout`.
    std::optional<int> wait(std::chrono::milliseconds timeout);
    // Exit code after a normal exit within `timeout`; -1 after a signal or when still running.
    int exit_code(std::chrono::milliseconds timeout);
    // SIGKILL and reap; nothing when it has already been reaped.
    void kill();
    // Everything the child has written to its standard error so far.
    std::string stderr_text() const { return read_file(stderr_path_); }

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
    std::string stderr_path_;
};

// A datagram socket for NOTIFY_SOCKET: collects what the child sends with sd_notify().
class NotifySocket {
public:
    explicit NotifySocket(const std::string& path);
    ~NotifySocket();
    NotifySocket(const NotifySocket&) = delete;
    NotifySocket& operator=(const NotifySocket&) = delete;

    // "NOTIFY_SOCKET=<path>", for ChildProcess::spawn().
    std::string env() const { return "NOTIFY_SOCKET=" + path_; }
    // Waits until a datagram holding the line `line` ("READY=1") has arrived; earlier datagrams that
    // do not hold it are kept in messages().
    bool wait_for(const std::string& line, std::chrono::milliseconds timeout);
    const std::vector<std::string>& messages() const { return messages_; }

private:
    std::string path_;
    int fd_ = -1;
    std::vector<std::string> messages_;
};

} // namespace zet_test
