// Test helpers for running real binaries: a child process with its output in files, polling with a
// deadline, temporary directories, and a datagram socket that plays the service manager.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace zet_test {

using namespace std::chrono_literals;

// The standard antivirus test file (68 bytes), harmless by design.
inline const std::string eicar = "X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";

// Calls `condition` every `interval` until it holds (true) or `timeout` has passed (false); the
// timeout only bounds a failing test.
bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 20s,
                std::chrono::milliseconds interval = 5ms);

// The whole file, or an empty text when it cannot be read.
std::string read_file(const std::string& path);

// A stream socket connected to the UNIX socket at `path`, or -1 (errno set) when nobody accepts there.
int connect_unix(const std::string& path);
// Replaces the file's content with `content`.
void write_file(const std::string& path, const std::string& content);

// Sets or clears the immutable attribute, which stops even root from changing a file or directory.
// A FIFO is opened without blocking and a symbolic link is not followed, so that clean-up never hangs
// or reaches outside the tree.
bool set_immutable(const std::string& path, bool on);

// A fresh directory under `base`, removed with everything below it (immutable flags included) when the
// object goes.
class TempDir {
public:
    explicit TempDir(const std::string& base = "/tmp");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// SIGSTOP to `pid`, then waits until every thread of it has stopped: kill() returns before a busy process
// stops, and until then it goes on answering.
bool suspend_process(pid_t pid, std::chrono::milliseconds timeout = 20s);

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
    // suspend_process() while it runs.
    bool suspend(std::chrono::milliseconds timeout = 20s) const;
    // The wait status once the child has exited within `timeout`.
    std::optional<int> wait(std::chrono::milliseconds timeout = 20s);
    // Exit code after a normal exit within `timeout`, 128 + the signal number after a signal, -1 while
    // it still runs.
    int exit_code(std::chrono::milliseconds timeout = 20s);
    // SIGKILL and reap; nothing when it has already been reaped.
    void kill();
    // Everything the child has written to its standard error so far.
    std::string stderr_text() const { return read_file(stderr_path_); }
    bool stderr_has(const std::string& text) const { return stderr_text().find(text) != std::string::npos; }
    // What it has written to `stdout_path`; empty when its output went to /dev/null.
    std::string stdout_text() const { return stdout_path_.empty() ? "" : read_file(stdout_path_); }

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
    std::string stderr_path_, stdout_path_;
};

// A datagram socket for NOTIFY_SOCKET: collects what the child sends with sd_notify(). A thread keeps
// reading it, as the service manager does: a full socket would block the child's loop in sd_notify.
class NotifySocket {
public:
    explicit NotifySocket(const std::string& path);
    ~NotifySocket();
    NotifySocket(const NotifySocket&) = delete;
    NotifySocket& operator=(const NotifySocket&) = delete;

    // "NOTIFY_SOCKET=<path>", for ChildProcess::spawn().
    std::string env() const { return "NOTIFY_SOCKET=" + path_; }
    const std::string& path() const { return path_; }
    // Whether a datagram holding the line `line` ("READY=1") has arrived, or arrives within `timeout`.
    // Looks at every datagram received so far, whether next() has taken it or not.
    bool wait_for(const std::string& line, std::chrono::milliseconds timeout);
    // Every datagram received so far (a copy: the reader thread goes on adding).
    std::vector<std::string> messages();
    // The oldest datagram next() has not yet returned, waiting up to `limit`; "" when none came.
    std::string next(std::chrono::milliseconds limit = 20s);
    // Forgets what next() has not yet returned, e.g. what an earlier process sent.
    void drain();

private:
    void read_loop();

    std::string path_;
    int fd_ = -1;
    int stop_[2] = {-1, -1};
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<std::string> received_; // everything, for wait_for()
    std::deque<std::string> unread_;    // not yet taken by next()
    std::thread reader_;
};

// Starts `argv` with `env` added to the environment, its standard output and error in
// "<output_base>.out" and "<output_base>.err".
std::unique_ptr<ChildProcess> start_process(const std::vector<std::string>& argv,
                                            const std::map<std::string, std::string>& env,
                                            const std::string& output_base);

// How a program that ran to its end exited (as ChildProcess::exit_code), and what it wrote.
struct Result {
    int status;
    std::string out, err;
};
// Runs `argv` until it exits, at most `timeout`, its output in "<output_base>.out" and ".err". A program
// that cannot be started fails the current test.
Result run_to_end(const std::vector<std::string>& argv, const std::string& output_base,
                  std::chrono::milliseconds timeout = 60s);

// True once a UNIX stream socket at `path` accepts connections.
bool socket_accepts(const std::string& path);

} // namespace zet_test
