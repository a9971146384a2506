// metrics: zet's metrics state file and the scan service's answers in the Prometheus text exposition
// format, for node_exporter's textfile collector.
#include "ctl/commands.hpp"
#include "src/metrics_keys.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>

namespace ctl {

namespace {

struct Known {
    metrics_key key; // its name in the state file
    const char* metric;
    const char* type;
    const char* help;
};

// The state file's counts in the order they are printed; names the file holds beyond these are printed
// after them as untyped zet_<name>, so a newer daemon's counts are never lost.
constexpr Known KNOWN[] = {
    {METRIC_START_TIME, "zet_start_time_seconds", "gauge", "When zet started, in seconds since the epoch."},
    {METRIC_QUEUED, "zet_files_queued_total", "counter", "Written files zet queued for scanning."},
    {METRIC_SCANNED, "zet_files_scanned_total", "counter",
     "Scans the scan service answered, clean or infected."},
    {METRIC_INFECTED, "zet_files_infected_total", "counter", "Scans with at least one finding."},
    {METRIC_FAILED, "zet_scans_failed_total", "counter", "Scans that got no answer from the scan service."},
    {METRIC_UNSCANNED, "zet_files_unscanned_total", "counter",
     "Files given up unscanned (counted with COVERAGE = full only)."},
    {METRIC_SERVICE_DOWN_SINCE, "zet_scan_service_down_since_seconds", "gauge",
     "Since when scans have found no scan service, in seconds since the epoch; 0 while they reach it."},
    {METRIC_QUEUE_DEPTH, "zet_queue_depth", "gauge", "Files waiting in the task queue for a worker."},
    {METRIC_ALERTS_RUN, "zet_alerts_run_total", "counter", "Runs of the alert command."},
    {METRIC_ALERTS_FAILED, "zet_alerts_failed_total", "counter",
     "Alert commands that could not start, were killed or exited with a status other than 0."},
    {METRIC_ALERTS_TIMED_OUT, "zet_alerts_timed_out_total", "counter",
     "Alert commands killed at their timeout."},
    {METRIC_ALERTS_DROPPED, "zet_alerts_dropped_total", "counter",
     "Alerts dropped because their queue was full."},
    {METRIC_OPENS, "zet_opens_checked_total", "counter",
     "Opens of files under the trees that needed a verdict (ON_OPEN)."},
    {METRIC_OPEN_HITS, "zet_opens_known_clean_total", "counter",
     "Of those, opens answered from the cache of clean verdicts."},
    {METRIC_OPEN_SCANS, "zet_open_scans_total", "counter", "Scans started for opens."},
    {METRIC_OPENS_DENIED, "zet_opens_denied_total", "counter",
     "Opens refused: an infected file, or OPEN_ERROR = deny without a verdict."},
    {METRIC_OPENS_UNSCANNED, "zet_opens_unscanned_total", "counter",
     "Opens let through (or refused by OPEN_ERROR) without a verdict: deadline, scan failure."},
    {METRIC_OPEN_OVERFLOWS, "zet_open_queue_overflows_total", "counter",
     "Overflows of the kernel's queue of opens: opens let through unseen."},
    {METRIC_OPENS_HELD, "zet_opens_held", "gauge", "Opens waiting for their verdict now."},
    {METRIC_OLDEST_OPEN_HELD_MS, "zet_oldest_open_held_milliseconds", "gauge",
     "How long the oldest open held now has waited."},
    {METRIC_OPEN_CACHE_ENTRIES, "zet_open_cache_entries", "gauge", "Clean verdicts kept for opens."},
};
static_assert(
    [] {
        for (std::size_t k = 0; k < std::size(KNOWN); k++)
            if (KNOWN[k].key != k)
                return false;
        return std::size(KNOWN) == METRIC_KEYS;
    }(),
    "every count of the state file is exported once, with its help, in file order");

void family(std::string& out, const char* metric, const char* type, const char* help) {
    out += std::string("# HELP ") + metric + " " + help + "\n# TYPE " + metric + " " + type + "\n";
}

void sample(std::string& out, const std::string& metric, const std::string& value) {
    out += metric + " " + value + "\n";
}

} // namespace

std::map<std::string, std::string> read_metrics_state(const std::string& path, bool* found) {
    std::map<std::string, std::string> out;
    std::ifstream in(path);
    *found = static_cast<bool>(in);
    std::string line;
    while (std::getline(in, line)) {
        auto blank = line.find(' ');
        if (blank == std::string::npos || blank == 0)
            continue;
        std::string name = line.substr(0, blank), value = line.substr(blank + 1);
        if (value.empty() || value.find_first_not_of("0123456789") != std::string::npos ||
            name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_") != std::string::npos)
            continue;
        out[name] = value;
    }
    return out;
}

namespace {

// Milliseconds as a decimal number of seconds, without a float's rounding: 2500 -> "2.5".
std::string ms_as_seconds(long long ms) {
    char buf[32];
    snprintf(buf, sizeof buf, "%lld.%03lld", ms / 1000, ms % 1000);
    std::string out = buf;
    while (out.back() == '0')
        out.pop_back();
    if (out.back() == '.')
        out.pop_back();
    return out;
}

std::string exposition(const Settings& s) {
    std::string out;
    DaemonState d = daemon_state(s);
    family(out, "zet_up", "gauge", "Whether zet runs: its PID file names a live zet process.");
    sample(out, "zet_up", d.running ? "1" : "0");

    bool found = false;
    std::map<std::string, std::string> state = read_metrics_state(s.in_run_dir(METRICS_FILE_NAME), &found);
    family(out, "zet_metrics_file_present", "gauge",
           "Whether zet's metrics state file exists (zet writes it only with METRICS = yes).");
    sample(out, "zet_metrics_file_present", found ? "1" : "0");
    for (const Known& k : KNOWN) {
        auto it = state.find(METRIC_NAMES[k.key]);
        if (it == state.end())
            continue;
        family(out, k.metric, k.type, k.help);
        sample(out, k.metric, it->second);
        state.erase(it);
    }

    // The histogram: cumulative buckets in milliseconds, their sum in microseconds.
    std::vector<std::pair<long long, std::string>> buckets;
    std::string inf;
    for (auto it = state.begin(); it != state.end();) {
        if (it->first.rfind(LATENCY_BUCKET_PREFIX, 0) == 0) {
            std::string le = it->first.substr(strlen(LATENCY_BUCKET_PREFIX));
            if (le == LATENCY_BUCKET_ALL)
                inf = it->second;
            else if (!le.empty() && le.find_first_not_of("0123456789") == std::string::npos && le.size() < 12)
                buckets.emplace_back(std::stoll(le), it->second);
            it = state.erase(it);
        } else {
            ++it;
        }
    }
    auto sum = state.find(LATENCY_SUM_NAME);
    if (!inf.empty() && sum != state.end()) {
        std::sort(buckets.begin(), buckets.end());
        const char* metric = "zet_scan_duration_seconds";
        family(out, metric, "histogram", "Time from sending a scan to its answer or failure.");
        for (const auto& [ms, count] : buckets)
            sample(out, std::string(metric) + "_bucket{le=\"" + ms_as_seconds(ms) + "\"}", count);
        sample(out, std::string(metric) + "_bucket{le=\"+Inf\"}", inf);
        std::string us = sum->second;
        std::string seconds = us.size() > 6 ? us.substr(0, us.size() - 6) + "." + us.substr(us.size() - 6)
                                            : "0." + std::string(6 - us.size(), '0') + us;
        sample(out, std::string(metric) + "_sum", seconds);
        sample(out, std::string(metric) + "_count", inf);
        state.erase(sum);
    }
    for (const auto& [name, value] : state) {
        std::string metric = "zet_" + name;
        family(out, metric.c_str(), "untyped", "A count of zet's metrics state file.");
        sample(out, metric, value);
    }

    ServiceState svc = service_state(s);
    if (!svc.icap.empty()) {
        family(out, "zet_icap_server_up", "gauge", "Whether an ICAP server of SCAN_SERVICE answers OPTIONS.");
        for (const auto& i : svc.icap)
            sample(out, "zet_icap_server_up{server=\"" + i.uri + "\"}", i.answers ? "1" : "0");
        return out;
    }
    family(out, "orbis_scand_up", "gauge", "Whether the scan service answers on zet's socket.");
    sample(out, "orbis_scand_up", svc.answers ? "1" : "0");
    if (svc.answers && svc.vps != 0) {
        family(out, "orbis_scand_signature_version", "gauge", "The scan service's signature version (VPS).");
        sample(out, "orbis_scand_signature_version", std::to_string(svc.vps));
    }
    return out;
}

// Replaces `path` atomically, so that the collector never reads half a file.
bool write_atomically(const std::string& path, const std::string& text) {
    std::string temp = path + ".tmp";
    FILE* f = fopen(temp.c_str(), "w");
    if (f == nullptr) {
        fprintf(stderr, "zetctl: %s: %s\n", temp.c_str(), strerror(errno));
        return false;
    }
    bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
    ok = fclose(f) == 0 && ok;
    if (!ok || rename(temp.c_str(), path.c_str()) != 0) {
        fprintf(stderr, "zetctl: %s: %s\n", path.c_str(), strerror(errno));
        unlink(temp.c_str());
        return false;
    }
    return true;
}

} // namespace

int metrics(const Args& args) {
    Settings s;
    if (auto status = load_for_command(args, &s))
        return *status;
    std::string text = exposition(s);
    if (args.output)
        return write_atomically(*args.output, text) ? EXIT_OK : EXIT_FAIL;
    fputs(text.c_str(), stdout);
    return EXIT_OK;
}

} // namespace ctl
