// The accept loop and the per-connection command loop.
#include "scand/server.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "scand/examine.hpp"
#include "scand/wire.hpp"
#include "zelu/fd.hpp"

namespace scand {

namespace {

// A client that stops reading its answer frees its thread after this long.
constexpr int send_timeout_seconds = 120;
// Answer lines are collected up to this size before they are written.
constexpr std::size_t flush_threshold = 32768;
// How long the accept loop pauses when it is out of descriptors or memory.
constexpr int accept_backoff_ms = 100;
// Descriptors one read takes in; more make the kernel drop the rest, and the line they came with is
// refused like one with two.
constexpr std::size_t max_received_fds = 8;

// Shared by the accept loop and the connection threads.
struct Registry {
    std::mutex mutex;
    std::condition_variable idle;
    std::unordered_set<int> fds;
    std::vector<std::thread::id> finished; // threads to join
    bool stopping = false;
    std::atomic<bool> stop_walks{false};
    int wake_fd = -1; // eventfd: a connection has ended

    bool add(int fd) {
        std::lock_guard lock(mutex);
        if (stopping) {
            return false;
        }
        fds.insert(fd);
        return true;
    }
    // Closes under the lock, so that stop_all() never shuts down a number already reused.
    void remove(int fd) {
        std::lock_guard lock(mutex);
        fds.erase(fd);
        close(fd);
        finished.push_back(std::this_thread::get_id());
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto n = write(wake_fd, &one, sizeof one);
        idle.notify_all();
    }
    std::size_t active() {
        std::lock_guard lock(mutex);
        return fds.size();
    }
    std::vector<std::thread::id> take_finished() {
        std::lock_guard lock(mutex);
        return std::exchange(finished, {});
    }
    void stop_all(const Reloader& engines) {
        std::unique_lock lock(mutex);
        stopping = true;
        stop_walks = true;
        for (int fd : fds) {
            shutdown(fd, SHUT_RDWR); // wakes a thread blocked in recv() or send()
        }
        engines.wake_waiters(); // and one in VPSWAIT, which waits on the engines, not on its socket
        idle.wait(lock, [&] { return fds.empty(); });
    }
};

// Connection threads by id; only the accept loop touches it. Threads are joined, never detached, so that
// each has ended completely (thread-local clean-up included) before the engine goes.
using Threads = std::unordered_map<std::thread::id, std::thread>;

void join_finished(Registry& registry, Threads& threads) {
    for (const auto id : registry.take_finished()) {
        if (const auto it = threads.find(id); it != threads.end()) {
            it->second.join();
            threads.erase(it);
        }
    }
}

bool send_all(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            // EPIPE and ECONNRESET: the client is gone; EAGAIN: it stopped reading.
            syslog(LOG_DEBUG, "send(): %m");
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

std::string errno_text(int err) {
    char buf[128];
    return strerror_r(err, buf, sizeof buf);
}

std::string version_answer(std::uint32_t version) {
    std::string out(accept_line);
    out += vps_line(version);
    out += end_line;
    return out;
}

// The descriptors that came with one command line. The kernel hands them over with the last segment of
// a read, and a client sends a descriptor with the bytes of its own line (FDSCAN starts a sendmsg), so
// they belong to the line that holds the last byte read with them.
struct Attached {
    std::size_t last; // offset in the buffer of that byte
    int fd = -1;      // the first of them, owned; the others are closed on arrival
    unsigned count = 0;
    bool truncated = false; // the kernel dropped some: more than the control buffer holds
};

class Session {
public:
    Session(const Reloader& engines, int fd, const std::atomic<bool>& stopping)
        : engines_(engines), fd_(fd), stopping_(stopping) {}
    // A client that vanishes in the middle of a line leaves its descriptor here.
    ~Session() {
        for (const auto& a : attached_) {
            if (a.fd >= 0) {
                close(a.fd);
            }
        }
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    void run();

private:
    ssize_t receive(std::string& buffer, std::size_t used);
    Attached take_attached(std::size_t len);
    bool handle(std::string_view line, const Attached& attached);
    bool scan(const Command& cmd);
    bool scan_descriptor(const Command& cmd, int fd);

    const Reloader& engines_;
    const int fd_;
    const std::atomic<bool>& stopping_;
    zelu::wire::Exclusions exclusions_;
    // Oldest first, one per line: at most the unfinished line a read began in and the one it ended in.
    std::vector<Attached> attached_;
};

void Session::run() {
    if (!send_all(fd_, welcome_line)) {
        return;
    }
    std::string buffer(max_line, '\0');
    std::size_t used = 0;
    for (;;) {
        std::size_t len;
        while ((len = command_line_length(std::string_view(buffer.data(), used))) > 0) {
            const Attached attached = take_attached(len);
            if (!handle(std::string_view(buffer.data(), len), attached)) {
                return;
            }
            buffer.erase(0, len);
            buffer.resize(max_line, '\0');
            used -= len;
        }
        if (used == max_line) {
            syslog(LOG_DEBUG, "Command line longer than %zu bytes, closing the connection", max_line);
            send_all(fd_, syntax_error_line);
            return;
        }
        const ssize_t n = receive(buffer, used);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (n < 0 && errno != ECONNRESET) {
                syslog(LOG_DEBUG, "recvmsg(): %m");
            }
            return; // an unfinished command of a vanished client is dropped
        }
        used += static_cast<std::size_t>(n);
    }
}

// Reads after the `used` bytes of `buffer`, which hold no complete line, and files the descriptors that
// came with the bytes. recvmsg()'s result.
ssize_t Session::receive(std::string& buffer, std::size_t used) {
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * max_received_fds)];
    iovec iov{buffer.data() + used, max_line - used};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    const ssize_t n = recvmsg(fd_, &msg, MSG_CMSG_CLOEXEC);
    if (n < 0) {
        return n;
    }
    std::vector<int> fds;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS) {
            const std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (std::size_t i = 0; i < count; ++i) {
                int fd;
                std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
                fds.push_back(fd);
            }
        }
    }
    const bool truncated = (msg.msg_flags & MSG_CTRUNC) != 0;
    if (n == 0 || (fds.empty() && !truncated)) {
        for (const int fd : fds) {
            close(fd);
        }
        return n;
    }
    const std::size_t end = used + static_cast<std::size_t>(n);
    // Whatever is filed belongs to the unfinished line at the start of the buffer: the new descriptors
    // join it when the read ended within that line.
    const std::size_t first = command_line_length(std::string_view(buffer.data(), end));
    if (attached_.empty() || (first != 0 && first < end)) {
        attached_.push_back({end - 1});
    }
    Attached& a = attached_.back();
    for (const int fd : fds) {
        if (a.fd < 0 && a.count == 0) {
            a.fd = fd;
        } else {
            close(fd);
        }
        ++a.count;
    }
    a.last = end - 1;
    a.truncated = a.truncated || truncated;
    return n;
}

