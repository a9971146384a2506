// Option parsing and the default database directory of orbis-scand.
#include "scand/options.hpp"

#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace scand {

namespace {

const char usage[] = "Usage: %s [OPTIONS]\n"
                     "Options:\n"
                     "  -s SOCKET   Listen on SOCKET (default /run/orbis/scan.sock)\n"
                     "  -d DBDIR    Load the signature databases in DBDIR\n"
                     "  -m MODE     Permissions of the socket, in octal (default 0660)\n"
                     "  -n MAXCONN  Serve at most MAXCONN connections at once (default 64)\n"
                     "  -i SECONDS  Look for changed databases every SECONDS, 0 never (default 20)\n"
                     "  -q          Do not log to stderr\n"
                     "  -v          Verbose logging (debug level)\n"
                     "  -h          Print this help and exit\n"
                     "  -V          Print program version and exit\n";

bool parse_number(const char* text, int base, unsigned long max, unsigned long& out) {
    if (*text == '\0' || *text == '-' || *text == '+' || *text == ' ') {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long v = std::strtoul(text, &end, base);
    if (errno != 0 || *end != '\0' || v > max) {
        return false;
    }
    out = v;
    return true;
}

} // namespace

int parse_options(int argc, char** argv, Options& options) {
    int opt;
    unsigned long value = 0;
    while ((opt = getopt(argc, argv, "s:d:m:n:i:qvhV")) != -1) {
        switch (opt) {
        case 's':
            options.socket = optarg;
            break;
        case 'd':
            options.dbdir = optarg;
            break;
        case 'm':
            if (!parse_number(optarg, 8, 0777, value)) {
                std::fprintf(stderr, "%s: invalid socket mode: %s\n", argv[0], optarg);
                return 1;
            }
            options.mode = static_cast<mode_t>(value);
            break;
        case 'n':
            if (!parse_number(optarg, 10, max_max_connections, value) || value == 0) {
                std::fprintf(stderr, "%s: invalid connection limit: %s (1 to %u)\n", argv[0], optarg,
                             max_max_connections);
                return 1;
            }
            options.max_connections = static_cast<unsigned>(value);
            break;
        case 'i':
            if (!parse_number(optarg, 10, max_check_interval, value)) {
                std::fprintf(stderr, "%s: invalid check interval: %s (0 to %u seconds)\n", argv[0], optarg,
                             max_check_interval);
                return 1;
            }
            options.check_interval = static_cast<unsigned>(value);
            break;
        case 'q':
            options.quiet = true;
            break;
        case 'v':
            options.verbose = true;
            break;
        case 'h':
            std::printf(usage, argv[0]);
            return 0;
        case 'V':
            std::printf("%s\n", ORBIS_VERSION);
            return 0;
        default:
            std::fprintf(stderr, "Type %s -h for usage info\n", argv[0]);
            return 1;
        }
    }
    if (options.socket.empty()) {
        std::fprintf(stderr, "%s: empty socket path\n", argv[0]);
        return 1;
    }
    return -1;
}

std::string default_dbdir() {
    char exe[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n > 0) {
        exe[n] = '\0';
        char* slash = std::strrchr(exe, '/');
        char build[PATH_MAX];
        if (slash != nullptr && realpath(ORBIS_BUILD_DIR, build) != nullptr) {
            *slash = '\0';
            if (std::strcmp(exe, build) == 0) {
                return ORBIS_SOURCE_DBDIR;
            }
        }
    }
    return ORBIS_DBDIR;
}

} // namespace scand
