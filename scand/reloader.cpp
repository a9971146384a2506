// The reload thread: it looks at the database directory every interval, loads a changed set once it has
// settled (or at once when asked), and swaps the new engine in for new scans.
#include "scand/reloader.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <systemd/sd-daemon.h>

#include <algorithm>
#include <system_error>
#include <utility>

namespace scand {

namespace {

using Clock = std::chrono::steady_clock;

// How often the thread looks whether a replaced engine's last scan has ended.
constexpr auto retire_check = std::chrono::milliseconds(100);
// Without looks at the directory the thread still wakes now and then: a wait with no end is not portable.
constexpr auto idle_wake = std::chrono::hours(1);

// What `systemctl status orbis-scand` shows: the signatures that new scans use.
void announce(const Engine& engine) {
    sd_notifyf(0, "STATUS=%u signatures, database version %u\n", engine.signatures(), engine.version());
}

} // namespace

DirState dir_state(const std::string& dir) {
    DirState state;
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) {
        return state;
    }
    while (const dirent* e = readdir(d)) {
        struct stat st {};
        if (e->d_name[0] != '.' && fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(st.st_mode)) {
            state.push_back({e->d_name, st.st_ino, st.st_size,
                             static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec});
        }
    }
    closedir(d);
    std::sort(state.begin(), state.end(),
              [](const DirEntry& a, const DirEntry& b) { return a.name < b.name; });
    return state;
}

Reloader::Reloader(std::string dir, std::chrono::seconds interval)
    : dir_(std::move(dir)), interval_(interval) {}

Reloader::~Reloader() {
    if (thread_.joinable()) {
        stop();
    }
}

bool Reloader::load_first() {
    loaded_state_ = dir_state(dir_);
    auto engine = std::make_shared<Engine>();
    if (!engine->load(dir_)) {
        return false;
    }
    announce(*engine);
    std::lock_guard lock(mutex_);
    current_ = std::move(engine);
    return true;
}

bool Reloader::start() {
    try {
        thread_ = std::thread(&Reloader::run, this);
    } catch (const std::system_error& e) {
        syslog(LOG_ERR, "Cannot start the reload thread: %s", e.what());
        return false;
    }
    return true;
}

std::shared_ptr<const Engine> Reloader::current() const {
    std::lock_guard lock(mutex_);
    return current_;
}

std::uint32_t Reloader::wait_for_version(std::uint32_t known, std::chrono::milliseconds limit,
                                         const std::atomic<bool>& stop) const {
    std::unique_lock lock(mutex_);
    replaced_.wait_for(lock, limit, [&] { return stop.load() || current_->version() != known; });
    return current_->version();
}

void Reloader::wake_waiters() const {
    // Under the lock: a waiter that has just found `stop` false is waiting by the time this notifies.
    std::lock_guard lock(mutex_);
    replaced_.notify_all();
}

void Reloader::request() {
    std::lock_guard lock(mutex_);
    if (loading_ && !requested_) {
        syslog(LOG_NOTICE, "A database load is running; loading again when it ends.");
    }
    requested_ = true;
    wake_.notify_one();
}

bool Reloader::stop() {
    bool loading;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        loading = loading_;
        wake_.notify_one();
    }
    if (!thread_.joinable()) {
        return true;
    }
    if (loading) {
        thread_.detach();
        return false;
    }
    thread_.join();
    return true;
}

void Reloader::run() {
    DirState changed; // a change seen at the last look, not yet settled
    bool seen_change = false;
    const auto look_after = interval_.count() > 0 ? Clock::duration(interval_) : Clock::duration(idle_wake);
    auto next_look = Clock::now() + look_after;
    for (;;) {
        bool asked;
        {
            std::unique_lock lock(mutex_);
            const auto until =
                retired_.empty() ? next_look : std::min(next_look, Clock::now() + retire_check);
            wake_.wait_until(lock, until, [&] { return stopping_ || requested_; });
            if (stopping_) {
                break;
            }
            asked = std::exchange(requested_, false);
        }
        free_retired();
        if (!asked) {
            if (Clock::now() < next_look) {
                continue;
            }
            next_look = Clock::now() + look_after;
            if (interval_.count() == 0) {
                continue;
            }
            DirState now = dir_state(dir_);
            if (now == loaded_state_) {
                seen_change = false;
                continue;
            }
            if (!seen_change || now != changed) {
                // Still being written, or just seen: wait for it to stay as it is for one interval.
                changed = std::move(now);
                seen_change = true;
                continue;
            }
            syslog(LOG_NOTICE, "Databases in '%s' have changed.", dir_.c_str());
        }
        seen_change = false;
        load();
        next_look = Clock::now() + look_after;
    }
    // Scans have all ended before the thread is stopped: nothing holds the replaced engines any more.
    retired_.clear();
}

void Reloader::load() {
    {
        // Checked with the flag set under one lock: stop() either sees the load and leaves it, or
        // prevents it; it never waits for one.
        std::lock_guard lock(mutex_);
        if (stopping_) {
            return;
        }
        loading_ = true;
    }
    // Taken before the load: a change made while it runs shows at the next look and loads again. A set
    // that fails is remembered too, so that it is tried again only when it changes or on request.
    loaded_state_ = dir_state(dir_);
    auto engine = std::make_shared<Engine>();
    const bool loaded = engine->load(dir_);
    std::lock_guard lock(mutex_);
    loading_ = false;
    if (stopping_) {
        return;
    }
    if (!loaded) {
        syslog(LOG_ERR, "Keeping the databases loaded before (version %u).", current_->version());
        return;
    }
    announce(*engine);
    retired_.push_back(std::exchange(current_, std::move(engine)));
    replaced_.notify_all();
}

void Reloader::free_retired() {
    // A count of 1 is this list's own reference: no scan holds the engine, and none can take it again
    // since it is no longer current.
    std::erase_if(retired_, [](const std::shared_ptr<const Engine>& e) { return e.use_count() == 1; });
}

} // namespace scand
