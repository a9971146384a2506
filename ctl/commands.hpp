// zetctl's command line and its subcommands; each returns the process's exit status.
#pragma once

#include "ctl/settings.hpp"

#include <sysexits.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct monitor;
struct exclusion_rules;
struct actor_ids;

namespace ctl {

inline constexpr int EXIT_OK = 0;
inline constexpr int EXIT_FAIL = 1;
inline constexpr int EXIT_USAGE = 2;
// scan's own statuses: what the sweep found, then why it could not run (sysexits values, so that they
// cannot be taken for a finding).
inline constexpr int EXIT_INFECTED = 1;               // infected files found, whether or not all were scanned
inline constexpr int EXIT_UNSCANNED = 2;              // nothing infected, but not every file was scanned
inline constexpr int EXIT_NO_PATH = EX_USAGE;         // 64: a PATH that does not exist
inline constexpr int EXIT_NO_DAEMON = EX_UNAVAILABLE; // 69: zet's control socket does not answer
inline constexpr int EXIT_SWEEP_FAILED = EX_SOFTWARE; // 70: zet refused the sweep or the connection broke
inline constexpr int EXIT_REFUSED = EX_NOPERM;        // 77: not root

struct Args {
    std::string command; // "check-config", "explain", ..., "vault"
    std::string action;  // vault: "list", "show", "restore" or "purge"
    std::string config = DEFAULT_CONFIG_FILE;
    bool json = false;
    bool dry_run = false;
    bool no_move = false;               // scan --no-move
    std::optional<std::string> to;      // restore --to
    std::optional<long> timeout;        // selftest --timeout, seconds
    std::optional<long> older_than;     // purge --older-than, days
    std::optional<std::string> output;  // metrics --output FILE
    std::optional<std::string> user;    // explain --user NAME|UID
    std::optional<std::string> program; // explain --program PATH
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
int scan(const Args& args);

// What zet and the scan service would do with a write to one path.
struct Explanation {
    std::string path;                     // as given
    std::string canonical;                // as the daemon would see it after the write
    std::optional<std::string> monitor;   // the first monitored path it starts with
    bool prefix_only = false;             // the match crosses a component boundary (/srv/data, /srv/data2)
    std::optional<std::string> exclusion; // the exclusion that makes the scan service skip it
    bool exclusion_is_tree = false;       // sent with "/*": covers everything below it
    std::optional<std::string> mount;     // the mount below its tree that holds it, watched on its own
    std::optional<std::string> rule;      // zet's own exclusion rule that leaves it alone ("KEY = value")
};

// Whether `path` names a directory (after links): zet's client sends such an exclusion as "DIR/*".
bool is_directory(const char* path);
// The path as the kernel reports it for a written file: canonical, with the last component kept as given
// when the file does not exist yet.
std::string kernel_path(const std::string& path);
// `rules` and `who` (null: not asked) add zet's exclusions by pattern, user and program.
Explanation explain_path(const std::string& path, const ::monitor* monitors, const ::monitor* exclusions,
                         const exclusion_rules* rules = nullptr, const actor_ids* who = nullptr);

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
    // With SCAN_SERVICE: each ICAP server's OPTIONS, in configuration order.
    struct Icap {
        std::string uri;
        bool answers = false;
        std::string istag, detail;
        long preview = -1;
        unsigned max_connections = 0;
    };
    std::vector<Icap> icap;
};
ServiceState service_state(const Settings& s);

// Reads the configuration for a command other than check-config: nothing when it is usable, else the exit
// status after the reader's errors were printed.
std::optional<int> load_for_command(const Args& args, Settings* settings);

// The "name value" lines of zet's metrics state file `path` (lines of another shape skipped); `found`:
// whether it could be read.
std::map<std::string, std::string> read_metrics_state(const std::string& path, bool* found);

// Counts of a sweep as zet reports them: files walked so far, scanned (answered clean or infected), infected
// (at least one finding) and not scanned.
struct SweepCounts {
    std::int64_t walked = 0, scanned = 0, infected = 0, unscanned = 0;
};

// One line zet sends during a sweep, its escapes undone.
struct SweepLine {
    enum class Kind { progress, found, unscanned, done, error, unknown };
    Kind kind = Kind::unknown;
    SweepCounts counts; // progress, done
    bool flag = false;  // progress: the walk is done; done: the sweep was stopped
    std::string path;   // found, unscanned
    std::string vault;  // found: the vault name, empty when the file was not moved
    std::string text;   // found: the finding; unscanned: the reason; error: the message
};
// Reads one line (without its LF). Nothing when a line of a known kind is malformed; a keyword zet may
// add later reads as Kind::unknown, to be skipped.
std::optional<SweepLine> parse_sweep_line(std::string_view line);

enum class SweepOutput { terminal, plain, json };

// What scan prints for the lines of one sweep. Times are seconds since the sweep began, passed in so that
// the text depends on nothing else. On a terminal the status line is redrawn in place at most every
// SWEEP_REDRAW_SECONDS, and once a second for the clock.
class SweepView {
public:
    static constexpr double SWEEP_REDRAW_SECONDS = 0.25;

    // `width`: the terminal's columns, 0 when unknown; the status line is cut to fit, since a wrapped
    // line cannot be rewritten in place.
    explicit SweepView(SweepOutput output, std::size_t width = 0) : output_(output), width_(width) {}
    // The text to write for `line`; DONE gives the summary.
    std::string show(const SweepLine& line, double seconds);
    // The status line when it is due for a redraw; else "".
    std::string tick(double seconds);
    // Seconds from `seconds` until tick() may draw; negative when it never will (not a terminal).
    double next_tick(double seconds) const;
    // The status line, marked as stopping after STOP was sent.
    std::string stopping(double seconds);
    // Ends a status line left on the terminal, for a sweep that ends without a summary.
    std::string abandon();

private:
    std::string status_text(double seconds) const;
    std::string draw(double seconds);

    SweepOutput output_;
    std::size_t width_;
    SweepCounts counts_;
    bool walk_done_ = false;
    bool stopping_ = false;
    bool changed_ = true; // counts changed since the last draw
    double drawn_at_ = -1;
    std::string drawn_; // the status line last drawn, "" before the first or after abandon()
};

// The exit status for a sweep that ended with DONE; a stopped one has left files unscanned.
int sweep_status(const SweepCounts& counts, bool stopped);

// One line per message of the reader, "error: ..." or "warning: ...", continuation lines indented.
void print_messages(FILE* out, const std::vector<Message>& messages);

} // namespace ctl
