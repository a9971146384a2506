// The libclamav engine: one set of databases, loaded and compiled once, then shared read-only by every
// connection thread until a newer one replaces it.
#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <string>

#include "scand/outcome.hpp"

struct cl_engine;

namespace scand {

class Engine {
public:
    Engine() = default;
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // cl_init() once per process, before the first load(); false after logging why.
    static bool initialise();

    // Loads every database in `dir` and compiles the engine; false after logging why. Call once; safe
    // on any thread, also while other engines scan.
    bool load(const std::string& dir);
    unsigned signatures() const { return signatures_; }
    // The version of the loaded official databases, or, when they carry none, a number derived from
    // the names and contents of the files in the directory (stable while they stay the same).
    std::uint32_t version() const { return version_; }
    // When the databases were built: the time recorded in the official database headers
    // (built_from_header()), else the newest modification time of a file in the directory; 0 unknown.
    std::time_t built() const { return built_; }
    bool built_from_header() const { return built_from_header_; }
    // When load() finished (wall clock), and how long it took.
    std::time_t loaded_at() const { return loaded_at_; }
    std::chrono::milliseconds load_time() const { return load_time_; }

    // Scans the open regular file `fd` (`path` only names it) with every match collected, archives
    // included. Over-limit files come back Unscannable, never Clean.
    Outcome scan(int fd, const std::string& path) const;

private:
    cl_engine* engine_ = nullptr;
    unsigned signatures_ = 0;
    std::uint32_t version_ = 0;
    std::time_t built_ = 0;
    bool built_from_header_ = false;
    std::time_t loaded_at_ = 0;
    std::chrono::milliseconds load_time_{0};
};

// Sets the allocator to keep libclamav's per-scan memory between scans; once, before threads start.
void keep_scan_memory();

// The number that version() falls back to for `dir`; 0 when the directory cannot be read.
std::uint32_t derived_version(const std::string& dir);
// The newest modification time of a regular file directly in `dir`; 0 when there is none.
std::time_t newest_file_time(const std::string& dir);

} // namespace scand