// The descriptors of the line of `len` bytes at the start of the buffer, which is about to go.
Attached Session::take_attached(std::size_t len) {
    Attached mine{0};
    if (!attached_.empty() && attached_.front().last < len) {
        mine = attached_.front();
        attached_.erase(attached_.begin());
    }
    for (auto& a : attached_) {
        a.last -= len;
    }
    return mine;
}

bool Session::handle(std::string_view line, const Attached& attached) {
    zelu::fd::Fd passed(attached.fd);
    const auto cmd = parse_command(line);
    if (!cmd || cmd->verb != Verb::FdScan) {
        passed.reset(); // a descriptor belongs to FDSCAN alone
    }
    if (!cmd) {
        syslog(LOG_DEBUG, "Syntax error in command");
        return send_all(fd_, syntax_error_line);
    }
    switch (cmd->verb) {
    case Verb::Vps:
        return send_all(fd_, version_answer(engines_.current()->version()));
    case Verb::VpsWait: {
        syslog(LOG_DEBUG, "VPSWAIT %u", cmd->known);
        const auto version = engines_.wait_for_version(cmd->known, version_wait_limit, stopping_);
        if (stopping_) {
            return false;
        }
        return send_all(fd_, version_answer(version));
    }
    case Verb::DbInfo: {
        const auto engine = engines_.current();
        DbInfo info;
        info.version = engine->version();
        info.built = engine->built();
        info.built_from_header = engine->built_from_header();
        info.signatures = engine->signatures();
        info.loaded = engine->loaded_at();
        info.load_ms = engine->load_time().count();
        std::string out(accept_line);
        out += dbinfo_line(info);
        out += end_line;
        return send_all(fd_, out);
    }
    case Verb::Exclude: {
        if (!exclusions_.add(cmd->path)) {
            return send_all(fd_, exclusion_limit_line);
        }
        syslog(LOG_DEBUG, "Excluding '%s'", cmd->path.c_str());
        std::string out(accept_line);
        out += exclude_line(cmd->path);
        out += end_line;
        return send_all(fd_, out);
    }
    case Verb::Scan:
        return scan(*cmd);
    case Verb::FdScan:
        if (attached.count != 1 || attached.truncated || passed.get() < 0) {
            syslog(LOG_DEBUG, "FDSCAN with %u descriptors", attached.count);
            return send_all(fd_, syntax_error_line);
        }
        return scan_descriptor(*cmd, passed.get());
    }
    return false;
}

