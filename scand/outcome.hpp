// What examining one file-system object gave: clean, infected with named findings, or not scanned.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace scand {

struct Outcome {
    enum class Kind {
        Clean,
        Infected,      // `findings` holds every distinct finding, in the engine's order
        Unscannable,   // the object was not scanned (missing, excluded, not a regular file, over limits)
        EngineFailure, // libclamav failed for a reason of its own
    };
    Kind kind = Kind::Clean;
    std::string reason; // Unscannable, EngineFailure: one line of plain text
    std::vector<std::string> findings;
    std::chrono::microseconds took{0};

    static Outcome unscannable(std::string why) { return {Kind::Unscannable, std::move(why), {}, {}}; }
};

} // namespace scand
