// The command line of orbis-scand.
#pragma once

#include <sys/types.h>

#include <string>

namespace scand {

inline constexpr const char* default_socket = "/run/orbis/scan.sock";
inline constexpr mode_t default_mode = 0660;
inline constexpr unsigned default_max_connections = 64;
inline constexpr unsigned max_max_connections = 4096;
// A changed database directory is seen at the next look and loaded one look later, once it has stayed
// the same: within 40 s by default. 0 looks never (reloads only on SIGHUP).
inline constexpr unsigned default_check_interval = 20;
inline constexpr unsigned max_check_interval = 86400;

struct Options {
    std::string socket = default_socket;
    std::string dbdir; // empty: default_dbdir()
    mode_t mode = default_mode;
    unsigned max_connections = default_max_connections;
    unsigned check_interval = default_check_interval; // seconds
    bool quiet = false;
    bool verbose = false;
};

// Parses "s:d:m:n:i:qvhV" with getopt. Returns -1 to go on, otherwise the exit status: 0 after -h or -V
// (printed on standard output), 1 after a bad option or value (diagnosed on standard error).
int parse_options(int argc, char** argv, Options& options);

// The installed database directory, or the source tree's dist/db when the program runs from the
// build tree it was built in.
std::string default_dbdir();

} // namespace scand
