// Who did it, from procfs, checked against the pidfd so that a reused pid never misnames.
#include "src/actor.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

namespace {

constexpr std::size_t NSS_BUF_SIZE = 16384; // getpwuid_r and getpwnam_r

// Whether the process of `pidfd` still runs (a pidfd turns readable when it exits); without a pidfd the
// pid is taken at its word.
bool still_running(int pidfd) {
    if (pidfd < 0)
        return true;
    pollfd p = {pidfd, POLLIN, 0};
    return poll(&p, 1, 0) == 0;
}

std::string proc(pid_t pid, const char* what) {
    return "/proc/" + std::to_string(pid) + "/" + what;
}

// The whole of a small procfs file; empty when it cannot be read.
std::string slurp(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool read_ids(pid_t pid, actor_ids* out) {
    std::string status = slurp(proc(pid, "status"));
    auto at = status.find("\nUid:");
    unsigned long real = 0, effective = 0;
    if (at == std::string::npos || sscanf(status.c_str() + at + 5, "%lu %lu", &real, &effective) != 2)
        return false;
    out->uid = static_cast<uid_t>(effective);
    char exe[4096];
    ssize_t n = readlink(proc(pid, "exe").c_str(), exe, sizeof exe - 1);
    out->exe.assign(exe, n > 0 ? static_cast<std::size_t>(n) : 0);
    return true;
}

} // namespace

bool actor_ids_of(pid_t pid, int pidfd, actor_ids* out) {
    return pid > 0 && pidfd != PIDFD_GONE && read_ids(pid, out) && still_running(pidfd);
}

std::string actor_unit(const std::string& cgroup) {
    // cgroup v2: "0::/system.slice/smbd.service"; v1 lists one line per hierarchy, the named one first.
    std::string path;
    std::istringstream lines(cgroup);
    for (std::string line; std::getline(lines, line);) {
        auto colon = line.find(':', line.find(':') + 1);
        if (colon == std::string::npos)
            continue;
        path = line.substr(colon + 1);
        if (line.compare(0, 3, "0::") == 0)
            break;
    }
    std::string unit;
    std::size_t start = 0;
    while (start < path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        std::string part = path.substr(start, end - start);
        auto ends = [&](const char* s) {
            return part.size() > strlen(s) && part.compare(part.size() - strlen(s), strlen(s), s) == 0;
        };
        if (ends(".service") || ends(".scope"))
            unit = part;
        start = end + 1;
    }
    if (unit.empty() && path != "/")
        unit = path;
    return unit;
}

actor actor_describe(const process_ref& by) {
    actor a;
    a.pid = by.pid;
    actor_ids ids;
    if (by.pid <= 0 || by.pidfd == PIDFD_GONE || !read_ids(by.pid, &ids))
        return a;
    std::string unit = actor_unit(slurp(proc(by.pid, "cgroup")));
    if (!still_running(by.pidfd))
        return a;
    a.known = true;
    a.uid = ids.uid;
    a.exe = ids.exe;
    a.unit = unit;
    a.user = std::to_string(a.uid);
    return a;
}

void actor_name_user(actor& a) {
    if (a.known)
        a.user = user_name(a.uid);
}

std::string user_name(uid_t uid) {
    std::vector<char> buf(NSS_BUF_SIZE);
    passwd pw, *found = nullptr;
    if (getpwuid_r(uid, &pw, buf.data(), buf.size(), &found) == 0 && found != nullptr)
        return pw.pw_name;
    return std::to_string(uid);
}

bool user_uid(const std::string& text, uid_t* uid) {
    std::vector<char> buf(NSS_BUF_SIZE);
    passwd pw, *found = nullptr;
    if (getpwnam_r(text.c_str(), &pw, buf.data(), buf.size(), &found) == 0 && found != nullptr) {
        *uid = found->pw_uid;
        return true;
    }
    char* end = nullptr;
    errno = 0;
    unsigned long n = text.empty() ? 0 : strtoul(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || text[0] == '-' || n >= static_cast<uid_t>(-1))
        return false;
    *uid = static_cast<uid_t>(n);
    return true;
}

std::string actor_text(const actor& a) {
    if (!a.known)
        return a.pid > 0 ? "unknown (exited)" : "unknown";
    std::string text = "pid " + std::to_string(a.pid) + ", uid " + std::to_string(a.uid) + " (" + a.user +
                       "), " + (a.exe.empty() ? "?" : a.exe);
    if (!a.unit.empty())
        text += ", unit " + a.unit;
    return text;
}
