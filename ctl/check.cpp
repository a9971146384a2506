// check-config: what zet makes of its configuration, and whether it would start with it.
#include "ctl/commands.hpp"
#include "ctl/text.hpp"
#include "src/av.hpp"
#include "src/config.hpp"
#include "src/config_keys.hpp"
#include "zelu/wire.hpp"

#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace ctl {

namespace {

const char* severity(int priority) {
    if (priority <= LOG_ERR)
        return "error";
    if (priority == LOG_WARNING)
        return "warning";
    return "note";
}

// A problem that stops zet after its reader has accepted the file, with zet's exit status 1.
struct StartupProblem {
    std::string text;
};

// zet's start-up after the reader, step by step: the run directory, the client, the marks.
std::vector<StartupProblem> startup_problems(const Settings& s) {
    std::vector<StartupProblem> out;
    const Config& c = *s.config;
    struct stat st;
    if (stat(c.run_dir.c_str(), &st) != 0)
        out.push_back({"run directory " + c.run_dir + ": " + strerror(errno) + " (zet does not create it)"});
    else if (!S_ISDIR(st.st_mode))
        out.push_back({"run directory " + c.run_dir + ": Not a directory"});
    {
        LogCapture capture;
        sockaddr_un addr;
        if (av_address(s.socket().c_str(), &addr) < 0)
            for (const Message& m : capture.take())
                out.push_back({m.text});
    }
    for (const monitor* m = c.monitors; m != nullptr; m = m->next)
        if (stat(m->path, &st) != 0)
            out.push_back({std::string("monitored path ") + m->path + ": " + strerror(errno) +
                           " (zet cannot mark its mount)"});
    return out;
}

// What can be told of a pattern without a file system: that it can never match what zet sees (a relative
// pattern, or one whose fixed start lies under no tree), or that it leaves a whole tree unscanned.
void pattern_notes(const Config& c, std::vector<std::string>& notes) {
    for (const std::string& g : c.excluded.globs) {
        if (g.front() != '/' && g.rfind("**", 0) != 0) {
            notes.push_back("EXCL_GLOB = " + g + " can never match: zet matches whole absolute paths");
            continue;
        }
        const std::string fixed = g.substr(0, g.find_first_of("*?[\\"));
        bool reaches = false;
        for (const monitor* m = c.monitors; m != nullptr && !reaches; m = m->next)
            reaches = zelu::wire::within(m->path, fixed.substr(0, fixed.find_last_of('/') + 1)) ||
                      strncmp(fixed.c_str(), m->path, strlen(m->path)) == 0 || fixed.empty() ||
                      std::string(m->path).rfind(fixed, 0) == 0;
        if (!reaches && c.monitors != nullptr) {
            notes.push_back("EXCL_GLOB = " + g + " can never match: it names no path under a monitored tree");
            continue;
        }
        for (const monitor* m = c.monitors; m != nullptr; m = m->next)
            if (glob_match(g, std::string(m->path) + "/zetctl-probe") &&
                glob_match(g, std::string(m->path) + "/zetctl/probe.bin"))
                notes.push_back("EXCL_GLOB = " + g + " excludes every file of the monitored tree " + m->path);
    }
}

} // namespace

void print_messages(FILE* out, const std::vector<Message>& messages) {
    for (const Message& m : messages) {
        std::string text = m.text;
        for (auto nl = text.find('\n'); nl != std::string::npos && nl + 1 < text.size();
             nl = text.find('\n', nl + 3))
            text.replace(nl, 1, "\n    ");
        while (!text.empty() && text.back() == '\n')
            text.pop_back();
        fprintf(out, "%s: %s\n", severity(m.priority), text.c_str());
    }
}

std::optional<int> load_for_command(const Args& args, Settings* settings) {
    *settings = load_settings(args.config);
    if (settings->accepted)
        return std::nullopt;
    std::vector<Message> errors;
    for (const Message& m : settings->messages)
        if (m.priority <= LOG_ERR)
            errors.push_back(m);
    print_messages(stderr, errors);
    fprintf(stderr, "zetctl: %s: zet refuses this configuration (zetctl check-config shows why)\n",
            args.config.c_str());
    return EXIT_CONFIG;
}

