// The state file of the catch-up after downtime, read at start and written while zet runs.
#include "src/downtime.hpp"

#include "src/config.hpp"
#include "src/recovery.hpp"
#include "src/state_file.hpp"
#include "src/thread.hpp"

#include <pthread.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace {

// Often enough that a crash costs a short walk, rarely enough that an fsync of the file is nothing.
constexpr time_t DOWNTIME_WRITE_SECONDS = 5;

pthread_mutex_t write_lock = PTHREAD_MUTEX_INITIALIZER;
const char* path = nullptr; // set by downtime_start when the file is kept
zet_state written;          // the last state written, under write_lock
bool wrote = false;
bool failing = false; // the last write failed: the next failures of the series are not said again
bool stopped = false;

bool same_time(const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// Under write_lock: the state now, from what recovery says, over what was read at start.
zet_state current() {
    zet_state s = written;
    s.handled_until = catchup_handled_until();
    const catchup_report r = catchup_downtime_report();
    if (r.requested) {
        s.catchup = r.done ? CATCHUP_DONE : CATCHUP_WALKING;
        s.catchup_since = r.since;
        s.catchup_queued = r.queued;
        s.catchup_finished = r.finished;
    }
    return s;
}

// Under write_lock.
void write_if_changed(bool always) {
    const zet_state s = current();
    if (!always && wrote && same_time(s.handled_until, written.handled_until) && s.catchup == written.catchup)
        return;
    failing = state_write(path, s, !failing) != 0;
    if (!failing) {
        written = s;
        wrote = true;
    }
}

void* state_writer(void*) {
    const timespec interval = {DOWNTIME_WRITE_SECONDS, 0};
    for (;;) {
        nanosleep(&interval, nullptr);
        pthread_mutex_lock(&write_lock);
        if (!stopped)
            write_if_changed(false);
        pthread_mutex_unlock(&write_lock);
    }
    return nullptr;
}

} // namespace

int downtime_start(const Config& config) {
    if (!config.keeps_state_file())
        return 0;
    path = config.state_file.c_str();
    zet_state read;
    const char* call = "open";
    switch (state_read(path, &read, &call)) {
    case STATE_READ:
        // Without the walker (recovery_start has said why) the file still serves the next start.
        written.catchup = catchup_downtime(read.handled_until) ? CATCHUP_WALKING : CATCHUP_SKIPPED;
        break;
    case STATE_ABSENT:
        // The first start with this file: nothing to catch up from, and it is there for the next start.
        syslog(LOG_INFO, "%s: no state file yet, nothing to catch up", path);
        written.catchup = CATCHUP_FIRST_START;
        break;
    case STATE_FAILED:
        syslog(LOG_WARNING, "%s(): %s: %m (no catch-up after downtime)", call, path);
        written.catchup = CATCHUP_SKIPPED;
        break;
    case STATE_GARBAGE:
        syslog(LOG_WARNING, "%s: not a state file of zet (no catch-up after downtime)", path);
        written.catchup = CATCHUP_SKIPPED;
        break;
    }
    written.pid = getpid();
    clock_gettime(CLOCK_REALTIME, &written.started);
    pthread_mutex_lock(&write_lock);
    write_if_changed(true);
    pthread_mutex_unlock(&write_lock);
    return thread_start_detached(state_writer);
}

void downtime_stop() {
    if (path == nullptr)
        return;
    pthread_mutex_lock(&write_lock);
    write_if_changed(true);
    stopped = true;
    pthread_mutex_unlock(&write_lock);
}
