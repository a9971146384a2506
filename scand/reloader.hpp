// Keeping the signatures current: the engine that new scans use, and a thread that builds its successor
// when the database directory changes or a reload is asked for, while the current one keeps scanning.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "scand/engine.hpp"

namespace scand {

// What the directory holds, as far as a change matters: every regular file directly in it (name, inode,
// size, modification time), in name order. Subdirectories and dot files are left out: updaters download
// into them and rename the finished file into place.
struct DirEntry {
    std::string name;
    ino_t inode;
    off_t size;
    std::int64_t mtime_ns;
    bool operator==(const DirEntry&) const = default;
};
using DirState = std::vector<DirEntry>;
// Empty when the directory cannot be read.
DirState dir_state(const std::string& dir);

// The longest VPSWAIT waits for a new version: a client that follows reloads asks again after it, so
// that a connection silently lost on the way never leaves it waiting for ever.
inline constexpr std::chrono::seconds version_wait_limit{30};

class Reloader {
public:
    // `interval` is how often the directory is looked at; a change is acted on once the directory has
    // looked the same for one more interval, so that a set still being written is never loaded.
    Reloader(std::string dir, std::chrono::seconds interval);
    ~Reloader();
    Reloader(const Reloader&) = delete;
    Reloader& operator=(const Reloader&) = delete;

    // Loads the first engine on the calling thread; false after logging why.
    bool load_first();
    // Starts the thread that watches the directory and reloads; false after logging why.
    bool start();
    // The engine new scans use. A scan keeps its engine alive by holding the pointer: the replaced one
    // is freed, on the reload thread, once the last such pointer has gone.
    std::shared_ptr<const Engine> current() const;
    // The version of the engine new scans use, as soon as it differs from `known`; the unchanged one
    // once `limit` has passed, or once `stop` is true and wake_waiters() has been called after it was set.
    std::uint32_t wait_for_version(std::uint32_t known, std::chrono::milliseconds limit,
                                   const std::atomic<bool>& stop) const;
    // Makes every wait_for_version() look at its `stop` flag again.
    void wake_waiters() const;
    // Reload now (SIGHUP). During a load, one more load follows it: never two at once.
    void request();
    // Ends the thread. A load that is still running cannot be interrupted: false when one is, and the
    // thread is then left running for the process's exit to end.
    bool stop();

private:
    void run();
    void load();
    void free_retired();

    const std::string dir_;
    const std::chrono::seconds interval_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    // current_ has been replaced, or wake_waiters() was called.
    mutable std::condition_variable replaced_;
    std::shared_ptr<const Engine> current_; // guarded by mutex_
    bool requested_ = false;                // guarded by mutex_
    bool stopping_ = false;                 // guarded by mutex_
    bool loading_ = false;                  // guarded by mutex_
    DirState loaded_state_;                 // what the current engine was loaded from; reload thread only
    std::vector<std::shared_ptr<const Engine>> retired_; // replaced, maybe still scanning; reload thread
    std::thread thread_;
};

} // namespace scand
