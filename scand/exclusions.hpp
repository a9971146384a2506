// The paths one connection has asked to leave out of its scans.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace scand {

// `path` with repeated slashes folded, "." components dropped and no trailing slash ("/" stays "/").
// ".." is kept as it is: without resolving symbolic links it cannot be folded safely.
std::string normalized(std::string_view path);

class Exclusions {
public:
    // Bounds what one connection may make the service remember.
    static constexpr std::size_t max_bytes = 1 << 20;

    // "DIR/*" covers everything below DIR, any other path only itself. False when the limit is reached.
    bool add(std::string_view path);
    // `path` is excluded itself.
    bool covers(std::string_view path) const;
    // Every path below the directory `dir` is excluded.
    bool covers_below(std::string_view dir) const;

private:
    std::vector<std::string> exact_;
    std::vector<std::string> trees_; // normalized directories, each with a trailing slash
    std::size_t bytes_ = 0;
};

} // namespace scand