bool Session::scan(const Command& cmd) {
    syslog(LOG_DEBUG, "SCAN '%s' CID '%s' TRIGGER '%s'", cmd.path.c_str(), cmd.cid.c_str(),
           cmd.trigger.c_str());
    std::string out(accept_line);
    bool flushed = false;
    bool engine_failed = false;
    bool sent = true;
    const Report report = [&](const std::string& path, const Outcome& outcome) {
        for (const auto& name : outcome.findings) {
            syslog(LOG_INFO, "Found '%s' in '%s'.", name.c_str(), path.c_str());
        }
        if (outcome.kind == Outcome::Kind::EngineFailure) {
            syslog(LOG_WARNING, "Engine error: %s: %s", path.c_str(), outcome.reason.c_str());
            // The named file itself: nothing has gone out yet, so the whole answer can be the error.
            if (!flushed && path == cmd.path) {
                engine_failed = true;
                return false;
            }
        }
        append_scan_lines(out, path, outcome);
        if (out.size() >= flush_threshold) {
            flushed = true;
            sent = send_all(fd_, out);
            out.clear();
        }
        return sent;
    };
    // One engine for the whole command, even when a reload replaces it meanwhile; holding it keeps it.
    const auto engine = engines_.current();
    const bool complete = examine(*engine, exclusions_, cmd.path, report, stopping_);
    if (engine_failed) {
        return send_all(fd_, engine_error_line);
    }
    if (!complete) {
        return false; // the client is gone or the service is stopping: an unfinished answer is not ended
    }
    out += end_line;
    return send_all(fd_, out);
}

// The descriptor is read as it came: reopening it (by its path or through /proc) would be a new open
// of a file whose open the client is holding up until this answer.
bool Session::scan_descriptor(const Command& cmd, int fd) {
    syslog(LOG_DEBUG, "FDSCAN '%s' CID '%s' TRIGGER '%s'", cmd.path.c_str(), cmd.cid.c_str(),
           cmd.trigger.c_str());
    const auto engine = engines_.current();
    Outcome outcome;
    struct stat st {};
    int flags = 0;
    if (exclusions_.covers(cmd.path)) {
        outcome = Outcome::unscannable("Excluded");
    } else if (fstat(fd, &st) != 0 || (flags = fcntl(fd, F_GETFL)) < 0) {
        outcome = Outcome::unscannable(errno_text(errno));
    } else if (!S_ISREG(st.st_mode)) {
        outcome = Outcome::unscannable("Not a regular file");
    } else if ((flags & O_PATH) != 0 || (flags & O_ACCMODE) == O_WRONLY) {
        outcome = Outcome::unscannable("Not open for reading");
    } else {
        outcome = engine->scan(fd, cmd.path);
    }
    for (const auto& name : outcome.findings) {
        syslog(LOG_INFO, "Found '%s' in '%s'.", name.c_str(), cmd.path.c_str());
    }
    if (outcome.kind == Outcome::Kind::EngineFailure) {
        syslog(LOG_WARNING, "Engine error: %s: %s", cmd.path.c_str(), outcome.reason.c_str());
        return send_all(fd_, engine_error_line);
    }
    std::string out(accept_line);
    out += vps_line(engine->version());
    append_scan_lines(out, cmd.path, outcome);
    out += end_line;
    return send_all(fd_, out);
}

