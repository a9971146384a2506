// Reading the configuration file into Config, and the two path lists.
#include "src/config.hpp"

#include "zelu/ini_parser.hpp"

#include <sys/stat.h>
#include <syslog.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr const char* UNIT = "src/config";
// The pool needs one worker; beyond this many threads only contend for the one scan service.
constexpr std::int64_t MIN_SCANNERS = 1;
constexpr std::int64_t MAX_SCANNERS = 1024;
constexpr std::int64_t MAX_ALERT_TIMEOUT = 3600;
constexpr std::int64_t MAX_ALERT_QUEUE = 100000;
constexpr std::int64_t MAX_LARGE_FILE_SIZE = std::int64_t{1} << 50;

// "0", or a count of bytes with an optional K, M or G (binary multiples) up to MAX_LARGE_FILE_SIZE.
bool parse_size(const std::string& text, std::int64_t* out) {
    std::size_t digits = 0;
    std::int64_t n = 0;
    for (; digits < text.size() && text[digits] >= '0' && text[digits] <= '9'; digits++) {
        n = n * 10 + (text[digits] - '0');
        if (n > MAX_LARGE_FILE_SIZE)
            return false;
    }
    if (digits == 0 || text.size() > digits + 1)
        return false;
    int shift = 0;
    if (text.size() == digits + 1) {
        switch (text.back()) {
        case 'K':
        case 'k':
            shift = 10;
            break;
        case 'M':
        case 'm':
            shift = 20;
            break;
        case 'G':
        case 'g':
            shift = 30;
            break;
        default:
            return false;
        }
    }
    if (n > (MAX_LARGE_FILE_SIZE >> shift))
        return false;
    *out = n << shift;
    return true;
}

void free_list(monitor* list) {
    while (list != nullptr) {
        monitor* next = list->next;
        free(list->path);
        free(list);
        list = next;
    }
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
            using VT = zelu::ini::Item::ValueType;
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
            } else if (item.key == "RUN_DIR") {
                run_dir = item.value;
            } else if (item.key == "SOCKET") {
                socket = item.value;
            } else if (item.key == "LOG_FILE") {
                log_file = item.value;
            } else if (item.key == "VAULT") {
                vault = item.value;
            } else if (item.key == "SCANNERS") {
                if (item.value_type == VT::Integer && item.number >= MIN_SCANNERS &&
                    item.number <= MAX_SCANNERS) {
                    scanners = static_cast<std::int32_t>(item.number);
                } else {
                    syslog(LOG_ERR, "%s: invalid scanner count, expected an integer from 1 to 1024: %s = %s",
                           file, item.key.c_str(), item.value.c_str());
                    ok = false;
                }
            } else if (item.key == "UNLIMITED_QUEUE") {
                if (item.value_type == VT::Bool || item.value_type == VT::Integer) {
                    unlimited_queue = item.number != 0 ? 1 : 0;
                } else {
                    syslog(LOG_ERR, "%s: invalid bool value: [%s] %s = %s", file, item.section.c_str(),
                           item.key.c_str(), item.value.c_str());
                    ok = false;
                }
            } else if (item.key == "COVERAGE") {
                if (item.value == "writes") {
                    coverage = COVERAGE_WRITES;
                } else if (item.value == "full") {
                    coverage = COVERAGE_FULL;
                } else {
                    syslog(LOG_ERR, "%s: invalid coverage, expected writes or full: %s = %s", file,
                           item.key.c_str(), item.value.c_str());
                    ok = false;
                }
            } else if (item.key == "ALERT_COMMAND") {
                // Absolute: the daemon runs it from RUN_DIR, and never through a shell that would search
                // PATH.
                if (item.value.empty() || item.value.front() == '/') {
                    alert_command = item.value;
                } else {
                    syslog(LOG_ERR, "%s: invalid alert command, expected an absolute path: %s = %s", file,
                           item.key.c_str(), item.value.c_str());
                    ok = false;
                }
            } else if (item.key == "ALERT_TIMEOUT") {
                if (item.value_type == VT::Integer && item.number >= 1 && item.number <= MAX_ALERT_TIMEOUT) {
                    alert_timeout = static_cast<std::int32_t>(item.number);
                } else {
                    syslog(LOG_ERR, "%s: invalid alert timeout, expected seconds from 1 to 3600: %s = %s",
                           file, item.key.c_str(), item.value.c_str());
                    ok = false;
                }
            } else if (item.key == "ALERT_QUEUE") {
                if (item.value_type == VT::Integer && item.number >= 1 && item.number <= MAX_ALERT_QUEUE) {
                    alert_queue = static_cast<std::int32_t>(item.number);
                } else {
                    syslog(LOG_ERR,
                           "%s: invalid alert queue length, expected an integer from 1 to 100000: %s = %s",
                           file, item.key.c_str(), item.value.c_str());
                    ok = false;
                }
            } else if (item.key == "LARGE_FILE_SIZE") {
                if (!parse_size(item.value, &large_file_size)) {
                    syslog(LOG_ERR,
                           "%s: invalid large file size, expected bytes with an optional K, M or G: %s = %s",
                           file, item.key.c_str(), item.value.c_str());
                    ok = false;
                }
            } else if (item.key == "SMALL_FILE_SCANNERS") {
                if (item.value_type == VT::Integer && item.number >= MIN_SCANNERS &&
                    item.number < MAX_SCANNERS) {
                    small_file_scanners = static_cast<std::int32_t>(item.number);
                } else {
                    syslog(
                        LOG_ERR,
                        "%s: invalid small-file scanner count, expected an integer from 1 to 1023: %s = %s",
                        file, item.key.c_str(), item.value.c_str());
                    ok = false;
                }
            } else if (item.key == "JSON_LOG") {
                json_log = item.value;
            } else if (item.key == "SYSLOG_DETECTIONS" || item.key == "METRICS") {
                if (item.value_type == VT::Bool || item.value_type == VT::Integer) {
                    (item.key == "METRICS" ? metrics : syslog_detections) = item.number != 0 ? 1 : 0;
                } else {
                    syslog(LOG_ERR, "%s: invalid bool value: [%s] %s = %s", file, item.section.c_str(),
                           item.key.c_str(), item.value.c_str());
                    ok = false;
                }
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
