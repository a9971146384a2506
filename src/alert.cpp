// The alert command's queue and runners. The command is started with posix_spawn, never through a shell,
// in a process group of its own so that a timeout kills whatever it started too.
#include "src/alert.hpp"

#include "src/text.hpp"
#include "src/thread.hpp"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

extern char** environ;

alert_counts alert_counters;

namespace {

constexpr std::size_t STDERR_LINE_MAX = 256; // the part of the first stderr line that is logged
constexpr int REAP_SLICE_MS = 50;            // how often a run without a pidfd looks for the exit
constexpr const char* ALERT_PREFIX = "ZET_";

struct alert_queue_state {
    std::mutex lock;
    std::condition_variable ready;
    std::deque<alert_facts> jobs;
    std::size_t capacity = 0;
    bool overflowing = false; // a drop was logged; the next one is logged only after a job got in again
    const char* command = nullptr;
    const char* host = "";
    int timeout = 0;
};

// Set up once by alert_start, before the monitor loop queues anything; never destroyed, because the
// runners outlive main.
alert_queue_state* queue_state = nullptr;

// The daemon's environment without ZET_* variables, then the facts.
std::vector<std::string> environment(const alert_facts& facts, const char* host) {
    std::vector<std::string> env;
    for (char** e = environ; e != nullptr && *e != nullptr; e++)
        if (strncmp(*e, ALERT_PREFIX, strlen(ALERT_PREFIX)) != 0)
            env.emplace_back(*e);
    env.push_back("ZET_PATH=" + facts.path);
    env.push_back("ZET_VAULT=" + facts.vault);
    env.push_back("ZET_FINDINGS=" + facts.findings);
    env.push_back("ZET_TIME=" + facts.time);
    env.push_back(std::string("ZET_HOST=") + host);
    env.insert(env.end(), facts.process.begin(), facts.process.end());
    return env;
}

enum read_result { READ_MORE, READ_LATER, READ_END };

// Keeps the first line of what arrives on `fd` in `line`; the rest is read and discarded.
read_result read_stderr(int fd, std::string& line, bool& line_done) {
    char buf[4096];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0)
        return errno == EINTR || errno == EAGAIN ? READ_LATER : READ_END;
    if (n == 0)
        return READ_END;
    for (ssize_t i = 0; i < n && !line_done; i++) {
        if (buf[i] == '\n' || line.size() >= STDERR_LINE_MAX)
            line_done = true;
        else
            line.push_back(buf[i]);
    }
    return READ_MORE;
}

void* runner(void*) {
    alert_queue_state& q = *queue_state;
    for (;;) {
        alert_facts job;
        {
            std::unique_lock<std::mutex> guard(q.lock);
            q.ready.wait(guard, [&q] { return !q.jobs.empty(); });
            job = std::move(q.jobs.front());
            q.jobs.pop_front();
        }
        alert_run(q.command, job, q.host, q.timeout);
    }
    return nullptr;
}

} // namespace

int alert_start(const char* command, int timeout_seconds, int queue_length, const char* host) {
    queue_state = new alert_queue_state;
    queue_state->capacity = static_cast<std::size_t>(queue_length);
    queue_state->command = command;
    queue_state->host = host;
    queue_state->timeout = timeout_seconds;
    if (access(command, X_OK) != 0)
        syslog(LOG_WARNING, "Alert command not executable: %s: %m", command);
    int started = 0;
    for (int i = 0; i < ALERT_RUNNERS; i++)
        if (thread_start_detached(runner) == 0)
            started++;
    return started > 0 ? 0 : -1;
}

