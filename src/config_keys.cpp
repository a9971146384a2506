// The global keys of the configuration file: reading, checking and showing each value.
#include "src/config_keys.hpp"

#include "src/metrics_keys.hpp"
#include "zelu/ini_parser.hpp"

#include <syslog.h>

#include <algorithm>

namespace {

// The pool needs one worker; beyond this many threads only contend for the one scan service.
constexpr std::int64_t MIN_SCANNERS = 1;
constexpr std::int64_t MAX_SCANNERS = 1024;
constexpr std::int64_t MAX_ALERT_TIMEOUT = 3600;
constexpr std::int64_t MAX_ALERT_QUEUE = 100000;
constexpr std::int64_t MAX_LARGE_FILE_SIZE = std::int64_t{1} << 50;

// By coverage_mode.
constexpr const char* COVERAGE_NAMES[] = {"writes", "full", nullptr};
static_assert(COVERAGE_WRITES == 0 && COVERAGE_FULL == 1);

// A normal scan of a small file takes milliseconds; a minute bounds what a reader may be made to wait.
constexpr std::int64_t MAX_OPEN_TIMEOUT = 60;

// "0", or a count of bytes with an optional K, M or G (binary multiples) up to `max`.
bool parse_size(const std::string& text, std::int64_t max, std::int64_t* out) {
    std::size_t digits = 0;
    std::int64_t n = 0;
    for (; digits < text.size() && text[digits] >= '0' && text[digits] <= '9'; digits++) {
        n = n * 10 + (text[digits] - '0');
        if (n > max)
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
    if (n > (max >> shift))
        return false;
    *out = n << shift;
    return true;
}

// What the pool keeps, and only with the lane: one worker at least is left for large files.
std::optional<std::string> small_file_scanners_shown(const Config& c) {
    if (c.large_file_size <= 0)
        return std::nullopt;
    return std::to_string(std::min(c.small_file_scanners, c.scanners - 1));
}

// The daemon writes the file into RUN_DIR, its working directory.
std::optional<std::string> metrics_shown(const Config& c) {
    if (c.metrics == 0)
        return "no";
    return "yes (" + c.run_dir + "/" + METRICS_FILE_NAME + ")";
}

// Whether the path is used depends on COVERAGE, which may come later in the file.
std::optional<std::string> state_file_shown(const Config& c) {
    if (c.state_file.empty())
        return "(none)";
    if (!c.keeps_state_file())
        return "(none with COVERAGE = writes unless set)";
    return c.state_file;
}

const config_key KEYS[] = {
    {.name = "RUN_DIR", .kind = KEY_TEXT, .text = &Config::run_dir},
    {.name = "SOCKET", .kind = KEY_TEXT, .text = &Config::socket},
    {.name = "LOG_FILE", .kind = KEY_TEXT, .text = &Config::log_file},
    {.name = "VAULT", .kind = KEY_TEXT, .text = &Config::vault},
    {.name = "SCANNERS",
     .kind = KEY_INT,
     .number = &Config::scanners,
     .min = MIN_SCANNERS,
     .max = MAX_SCANNERS,
     .invalid = "invalid scanner count, expected an integer from 1 to 1024"},
    {.name = "UNLIMITED_QUEUE", .kind = KEY_BOOL, .number = &Config::unlimited_queue},
    {.name = "COVERAGE",
     .kind = KEY_CHOICE,
     .number = &Config::coverage,
     .choices = COVERAGE_NAMES,
     .invalid = "invalid coverage, expected writes or full"},
    {.name = "LARGE_FILE_SIZE",
     .kind = KEY_SIZE,
     .size = &Config::large_file_size,
     .max = MAX_LARGE_FILE_SIZE,
     .invalid = "invalid large file size, expected bytes with an optional K, M or G",
     .none = "0 (one queue for all files)",
     .unit = " bytes"},
    // Below SCANNERS, which may come later in the file: the pool cuts a larger value down.
    {.name = "SMALL_FILE_SCANNERS",
     .kind = KEY_INT,
     .number = &Config::small_file_scanners,
     .min = MIN_SCANNERS,
     .max = MAX_SCANNERS - 1,
     .invalid = "invalid small-file scanner count, expected an integer from 1 to 1023",
     .show = small_file_scanners_shown},
    // Absolute: the daemon runs it from RUN_DIR, and never through a shell that would search PATH.
    {.name = "ALERT_COMMAND",
     .kind = KEY_PATH,
     .text = &Config::alert_command,
     .invalid = "invalid alert command, expected an absolute path",
     .none = "(none)"},
    {.name = "ALERT_TIMEOUT",
     .kind = KEY_INT,
     .number = &Config::alert_timeout,
     .min = 1,
     .max = MAX_ALERT_TIMEOUT,
     .invalid = "invalid alert timeout, expected seconds from 1 to 3600"},
    {.name = "ALERT_QUEUE",
     .kind = KEY_INT,
     .number = &Config::alert_queue,
     .min = 1,
     .max = MAX_ALERT_QUEUE,
     .invalid = "invalid alert queue length, expected an integer from 1 to 100000"},
    {.name = "JSON_LOG", .kind = KEY_TEXT, .text = &Config::json_log, .none = "(none)"},
    {.name = "SYSLOG_DETECTIONS", .kind = KEY_BOOL, .number = &Config::syslog_detections},
    {.name = "METRICS", .kind = KEY_BOOL, .number = &Config::metrics, .show = metrics_shown},
    {.name = "VAULT_RECORDS", .kind = KEY_BOOL, .number = &Config::vault_records},
    {.name = "CONTROL_SOCKET", .kind = KEY_TEXT, .text = &Config::control_socket, .none = "(none)"},
    {.name = "ON_OPEN",
     .kind = KEY_CHOICE,
     .number = &Config::on_open,
     .choices = ON_OPEN_NAMES,
     .invalid = "invalid on-open mode, expected off, scan or block"},
    {.name = "OPEN_TIMEOUT",
     .kind = KEY_INT,
     .number = &Config::open_timeout,
     .min = 1,
     .max = MAX_OPEN_TIMEOUT,
     .invalid = "invalid open timeout, expected seconds from 1 to 60"},
    {.name = "OPEN_ERROR",
     .kind = KEY_CHOICE,
     .number = &Config::open_error,
     .choices = OPEN_ERROR_NAMES,
     .invalid = "invalid open error policy, expected allow or deny"},
    {.name = "SCAN_SERVICE", .kind = KEY_TEXT, .text = &Config::scan_service, .none = "(none: SOCKET)"},
    {.name = "STATE_FILE",
     .kind = KEY_PATH,
     .text = &Config::state_file,
     .given = &Config::state_file_set,
     .invalid = "invalid state file, expected an absolute path",
     .show = state_file_shown},
};

// A KEY_INT, KEY_BOOL or KEY_CHOICE value as stored, or nothing when it is bad.
std::optional<std::int32_t> number_of(const config_key& key, const zelu::ini::Item& item) {
    using VT = zelu::ini::Item::ValueType;
    if (key.kind == KEY_INT && item.value_type == VT::Integer && item.number >= key.min &&
        item.number <= key.max)
        return static_cast<std::int32_t>(item.number);
    if (key.kind == KEY_BOOL && (item.value_type == VT::Bool || item.value_type == VT::Integer))
        return item.number != 0 ? 1 : 0;
    if (key.kind == KEY_CHOICE)
        for (std::int32_t n = 0; key.choices[n] != nullptr; n++)
            if (item.value == key.choices[n])
                return n;
    return std::nullopt;
}

} // namespace

std::span<const config_key> config_keys() {
    return KEYS;
}

const config_key* config_key_named(std::string_view name) {
    for (const config_key& key : KEYS)
        if (name == key.name)
            return &key;
    return nullptr;
}

namespace {

bool read_value(Config& config, const config_key& key, const zelu::ini::Item& item, const char* file) {
    switch (key.kind) {
    case KEY_TEXT:
        config.*key.text = item.value;
        return true;
    case KEY_PATH:
        if (item.value.empty() || item.value.front() == '/') {
            config.*key.text = item.value;
            return true;
        }
        break;
    case KEY_SIZE:
        // Sets the field only for a good value.
        if (parse_size(item.value, key.max, &(config.*key.size)))
            return true;
        break;
    case KEY_BOOL:
    case KEY_INT:
    case KEY_CHOICE:
        if (std::optional<std::int32_t> n = number_of(key, item)) {
            config.*key.number = *n;
            return true;
        }
        if (key.kind == KEY_BOOL) {
            syslog(LOG_ERR, "%s: invalid bool value: [%s] %s = %s", file, item.section.c_str(),
                   item.key.c_str(), item.value.c_str());
            return false;
        }
        break;
    }
    syslog(LOG_ERR, "%s: %s: %s = %s", file, key.invalid, item.key.c_str(), item.value.c_str());
    return false;
}

} // namespace

bool config_key_read(Config& config, const config_key& key, const zelu::ini::Item& item, const char* file) {
    if (!read_value(config, key, item, file))
        return false;
    if (key.given != nullptr)
        config.*key.given = true;
    return true;
}

std::optional<std::string> config_key_value(const Config& config, const config_key& key) {
    if (key.show != nullptr)
        return key.show(config);
    switch (key.kind) {
    case KEY_TEXT:
    case KEY_PATH: {
        const std::string& text = config.*key.text;
        return text.empty() && key.none != nullptr ? key.none : text;
    }
    case KEY_INT:
        return std::to_string(config.*key.number);
    case KEY_BOOL:
        return config.*key.number != 0 ? "yes" : "no";
    case KEY_CHOICE:
        return key.choices[config.*key.number];
    case KEY_SIZE: {
        const std::int64_t n = config.*key.size;
        if (n == 0 && key.none != nullptr)
            return key.none;
        return std::to_string(n) + (key.unit != nullptr ? key.unit : "");
    }
    }
    return std::nullopt;
}
