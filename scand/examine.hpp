// Examining what a SCAN names: a regular file is scanned, a directory walked, anything else reported.
// Nothing is followed or opened that could block or act: symbolic links are reported, FIFOs, devices
// and sockets are only looked at through O_PATH descriptors.
#pragma once

#include <atomic>
#include <functional>
#include <string>

#include "scand/engine.hpp"
#include "scand/outcome.hpp"
#include "zelu/wire.hpp"

namespace scand {

// Receives every examined object; returning false stops the walk.
using Report = std::function<bool(const std::string& path, const Outcome& outcome)>;

// Directories deeper than this below the named one are reported, not walked.
inline constexpr int max_walk_depth = 64;

// Examines `path` and everything below it, in name order, reporting each object once. Stops early,
// returning false, when `report` does or when `stop` becomes true.
bool examine(const Engine& engine, const zelu::wire::Exclusions& exclusions, const std::string& path,
             const Report& report, const std::atomic<bool>& stop);

} // namespace scand
