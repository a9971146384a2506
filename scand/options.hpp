// The command line of orbis-scand.
#pragma once

#include <sys/types.h>

#include <string>

namespace scand {

inline constexpr const char* default_socket = "/run/orbis/scan.sock";
inline constexpr mode_t default_mode = 0660;
inline constexpr unsigned default_max_connections = 64;
inline constexpr unsigned max_max_connections = 4096;

struct Options {
    std::string socket = default_socket;
    std::string dbdir; // empty: default_dbdir()
    mode_t mode = default_mode;
    unsigned max_connections = default_max_connections;
    bool quiet = false;
    bool verbose = false;
};

// Parses "s:d:m:n:qvhV" with getopt. Returns -1 to go on, otherwise the exit status: 0 after -h or -V
// (printed on standard output), 1 after a bad option or value (diagnosed on standard error).
int parse_options(int argc, char** argv, Options& options);

// The installed database directory, or the source tree's dist/db when the program runs from the
// build tree it was built in.
std::string default_dbdir();

} // namespace scand
