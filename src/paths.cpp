// The path rules: trees by byte prefix, exclusions and mounts by whole components, the mount table.
#include "src/paths.hpp"

#include "src/actor.hpp"

#include "zelu/wire.hpp"

#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char* UNIT = "src/paths";
constexpr std::size_t READ_CHUNK = 8192;

// The length of the character at the start of `s`: a whole UTF-8 sequence, else one byte.
std::size_t char_len(std::string_view s) {
    const auto b = static_cast<unsigned char>(s[0]);
    std::size_t n = b < 0x80 ? 1 : (b >> 5) == 0x6 ? 2 : (b >> 4) == 0xE ? 3 : (b >> 3) == 0x1E ? 4 : 1;
    if (n > s.size())
        return 1;
    for (std::size_t i = 1; i < n; i++)
        if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80)
            return 1;
    return n;
}

// A set "[...]" at the start of `p` against byte `c`: the set's length (0 when `p` holds no closed set,
// and the '[' is then an ordinary byte), and whether `c` is in it.
std::size_t match_set(std::string_view p, unsigned char c, bool* in) {
    std::size_t i = 1;
    bool negated = i < p.size() && (p[i] == '!' || p[i] == '^');
    if (negated)
        i++;
    bool found = false;
    for (bool first = true; i < p.size(); first = false) {
        if (p[i] == ']' && !first) {
            *in = found != negated;
            return i + 1;
        }
        auto lo = static_cast<unsigned char>(p[i]);
        if (i + 2 < p.size() && p[i + 1] == '-' && p[i + 2] != ']') {
            found = found || (c >= lo && c <= static_cast<unsigned char>(p[i + 2]));
            i += 3;
        } else {
            found = found || c == lo;
            i++;
        }
    }
    return 0;
}

bool glob_at(std::string_view p, std::string_view s) {
    while (!p.empty()) {
        if (p.substr(0, 2) == "**" && (p.size() == 2 || p[2] == '/')) {
            if (p.size() <= 3)
                return true; // "**" or "**/" at the end: everything below
            std::string_view rest = p.substr(3);
            // None or any number of directories: the rest matches here or after any '/'.
            for (std::size_t i = 0;; i++) {
                if (glob_at(rest, s.substr(i)))
                    return true;
                i = s.find('/', i);
                if (i == std::string_view::npos)
                    return false;
            }
        }
        if (p.size() == 1 && p[0] == '/' && !s.empty() && s[0] == '/')
            return true; // a trailing '/': everything below the directory
        if (p.substr(0, 3) == "/**" && (p.size() == 3 || p[3] == '/')) {
            // "/**/" in the middle may stand for "/" alone.
            if (p.size() > 3 && glob_at(p.substr(3), s))
                return true;
            if (s.empty() || s[0] != '/')
                return false;
            p.remove_prefix(1);
            s.remove_prefix(1);
            continue;
        }
        switch (p[0]) {
        case '*':
            p.remove_prefix(1);
            for (std::size_t i = 0;; i++) {
                if (glob_at(p, s.substr(i)))
                    return true;
                if (i == s.size() || s[i] == '/')
                    return false;
            }
        case '?': {
            if (s.empty() || s[0] == '/')
                return false;
            p.remove_prefix(1);
            s.remove_prefix(char_len(s));
            continue;
        }
        case '[': {
            bool in = false;
            std::size_t len = s.empty() ? 0 : match_set(p, static_cast<unsigned char>(s[0]), &in);
            if (len > 0) {
                if (!in || s[0] == '/')
                    return false;
                p.remove_prefix(len);
                s.remove_prefix(1);
                continue;
            }
            break;
        }
        case '\\':
            if (p.size() > 1)
                p.remove_prefix(1);
            break;
        default:
            break;
        }
        if (s.empty() || s[0] != p[0])
            return false;
        p.remove_prefix(1);
        s.remove_prefix(1);
    }
    return s.empty();
}

} // namespace

bool glob_match(std::string_view pattern, std::string_view path) {
    return glob_at(pattern, path);
}

