// Helper threads of the daemon beside the workers: detached, never joined, ending with the process.
#pragma once

#include <pthread.h>
#include <syslog.h>

#include <cerrno>

// Starts `fn` with `arg` on a detached thread, which inherits the caller's signal mask. 0; -1 after a
// warning.
inline int thread_start_detached(void* (*fn)(void*), void* arg = nullptr) {
    pthread_t thread;
    int rc = pthread_create(&thread, nullptr, fn, arg);
    if (rc != 0) {
        errno = rc;
        syslog(LOG_WARNING, "pthread_create(): %m");
        return -1;
    }
    pthread_detach(thread);
    return 0;
}
