// The control socket and the sweeps it starts: one thread serves the socket, one walks the current sweep's
// trees into the pool's lane of sweeps, the workers report each file back.
#include "src/control.hpp"

#include "src/config.hpp"
#include "src/fileops.hpp"
#include "src/paths.hpp"
#include "src/pool.hpp"
#include "src/recovery.hpp"
#include "src/status.hpp"
#include "src/thread.hpp"
#include "zelu/wire.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace {

// The walk reads at most this many entries a second: a sweep of a large share must not take the disks
// from the users.
constexpr double WALK_RATE = 20000;
// Progress lines at most this often.
constexpr int PROGRESS_MS = 250;
// A client that sends no request within this long is dropped.
constexpr int REQUEST_MS = 5000;
constexpr std::size_t REQUEST_MAX = zelu::wire::max_line;
constexpr const char* SWEEP_TEMP_NAME = "zet.sweep.tmp";

struct sweep {
    std::uint64_t id;
    bool moves;
    std::vector<std::string> roots;
    std::atomic<bool> stop{false};
    std::atomic<bool> walk_done{false};
    std::atomic<std::uint64_t> walked{0}, finished{0}, scanned{0}, infected{0}, unscanned{0};
    std::mutex lock;
    std::string lines; // FOUND and UNSCANNED lines for the client, under `lock`
    std::time_t started = 0;
};

const Config* config = nullptr;
int listen_fd = -1;
int wake_fd = -1;
std::mutex active_lock;
// The sweep running now, under active_lock. The control thread and the workers still use it while the
// process exits, so it lives on the heap and no destructor runs on it.
std::shared_ptr<sweep>& active = *new std::shared_ptr<sweep>;
std::uint64_t last_id = 0; // the control thread's own

std::shared_ptr<sweep> find(std::uint64_t id) {
    std::lock_guard guard(active_lock);
    return active != nullptr && active->id == id ? active : nullptr;
}

void wake() {
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(wake_fd, &one, sizeof one);
}

double now_seconds() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// The walk's pace and its way out: false once the sweep is asked to stop.
struct walk_state {
    sweep* s;
    double began;
};

bool queue_file(const char* path, void* ctx) {
    auto* w = static_cast<walk_state*>(ctx);
    if (w->s->stop.load())
        return false;
    const double due = w->began + static_cast<double>(w->s->walked.load()) / WALK_RATE;
    if (double early = due - now_seconds(); early > 0) {
        const auto whole = static_cast<time_t>(early);
        timespec pause = {whole, static_cast<long>((early - static_cast<double>(whole)) * 1e9)};
        nanosleep(&pause, nullptr);
    }
    int fd = open(path, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    pool_add_sweep(path, fd, w->s->id);
    w->s->walked++;
    return true;
}

// `arg`: a heap copy of the sweep's shared pointer, which the walk owns.
void* walker(void* arg) {
    const std::unique_ptr<std::shared_ptr<sweep>> owned(static_cast<std::shared_ptr<sweep>*>(arg));
    walk_state w = {owned->get(), now_seconds()};
    for (const std::string& root : w.s->roots)
        if (!w.s->stop.load())
            sweep_walk(root.c_str(), config->exclusions, queue_file, &w, &config->excluded);
    w.s->walk_done.store(true);
    wake();
    return nullptr;
}

std::string escaped(const char* text) {
    return zelu::wire::escape(text != nullptr ? text : "");
}

// The roots of a request, or the reason it is refused.
bool parse_request(const std::string& line, bool* moves, std::vector<std::string>* roots,
                   std::string* error) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= line.size(); i++) {
        if (i == line.size() || (line[i] == ' ' && (i == 0 || line[i - 1] != '\\'))) {
            fields.push_back(line.substr(start, i - start));
            start = i + 1;
        }
    }
    if (fields.empty() || fields[0] != "SWEEP") {
        *error = "unknown request";
        return false;
    }
    std::size_t first = 1;
    *moves = !(fields.size() > 1 && fields[1] == "NOMOVE");
    if (!*moves)
        first = 2;
    for (std::size_t i = first; i < fields.size(); i++) {
        std::optional<std::string> path = zelu::wire::unescape(fields[i]);
        if (!path || path->empty() || path->front() != '/') {
            *error = "not an absolute path: " + fields[i];
            return false;
        }
        if (!path_under(path->c_str(), config->monitors)) {
            *error = *path + ": under no monitored tree";
            return false;
        }
        if (excluded_by(path->c_str(), config->exclusions, config->excluded, nullptr)) {
            *error = *path + ": excluded";
            return false;
        }
        roots->push_back(std::move(*path));
    }
    if (roots->empty())
        for (const monitor* m = config->monitors; m != nullptr; m = m->next)
            roots->emplace_back(m->path);
    return true;
}

