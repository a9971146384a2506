// Reading the configuration file into Config (the global keys through their table), and the two path
// lists.
#include "src/config.hpp"

#include "src/config_keys.hpp"
#include "zelu/ini_parser.hpp"

#include <sys/stat.h>
#include <syslog.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

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
    free(canonical);
    return true;
}
