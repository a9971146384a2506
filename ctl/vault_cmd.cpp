// zetctl vault: list, show, restore and purge the quarantined files.
#include "ctl/commands.hpp"
#include "ctl/text.hpp"
#include "ctl/vault.hpp"
#include "src/actor.hpp"
#include "src/facts.hpp"
#include "src/text.hpp"
#include "src/vault_record.hpp"

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
    std::vector<VaultFile> files = list_vault(s.vault(), log.entries, error);
    for (const VaultFile& f : files)
        if (!f.record_error.empty())
            fprintf(stderr, "zetctl: warning: %s\n", shown(f.record_error).c_str());
    return files;
}

std::string octal(mode_t mode) {
    char text[sizeof "07777"];
    snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode));
    return text;
}

std::string time_text(std::int64_t when) {
    return local_time(when).value_or("");
}

std::string from_text(const VaultFile& f) {
    if (!f.original.empty())
        return shown(f.original);
    if (f.record && f.record->cut)
        return shown(f.record->path) + "... (cut: the whole path did not fit the record)";
    return "(unknown: no infection-log line)";
}

std::string owner_text(const std::string& name, unsigned id) {
    return shown(name) + "(" + std::to_string(id) + ")";
}

// The record's facts that the vault file itself no longer tells, one line each after `indent`.
void print_record(const vault_record& r, const char* indent) {
    printf("%sowner:    %s\n", indent, owner_text(r.user, r.uid).c_str());
    printf("%sgroup:    %s\n", indent, owner_text(r.group, r.gid).c_str());
    printf("%smode:     %s\n", indent, octal(r.mode).c_str());
    printf("%smtime:    %s\n", indent, time_text(r.mtime.tv_sec).c_str());
    printf("%sdatabase: %s\n", indent, r.vps != 0 ? std::to_string(r.vps).c_str() : "unknown");
    printf("%swriter:   %s\n", indent, shown(actor_text(r.writer)).c_str());
}

void json_record(Json& json, const vault_record& r) {
    json.key("record").begin_object().key("path").value(r.path).key("cut").value(r.cut);
    json.key("uid").value(std::int64_t{r.uid}).key("user").value(r.user);
    json.key("gid").value(std::int64_t{r.gid}).key("group").value(r.group).key("mode").value(octal(r.mode));
    json.key("atime").value(time_text(r.atime.tv_sec)).key("mtime").value(time_text(r.mtime.tv_sec));
    json.key("size").value(r.size).key("sha256").value(r.sha256).key("findings").begin_array();
    for (const std::string& finding : r.findings)
        json.value(finding);
    json.end_array().key("vps");
    r.vps != 0 ? json.value(std::int64_t{r.vps}) : json.null();
    json.key("quarantined").value(time_text(r.quarantined)).key("writer").begin_object();
    json.key("known").value(r.writer.known);
    if (r.writer.known)
        json.key("pid")
            .value(std::int64_t{r.writer.pid})
            .key("uid")
            .value(std::int64_t{r.writer.uid})
            .key("user")
            .value(r.writer.user)
            .key("exe")
            .value(r.writer.exe)
            .key("unit")
            .value(r.writer.unit);
    json.end_object().end_object();
}

void json_file(Json& json, const VaultFile& f) {
    json.begin_object().key("name").value(f.name).key("original");
    f.original.empty() ? json.null() : json.value(f.original);
    json.key("time").value(f.time.empty() ? local_time(f.quarantined).value_or("") : f.time);
    json.key("findings").begin_array();
    for (const std::string& finding : f.findings)
        json.value(finding);
    json.end_array().key("size").value(f.size);
    if (f.record)
        json_record(json, *f.record);
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
        printf("  from:     %s\n", from_text(f).c_str());
        printf("  time:     %s\n",
               (f.time.empty() ? local_time(f.quarantined).value_or("") : f.time).c_str());
        printf("  findings: %s\n", f.findings.empty() ? "-" : shown(joined(f.findings)).c_str());
        printf("  size:     %lld bytes\n", static_cast<long long>(f.size));
        if (f.record) {
            printf("  sha256:   %s\n", shown(f.record->sha256).c_str());
            print_record(*f.record, "  ");
        }
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
    printf("from:     %s\n", from_text(*f).c_str());
    printf("time:     %s\n", (f->time.empty() ? local_time(f->quarantined).value_or("") : f->time).c_str());
    printf("findings: %s\n", f->findings.empty() ? "-" : shown(joined(f->findings)).c_str());
    printf("size:     %lld bytes\n", static_cast<long long>(f->size));
    printf("sha256:   %s\n", digest->c_str());
    if (f->record) {
        if (f->record->sha256 != *digest)
            printf("recorded: %s (the vault file changed since its quarantine)\n",
                   shown(f->record->sha256).c_str());
        print_record(*f->record, "");
    }
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
    const vault_record* record = f->record ? &*f->record : nullptr;
    RestoreResult r = restore_file(s.vault(), name, target, record);
    if (!r.ok) {
        fprintf(stderr, "zetctl: %s\n", shown(r.error).c_str());
        return EXIT_FAIL;
    }
    syslog(LOG_NOTICE, "Restored '%s' from the vault '%s' to '%s' (%s).", name.c_str(), s.vault().c_str(),
           target.c_str(), r.how.c_str());
    printf("restored %s to %s (%s)\n", shown(name).c_str(), shown(target).c_str(), r.how.c_str());
    if (record != nullptr && r.not_restored.empty())
        printf("put back: owner %s, group %s, mode %s, mtime %s\n",
               owner_text(record->user, record->uid).c_str(), owner_text(record->group, record->gid).c_str(),
               octal(record->mode).c_str(), time_text(record->mtime.tv_sec).c_str());
    for (const std::string& missed : r.not_restored)
        fprintf(stderr, "zetctl: warning: %s\n", shown(missed).c_str());
    Explanation e = explain_path(target, s.config->monitors, s.config->exclusions);
    if (e.monitor && !e.exclusion)
        printf("note: %s lies under the monitored path %s; zet scans it again %s\n", shown(target).c_str(),
               shown(*e.monitor).c_str(),
               r.how == "copied" ? "now, since the copy was a write" : "when it is next written");
    // Restored, but not as it was: a script must not take it for done.
    return r.not_restored.empty() ? EXIT_OK : EXIT_FAIL;
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
