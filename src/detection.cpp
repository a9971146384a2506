// A detection's syslog line, JSON record and alert, after the vault move and the infection log lines.
#include "src/detection.hpp"

#include "src/alert.hpp"
#include "src/av.hpp"
#include "src/config.hpp"
#include "src/facts.hpp"

#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

constexpr std::size_t TIME_BUF_SIZE = 32; // "2026-12-08T15:08:50+01:00" and the log's own form

// Set once by detection_init before any task exists, then only read.
bool syslog_detections = false;
bool alerts_on = false;
int json_fd = -1;
std::string json_path;
std::string host;

std::string escaped(const char* text) {
    std::string out;
    json_escape(out, text, strlen(text));
    return out;
}

// Length of the valid UTF-8 sequence at `s` (at most `left` bytes), or 0 when the byte there starts none:
// no overlong forms, no surrogates, nothing above U+10FFFF.
std::size_t utf8_length(const unsigned char* s, std::size_t left) {
    const unsigned char c = s[0];
    std::size_t len;
    unsigned char lo = 0x80, hi = 0xBF; // allowed range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        if (c == 0xE0)
            lo = 0xA0;
        else if (c == 0xED)
            hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        if (c == 0xF0)
            lo = 0x90;
        else if (c == 0xF4)
            hi = 0x8F;
    } else {
        return 0;
    }
    if (left < len || s[1] < lo || s[1] > hi)
        return 0;
    for (std::size_t i = 2; i < len; i++)
        if (s[i] < 0x80 || s[i] > 0xBF)
            return 0;
    return len;
}

// The log line's local time as "%Y-%m-%d %H:%M:%S", and as RFC 3339 with the zone's offset.
void format_times(time_t when, char* log_time, std::string* rfc3339) {
    struct tm local;
    log_time[0] = '\0';
    if (localtime_r(&when, &local) == nullptr)
        return;
    strftime(log_time, TIME_BUF_SIZE, LOG_TIME_FORMAT, &local);
    char stamp[TIME_BUF_SIZE];
    strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S%z", &local);
    *rfc3339 = stamp;
    // "%z" gives "+0100"; RFC 3339 wants "+01:00".
    if (rfc3339->size() >= 2)
        rfc3339->insert(rfc3339->size() - 2, ":");
}

void write_json(int* sock, const char* path, const char* vault, const infection* list, const char* when) {
    std::string line = "{\"time\":\"";
    line += when;
    line += "\",\"path\":\"";
    json_escape(line, path, strlen(path));
    line += "\",\"vault\":";
    if (vault != nullptr) {
        line += '"';
        json_escape(line, vault, strlen(vault));
        line += '"';
    } else {
        line += "null";
    }
    line += ",\"findings\":[";
    for (const infection* i = list; i != nullptr; i = i->next) {
        line += i == list ? "\"" : ",\"";
        json_escape(line, i->name, strlen(i->name));
        line += '"';
    }
    line += "],\"vps\":";
    std::uint32_t vps = 0;
    // The worker's own connection; a service that cannot say leaves the version unknown.
    if (av_vps(sock, &vps) == 0 && vps != 0)
        line += std::to_string(vps);
    else
        line += "null";
    line += ",\"host\":\"";
    json_escape(line, host.data(), host.size());
    line += "\"}\n";
    // One write on an O_APPEND descriptor: records of different workers never mix, even across rotation.
    ssize_t n = write(json_fd, line.data(), line.size());
    if (n < 0)
        syslog(LOG_WARNING, "write(): %s: %m", json_path.c_str());
    else if (static_cast<std::size_t>(n) != line.size())
        syslog(LOG_WARNING, "write(): %s: short write", json_path.c_str());
}

} // namespace

void json_escape(std::string& out, const char* text, std::size_t len) {
    static const char hex[] = "0123456789abcdef";
    const auto* s = reinterpret_cast<const unsigned char*>(text);
    for (std::size_t i = 0; i < len;) {
        const unsigned char c = s[i];
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
            i++;
        } else if (c < 0x20 || c == 0x7F) {
            out += "\\u00";
            out += hex[c >> 4];
            out += hex[c & 0xF];
            i++;
        } else if (c < 0x80) {
            out += static_cast<char>(c);
            i++;
        } else if (std::size_t n = utf8_length(s + i, len - i); n != 0) {
            out.append(text + i, n);
            i += n;
        } else {
            out += "\\udc";
            out += hex[c >> 4];
            out += hex[c & 0xF];
            i++;
        }
    }
}

void detection_init(const Config& config) {
    char name[HOST_NAME_MAX + 1] = "";
    if (gethostname(name, sizeof name) == 0)
        name[HOST_NAME_MAX] = '\0';
    host = name;
    syslog_detections = config.syslog_detections != 0;
    if (!config.json_log.empty()) {
        json_path = config.json_log;
        json_fd = open(json_path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
        // Like the infection log: the daemon quarantines without it.
        if (json_fd < 0)
            syslog(LOG_ERR, "Error opening JSON log: %s: %m", json_path.c_str());
    }
    if (!config.alert_command.empty())
        alerts_on = alert_start(config.alert_command.c_str(), config.alert_timeout, config.alert_queue,
                                host.c_str()) == 0;
}

void detection_report(int* sock, const char* path, const char* vault, const infection* list, time_t when) {
    if (!syslog_detections && json_fd < 0 && !alerts_on)
        return;
    char log_time[TIME_BUF_SIZE];
    std::string rfc3339;
    format_times(when, log_time, &rfc3339);
    std::string findings;
    for (const infection* i = list; i != nullptr; i = i->next) {
        if (i != list)
            findings += '\n';
        findings += i->name;
    }

    if (syslog_detections) {
        std::string names;
        for (const infection* i = list; i != nullptr; i = i->next)
            names += (i == list ? "" : ", ") + escaped(i->name);
        if (vault != nullptr)
            syslog(LOG_WARNING, "Infected file quarantined: %s -> %s: %s", escaped(path).c_str(),
                   escaped(vault).c_str(), names.c_str());
        else
            syslog(LOG_WARNING, "Infected file not moved: %s: %s", escaped(path).c_str(), names.c_str());
    }
    if (json_fd >= 0)
        write_json(sock, path, vault, list, rfc3339.c_str());
    if (alerts_on)
        alert_queue({path, vault != nullptr ? vault : "", findings, log_time});
}
