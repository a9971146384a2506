// check-config and explain: what zet makes of its configuration, and of a write to a given path.
#include "ctl/commands.hpp"
#include "ctl/text.hpp"
#include "src/av.hpp"
#include "src/config.hpp"
#include "src/metrics.hpp"
#include "src/monitor.hpp"
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
        if (av_init(s.socket().c_str(), nullptr) < 0)
            for (const Message& m : capture.take())
                out.push_back({m.text});
    }
    for (const monitor* m = c.monitors; m != nullptr; m = m->next)
        if (stat(m->path, &st) != 0)
            out.push_back({std::string("monitored path ") + m->path + ": " + strerror(errno) +
                           " (zet cannot mark its mount)"});
    return out;
}

bool is_directory(const char* path) {
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
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
    for (const StartupProblem& p : problems)
        printf("error: %s\n", shown(p.text).c_str());
    for (const std::string& n : notes)
        printf("warning: %s\n", shown(n).c_str());

    printf("Settings:\n");
    printf("  RUN_DIR = %s\n", shown(c.run_dir).c_str());
    printf("  SOCKET = %s\n", shown(c.socket).c_str());
    printf("  LOG_FILE = %s\n", shown(c.log_file).c_str());
    printf("  VAULT = %s\n", shown(c.vault).c_str());
    printf("  SCANNERS = %d\n", c.scanners);
    printf("  UNLIMITED_QUEUE = %s\n", c.unlimited_queue != 0 ? "yes" : "no");
    printf("  COVERAGE = %s\n", c.coverage == COVERAGE_FULL ? "full" : "writes");
    printf("  ALERT_COMMAND = %s\n", c.alert_command.empty() ? "(none)" : shown(c.alert_command).c_str());
    printf("  ALERT_TIMEOUT = %d\n", c.alert_timeout);
    printf("  ALERT_QUEUE = %d\n", c.alert_queue);
    printf("  JSON_LOG = %s\n", c.json_log.empty() ? "(none)" : shown(c.json_log).c_str());
    printf("  SYSLOG_DETECTIONS = %s\n", c.syslog_detections != 0 ? "yes" : "no");
    if (c.metrics != 0)
        printf("  METRICS = yes (%s)\n", shown(s.in_run_dir(METRICS_FILE_NAME)).c_str());
    else
        printf("  METRICS = no\n");
    printf("Monitored trees, in the order zet uses them:\n");
    for (const std::string& p : list_paths(c.monitors))
        printf("  SCAN = %s\n", shown(p).c_str());
    printf("Exclusions, in the order zet sends them:\n");
    for (const monitor* m = c.exclusions; m != nullptr; m = m->next)
        printf("  EXCL = %s%s\n", shown(m->path).c_str(),
               is_directory(m->path) ? " (everything below it)" : "");

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

std::string kernel_path(const std::string& path) {
    if (char* c = realpath(path.c_str(), nullptr)) {
        std::string out = c;
        free(c);
        return out;
    }
    std::string dir = ".", base = path;
    auto slash = path.rfind('/');
    if (slash != std::string::npos) {
        dir = slash == 0 ? "/" : path.substr(0, slash);
        base = path.substr(slash + 1);
    }
    if (char* c = realpath(dir.c_str(), nullptr)) {
        std::string out = c;
        free(c);
        return (out == "/" ? "" : out) + "/" + base;
    }
    if (!path.empty() && path.front() == '/')
        return path;
    char* cwd = getcwd(nullptr, 0);
    std::string out = std::string(cwd != nullptr ? cwd : "") + "/" + path;
    free(cwd);
    return out;
}

Explanation explain_path(const std::string& path, const ::monitor* monitors, const ::monitor* exclusions) {
    Explanation e;
    e.path = path;
    e.canonical = kernel_path(path);
    // zet's own filter asked one monitored path at a time, in list order, to name the first that matches.
    LogCapture quiet;
    for (const ::monitor* m = monitors; m != nullptr; m = m->next) {
        ::monitor one = {m->path, nullptr};
        std::size_t len = strlen(m->path);
        if (is_monitored(e.canonical.c_str(), &one)) {
            e.monitor = m->path;
            e.prefix_only =
                len > 0 && m->path[len - 1] != '/' && e.canonical.size() > len && e.canonical[len] != '/';
            break;
        }
    }
    // zet marks each mount below a tree as well; the deepest one holding the path is the one that sees it.
    if (e.monitor) {
        for (const std::string& m : monitor_mounts_below(monitors))
            if (e.canonical.rfind(m + "/", 0) == 0 && (!e.mount || m.size() > e.mount->size()))
                e.mount = m;
    }
    // The service's own matcher, fed as the client feeds it: a directory as "DIR/*".
    for (const ::monitor* x = exclusions; x != nullptr; x = x->next) {
        zelu::wire::Exclusions one;
        bool tree = is_directory(x->path);
        one.add(tree ? std::string(x->path) + "/*" : std::string(x->path));
        if (one.covers(e.canonical)) {
            e.exclusion = x->path;
            e.exclusion_is_tree = tree;
            break;
        }
    }
    return e;
}

int explain(const Args& args) {
    Settings s;
    if (auto status = load_for_command(args, &s))
        return *status;
    Json json;
    json.begin_array();
    for (const std::string& path : args.operands) {
        Explanation e = explain_path(path, s.config->monitors, s.config->exclusions);
        if (args.json) {
            json.begin_object().key("path").value(e.path).key("canonical").value(e.canonical);
            json.key("queued").value(e.monitor.has_value()).key("monitor");
            e.monitor ? json.value(*e.monitor) : json.null();
            json.key("prefix_only").value(e.prefix_only);
            if (e.mount)
                json.key("mount").value(*e.mount);
            json.key("skipped").value(e.exclusion.has_value()).key("exclusion");
            e.exclusion ? json.value(*e.exclusion) : json.null();
            json.end_object();
            continue;
        }
        printf("%s\n", shown(e.path).c_str());
        if (e.canonical != e.path)
            printf("  seen by zet as %s\n", shown(e.canonical).c_str());
        if (e.monitor)
            printf("  queued: yes, under the monitored path %s%s\n", shown(*e.monitor).c_str(),
                   e.prefix_only ? " (a text prefix only: not a directory above it)" : "");
        else
            printf("  queued: no, under no monitored path\n");
        if (e.mount)
            printf("  on the file system mounted at %s, which zet watches with a mark of its own\n",
                   shown(*e.mount).c_str());
        if (e.exclusion)
            printf("  scanned: no, the scan service skips it: excluded by %s%s\n",
                   shown(*e.exclusion).c_str(), e.exclusion_is_tree ? " (everything below it)" : "");
        else
            printf("  scanned: %s\n", e.monitor ? "yes, no exclusion covers it" : "no exclusion covers it");
    }
    json.end_array();
    if (args.json)
        fputs(json.str().c_str(), stdout);
    return EXIT_OK;
}

} // namespace ctl
