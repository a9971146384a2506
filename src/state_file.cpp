// The state file of the catch-up after downtime: its text, its reading, its atomic replacement.
#include "src/state_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace {

// A state file is a few short lines; anything larger is not one.
constexpr std::size_t MAX_STATE_SIZE = 4096;
constexpr long NS_PER_SECOND = 1000000000;

std::string time_text(const timespec& t) {
    char buf[48];
    snprintf(buf, sizeof buf, "%" PRId64 ".%09ld", static_cast<std::int64_t>(t.tv_sec), t.tv_nsec);
    return buf;
}

bool parse_uint(std::string_view text, std::uint64_t* out) {
    if (text.empty() || text.front() < '0' || text.front() > '9')
        return false;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *out);
    return ec == std::errc() && end == text.data() + text.size();
}

// "SECONDS.NANOSECONDS", both parts digits, the second nine of them.
bool parse_time(std::string_view text, timespec* out) {
    const auto dot = text.find('.');
    std::uint64_t sec = 0, ns = 0;
    if (dot == std::string_view::npos || text.size() - dot - 1 != 9 ||
        !parse_uint(text.substr(0, dot), &sec) || !parse_uint(text.substr(dot + 1), &ns) ||
        sec > static_cast<std::uint64_t>(INT64_MAX))
        return false;
    out->tv_sec = static_cast<time_t>(sec);
    out->tv_nsec = static_cast<long>(ns);
    return true;
}

bool parse_phase(std::string_view text, catchup_phase* out) {
    for (int n = 0; CATCHUP_PHASE_NAMES[n] != nullptr; n++) {
        if (text == CATCHUP_PHASE_NAMES[n]) {
            *out = static_cast<catchup_phase>(n);
            return true;
        }
    }
    return false;
}

bool write_all(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

std::string state_format(const zet_state& s) {
    std::string text = "handled_until " + time_text(s.handled_until) + "\n";
    text += "pid " + std::to_string(s.pid) + "\n";
    text += "started " + time_text(s.started) + "\n";
    text += std::string("catchup ") + CATCHUP_PHASE_NAMES[s.catchup] + "\n";
    if (s.catchup == CATCHUP_WALKING || s.catchup == CATCHUP_DONE)
        text += "catchup_since " + time_text(s.catchup_since) + "\n";
    if (s.catchup == CATCHUP_DONE) {
        text += "catchup_queued " + std::to_string(s.catchup_queued) + "\n";
        text += "catchup_finished " + time_text(s.catchup_finished) + "\n";
    }
    return text;
}

bool state_parse(std::string_view text, zet_state* state) {
    zet_state s;
    bool handled = false;
    while (!text.empty()) {
        const auto nl = text.find('\n');
        const std::string_view line = text.substr(0, nl);
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
        if (line.empty())
            continue;
        const auto sp = line.find(' ');
        if (sp == std::string_view::npos || sp == 0)
            return false;
        const std::string_view name = line.substr(0, sp), value = line.substr(sp + 1);
        std::uint64_t n = 0;
        bool ok = true;
        if (name == "handled_until")
            ok = handled = parse_time(value, &s.handled_until);
        else if (name == "pid")
            ok = parse_uint(value, &n) && n <= static_cast<std::uint64_t>(INT64_MAX) &&
                 (s.pid = static_cast<std::int64_t>(n), true);
        else if (name == "started")
            ok = parse_time(value, &s.started);
        else if (name == "catchup")
            ok = parse_phase(value, &s.catchup);
        else if (name == "catchup_since")
            ok = parse_time(value, &s.catchup_since);
        else if (name == "catchup_queued")
            ok = parse_uint(value, &s.catchup_queued);
        else if (name == "catchup_finished")
            ok = parse_time(value, &s.catchup_finished);
        if (!ok)
            return false;
    }
    if (!handled)
        return false;
    *state = s;
    return true;
}

state_read_result state_read(const char* path, zet_state* state, const char** call) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *call = "open";
        return errno == ENOENT ? STATE_ABSENT : STATE_FAILED;
    }
    std::string text;
    char buf[1024];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            int saved = errno;
            close(fd);
            errno = saved;
            *call = "read";
            return STATE_FAILED;
        }
        if (n == 0)
            break;
        text.append(buf, static_cast<std::size_t>(n));
        if (text.size() > MAX_STATE_SIZE)
            break;
    }
    close(fd);
    return text.size() <= MAX_STATE_SIZE && state_parse(text, state) ? STATE_READ : STATE_GARBAGE;
}

int state_write(const char* path, const zet_state& state, bool report) {
    const std::string tmp = std::string(path) + ".tmp";
    const std::size_t slash = tmp.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : tmp.substr(0, slash);
    const std::string text = state_format(state);
    const char* failed = nullptr;
    int error = 0;
    auto fail = [&failed, &error](const char* call) {
        if (failed == nullptr) {
            failed = call;
            error = errno;
        }
    };
    // O_NOFOLLOW: a link planted at the temporary name must not make zet write elsewhere as root.
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        fail("open");
    } else {
        // A temporary file left by an older run keeps its mode through O_TRUNC.
        if (fchmod(fd, 0600) != 0)
            fail("fchmod");
        else if (!write_all(fd, text))
            fail("write");
        else if (fsync(fd) != 0)
            fail("fsync");
        if (close(fd) != 0)
            fail("close");
        if (failed == nullptr && rename(tmp.c_str(), path) != 0)
            fail("rename");
        if (failed != nullptr)
            unlink(tmp.c_str());
    }
    if (failed != nullptr) {
        if (report) {
            errno = error;
            if (strcmp(failed, "rename") == 0)
                syslog(LOG_WARNING, "rename(): %s -> %s: %m", tmp.c_str(), path);
            else
                syslog(LOG_WARNING, "%s(): %s: %m", failed, tmp.c_str());
        }
        return -1;
    }
    // The rename lasts through a crash only once the directory is on disk.
    int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0 || fsync(dfd) != 0) {
        if (report)
            syslog(LOG_WARNING, "%s(): %s: %m", dfd < 0 ? "open" : "fsync", dir.c_str());
        if (dfd >= 0)
            close(dfd);
        return -1;
    }
    close(dfd);
    return 0;
}