std::optional<std::string> excluded_by(const char* path, const monitor* trees, const exclusion_rules& rules,
                                       const actor_ids* who) {
    for (const std::string& own : rules.own)
        if (zelu::wire::within(path, own))
            return "zet's own: " + own;
    for (const monitor* m = trees; m != nullptr; m = m->next)
        if (zelu::wire::within(path, m->path))
            return std::string("EXCL = ") + m->path;
    for (const std::string& g : rules.globs)
        if (glob_match(g, path))
            return "EXCL_GLOB = " + g;
    if (who == nullptr)
        return std::nullopt;
    for (const auto& u : rules.users)
        if (u.uid == who->uid)
            return "EXCL_USER = " + u.text;
    for (const std::string& p : rules.programs)
        if (p == who->exe)
            return "EXCL_PROGRAM = " + p;
    return std::nullopt;
}

std::optional<std::string> excluded_for(const char* path, const monitor* trees, const exclusion_rules& rules,
                                        const process_ref& by) {
    actor_ids ids;
    const bool known = rules.by_process() && actor_ids_of(by.pid, by.pidfd, &ids);
    return excluded_by(path, trees, rules, known ? &ids : nullptr);
}

bool path_under(const char* path, const monitor* list) {
    for (const monitor* m = list; m != nullptr; m = m->next)
        if (strncmp(path, m->path, strlen(m->path)) == 0)
            return true;
    return false;
}

bool is_monitored(const char* path, const monitor* list) {
    char* canonical = realpath(path, nullptr);
    if (canonical == nullptr) {
        // ENOENT is expected: a file deleted before its event carries the kernel's " (deleted)" suffix.
        if (errno != ENOENT)
            syslog(LOG_DEBUG, "is_monitored: realpath(%s): %m", path);
        canonical = strdup(path);
        if (canonical == nullptr) {
            syslog(LOG_WARNING, "%s:%u: malloc(): %m", UNIT, __LINE__);
            return false;
        }
    }
    bool matched = path_under(canonical, list);
    free(canonical);
    return matched;
}

bool path_excluded(const char* path, const monitor* list) {
    for (const monitor* m = list; m != nullptr; m = m->next)
        if (zelu::wire::within(path, m->path))
            return true;
    return false;
}

std::string unescape_octal(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); i++) {
        if (text[i] == '\\' && i + 3 < text.size() && isdigit(static_cast<unsigned char>(text[i + 1])) &&
            isdigit(static_cast<unsigned char>(text[i + 2])) &&
            isdigit(static_cast<unsigned char>(text[i + 3]))) {
            out +=
                static_cast<char>((text[i + 1] - '0') * 64 + (text[i + 2] - '0') * 8 + (text[i + 3] - '0'));
            i += 3;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::vector<std::string> read_mounts_below(int fd, const monitor* trees) {
    std::string table;
    char buf[READ_CHUNK];
    ssize_t n;
    for (off_t off = 0; (n = pread(fd, buf, sizeof buf, off)) > 0; off += n)
        table.append(buf, static_cast<std::size_t>(n));
    std::vector<std::string> found;
    std::size_t start = 0;
    for (std::size_t nl; (nl = table.find('\n', start)) != std::string::npos; start = nl + 1) {
        // The fifth field is the mount point.
        std::size_t pos = start;
        for (int field = 0; field < 4 && pos < nl; field++)
            pos = table.find(' ', pos) + 1;
        std::size_t end = table.find(' ', pos);
        if (pos == 0 || end == std::string::npos || end > nl)
            continue;
        std::string point = unescape_octal(table.substr(pos, end - pos));
        for (const monitor* m = trees; m != nullptr; m = m->next) {
            if (zelu::wire::below(point, m->path) &&
                std::find(found.begin(), found.end(), point) == found.end()) {
                found.push_back(point);
                break;
            }
        }
    }
    return found;
}

std::vector<std::string> mounts_below(const monitor* trees) {
    int fd = open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    std::vector<std::string> found = read_mounts_below(fd, trees);
    close(fd);
    return found;
}
