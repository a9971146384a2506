// The accept loop and the per-connection command loop.
#include "scand/server.hpp"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
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

namespace scand {

namespace {

// A client that stops reading its answer frees its thread after this long.
constexpr int send_timeout_seconds = 120;
// Answer lines are collected up to this size before they are written.
constexpr std::size_t flush_threshold = 32768;
// How long the accept loop pauses when it is out of descriptors or memory.
constexpr int accept_backoff_ms = 100;

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
    void stop_all() {
        std::unique_lock lock(mutex);
        stopping = true;
        stop_walks = true;
        for (int fd : fds) {
            shutdown(fd, SHUT_RDWR); // wakes a thread blocked in recv() or send()
        }
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

class Session {
public:
    Session(const Reloader& engines, int fd, const std::atomic<bool>& stopping)
        : engines_(engines), fd_(fd), stopping_(stopping) {}

    void run();

private:
    bool handle(std::string_view line);
    bool scan(const Command& cmd);

    const Reloader& engines_;
    const int fd_;
    const std::atomic<bool>& stopping_;
    zelu::wire::Exclusions exclusions_;
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
            if (!handle(std::string_view(buffer.data(), len))) {
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
        const ssize_t n = recv(fd_, buffer.data() + used, max_line - used, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (n < 0 && errno != ECONNRESET) {
                syslog(LOG_DEBUG, "recv(): %m");
            }
            return; // an unfinished command of a vanished client is dropped
        }
        used += static_cast<std::size_t>(n);
    }
}

bool Session::handle(std::string_view line) {
    const auto cmd = parse_command(line);
    if (!cmd) {
        syslog(LOG_DEBUG, "Syntax error in command");
        return send_all(fd_, syntax_error_line);
    }
    switch (cmd->verb) {
    case Verb::Vps: {
        std::string out(accept_line);
        out += vps_line(engines_.current()->version());
        out += end_line;
        return send_all(fd_, out);
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
    registry.stop_all();
    for (auto& [id, thread] : threads) {
        thread.join();
    }
    close(registry.wake_fd);
    return result;
}

} // namespace scand
