// zetctl: the administrator's tool for zet: checks its configuration, explains what it does with a path,
// shows whether it and the scan service work, proves it end to end, has zet scan the files already there,
// manages the vault and exports metrics.
#include "ctl/commands.hpp"
#include "src/facts.hpp"

#include <syslog.h>

#include <cstdio>

namespace {

constexpr const char* USAGE =
    "Usage: zetctl COMMAND [OPTIONS]\n"
    "Commands:\n"
    "  check-config [-c FILE]                       check zet's configuration and show its settings\n"
    "  explain [-c FILE] [--json] [--user USER] [--program PATH] PATH...\n"
    "                                               whether zet scans each PATH (for such a process)\n"
    "  status [-c FILE] [--json]                    zet, the scan service, the vault, recent infections\n"
    "  selftest [-c FILE] [--json] [--timeout SECONDS] [TREE...]\n"
    "                                               write the EICAR test file and time its quarantine\n"
    "  scan [-c FILE] [--json] [--no-move] [PATH...]\n"
    "                                               have zet scan the files already below PATH (default:\n"
    "                                               every monitored tree); --no-move: quarantine none\n"
    "  vault list [-c FILE] [--json]                files in the vault with their origin\n"
    "  vault show [-c FILE] [--json] NAME           one vault file with its SHA-256\n"
    "  vault restore [-c FILE] [--to PATH] NAME     move a vault file back\n"
    "  vault purge [-c FILE] --older-than DAYS [--dry-run]\n"
    "                                               delete vault files quarantined DAYS days ago or more\n"
    "  metrics [-c FILE] [--output FILE]            counts of zet and the scan service for Prometheus\n"
    "  --version                                    zetctl's version\n"
    "The configuration file defaults to /etc/orbis/zet.conf.\n";

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv, argv + argc);
    if (argc == 2 && (args[1] == "-h" || args[1] == "--help" || args[1] == "help")) {
        fputs(USAGE, stdout);
        return ctl::EXIT_OK;
    }
    // The same version as zet -V, so that an administrator can tell which package each came from.
    if (argc == 2 && (args[1] == "--version" || args[1] == "-V")) {
        printf("zetctl %s\n", DAEMON_VERSION);
        return ctl::EXIT_OK;
    }
    ctl::Args parsed;
    std::string error = ctl::parse_args(args, &parsed);
    if (!error.empty()) {
        fprintf(stderr, "zetctl: %s (zetctl -h for usage)\n", error.c_str());
        // scan's 2 means files not scanned, so its usage errors take the number its missing paths do.
        return parsed.command == "scan" ? ctl::EXIT_NO_PATH : ctl::EXIT_USAGE;
    }
    // What the tool changes (restores, purges) is recorded in the system log, under its own name.
    openlog("zetctl", LOG_PID, LOG_DAEMON);

    if (parsed.command == "check-config")
        return ctl::check_config(parsed);
    if (parsed.command == "explain")
        return ctl::explain(parsed);
    if (parsed.command == "status")
        return ctl::status(parsed);
    if (parsed.command == "selftest")
        return ctl::selftest(parsed);
    if (parsed.command == "metrics")
        return ctl::metrics(parsed);
    if (parsed.command == "scan")
        return ctl::scan(parsed);
    return ctl::vault(parsed);
}
