// The state file of the catch-up after downtime: its text, its reading, its atomic replacement.
#include "src/state_file.hpp"

#include "src/fileops.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cinttypes>
#include <cstdio>

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
    return replace_file(path, tmp.c_str(), state_format(state), 0600, true, report) ? 0 : -1;
}
