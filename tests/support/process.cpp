// Child processes, deadlines, temporary directories and the notification socket of the tests.
#include "tests/support/process.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/fs.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace zet_test {

bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds timeout,
                std::chrono::milliseconds interval) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (condition()) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(interval);
    }
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void write_file(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

bool set_immutable(const std::string& path, bool on) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
    if (fd < 0) {
        return false;
    }
    int flags = 0;
    bool ok = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
    ok = ok && ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    close(fd);
    return ok;
}

TempDir::TempDir(const std::string& base) {
    std::string tmpl = base + "/zet-test.XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) {
        throw std::runtime_error("mkdtemp(): " + base + ": " + std::strerror(errno));
    }
    path_ = tmpl;
}

TempDir::~TempDir() {
    namespace fs = std::filesystem;
    std::error_code ec;
    // An immutable entry would make remove_all stop half-way.
    for (auto it = fs::recursive_directory_iterator(path_, ec); !ec && it != fs::end(it); it.increment(ec)) {
        set_immutable(it->path(), false);
    }
    set_immutable(path_, false);
    fs::remove_all(path_, ec);
}

ChildProcess::~ChildProcess() {
    kill();
}

bool ChildProcess::spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                         const std::string& stderr_path, const std::string& stdout_path) {
    std::vector<std::string> environment;
    for (char** e = environ; *e != nullptr; ++e) {
        environment.emplace_back(*e);
    }
    for (const auto& change : env) {
        const auto name = change.substr(0, change.find('='));
        std::erase_if(environment,
                      [&](const std::string& e) { return e.compare(0, name.size() + 1, name + "=") == 0; });
        if (change.find('=') != std::string::npos) {
            environment.push_back(change);
        }
    }
    std::vector<char*> args, envp;
    for (const auto& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    for (const auto& e : environment) {
        envp.push_back(const_cast<char*>(e.c_str()));
    }
    envp.push_back(nullptr);

    // Everything the child needs is prepared here: between fork() and execve() only async-signal-safe
    // calls are allowed, the test being multi-threaded.
    const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int out = open(stdout_path.empty() ? "/dev/null" : stdout_path.c_str(),
                         O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int err = open(stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const pid_t parent = getpid();
    const pid_t pid = (in >= 0 && out >= 0 && err >= 0) ? fork() : -1;
    if (pid == 0) {
        // A test that dies without running its destructors takes its children with it.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) {
            _exit(127);
        }
        for (int sig = 1; sig < NSIG; ++sig) {
            ::signal(sig, SIG_DFL);
        }
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        if (dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) {
            _exit(127);
        }
        execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    for (int fd : {in, out, err}) {
        if (fd >= 0) {
            close(fd);
        }
    }
    if (pid < 0) {
        return false;
    }
    pid_ = pid;
    status_.reset();
    stderr_path_ = stderr_path;
    stdout_path_ = stdout_path;
    return true;
}

bool ChildProcess::running() {
    if (pid_ < 0 || status_) {
        return false;
    }
    int status = 0;
    const pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
        status_ = status;
        return false;
    }
    return r == 0;
}

bool ChildProcess::signal(int sig) const {
    return pid_ > 0 && !status_ && ::kill(pid_, sig) == 0;
}

bool suspend_process(pid_t pid, std::chrono::milliseconds timeout) {
    if (pid <= 0 || ::kill(pid, SIGSTOP) != 0)
        return false;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    return wait_until(
        [&] {
            std::error_code ec;
            for (const auto& t : std::filesystem::directory_iterator(tasks, ec)) {
                // "pid (comm) S ...": the state follows the last parenthesis.
                std::string stat = read_file(t.path() / "stat");
                auto close = stat.rfind(')');
                if (close == std::string::npos || close + 2 >= stat.size() || stat[close + 2] != 'T')
                    return false;
            }
            return !ec;
        },
        timeout);
}

bool ChildProcess::suspend(std::chrono::milliseconds timeout) const {
    return pid_ > 0 && !status_ && suspend_process(pid_, timeout);
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout) {
    wait_until([&] { return !running(); }, timeout);
    return status_;
}

int ChildProcess::exit_code(std::chrono::milliseconds timeout) {
    const auto status = wait(timeout);
    if (!status) {
        return -1;
    }
    return WIFEXITED(*status) ? WEXITSTATUS(*status) : 128 + WTERMSIG(*status);
}

void ChildProcess::kill() {
    if (pid_ > 0 && !status_) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        if (waitpid(pid_, &status, 0) == pid_) {
            status_ = status;
        }
    }
}

int connect_unix(const std::string& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        const int err = errno;
        close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

NotifySocket::NotifySocket(const std::string& path) : path_(path) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (fd_ < 0 || path.size() >= sizeof addr.sun_path) {
        throw std::runtime_error("notify socket: " + path);
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    unlink(path.c_str());
    if (bind(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        const std::string why = std::strerror(errno);
        close(fd_);
        throw std::runtime_error("bind(): " + path + ": " + why);
    }
    if (pipe2(stop_, O_CLOEXEC) != 0) {
        close(fd_);
        unlink(path.c_str());
        throw std::runtime_error("pipe2(): " + std::string(std::strerror(errno)));
    }
    reader_ = std::thread([this] { read_loop(); });
}

NotifySocket::~NotifySocket() {
    const char c = 0;
    [[maybe_unused]] const ssize_t n = write(stop_[1], &c, 1);
    reader_.join();
    close(stop_[0]);
    close(stop_[1]);
    close(fd_);
    unlink(path_.c_str());
}

void NotifySocket::read_loop() {
    // Bounded so that a flooding child cannot exhaust the test's memory.
    constexpr std::size_t max_kept = 10000;
    pollfd fds[2] = {{fd_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
    while (poll(fds, 2, -1) > 0 && !(fds[1].revents & POLLIN)) {
        char buf[4096];
        const ssize_t n = recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) {
            std::lock_guard lock(mutex_);
            if (received_.size() < max_kept) {
                received_.emplace_back(buf, static_cast<std::size_t>(n));
            }
            if (unread_.size() < max_kept) {
                unread_.emplace_back(buf, static_cast<std::size_t>(n));
            }
            arrived_.notify_all();
        }
    }
}

bool NotifySocket::wait_for(const std::string& line, std::chrono::milliseconds timeout) {
    const auto holds = [&](const std::string& m) {
        return ("\n" + m + "\n").find("\n" + line + "\n") != std::string::npos;
    };
    std::unique_lock lock(mutex_);
    std::size_t seen = 0;
    return arrived_.wait_for(lock, timeout, [&] {
        for (; seen < received_.size(); ++seen) {
            if (holds(received_[seen])) {
                return true;
            }
        }
        return false;
    });
}

std::vector<std::string> NotifySocket::messages() {
    std::lock_guard lock(mutex_);
    return received_;
}

std::string NotifySocket::next(std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    if (!arrived_.wait_for(lock, limit, [&] { return !unread_.empty(); })) {
        return "";
    }
    std::string m = std::move(unread_.front());
    unread_.pop_front();
    return m;
}

void NotifySocket::drain() {
    std::lock_guard lock(mutex_);
    unread_.clear();
}

std::unique_ptr<ChildProcess> start_process(const std::vector<std::string>& argv,
                                            const std::map<std::string, std::string>& env,
                                            const std::string& output_base) {
    std::vector<std::string> changes;
    for (const auto& [name, value] : env)
        changes.push_back(name + "=" + value);
    auto p = std::make_unique<ChildProcess>();
    p->spawn(argv, changes, output_base + ".err", output_base + ".out");
    return p;
}

Result run_to_end(const std::vector<std::string>& argv, const std::string& output_base,
                  std::chrono::milliseconds timeout) {
    ChildProcess p;
    EXPECT_TRUE(p.spawn(argv, {}, output_base + ".err", output_base + ".out"));
    const int status = p.exit_code(timeout);
    return {status, read_file(output_base + ".out"), read_file(output_base + ".err")};
}

bool socket_accepts(const std::string& path) {
    const int fd = connect_unix(path);
    if (fd >= 0)
        close(fd);
    return fd >= 0;
}

} // namespace zet_test
