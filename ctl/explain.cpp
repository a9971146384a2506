// explain: what zet and the scan service would do with a write to a given path.
#include "ctl/commands.hpp"
#include "ctl/text.hpp"
#include "src/actor.hpp"
#include "src/config.hpp"
#include "src/paths.hpp"
#include "zelu/wire.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace ctl {

bool is_directory(const char* path) {
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
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

Explanation explain_path(const std::string& path, const ::monitor* monitors, const ::monitor* exclusions,
                         const exclusion_rules* rules, const actor_ids* who) {
    Explanation e;
    e.path = path;
    e.canonical = kernel_path(path);
    // zet's own filter asked one monitored path at a time, in list order, to name the first that matches.
    LogCapture quiet;
    for (const ::monitor* m = monitors; m != nullptr; m = m->next) {
        ::monitor one = {m->path, nullptr};
        if (is_monitored(e.canonical.c_str(), &one)) {
            e.monitor = m->path;
            e.prefix_only = !zelu::wire::within(e.canonical, m->path);
            break;
        }
    }
    // zet marks each mount below a tree as well; the deepest one holding the path is the one that sees it.
    if (e.monitor) {
        for (const std::string& m : mounts_below(monitors))
            if (zelu::wire::below(e.canonical, m) && (!e.mount || m.size() > e.mount->size()))
                e.mount = m;
    }
    // zet's own rules come first: what they leave alone never reaches the service.
    if (rules != nullptr)
        e.rule = excluded_by(e.canonical.c_str(), nullptr, *rules, who);
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

namespace {

// The process that --user and --program describe; a part not given matches no rule of its kind.
std::optional<actor_ids> process_of(const Args& args, std::string* error) {
    if (!args.user && !args.program)
        return std::nullopt;
    actor_ids who{static_cast<uid_t>(-1), ""};
    if (args.user && !user_uid(*args.user, &who.uid))
        *error = "unknown user '" + *args.user + "'";
    if (args.program) {
        char* c = realpath(args.program->c_str(), nullptr);
        who.exe = c != nullptr ? c : *args.program;
        free(c);
    }
    return who;
}

} // namespace

int explain(const Args& args) {
    Settings s;
    if (auto status = load_for_command(args, &s))
        return *status;
    std::string error;
    const std::optional<actor_ids> who = process_of(args, &error);
    if (!error.empty()) {
        fprintf(stderr, "zetctl: %s\n", shown(error).c_str());
        return EXIT_USAGE;
    }
    Json json;
    json.begin_array();
    for (const std::string& path : args.operands) {
        Explanation e = explain_path(path, s.config->monitors, s.config->exclusions, &s.config->excluded,
                                     who ? &*who : nullptr);
        if (args.json) {
            json.begin_object().key("path").value(e.path).key("canonical").value(e.canonical);
            json.key("queued").value(e.monitor.has_value()).key("monitor");
            e.monitor ? json.value(*e.monitor) : json.null();
            json.key("prefix_only").value(e.prefix_only);
            if (e.mount)
                json.key("mount").value(*e.mount);
            json.key("skipped").value(e.exclusion.has_value()).key("exclusion");
            e.exclusion ? json.value(*e.exclusion) : json.null();
            json.key("rule");
            e.rule ? json.value(*e.rule) : json.null();
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
        if (e.rule)
            printf("  scanned: no, zet leaves it alone: %s\n", shown(*e.rule).c_str());
        else if (e.exclusion)
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