int check_config(const Args& args) {
    Settings s = load_settings(args.config);
    std::size_t errors = 0, warnings = 0;
    for (const Message& m : s.messages)
        (m.priority <= LOG_ERR ? errors : warnings)++;

    printf("%s\n", shown(args.config).c_str());
    print_messages(stdout, s.messages);
    if (!s.accepted) {
        printf("%zu error%s, %zu warning%s: zet refuses this configuration (exit status %d)\n", errors,
               errors == 1 ? "" : "s", warnings, warnings == 1 ? "" : "s", EXIT_CONFIG);
        return EXIT_CONFIG;
    }

    std::vector<StartupProblem> problems = startup_problems(s);
    const Config& c = *s.config;
    std::vector<std::string> notes;
    if (c.monitors == nullptr)
        notes.push_back("no SCAN path: zet runs but scans nothing");
    if (!c.vault.empty() && c.vault.front() != '/')
        notes.push_back("VAULT " + c.vault +
                        " is relative: zet creates and excludes it here, but moves files into " + s.vault() +
                        ", below RUN_DIR");
    if (s.vault_missing)
        notes.push_back("vault " + c.vault + " does not exist: zet creates it (mode 0700) when it starts");
    std::string log_dir = s.log_file().substr(0, s.log_file().rfind('/') + 1);
    if (!log_dir.empty() && !is_directory(log_dir.c_str()))
        notes.push_back("infection log " + s.log_file() + ": its directory is missing; zet runs without it");
    if (!c.alert_command.empty() && access(c.alert_command.c_str(), X_OK) != 0)
        notes.push_back("alert command " + c.alert_command + ": " + strerror(errno) +
                        " (zet logs every alert as failed)");
    else if (!c.alert_command.empty() && is_directory(c.alert_command.c_str()))
        notes.push_back("alert command " + c.alert_command +
                        ": Is a directory (zet logs every alert as failed)");
    if (!c.json_log.empty()) {
        std::string json_log = s.in_run_dir(c.json_log);
        std::string dir = json_log.substr(0, json_log.rfind('/') + 1);
        if (!dir.empty() && !is_directory(dir.c_str()))
            notes.push_back("JSON log " + json_log + ": its directory is missing; zet runs without it");
    }
    pattern_notes(c, notes);
    // The farm as zet would find it now: it starts all the same, and a silent server's work goes to the
    // others.
    if (!c.icap_servers.empty())
        for (const ServiceState::Icap& i : service_state(s).icap)
            if (!i.answers)
                notes.push_back("ICAP server " + i.uri + " does not answer OPTIONS: " + i.detail);
    for (const StartupProblem& p : problems)
        printf("error: %s\n", shown(p.text).c_str());
    for (const std::string& n : notes)
        printf("warning: %s\n", shown(n).c_str());

    printf("Settings:\n");
    for (const config_key& key : config_keys())
        if (std::optional<std::string> value = config_key_value(c, key))
            printf("  %s = %s\n", key.name, shown(*value).c_str());
    printf("Monitored trees, in the order zet uses them:\n");
    for (const std::string& p : list_paths(c.monitors))
        printf("  SCAN = %s\n", shown(p).c_str());
    printf("Exclusions, in the order zet sends them:\n");
    for (const monitor* m = c.exclusions; m != nullptr; m = m->next)
        printf("  EXCL = %s%s\n", shown(m->path).c_str(),
               is_directory(m->path) ? " (everything below it)" : "");
    if (!c.excluded.globs.empty() || c.excluded.by_process()) {
        printf("Exclusions zet applies itself, to every event and sweep:\n");
        for (const std::string& g : c.excluded.globs)
            printf("  EXCL_GLOB = %s\n", shown(g).c_str());
        for (const auto& u : c.excluded.users)
            printf("  EXCL_USER = %s (uid %u)\n", shown(u.text).c_str(), static_cast<unsigned>(u.uid));
        for (const std::string& p : c.excluded.programs)
            printf("  EXCL_PROGRAM = %s\n", shown(p).c_str());
    }

    errors += problems.size();
    warnings += notes.size();
    if (!problems.empty()) {
        printf("%zu error%s, %zu warning%s: zet reads this configuration but stops at start-up (exit status "
               "%d)\n",
               errors, errors == 1 ? "" : "s", warnings, warnings == 1 ? "" : "s", EXIT_FAIL);
        return EXIT_FAIL;
    }
    printf("%zu error%s, %zu warning%s: zet starts with this configuration\n", errors, errors == 1 ? "" : "s",
           warnings, warnings == 1 ? "" : "s");
    return EXIT_OK;
}

} // namespace ctl
