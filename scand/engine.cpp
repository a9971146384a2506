// libclamav set-up and the scan of one open file.
#include "scand/engine.hpp"

#include <clamav.h>
#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

namespace scand {

namespace {

// libclamav reports scans over its limits (size, recursion, files, time) as findings with this prefix
// when CL_SCAN_HEURISTIC_EXCEEDS_MAX is set; they mean "not fully scanned", not "infected".
constexpr std::string_view limits_prefix = "Heuristics.Limits.Exceeded.";

struct Matches {
    std::vector<std::string> names;
    std::string error; // the first error libclamav reported during the scan
    void add(const char* name) {
        // All-match mode reports a signature again for every copy it meets (two infected members of
        // one archive): one finding per name is what the caller can act on.
        if (name != nullptr && *name != '\0' && std::find(names.begin(), names.end(), name) == names.end()) {
            names.emplace_back(name);
        }
    }
};

void on_virus_found(int, const char* name, void* context) {
    static_cast<Matches*>(context)->add(name);
}

// The scan in progress on this thread. libclamav reports some failures only as an error message and
// still returns CL_CLEAN (a temporary directory it cannot create, for example: nothing was scanned), and
// such messages come without the scan's context, so they are matched to the scan by thread.
thread_local Matches* scanning = nullptr;

void on_message(enum cl_msg severity, const char*, const char* msg, void*) {
    std::string_view text = msg != nullptr ? msg : "";
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.remove_suffix(1);
    }
    const int priority = severity == CL_MSG_ERROR  ? LOG_ERR
                         : severity == CL_MSG_WARN ? LOG_WARNING
                                                   : LOG_DEBUG;
    syslog(priority, "libclamav: %.*s", static_cast<int>(text.size()), text.data());
    if (severity == CL_MSG_ERROR && scanning != nullptr && scanning->error.empty()) {
        scanning->error = text;
        std::replace(scanning->error.begin(), scanning->error.end(), '\n', ' ');
    }
}

bool is_read_error(cl_error_t rc) {
    return rc == CL_EOPEN || rc == CL_EREAD || rc == CL_ESEEK || rc == CL_ESTAT || rc == CL_EACCES;
}

bool is_limit_error(cl_error_t rc) {
    return rc == CL_ETIMEOUT || rc == CL_EMAXREC || rc == CL_EMAXSIZE || rc == CL_EMAXFILES;
}

// Files up to this size are read into a buffer of the connection's thread and scanned from there. For
// a file, libclamav maps fresh anonymous memory on every scan and unmaps it afterwards; with several
// threads every unmap and every first write into those pages interrupts the other CPUs to flush their
// TLBs, which on small files costs more than the scanning (2.5x the CPU time for 4 KiB files).
constexpr std::size_t memory_scan_limit = 128 * 1024;

// Reads the file from its start into `buf`, up to `n` bytes: the count, or -1 on a read error.
ssize_t read_start(int fd, char* buf, std::size_t n) {
    std::size_t got = 0;
    while (got < n) {
        const ssize_t r = pread(fd, buf + got, n - got, static_cast<off_t>(got));
        if (r == 0) {
            break;
        }
        if (r < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -1;
        }
        got += static_cast<std::size_t>(r);
    }
    return static_cast<ssize_t>(got);
}

// One byte more than the limit, so that a larger file shows itself.
thread_local std::unique_ptr<char[]> scan_buffer;

std::uint32_t fnv1a(std::uint32_t h, const void* data, std::size_t n) {
    const auto* p = static_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < n; ++i) {
        h = (h ^ p[i]) * 16777619u;
    }
    return h;
}

} // namespace

// libclamav allocates and frees tens of MiB of match state per scan when the database holds many logical
// signatures. With glibc's adaptive thresholds each connection thread's arena gives those pages back after
// every scan and faults them in again on the next (some 700 page faults a file with a full-size database,
// a third of the CPU time of scanning a small file). Fixed thresholds keep them: the arena of each
// connection stays at the largest scan's working set instead.
void keep_scan_memory() {
    constexpr int mmap_threshold = 32 << 20; // glibc's upper bound for this setting on 64-bit systems
    constexpr int trim_threshold = 256 << 20;
    if (mallopt(M_MMAP_THRESHOLD, mmap_threshold) != 1 || mallopt(M_TRIM_THRESHOLD, trim_threshold) != 1) {
        syslog(LOG_WARNING, "mallopt() refused the allocator thresholds; scans fault their memory in anew");
    }
}

Engine::~Engine() {
    if (engine_ != nullptr) {
        cl_engine_free(engine_);
    }
}

bool Engine::initialise() {
    cl_set_clcb_msg(on_message);
    const cl_error_t rc = cl_init(CL_INIT_DEFAULT);
    if (rc != CL_SUCCESS) {
        syslog(LOG_ERR, "cl_init(): %s", cl_strerror(rc));
        return false;
    }
    return true;
}

