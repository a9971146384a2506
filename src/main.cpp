// The main program of the daemon: command line, start-up in its fixed order, PID file, shutdown.
#include "src/av.hpp"
#include "src/config.hpp"
#include "src/control.hpp"
#include "src/coverage.hpp"
#include "src/detection.hpp"
#include "src/downtime.hpp"
#include "src/facts.hpp"
#include "src/fileops.hpp"
#include "src/icap.hpp"
#include "src/metrics.hpp"
#include "src/monitor.hpp"
#include "src/onopen.hpp"
#include "src/pool.hpp"
#include "src/recovery.hpp"
#include "src/scan.hpp"
#include "src/status.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <sys/signalfd.h>
#include <syslog.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

constexpr const char* UNIT = "src/main";

constexpr int EXIT_OK = 0;
constexpr int EXIT_FAIL = 1;

constexpr const char* USAGE = "Usage: %s [OPTIONS]\n"
                              "Options:\n"
                              "  -c FILE     Use configuration file FILE\n"
                              "  -V          Print program version and exit\n"
                              "  -v          Verbose logging (debug level)\n"
                              "  -q          Do not log to stderr\n";

struct options {
    const char* config_file;
    int log_flags;
    int log_ceiling;
};

enum options_result { OPTIONS_RUN, OPTIONS_DONE, OPTIONS_BAD };

// Worker threads read the record until the process ends, even after main has returned, so it lives in
// static storage that no destructor ever runs on (a local or a static Config would be destroyed at exit).
alignas(Config) unsigned char config_storage[sizeof(Config)];

options_result parse_options(int argc, char** argv, options* opts) {
    int c;
    while ((c = getopt(argc, argv, "hVvqc:")) != -1) {
        switch (c) {
        case 'c':
            opts->config_file = optarg;
            break;
        case 'V':
            printf("%s\n", DAEMON_VERSION);
            return OPTIONS_DONE;
        case 'h':
            printf(USAGE, argv[0]);
            return OPTIONS_DONE;
        case 'v':
            opts->log_ceiling = LOG_DEBUG;
            break;
        case 'q':
            opts->log_flags &= ~LOG_PERROR;
            break;
        default:
            // getopt has already said what was wrong.
            fprintf(stderr, "Type %s -h for usage info\n", argv[0]);
            return OPTIONS_BAD;
        }
    }
    return OPTIONS_RUN;
}

void remove_pid_file(const char* path) {
    if (unlink(path) != 0)
        syslog(LOG_WARNING, "Error deleting PID file: %s: %m", path);
}

// Returns the heap path of the written PID file, or nullptr after an error message. An existing file is
// overwritten without looking for a running instance: the service manager guarantees there is none.
char* create_pid_file(const char* dir) {
    std::size_t size = strlen(dir) + 1 + strlen(PID_FILE_NAME) + 1;
    char* path = static_cast<char*>(malloc(size));
    if (path == nullptr) {
        syslog(LOG_ERR, "%s:%u: malloc(): %m", UNIT, __LINE__);
        return nullptr;
    }
    snprintf(path, size, "%s/%s", dir, PID_FILE_NAME);

    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        syslog(LOG_ERR, "Error creating PID file: open(): %s: %m", path);
        free(path);
        return nullptr;
    }
    FILE* file = fdopen(fd, "w");
    if (file == nullptr) {
        syslog(LOG_ERR, "Error creating PID file: fdopen(): %s: %m", path);
        close(fd);
        remove_pid_file(path);
        free(path);
        return nullptr;
    }
    if (fprintf(file, "%d", static_cast<int>(getpid())) < 0) {
        syslog(LOG_ERR, "Error creating PID file: fprintf(): %s: %m", path);
        fclose(file);
        remove_pid_file(path);
        free(path);
        return nullptr;
    }
    if (fclose(file) != 0) {
        syslog(LOG_ERR, "Error creating PID file: fclose(): %s: %m", path);
        remove_pid_file(path);
        free(path);
        return nullptr;
    }
    return path;
}

// Half the watchdog interval in milliseconds, so that a ping is due twice per interval while idle; -1
// waits without limit. Intervals beyond what poll can wait are capped rather than wrapped.
int poll_timeout() {
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) <= 0)
        return -1;
    uint64_t ms = usec / 2000;
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

} // namespace