void alert_queue(alert_facts facts) {
    if (queue_state == nullptr)
        return;
    alert_queue_state& q = *queue_state;
    std::unique_lock<std::mutex> guard(q.lock);
    if (q.jobs.size() >= q.capacity) {
        alert_counters.dropped.fetch_add(1, std::memory_order_relaxed);
        // Once per overflow: a burst of detections must not turn into a burst of messages.
        if (!q.overflowing)
            syslog(LOG_WARNING, "Alert queue full (%zu waiting): dropping alerts, first for %s",
                   q.jobs.size(), json_escaped(facts.path).c_str());
        q.overflowing = true;
        return;
    }
    q.overflowing = false;
    q.jobs.push_back(std::move(facts));
    guard.unlock();
    q.ready.notify_one();
}

void alert_run(const char* command, const alert_facts& facts, const char* host, int timeout_seconds) {
    alert_counters.run.fetch_add(1, std::memory_order_relaxed);
    const std::string path = json_escaped(facts.path);

    std::vector<std::string> env = environment(facts, host);
    std::vector<char*> envp;
    for (std::string& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string arg0 = command;
    char* argv[] = {arg0.data(), nullptr};

    int err[2];
    if (pipe2(err, O_CLOEXEC) != 0) {
        syslog(LOG_WARNING, "pipe2(): %m");
        alert_counters.failed.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    // The fanotify descriptor, the scan-service sockets and the logs are none of the command's business.
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);

    // The daemon blocks SIGINT/SIGTERM and ignores SIGPIPE; the command gets the usual signal state back.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);

    pid_t pid = -1;
    int rc = posix_spawn(&pid, command, &actions, &attr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    close(err[1]);
    if (rc != 0) {
        errno = rc;
        syslog(LOG_WARNING, "posix_spawn(): %s: %m", command);
        close(err[0]);
        alert_counters.failed.fetch_add(1, std::memory_order_relaxed);
        return;
    }

    // A pidfd wakes the wait at the exit; without one (older kernels) the exit is looked for in slices.
    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
    std::string line;
    bool line_done = false, pipe_open = true, exited = false, timed_out = false;
    int status = 0;
    while (!exited) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            // The whole group: a script's own children would otherwise keep running, and the pipe open.
            kill(-pid, SIGKILL);
            timed_out = true;
            break;
        }
        int wait_ms = static_cast<int>(left.count());
        if (pidfd < 0 && wait_ms > REAP_SLICE_MS)
            wait_ms = REAP_SLICE_MS;
        pollfd fds[2] = {{pipe_open ? err[0] : -1, POLLIN, 0}, {pidfd, POLLIN, 0}};
        if (poll(fds, 2, wait_ms) < 0 && errno != EINTR) {
            syslog(LOG_WARNING, "poll(): %m");
            kill(-pid, SIGKILL);
            break;
        }
        if (pipe_open && (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0)
            pipe_open = read_stderr(err[0], line, line_done) != READ_END;
        exited = waitpid(pid, &status, WNOHANG) == pid;
    }
    if (!exited)
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    if (pidfd >= 0)
        close(pidfd);
    // What the command wrote before it ended; a child it left behind may hold the pipe, so do not wait.
    if (pipe_open && fcntl(err[0], F_SETFL, O_NONBLOCK) == 0)
        while (read_stderr(err[0], line, line_done) == READ_MORE) {
        }
    close(err[0]);

    if (!timed_out && WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return;
    alert_counters.failed.fetch_add(1, std::memory_order_relaxed);
    const std::string first = line.empty() ? "" : ": " + json_escaped(line);
    if (timed_out) {
        alert_counters.timed_out.fetch_add(1, std::memory_order_relaxed);
        syslog(LOG_WARNING, "Alert command %s timed out after %d s for %s: killed%s", command,
               timeout_seconds, path.c_str(), first.c_str());
    } else if (WIFSIGNALED(status)) {
        syslog(LOG_WARNING, "Alert command %s killed by signal %d for %s%s", command, WTERMSIG(status),
               path.c_str(), first.c_str());
    } else {
        syslog(LOG_WARNING, "Alert command %s failed with exit status %d for %s%s", command,
               WEXITSTATUS(status), path.c_str(), first.c_str());
    }
}
