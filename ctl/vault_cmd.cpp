// zetctl vault: list, show, restore and purge the quarantined files.
#include "ctl/commands.hpp"
#include "ctl/text.hpp"
#include "ctl/vault.hpp"
#include "src/facts.hpp"
#include "src/text.hpp"

#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace ctl {

namespace {

constexpr std::int64_t SECONDS_PER_DAY = 86400;

std::string joined(const std::vector<std::string>& items) {
    std::string out;
    for (const std::string& i : items)
        out += (out.empty() ? "" : ", ") + i;
    return out;
}

// The vault's files with their log lines; a log that cannot be read only costs the original paths.
std::vector<VaultFile> load_vault(const Settings& s, std::string* error) {
    LogContents log = read_log(s.log_file());
    if (!log.error.empty())
        fprintf(stderr, "zetctl: warning: infection log %s: original paths are unknown\n",
                shown(log.error).c_str());
    else if (log.bad_lines > 0)
        fprintf(stderr, "zetctl: warning: infection log %s: %zu line%s not understood\n",
                shown(s.log_file()).c_str(), log.bad_lines, log.bad_lines == 1 ? "" : "s");
    return list_vault(s.vault(), log.entries, error);
}

void json_file(Json& json, const VaultFile& f) {
    json.begin_object().key("name").value(f.name).key("original");
    f.original.empty() ? json.null() : json.value(f.original);
    json.key("time").value(f.time.empty() ? local_time(f.quarantined).value_or("") : f.time);
    json.key("findings").begin_array();
    for (const std::string& finding : f.findings)
        json.value(finding);
    json.end_array().key("size").value(f.size);
}

int list(const Settings& s, const Args& args) {
    std::string error;
    std::vector<VaultFile> files = load_vault(s, &error);
    if (!error.empty()) {
        fprintf(stderr, "zetctl: cannot read the vault: %s\n", shown(error).c_str());
        return EXIT_FAIL;
    }
    if (args.json) {
        Json json;
        json.begin_object().key("vault").value(s.vault()).key("files").begin_array();
        for (const VaultFile& f : files) {
            json_file(json, f);
            json.end_object();
        }
        json.end_array().end_object();
        fputs(json.str().c_str(), stdout);
        return EXIT_OK;
    }
    if (files.empty()) {
        printf("The vault %s is empty.\n", shown(s.vault()).c_str());
        return EXIT_OK;
    }
    for (const VaultFile& f : files) {
        printf("%s\n", shown(f.name).c_str());
        printf("  from:     %s\n",
               f.original.empty() ? "(unknown: no infection-log line)" : shown(f.original).c_str());
        printf("  time:     %s\n",
               (f.time.empty() ? local_time(f.quarantined).value_or("") : f.time).c_str());
        printf("  findings: %s\n", f.findings.empty() ? "-" : shown(joined(f.findings)).c_str());
        printf("  size:     %lld bytes\n", static_cast<long long>(f.size));
    }
    printf("%zu file%s in %s\n", files.size(), files.size() == 1 ? "" : "s", shown(s.vault()).c_str());
    return EXIT_OK;
}

const VaultFile* find(const std::vector<VaultFile>& files, const std::string& name) {
    for (const VaultFile& f : files)
        if (f.name == name)
            return &f;
    return nullptr;
}

// The vault file `name` from `files` (loaded into it), or null after saying on stderr why there is none.
const VaultFile* find_or_report(const Settings& s, const std::string& name, std::vector<VaultFile>& files) {
    std::string error;
    files = load_vault(s, &error);
    const VaultFile* f = error.empty() ? find(files, name) : nullptr;
    if (f == nullptr)
        fprintf(stderr, "zetctl: %s\n",
                shown(error.empty() ? "no file '" + name + "' in the vault " + s.vault() : error).c_str());
    return f;
}

int show(const Settings& s, const Args& args) {
    const std::string& name = args.operands[0];
    std::vector<VaultFile> files;
    const VaultFile* f = find_or_report(s, name, files);
    if (f == nullptr)
        return EXIT_FAIL;
    std::string error;
    auto digest = vault_sha256(s.vault(), name, &error);
    if (!digest) {
        fprintf(stderr, "zetctl: %s\n", shown(error).c_str());
        return EXIT_FAIL;
    }
    if (args.json) {
        Json json;
        json_file(json, *f);
        json.key("path").value(s.vault() + "/" + f->name).key("sha256").value(*digest).end_object();
        fputs(json.str().c_str(), stdout);
        return EXIT_OK;
    }
    printf("name:     %s\n", shown(f->name).c_str());
    printf("path:     %s\n", shown(s.vault() + "/" + f->name).c_str());
    printf("from:     %s\n",
           f->original.empty() ? "(unknown: no infection-log line)" : shown(f->original).c_str());
    printf("time:     %s\n", (f->time.empty() ? local_time(f->quarantined).value_or("") : f->time).c_str());
    printf("findings: %s\n", f->findings.empty() ? "-" : shown(joined(f->findings)).c_str());
    printf("size:     %lld bytes\n", static_cast<long long>(f->size));
    printf("sha256:   %s\n", digest->c_str());
    return EXIT_OK;
}

int restore(const Settings& s, const Args& args) {
    const std::string& name = args.operands[0];
    std::vector<VaultFile> files;
    const VaultFile* f = find_or_report(s, name, files);
    if (f == nullptr)
        return EXIT_FAIL;
    std::string target = args.to ? *args.to : f->original;
    if (target.empty()) {
        fprintf(stderr, "zetctl: no infection-log line names the origin of %s; give --to PATH\n",
                shown(name).c_str());
        return EXIT_FAIL;
    }
    if (target.front() != '/') {
        char* cwd = getcwd(nullptr, 0);
        target = std::string(cwd != nullptr ? cwd : "") + "/" + target;
        free(cwd);
    }
    RestoreResult r = restore_file(s.vault(), name, target);
    if (!r.ok) {
        fprintf(stderr, "zetctl: %s\n", shown(r.error).c_str());
        return EXIT_FAIL;
    }
    syslog(LOG_NOTICE, "Restored '%s' from the vault '%s' to '%s' (%s).", name.c_str(), s.vault().c_str(),
           target.c_str(), r.how.c_str());
    printf("restored %s to %s (%s)\n", shown(name).c_str(), shown(target).c_str(), r.how.c_str());
    Explanation e = explain_path(target, s.config->monitors, s.config->exclusions);
    if (e.monitor && !e.exclusion)
        printf("note: %s lies under the monitored path %s; zet scans it again %s\n", shown(target).c_str(),
               shown(*e.monitor).c_str(),
               r.how == "copied" ? "now, since the copy was a write" : "when it is next written");
    return EXIT_OK;
}

int purge(const Settings& s, const Args& args) {
    std::string error;
    std::vector<VaultFile> files = load_vault(s, &error);
    if (!error.empty()) {
        fprintf(stderr, "zetctl: cannot read the vault: %s\n", shown(error).c_str());
        return EXIT_FAIL;
    }
    std::int64_t cutoff = static_cast<std::int64_t>(time(nullptr)) - *args.older_than * SECONDS_PER_DAY;
    std::size_t chosen = 0, failed = 0;
    for (const VaultFile& f : files) {
        if (f.quarantined > cutoff)
            continue;
        chosen++;
        std::string when = f.time.empty() ? local_time(f.quarantined).value_or("") : f.time;
        if (args.dry_run) {
            printf("would delete %s (%s, %lld bytes)\n", shown(f.name).c_str(), when.c_str(),
                   static_cast<long long>(f.size));
            continue;
        }
        if (!remove_vault_file(s.vault(), f.name, &error)) {
            fprintf(stderr, "zetctl: %s\n", shown(error).c_str());
            failed++;
            continue;
        }
        syslog(LOG_NOTICE, "Purged '%s' from the vault '%s' (quarantined %s).", f.name.c_str(),
               s.vault().c_str(), when.c_str());
        printf("deleted %s (%s, %lld bytes)\n", shown(f.name).c_str(), when.c_str(),
               static_cast<long long>(f.size));
    }
    printf("%zu file%s %s%s\n", chosen - failed, chosen - failed == 1 ? "" : "s",
           args.dry_run ? "would be deleted" : "deleted",
           failed > 0 ? (", " + std::to_string(failed) + " could not be").c_str() : "");
    return failed > 0 ? EXIT_FAIL : EXIT_OK;
}

} // namespace

int vault(const Args& args) {
    Settings s;
    if (auto status = load_for_command(args, &s))
        return *status;
    if (args.action == "list")
        return list(s, args);
    if (args.action == "show")
        return show(s, args);
    if (args.action == "restore")
        return restore(s, args);
    return purge(s, args);
}

} // namespace ctl