int main(int argc, char** argv) {
    Config& config = *new (config_storage) Config;
    options opts = {DEFAULT_CONFIG_FILE, LOG_PID | LOG_PERROR, LOG_INFO};

    switch (parse_options(argc, argv, &opts)) {
    case OPTIONS_DONE:
        return EXIT_OK;
    case OPTIONS_BAD:
        return EXIT_FAIL;
    case OPTIONS_RUN:
        break;
    }

    openlog(basename_r(argv[0]), opts.log_flags, LOG_DAEMON);
    setlogmask(LOG_UPTO(opts.log_ceiling));
    syslog(LOG_NOTICE, "Starting daemon.");

    int status = EXIT_FAIL;
    int signal_fd = -1;
    int fan_fd = -1;
    monitor* mount_marked = nullptr;
    int timeout_ms = -1;
    char* pid_path = nullptr;
    char* config_path = nullptr;
    bool config_read = false;
    bool stopped = false;
    sigset_t stop_signals;
    struct sigaction ignore = {};

    // A scan service that goes away must show up as EPIPE on the worker's write, not kill the daemon.
    ignore.sa_handler = SIG_IGN;
    if (sigaction(SIGPIPE, &ignore, nullptr) != 0) {
        syslog(LOG_ERR, "sigaction(): %m");
        goto fatal;
    }

    // Blocked before pool_init starts the workers, which inherit the mask: the stop signals then reach
    // the process only through the descriptor that the monitor loop polls.
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    signal_fd = signalfd(-1, &stop_signals, 0);
    if (signal_fd < 0) {
        syslog(LOG_ERR, "signalfd(): %m");
        goto fatal;
    }

    // Read before the chdir below, so relative paths in the file resolve against the starting directory.
    config_path = realpath(opts.config_file, nullptr);
    if (config_path == nullptr) {
        syslog(LOG_WARNING, "realpath(): %s: %m", opts.config_file);
        syslog(LOG_WARNING, "Configuration file not available. Using default settings.");
    }
    config_read = config.read_from_file(config_path);
    free(config_path);
    if (!config_read) {
        syslog(LOG_ERR, "Failed to read config");
        status = EXIT_CONFIG;
        goto fatal;
    }

    // The run directory belongs to the service manager's set-up; it is deliberately not created here.
    if (chdir(config.run_dir.c_str()) != 0) {
        syslog(LOG_ERR, "Error changing run directory: chdir(): %s: %m", config.run_dir.c_str());
        goto fatal;
    }
    if (!config.icap_servers.empty()) {
        icap_init(config.icap_servers);
        for (const icap_server& s : config.icap_servers)
            syslog(LOG_NOTICE, "Scanning through the ICAP server %s", s.uri.c_str());
    }
    if (av_init(config.socket.c_str(), config.exclusions) < 0)
        goto fatal;
    // Full coverage reports a file by every way it arrives, often twice in a row; one scan serves them.
    pool_set_dedup(config.coverage == COVERAGE_FULL);
    pool_set_large_lane(config.large_file_size, static_cast<std::size_t>(config.small_file_scanners));
    pool_set_open_lane(config.on_open != ON_OPEN_OFF);
    pool_set_sweep_lane(!config.control_socket.empty());
    if (pool_init(static_cast<std::size_t>(config.scanners), scan) < 0)
        goto fatal;
    // Without the infection log the daemon still quarantines; log_init has said why it failed.
    log_init(config.log_file.c_str());
    // Each only when its key is set, like the infection log after the change into RUN_DIR, and before any
    // task exists; a part that fails has said why, and the daemon quarantines without it.
    detection_init(config);
    metrics_start(config);
    // No task exists before the loop runs, so every worker sees the vault and the settings.
    vault_dir = config.vault.c_str();
    scan_init(config);
    mount_marked = config.monitors;
    // Without these threads full coverage only lacks catch-up and retries, protection on access the
    // catch-up after a lost queue of opens, and the state file its catch-up after downtime; recovery_start
    // said so. Before the marks, from which on every written file has an event.
    if (config.coverage == COVERAGE_FULL || config.on_open != ON_OPEN_OFF || config.keeps_state_file())
        recovery_start(config);
    // Before the monitor loop queues any write: an open of a file just written is answered from then on.
    if (config.on_open != ON_OPEN_OFF) {
        status_show_opens(true);
        if (onopen_start(config) < 0)
            goto fatal;
    }
    if (config.coverage == COVERAGE_FULL) {
        status_show_unscanned(true);
        // The trees that file-system marks cannot cover keep the mount marks of the writes mode; the loop
        // serves the group that coverage_start keeps.
        coverage_start(config, &mount_marked);
    }
    monitor_exclude(config.excluded);
    fan_fd = monitor_start(mount_marked, config.unlimited_queue);
    if (fan_fd < 0)
        goto fatal;
    // Without the mount table zet still watches each tree's own mount; monitor_follow_mounts said why.
    monitor_follow_mounts(fan_fd, config.monitors);
    // Sweeps walk the trees once they are marked; without the socket zet only lacks them (said).
    control_start(config);
    // After the marks, so that the walk and the events between them miss no file; a state file that cannot
    // be read or written is only a warning.
    downtime_start(config);
    pid_path = create_pid_file(config.run_dir.c_str());
    if (pid_path == nullptr)
        goto fatal;
    timeout_ms = poll_timeout();
    sd_notify(0, "READY=1\n");
    // After READY=1, so the service manager sees the daemon ready before any count; without the thread
    // the daemon only lacks its status line.
    status_start();

    stopped = monitor_run(signal_fd, fan_fd, config.monitors, timeout_ms) == 0;

    // Shutdown, for both ends of the loop: an orderly stop removes the marks and closes the descriptors; a
    // failed loop leaves them to the process exit. Either way the PID file goes. The workers are neither
    // stopped nor joined, and the infection log is not closed: a scan in progress ends with the process.
    if (stopped) {
        syslog(LOG_NOTICE, "SIGINT/SIGTERM received. Exiting...\n");
        // First, so that no open waits on a daemon that is going.
        onopen_stop();
        control_stop();
        monitor_stop(fan_fd, mount_marked);
        coverage_stop();
        close(signal_fd);
        // The tasks still queued are not scanned: the time written stays before their events.
        downtime_stop();
    }
    remove_pid_file(pid_path);
    free(pid_path);
    if (stopped)
        return EXIT_OK;

fatal:
    syslog(LOG_ERR, "Fatal error. Exiting.");
    return status;
}
