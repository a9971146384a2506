// Child processes, deadlines, temporary directories and the notification socket of the tests.
#include "tests/child_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
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

TempDir::TempDir(const std::string& prefix) {
    std::string tmpl = "/tmp/" + prefix + ".XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) {
        throw std::runtime_error("mkdtemp(): " + std::string(std::strerror(errno)));
    }
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
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

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout) {
    wait_until([&] { return !running(); }, timeout);
    return status_;
}

int ChildProcess::exit_code(std::chrono::milliseconds timeout) {
    const auto status = wait(timeout);
    return status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
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
        throw std::runtime_error("bind(): " + path + ": " + std::strerror(errno));
    }
}

NotifySocket::~NotifySocket() {
    if (fd_ >= 0) {
        close(fd_);
        unlink(path_.c_str());
    }
}

bool NotifySocket::wait_for(const std::string& line, std::chrono::milliseconds timeout) {
    const auto holds = [&](const std::string& m) {
        return ("\n" + m + "\n").find("\n" + line + "\n") != std::string::npos;
    };
    for (const auto& m : messages_) {
        if (holds(m)) {
            return true;
        }
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd pfd{fd_, POLLIN, 0};
        if (poll(&pfd, 1, static_cast<int>(left.count())) <= 0) {
            continue;
        }
        char buf[4096];
        const ssize_t n = recv(fd_, buf, sizeof buf, 0);
        if (n > 0) {
            messages_.emplace_back(buf, static_cast<std::size_t>(n));
            if (holds(messages_.back())) {
                return true;
            }
        }
    }
}

} // namespace zet_test