// One client, from its request to the sweep's end; false when it got an ERROR instead.
struct client {
    int fd = -1;
    std::string in, out;
    bool gone = false;
};

void send_some(client& c) {
    while (!c.gone && !c.out.empty()) {
        ssize_t n = send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            c.out.erase(0, static_cast<std::size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            if (n < 0 && errno != EAGAIN)
                c.gone = true; // the sweep goes on to its end; nobody hears of it
            return;
        }
    }
}

// Refuses `fd` with `text`, best effort.
void refuse(int fd, const std::string& text) {
    const std::string line = "ERROR " + text + "\n";
    [[maybe_unused]] ssize_t n = send(fd, line.data(), line.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    close(fd);
}

// The request line of a new client, within REQUEST_MS; empty when none came.
std::string read_request(int fd) {
    std::string in;
    const double until = now_seconds() + REQUEST_MS / 1000.0;
    while (in.find('\n') == std::string::npos && in.size() < REQUEST_MAX) {
        int left = static_cast<int>((until - now_seconds()) * 1000);
        pollfd p = {fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, left) <= 0)
            return "";
        char buf[4096];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            return "";
        in.append(buf, static_cast<std::size_t>(n));
    }
    std::size_t nl = in.find('\n');
    return nl == std::string::npos ? "" : in.substr(0, nl);
}

// What zetctl status tells of the last sweep: RUN_DIR/zet.sweep, replaced by a rename.
void record(const sweep& s) {
    const std::string text =
        "started " + std::to_string(static_cast<long long>(s.started)) + "\nfinished " +
        std::to_string(static_cast<long long>(time(nullptr))) + "\nfiles " + std::to_string(s.walked.load()) +
        "\nscanned " + std::to_string(s.scanned.load()) + "\ninfected " + std::to_string(s.infected.load()) +
        "\nunscanned " + std::to_string(s.unscanned.load()) + "\nstopped " + (s.stop.load() ? "1" : "0") +
        "\n";
    if (!replace_file(SWEEP_FILE_NAME, SWEEP_TEMP_NAME, text, 0600, false, false))
        syslog(LOG_WARNING, "Cannot record the sweep in %s: %m", SWEEP_FILE_NAME);
}

std::string counts(const sweep& s) {
    return std::to_string(s.walked.load()) + " " + std::to_string(s.scanned.load()) + " " +
           std::to_string(s.infected.load()) + " " + std::to_string(s.unscanned.load());
}

// Serves one sweep to its end.
void serve(int fd, std::shared_ptr<sweep> s) {
    client c;
    c.fd = fd;
    {
        std::lock_guard guard(active_lock);
        active = s;
    }
    syslog(LOG_NOTICE, "Sweep %llu started: %zu path%s%s", static_cast<unsigned long long>(s->id),
           s->roots.size(), s->roots.size() == 1 ? "" : "s", s->moves ? "" : " (report only)");
    auto* arg = new std::shared_ptr<sweep>(s);
    if (thread_start_detached(walker, arg) != 0) {
        delete arg;
        s->walk_done.store(true);
    }
    std::string last;
    double last_progress = 0;
    for (;;) {
        const bool done = s->walk_done.load() && s->finished.load() == s->walked.load();
        {
            std::lock_guard guard(s->lock);
            c.out += s->lines;
            s->lines.clear();
        }
        std::string now = counts(*s) + (s->walk_done.load() ? " 1" : " 0");
        if (done) {
            c.out += "DONE " + counts(*s) + (s->stop.load() ? " 1" : " 0") + "\n";
        } else if (now != last && now_seconds() - last_progress >= PROGRESS_MS / 1000.0) {
            c.out += "PROGRESS " + now + "\n";
            last = now;
            last_progress = now_seconds();
        }
        send_some(c);
        if (done)
            break;
        pollfd fds[2] = {{wake_fd, POLLIN, 0},
                         {c.gone ? -1 : c.fd, static_cast<short>(POLLIN | (c.out.empty() ? 0 : POLLOUT)), 0}};
        poll(fds, 2, PROGRESS_MS);
        if (fds[0].revents & POLLIN) {
            std::uint64_t n;
            [[maybe_unused]] ssize_t r = read(wake_fd, &n, sizeof n);
        }
        if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
            char buf[256];
            ssize_t n = recv(c.fd, buf, sizeof buf, MSG_DONTWAIT);
            if (n <= 0) {
                c.gone = true;
                s->stop.store(true); // Ctrl-C without a word: the walk ends, the scans in flight finish
            } else if (c.in.append(buf, static_cast<std::size_t>(n)).find("STOP\n") != std::string::npos) {
                s->stop.store(true);
            }
        }
    }
    close(c.fd);
    {
        std::lock_guard guard(active_lock);
        active = nullptr;
    }
    record(*s);
    syslog(LOG_NOTICE, "Sweep %llu %s: %llu files, %llu scanned, %llu infected, %llu not scanned",
           static_cast<unsigned long long>(s->id), s->stop.load() ? "stopped" : "done",
           static_cast<unsigned long long>(s->walked.load()),
           static_cast<unsigned long long>(s->scanned.load()),
           static_cast<unsigned long long>(s->infected.load()),
           static_cast<unsigned long long>(s->unscanned.load()));
}

