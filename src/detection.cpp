// A detection's syslog line, JSON record and alert, after the vault move and the infection log lines.
#include "src/detection.hpp"

#include "src/alert.hpp"
#include "src/av.hpp"
#include "src/config.hpp"
#include "src/text.hpp"

#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstring>

namespace {

// Set once by detection_init before any task exists, then only read.
const Config* config = nullptr;
bool alerts_on = false;
int json_fd = -1;
std::string host;

// ,"process":{...} of a JSON record: who did it, or null.
void json_cause(std::string& line, const detection_cause& cause) {
    line += ",\"process\":";
    if (cause.role == nullptr) {
        line += "null";
        return;
    }
    const actor& a = cause.who;
    line += "{\"role\":\"";
    line += cause.role;
    line += "\",\"pid\":" + (a.pid > 0 ? std::to_string(a.pid) : "null");
    line += ",\"known\":";
    line += a.known ? "true" : "false";
    if (a.known) {
        line += ",\"uid\":" + std::to_string(a.uid) + ",\"user\":" + json_quoted(a.user) +
                ",\"exe\":" + json_quoted(a.exe) +
                ",\"unit\":" + (a.unit.empty() ? "null" : json_quoted(a.unit));
    }
    line += '}';
}

// ZET_PROCESS and its parts for the alert command.
std::vector<std::string> process_env(const detection_cause& cause) {
    if (cause.role == nullptr)
        return {};
    const actor& a = cause.who;
    std::vector<std::string> env = {"ZET_PROCESS=" + actor_text(a),
                                    std::string("ZET_PROCESS_ROLE=") + cause.role};
    if (a.pid > 0)
        env.push_back("ZET_PROCESS_PID=" + std::to_string(a.pid));
    if (a.known) {
        env.push_back("ZET_PROCESS_UID=" + std::to_string(a.uid));
        env.push_back("ZET_PROCESS_USER=" + a.user);
        env.push_back("ZET_PROCESS_EXE=" + a.exe);
        env.push_back("ZET_PROCESS_UNIT=" + a.unit);
    }
    return env;
}

void write_json(int* sock, const char* path, const char* vault, const infection* list, const char* when,
                const detection_cause& cause, std::uint32_t vps) {
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
    // Asked on the worker's own connection unless the caller knows it; a service that cannot say leaves
    // the version unknown.
    if (vps != 0 || (av_vps(sock, &vps) == 0 && vps != 0))
        line += std::to_string(vps);
    else
        line += "null";
    line += ",\"host\":\"";
    json_escape(line, host.data(), host.size());
    line += '"';
    json_cause(line, cause);
    line += "}\n";
    // One write on an O_APPEND descriptor: records of different workers never mix, even across rotation.
    ssize_t n = write(json_fd, line.data(), line.size());
    if (n < 0)
        syslog(LOG_WARNING, "write(): %s: %m", config->json_log.c_str());
    else if (static_cast<std::size_t>(n) != line.size())
        syslog(LOG_WARNING, "write(): %s: short write", config->json_log.c_str());
}

} // namespace

void detection_init(const Config& settings) {
    char name[HOST_NAME_MAX + 1] = "";
    if (gethostname(name, sizeof name) == 0)
        name[HOST_NAME_MAX] = '\0';
    host = name;
    config = &settings;
    if (!config->json_log.empty()) {
        json_fd = open(config->json_log.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
        // Like the infection log: the daemon quarantines without it.
        if (json_fd < 0)
            syslog(LOG_ERR, "Error opening JSON log: %s: %m", config->json_log.c_str());
    }
    if (!config->alert_command.empty())
        alerts_on = alert_start(config->alert_command.c_str(), config->alert_timeout, config->alert_queue,
                                host.c_str()) == 0;
}

void detection_report(int* sock, const char* path, const char* vault, const infection* list, time_t when,
                      const detection_cause& cause, std::uint32_t vps) {
    const bool syslog_detections = config != nullptr && config->syslog_detections != 0;
    if (!syslog_detections && json_fd < 0 && !alerts_on)
        return;
    const std::string log_time = local_time(when).value_or("");
    const std::string rfc3339 = local_time(when, TIME_RFC3339).value_or("");
    std::string findings;
    for (const infection* i = list; i != nullptr; i = i->next) {
        if (i != list)
            findings += '\n';
        findings += i->name;
    }

    if (syslog_detections) {
        std::string names;
        for (const infection* i = list; i != nullptr; i = i->next)
            names += (i == list ? "" : ", ") + json_escaped(i->name);
        std::string by;
        if (cause.role != nullptr)
            by = std::string("; ") + (strcmp(cause.role, "opener") == 0 ? "opened" : "written") + " by " +
                 json_escaped(actor_text(cause.who));
        if (vault != nullptr)
            syslog(LOG_WARNING, "Infected file quarantined: %s -> %s: %s%s", json_escaped(path).c_str(),
                   json_escaped(vault).c_str(), names.c_str(), by.c_str());
        else
            syslog(LOG_WARNING, "Infected file not moved: %s: %s%s", json_escaped(path).c_str(),
                   names.c_str(), by.c_str());
    }
    if (json_fd >= 0)
        write_json(sock, path, vault, list, rfc3339.c_str(), cause, vps);
    if (alerts_on)
        alert_queue({path, vault != nullptr ? vault : "", findings, log_time, process_env(cause)});
}
