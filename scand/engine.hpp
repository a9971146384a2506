// The libclamav engine: databases loaded and compiled once at start, then shared read-only by every
// connection thread.
#pragma once

#include <cstdint>
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

    // Loads every database in `dir` and compiles the engine; false after logging why. Call once.
    bool load(const std::string& dir);
    unsigned signatures() const { return signatures_; }
    // The version of the loaded official databases, or, when they carry none, a number derived from
    // the names and contents of the files in the directory (stable while they stay the same).
    std::uint32_t version() const { return version_; }

    // Scans the open regular file `fd` (`path` only names it) with every match collected, archives
    // included. Over-limit files come back Unscannable, never Clean.
    Outcome scan(int fd, const std::string& path) const;

private:
    cl_engine* engine_ = nullptr;
    unsigned signatures_ = 0;
    std::uint32_t version_ = 0;
};

// The number that version() falls back to for `dir`; 0 when the directory cannot be read.
std::uint32_t derived_version(const std::string& dir);

} // namespace scand
