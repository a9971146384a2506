// zetctl's command line and its subcommands; each returns the process's exit status.
#pragma once

#include "ctl/settings.hpp"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

struct monitor;

namespace ctl {

inline constexpr int EXIT_OK = 0;
inline constexpr int EXIT_FAIL = 1;
inline constexpr int EXIT_USAGE = 2;

struct Args {
    std::string command; // "check-config", "explain", ..., "vault"
    std::string action;  // vault: "list", "show", "restore" or "purge"
    std::string config = DEFAULT_CONFIG_FILE;
    bool json = false;
    bool dry_run = false;
    std::optional<std::string> to;     // restore --to
    std::optional<long> timeout;       // selftest --timeout, seconds
    std::optional<long> older_than;    // purge --older-than, days
    std::optional<std::string> output; // metrics --output FILE
    std::vector<std::string> operands;
};

// Fills `args` from the command line; an empty result means success, otherwise it is the one-line reason
// for a usage error. Options may stand before or after the operands; "--" ends them.
std::string parse_args(const std::vector<std::string>& argv, Args* args);

int check_config(const Args& args);
int explain(const Args& args);
int status(const Args& args);
int selftest(const Args& args);
int vault(const Args& args);
int metrics(const Args& args);

// What zet and the scan service would do with a write to one path.
struct Explanation {
    std::string path;                     // as given
    std::string canonical;                // as the daemon would see it after the write
    std::optional<std::string> monitor;   // the first monitored path it starts with
    bool prefix_only = false;             // the match crosses a component boundary (/srv/data, /srv/data2)
    std::optional<std::string> exclusion; // the exclusion that makes the scan service skip it
    bool exclusion_is_tree = false;       // sent with "/*": covers everything below it
    std::optional<std::string> mount;     // the mount below its tree that holds it, watched on its own
};

// Whether `path` names a directory (after links): zet's client sends such an exclusion as "DIR/*".
bool is_directory(const char* path);
// The path as the kernel reports it for a written file: canonical, with the last component kept as given
// when the file does not exist yet.
std::string kernel_path(const std::string& path);
Explanation explain_path(const std::string& path, const ::monitor* monitors, const ::monitor* exclusions);

// Whether zet runs: its PID file names a live process called zet.
struct DaemonState {
    bool running = false;
    long pid = 0;
    std::string detail; // why it counts as not running
};
DaemonState daemon_state(const Settings& s);

// Whether the scan service answers, as a worker connects (welcome 220), and its signature version.
struct ServiceState {
    bool answers = false;
    std::uint32_t vps = 0;
    std::string detail; // why it does not answer
};
ServiceState service_state(const Settings& s);

// Reads the configuration for a command other than check-config: nothing when it is usable, else the exit
// status after the reader's errors were printed.
std::optional<int> load_for_command(const Args& args, Settings* settings);

// The "name value" lines of zet's metrics state file `path` (lines of another shape skipped); `found`:
// whether it could be read.
std::map<std::string, std::string> read_metrics_state(const std::string& path, bool* found);

// One line per message of the reader, "error: ..." or "warning: ...", continuation lines indented.
void print_messages(FILE* out, const std::vector<Message>& messages);

} // namespace ctl
