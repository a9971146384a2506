// Reading the configuration file into Config (the global keys through their table), and the two path
// lists.
#include "src/config.hpp"

#include "src/actor.hpp"

#include "src/config_keys.hpp"
#include "zelu/ini_parser.hpp"

#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr const char* UNIT = "src/config";

void free_list(monitor* list) {
    while (list != nullptr) {
        monitor* next = list->next;
        free(list->path);
        free(list);
        list = next;
    }
}

// Whether every tree may have its opens held: one on the root file system would hold every open of the
// system on zet, its own start included. Each refused tree is named; a tree that does not exist is left to
// the marks, which fail for it.
bool blockable(const char* file, const monitor* trees) {
    struct stat root, tree;
    if (stat("/", &root) != 0)
        return true;
    bool ok = true;
    for (const monitor* m = trees; m != nullptr; m = m->next) {
        if (stat(m->path, &tree) == 0 && tree.st_dev == root.st_dev) {
            syslog(LOG_ERR,
                   "%s: ON_OPEN = block refused for '%s': it lies on the root file system, where every open "
                   "of the system would wait for zet",
                   file, m->path);
            ok = false;
        }
    }
    return ok;
}

// "FILE:LINE:COLUMN" of the value of the first line `key = value` in `section` of `file` (the parser
// reports no positions for values it accepted), or "FILE" when it cannot be found again.
std::string position(const char* file, const std::string& section, const std::string& key,
                     const std::string& value) {
    std::ifstream in(file);
    std::string line, current;
    for (int number = 1; std::getline(in, line); number++) {
        std::size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos)
            continue;
        if (line[start] == '[') {
            std::size_t end = line.find(']', start);
            current = line.substr(start + 1, end == std::string::npos ? 0 : end - start - 1);
            continue;
        }
        std::size_t eq = line.find('=', start);
        if (current != section || eq == std::string::npos)
            continue;
        std::size_t key_end = line.find_last_not_of(" \t", eq - 1);
        std::size_t at = value.empty() ? line.find_first_not_of(" \t", eq + 1) : line.find(value, eq + 1);
        if (key_end == std::string::npos || line.substr(start, key_end + 1 - start) != key ||
            at == std::string::npos)
            continue;
        return std::string(file) + ":" + std::to_string(number) + ":" + std::to_string(at + 1);
    }
    return file;
}

// One EXCL_GLOB, EXCL_USER or EXCL_PROGRAM line into `rules`; false after naming the line and column of a
// value that does not resolve.
bool add_exclusion(exclusion_rules& rules, const zelu::ini::Item& item, const char* file) {
    const char* invalid = nullptr;
    if (item.key == "EXCL_GLOB") {
        if (!item.value.empty()) {
            rules.globs.push_back(item.value);
            return true;
        }
        invalid = "invalid pattern, expected a shell pattern";
    } else if (item.key == "EXCL_USER") {
        uid_t uid;
        if (user_uid(item.value, &uid)) {
            rules.users.push_back({uid, item.value});
            return true;
        }
        invalid = "unknown user, expected a user name or uid";
    } else {
        char* canonical =
            item.value.empty() || item.value[0] != '/' ? nullptr : realpath(item.value.c_str(), nullptr);
        struct stat st;
        if (canonical != nullptr && stat(canonical, &st) == 0 && S_ISREG(st.st_mode)) {
            rules.programs.emplace_back(canonical);
            free(canonical);
            return true;
        }
        free(canonical);
        invalid = "invalid program, expected the absolute path of an executable";
    }
    syslog(LOG_ERR, "%s: %s: %s = %s", position(file, item.section, item.key, item.value).c_str(), invalid,
           item.key.c_str(), item.value.c_str());
    return false;
}

} // namespace

Config::~Config() {
    free_list(monitors);
    free_list(exclusions);
}