bool Engine::load(const std::string& dir) {
    const auto start = std::chrono::steady_clock::now();
    engine_ = cl_engine_new();
    if (engine_ == nullptr) {
        syslog(LOG_ERR, "cl_engine_new(): failed");
        return false;
    }
    syslog(LOG_INFO, "Loading databases from '%s'...", dir.c_str());
    cl_error_t rc = cl_load(dir.c_str(), engine_, &signatures_, CL_DB_STDOPT);
    if (rc != CL_SUCCESS) {
        syslog(LOG_ERR, "cl_load(): %s: %s", dir.c_str(), cl_strerror(rc));
        return false;
    }
    if (signatures_ == 0) {
        syslog(LOG_ERR, "No signatures in '%s'", dir.c_str());
        return false;
    }
    rc = cl_engine_compile(engine_);
    if (rc != CL_SUCCESS) {
        syslog(LOG_ERR, "cl_engine_compile(): %s", cl_strerror(rc));
        return false;
    }
    cl_engine_set_clcb_virus_found(engine_, on_virus_found);
    int err = 0;
    version_ = static_cast<std::uint32_t>(cl_engine_get_num(engine_, CL_ENGINE_DB_VERSION, &err));
    if (err != CL_SUCCESS || version_ == 0) {
        version_ = derived_version(dir);
    }
    // Only official (signed) databases record when they were built; other files tell by their time.
    built_ = static_cast<std::time_t>(cl_engine_get_num(engine_, CL_ENGINE_DB_TIME, &err));
    built_from_header_ = err == CL_SUCCESS && built_ > 0;
    if (!built_from_header_) {
        built_ = newest_file_time(dir);
    }
    loaded_at_ = std::time(nullptr);
    load_time_ =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    syslog(LOG_NOTICE, "Loaded %u signatures from '%s', database version %u, in %.3f s.", signatures_,
           dir.c_str(), version_, static_cast<double>(load_time_.count()) / 1000);
    return true;
}

Outcome Engine::scan(int fd, const std::string& path) const {
    cl_scan_options options{};
    options.general = CL_SCAN_GENERAL_ALLMATCHES | CL_SCAN_GENERAL_HEURISTICS;
    options.parse = ~0u;
    options.heuristic = CL_SCAN_HEURISTIC_EXCEEDS_MAX;

    Matches matches;
    const char* virname = nullptr;
    unsigned long scanned = 0;
    const auto start = std::chrono::steady_clock::now();
    scanning = &matches;
    if (!scan_buffer) {
        // Not zero-filled: pages become resident only as large files fill them.
        scan_buffer = std::make_unique_for_overwrite<char[]>(memory_scan_limit + 1);
    }
    // Larger files, and files that fail to read here (libclamav then reports why), are scanned from
    // the descriptor.
    const ssize_t got = read_start(fd, scan_buffer.get(), memory_scan_limit + 1);
    cl_error_t rc;
    if (got >= 0 && static_cast<std::size_t>(got) <= memory_scan_limit) {
        cl_fmap_t* map = cl_fmap_open_memory(scan_buffer.get(), static_cast<std::size_t>(got));
        rc = map == nullptr
                 ? CL_EMEM
                 : cl_scanmap_callback(map, path.c_str(), &virname, &scanned, engine_, &options, &matches);
        if (map != nullptr) {
            cl_fmap_close(map);
        }
    } else {
        rc = cl_scandesc_callback(fd, path.c_str(), &virname, &scanned, engine_, &options, &matches);
    }
    scanning = nullptr;
    Outcome out;
    out.took =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);

    if (rc == CL_VIRUS) {
        matches.add(virname); // the callback has normally seen it already
    } else if (is_read_error(rc)) {
        out.kind = Outcome::Kind::Unscannable;
        out.reason = cl_strerror(rc);
        return out;
    } else if (is_limit_error(rc)) {
        out.kind = Outcome::Kind::Unscannable;
        out.reason = std::string("Exceeds scan limits (") + cl_strerror(rc) + ")";
        return out;
    } else if (rc != CL_CLEAN) {
        out.kind = Outcome::Kind::EngineFailure;
        out.reason = cl_strerror(rc);
        return out;
    }

    std::string limit;
    for (auto& name : matches.names) {
        if (std::string_view(name).substr(0, limits_prefix.size()) == limits_prefix) {
            if (limit.empty()) {
                limit = name.substr(limits_prefix.size());
            }
        } else {
            out.findings.push_back(std::move(name));
        }
    }
    if (!out.findings.empty()) {
        out.kind = Outcome::Kind::Infected; // what was found counts, even if the rest was not scanned
    } else if (!matches.error.empty()) {
        out.kind = Outcome::Kind::EngineFailure;
        out.reason = matches.error;
    } else if (!limit.empty()) {
        out.kind = Outcome::Kind::Unscannable;
        out.reason = "Exceeds scan limits (" + limit + ")";
    }
    return out;
}

std::uint32_t derived_version(const std::string& dir) {
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) {
        return 0;
    }
    std::vector<std::string> names;
    while (const dirent* e = readdir(d)) {
        if (e->d_name[0] != '.') {
            names.emplace_back(e->d_name);
        }
    }
    closedir(d);
    std::sort(names.begin(), names.end());

    std::uint32_t h = 2166136261u;
    char buf[65536];
    for (const auto& name : names) {
        const int fd = open((dir + "/" + name).c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        struct stat st {};
        if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
            h = fnv1a(h, name.c_str(), name.size() + 1);
            ssize_t n;
            while ((n = read(fd, buf, sizeof buf)) > 0) {
                h = fnv1a(h, buf, static_cast<std::size_t>(n));
            }
        }
        close(fd);
    }
    return h == 0 ? 1 : h;
}

std::time_t newest_file_time(const std::string& dir) {
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) {
        return 0;
    }
    std::time_t newest = 0;
    while (const dirent* e = readdir(d)) {
        struct stat st {};
        if (e->d_name[0] != '.' && fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(st.st_mode)) {
            newest = std::max(newest, st.st_mtime);
        }
    }
    closedir(d);
    return newest;
}

} // namespace scand
