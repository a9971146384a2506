// orbis-scand: the scan service. Start-up, serving, and the fatal path and shutdown at the end.
#include <signal.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <syslog.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "scand/engine.hpp"
#include "scand/listener.hpp"
#include "scand/options.hpp"
#include "scand/reloader.hpp"
#include "scand/server.hpp"

namespace {

// Each connection holds a socket and, while it walks a directory, one descriptor per level.
void raise_descriptor_limit() {
    rlimit lim{};
    if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
        lim.rlim_cur = lim.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &lim) != 0) {
            syslog(LOG_WARNING, "setrlimit(RLIMIT_NOFILE): %m");
        }
    }
}

int fatal() {
    syslog(LOG_ERR, "Fatal error. Exiting.");
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    scand::Options options;
    if (const int status = scand::parse_options(argc, argv, options); status >= 0) {
        return status;
    }

    const char* slash = std::strrchr(argv[0], '/');
    openlog(slash != nullptr ? slash + 1 : argv[0], LOG_PID | (options.quiet ? 0 : LOG_PERROR), LOG_DAEMON);
    setlogmask(LOG_UPTO(options.verbose ? LOG_DEBUG : LOG_INFO));
    syslog(LOG_NOTICE, "Starting scan service.");

    // Before any thread exists, so that every thread inherits the mask and the signals arrive only
    // through the descriptor. SIGHUP asks for a reload of the databases.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    const int signal_fd = signalfd(-1, &signals, SFD_CLOEXEC);
    if (signal_fd < 0) {
        syslog(LOG_ERR, "signalfd(): %m");
        return fatal();
    }
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    if (sigaction(SIGPIPE, &ignore, nullptr) != 0) {
        syslog(LOG_ERR, "sigaction(): %m");
        return fatal();
    }
    raise_descriptor_limit();
    scand::keep_scan_memory();

    if (!scand::Engine::initialise()) {
        return fatal();
    }
    scand::Reloader engines(options.dbdir.empty() ? scand::default_dbdir() : options.dbdir,
                            std::chrono::seconds(options.check_interval));
    if (!engines.load_first()) {
        return fatal();
    }

    // The engine is ready before the socket exists: a client that can connect is served at once.
    scand::Listener listener;
    if (!listener.open(options.socket, options.mode)) {
        return fatal();
    }
    syslog(LOG_NOTICE, "Listening on '%s'.", options.socket.c_str());
    if (!engines.start()) {
        return fatal();
    }
    sd_notify(0, "READY=1\n");

    const int served = scand::serve(engines, listener.fd(), signal_fd, options.max_connections);
    sd_notify(0, "STOPPING=1\n");
    listener.close();
    close(signal_fd);
    if (!engines.stop()) {
        // libclamav cannot interrupt a load, and a stop must not wait for one (a real set takes many
        // seconds): the process ends without the reload thread's objects being destroyed under it.
        syslog(LOG_NOTICE, "Exiting during a database load.");
        _exit(served == 0 ? 0 : fatal());
    }
    return served == 0 ? 0 : fatal();
}