bool add_monitor(monitor** list, const std::string& path) {
    if (path.empty())
        return false;
    // Compared with the stored (canonical) texts as written: a path spelled another way is stored again.
    for (const monitor* m = *list; m != nullptr; m = m->next)
        if (path == m->path)
            return true;

    auto* node = static_cast<monitor*>(malloc(sizeof(monitor)));
    if (node == nullptr) {
        syslog(LOG_ERR, "%s:%u: malloc(): %m", UNIT, __LINE__);
        return false;
    }
    node->path = realpath(path.c_str(), nullptr);
    if (node->path == nullptr) {
        if (errno != ENOENT) {
            syslog(LOG_ERR, "realpath(): %s: %m", path.c_str());
            free(node);
            return false;
        }
        // A tree that does not exist yet may still be configured; it is kept as written.
        syslog(LOG_WARNING, "config: %s: %m", path.c_str());
        node->path = strdup(path.c_str());
        if (node->path == nullptr) {
            syslog(LOG_ERR, "%s:%u: malloc(): %m", UNIT, __LINE__);
            free(node);
            return false;
        }
    }
    node->next = *list;
    *list = node;
    return true;
}

bool Config::read_from_file(const char* file) {
    if (file != nullptr) {
        bool ok = true;
        const zelu::ini::ItemCallback on_item = [this, file, &ok](const zelu::ini::Item& item) {
            if (!item.section.empty()) {
                if (item.section == "MONITORS" && item.key == "SCAN") {
                    if (!add_monitor(&monitors, item.value))
                        ok = false;
                } else if (item.section == "MONITORS" && item.key == "EXCL") {
                    if (!add_monitor(&exclusions, item.value))
                        ok = false;
                } else if (item.section == "MONITORS" &&
                           (item.key == "EXCL_GLOB" || item.key == "EXCL_USER" ||
                            item.key == "EXCL_PROGRAM")) {
                    if (!add_exclusion(excluded, item, file))
                        ok = false;
                } else {
                    syslog(LOG_WARNING, "%s: %s: unknown/obsolete configuration option", item.section.c_str(),
                           item.key.c_str());
                }
            } else if (const config_key* key = config_key_named(item.key)) {
                if (!config_key_read(*this, *key, item, file))
                    ok = false;
            } else {
                syslog(LOG_WARNING, "%s: %s: unknown/obsolete configuration option", item.section.c_str(),
                       item.key.c_str());
            }
        };
        // A report makes parse_file return false, so the callback need not touch `ok`.
        const zelu::ini::ErrorCallback on_error = [file](zelu::ini::ErrorCode code, std::string message,
                                                         std::string context) {
            if (code == zelu::ini::ErrorCode::ReadError)
                syslog(LOG_ERR, "%s: error reading configuration file", file);
            else
                syslog(LOG_ERR, "%s\n%s", message.c_str(), context.c_str());
        };
        if (!zelu::ini::parse_file(file, on_item, on_error, 0) || !ok)
            return false;
        if (on_open == ON_OPEN_BLOCK && !blockable(file, monitors))
            return false;
        std::string bad;
        if (!scan_service.empty() && !icap_parse(scan_service, &icap_servers, &bad)) {
            syslog(LOG_ERR,
                   "%s: invalid scan service, expected icap://HOST[:PORT]/SERVICE: SCAN_SERVICE = %s",
                   position(file, "", "SCAN_SERVICE", scan_service).c_str(),
                   bad.empty() ? scan_service.c_str() : bad.c_str());
            return false;
        }
    }

    struct stat st;
    if (stat(vault.c_str(), &st) != 0) {
        if (mkdir(vault.c_str(), 0700) != 0)
            syslog(LOG_ERR, "mkdir(): %s: %m", vault.c_str());
    } else if (!S_ISDIR(st.st_mode)) {
        // Reported, not fatal: every move into it then fails and is logged with "ERROR", files stay put.
        syslog(LOG_ERR, "%s: Not a directory", vault.c_str());
    }

    char* canonical = realpath(vault.c_str(), nullptr);
    if (canonical == nullptr)
        return false;
    // The trees' byte-prefix rule: "/sr" also excludes "/srv/vault", which costs nothing.
    if (path_under(canonical, monitors))
        (void)add_monitor(&exclusions, canonical);
    excluded.own.emplace_back(canonical);
    free(canonical);
    for (const std::string* own : {&log_file, &json_log, &run_dir}) {
        if (own->empty())
            continue;
        char* path = realpath(own->c_str(), nullptr);
        excluded.own.emplace_back(path != nullptr ? path : *own);
        free(path);
    }
    return true;
}