void connection_main(const Reloader& engines, int fd, Registry& registry) {
    Session(engines, fd, registry.stop_walks).run();
    registry.remove(fd);
}

void start_connection(const Reloader& engines, int fd, Registry& registry, Threads& threads) {
    const timeval timeout{send_timeout_seconds, 0};
    if (setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout) != 0) {
        syslog(LOG_WARNING, "setsockopt(SO_SNDTIMEO): %m");
    }
    if (!registry.add(fd)) {
        close(fd);
        return;
    }
    try {
        std::thread thread(connection_main, std::cref(engines), fd, std::ref(registry));
        const auto id = thread.get_id();
        threads.emplace(id, std::move(thread));
    } catch (const std::system_error& e) {
        syslog(LOG_WARNING, "Cannot start a connection thread: %s", e.what());
        std::lock_guard lock(registry.mutex);
        registry.fds.erase(fd);
        close(fd);
    }
}

} // namespace

int serve(Reloader& engines, int listen_fd, int signal_fd, unsigned max_connections) {
    Registry registry;
    Threads threads;
    registry.wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (registry.wake_fd < 0) {
        syslog(LOG_ERR, "eventfd(): %m");
        return -1;
    }
    enum { PFD_SIGNAL, PFD_WAKE, PFD_LISTEN, PFD_MAX };
    int result = 0;
    int timeout = -1;
    for (;;) {
        pollfd pfd[PFD_MAX] = {
            {signal_fd, POLLIN, 0},
            {registry.wake_fd, POLLIN, 0},
            // At the limit the listening socket is left out: new clients wait in its backlog.
            {registry.active() < max_connections && timeout < 0 ? listen_fd : -1, POLLIN, 0},
        };
        const int n = poll(pfd, PFD_MAX, timeout);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            syslog(LOG_ERR, "poll(): %m");
            result = -1;
            break;
        }
        timeout = -1;
        if (pfd[PFD_SIGNAL].revents & POLLIN) {
            signalfd_siginfo info{};
            if (read(signal_fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
                if (info.ssi_signo == SIGHUP) {
                    syslog(LOG_NOTICE, "SIGHUP received: reloading the databases.");
                    engines.request();
                } else {
                    syslog(LOG_NOTICE, "SIGINT/SIGTERM received. Exiting...");
                    break;
                }
            }
        }
        if (pfd[PFD_WAKE].revents & POLLIN) {
            std::uint64_t count;
            [[maybe_unused]] const auto r = read(registry.wake_fd, &count, sizeof count);
            join_finished(registry, threads);
        }
        if (pfd[PFD_LISTEN].revents & POLLIN) {
            const int fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                start_connection(engines, fd, registry, threads);
            } else if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                syslog(LOG_WARNING, "accept(): %m");
                timeout = accept_backoff_ms;
            } else if (errno != EINTR && errno != EAGAIN && errno != ECONNABORTED) {
                syslog(LOG_ERR, "accept(): %m");
                result = -1;
                break;
            }
        }
    }
    registry.stop_all(engines);
    for (auto& [id, thread] : threads) {
        thread.join();
    }
    close(registry.wake_fd);
    return result;
}

} // namespace scand