void* control_loop(void*) {
    for (;;) {
        int fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno != EINTR && errno != ECONNABORTED)
                sleep(1); // out of descriptors: try again later
            continue;
        }
        ucred peer = {};
        socklen_t len = sizeof peer;
        if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &len) != 0 || peer.uid != 0) {
            refuse(fd, "only root may ask zet to scan");
            continue;
        }
        const std::string request = read_request(fd);
        auto s = std::make_shared<sweep>();
        std::string error;
        if (request.empty() || !parse_request(request, &s->moves, &s->roots, &error)) {
            refuse(fd, request.empty() ? "no request" : error);
            continue;
        }
        s->id = ++last_id;
        s->started = time(nullptr);
        // One sweep at a time: this thread serves it to its end, later clients wait in the backlog.
        serve(fd, std::move(s));
    }
    return nullptr;
}

} // namespace

int control_start(const Config& settings) {
    config = &settings;
    if (config->control_socket.empty())
        return 0;
    sockaddr_un addr = {};
    if (config->control_socket.size() >= sizeof addr.sun_path) {
        syslog(LOG_WARNING, "Invalid control socket path: %s", config->control_socket.c_str());
        return -1;
    }
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path, config->control_socket.c_str(), config->control_socket.size());
    wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    listen_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (wake_fd < 0 || listen_fd < 0) {
        syslog(LOG_WARNING, "control socket: %m");
        return -1;
    }
    // A socket left by a zet that was killed would refuse the bind.
    unlink(addr.sun_path);
    const mode_t old = umask(0177);
    bool bound = bind(listen_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    umask(old);
    if (!bound || listen(listen_fd, 8) != 0) {
        syslog(LOG_WARNING, "%s(): %s: %m", bound ? "listen" : "bind", addr.sun_path);
        close(listen_fd);
        listen_fd = -1;
        return -1;
    }
    return thread_start_detached(control_loop);
}

void control_stop() {
    if (listen_fd >= 0)
        unlink(config->control_socket.c_str());
}

bool control_sweep_moves(std::uint64_t sweep_id) {
    std::shared_ptr<sweep> s = find(sweep_id);
    return s == nullptr || s->moves;
}

void control_sweep_result(std::uint64_t sweep_id, const char* path, av_verdict verdict,
                          const infection* findings, const char* vault, const char* reason) {
    std::shared_ptr<sweep> s = find(sweep_id);
    if (s == nullptr)
        return;
    std::string lines;
    if (verdict == AV_UNSCANNABLE && reason == nullptr) {
        // Nothing left to protect there, and nothing the administrator has to look at.
    } else if (verdict == AV_FOUND) {
        s->scanned++;
        s->infected++;
        for (const infection* i = findings; i != nullptr; i = i->next)
            lines += "FOUND " + escaped(path) + "\t" + (vault != nullptr ? escaped(vault) : "-") + "\t" +
                     escaped(i->name) + "\n";
    } else if (verdict == AV_CLEAN ||
               (verdict == AV_UNSCANNABLE && reason != nullptr && strcmp(reason, "Excluded") == 0)) {
        s->scanned++;
    } else {
        s->unscanned++;
        lines = "UNSCANNED " + escaped(path) + "\t" +
                escaped(reason != nullptr && *reason != '\0' ? reason : "no answer from the scan service") +
                "\n";
    }
    if (!lines.empty()) {
        std::lock_guard guard(s->lock);
        s->lines += lines;
    }
    s->finished++;
    wake();
}
