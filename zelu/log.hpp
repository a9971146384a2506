// Structured log events with an errno placeholder, and the process-wide configuration that hands them to
// registered sinks. No concrete sink lives here: a configuration without sinks delivers to nobody.
#pragma once

#include <fmt/format.h>

#include <pthread.h>

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace zelu::log {

// Importance of an event; a larger value is more important. Any 32-bit value is a valid level: a threshold
// of t passes every event of level t or larger, so values outside the named ones stay meaningful.
enum class Level : std::int32_t {
    Trace = 0, // the threshold of a new configuration: everything passes
    Debug = 1,
    Info = 2,
    Notice = 3,
    Warning = 4, // every report of the INI library
    Error = 5,
    Critical = 6, // the threshold of a configuration without sinks
};

// One log event. A value object: built on the reporter's stack, passed by constant reference to the logger,
// owning its texts. Used by one thread at a time.
class Event {
public:
    // `saved_errno` is the errno of the creator's failure, read before any call that might change it; "%m"
    // and the placeholder cite it. `trailer` is appended whenever the description is set (see
    // append_trailer); pass "" for plain messages. The description starts empty.
    Event(Level level, std::string component, std::string trailer, std::int32_t saved_errno);

    Level get_level() const noexcept { return level_; }
    const std::string& get_component() const noexcept { return component_; }
    const std::string& get_description() const noexcept { return description_; }

    // Takes over `message` (as formatted by fmt with the named argument m), appends the trailer and turns
    // CR LF into LF.
    void setup_message(std::string message);

    // printf-style description. The last "%m" of `fmt` becomes "(N) text" of the saved errno; a "%%m" is a
    // literal percent sign and m, not a placeholder. Throws std::logic_error for a null `fmt` before the
    // event changes; a failing vsnprintf leaves an empty description (the trailer is still appended).
    void format(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    // As format, with the caller's argument list; `args` is consumed.
    void format_v(const char* fmt, va_list args) __attribute__((format(printf, 2, 0)));

    // Appends the trailer to the description. A trailer that starts with a line feed loses it when the
    // description is empty or already ends with one, so that no empty line results.
    void append_trailer();

private:
    std::int32_t saved_errno_;
    Level level_;
    std::string component_;
    std::string trailer_;
    std::string description_;
};

// The C library's text for error number `n` (reentrant; any thread). An unknown number gives a text that
// contains the number.
std::string errno_to_string(int n);

class Configuration;

// The step every setter of an event's description ends with; public, so that other text can follow the
// same rule.
namespace impl {

// Removes every CR that is directly followed by LF, in place, in one pass: CR CR LF becomes CR LF, a lone
// CR stays.
void standardize_eol(std::string& text);

} // namespace impl

// Internals that the header needs; not for callers.
namespace detail {

// The value of the named fmt argument "m": prints as "(N) text", "{m:d}" as N, "{m:s}" as the text.
struct ErrnoPlaceholder {
    std::int32_t error_number;
};

// The chain of `e` and its nested exceptions, outermost first, each non-empty what() on a line of its own
// that begins with a line feed: the shape an Event trailer expects. A nested exception that is not a
// std::exception propagates to the caller.
std::string process_exception(const std::exception& e);
// As above for the exception `p` holds; "" for a null pointer. An object that is not a std::exception
// propagates to the caller.
std::string process_exception(const std::exception_ptr& p);

// Deleter of the handle returned by Configuration::lock: runs the configuration's release step.
struct ConfigurationUnlocker {
    void operator()(Configuration* configuration) const noexcept;
};

} // namespace detail

// Scratch record of one dispatch: built by Configuration::log_impl on its stack, handed by reference to
// every sink that receives the event, destroyed (cache included) after the last sink returns. The fields
// after `event` are shared by the sinks of one dispatch and arrive in the initial state below.
struct DispatchContext {
    explicit DispatchContext(const Event* dispatched) noexcept : event(dispatched) {}

    const Event* event;
    std::uint64_t scratch_u64 = 0;
    std::int32_t scratch_i32 = -1;
    std::int64_t scratch_i64 = -1;
    // Texts that sinks computed for this event, keyed as they agree among themselves.
    std::vector<std::pair<std::uint64_t, std::string>> cache;
};

// Turns an event into text for formattable sinks; the configuration never calls it.
class Formatter {
public:
    // The text of `context.event`; may use `context.cache` to share the work with other sinks.
    virtual std::string format(DispatchContext& context) const = 0;
    virtual ~Formatter() = default;
};

// Interface of concrete sinks. `log` may run on several threads at once (the configuration holds its lock
// shared); `hangup` and `sync` run alone. None of them may call a locking operation of a configuration
// the sink is registered with.
class LogSink {
public:
    // `tag` groups sinks for Configuration::set_level and erase_sinks; 0 (the default) is in no group.
    explicit LogSink(std::uint64_t tag = 0) noexcept : tag(tag) {}
    LogSink(const LogSink&) = delete;
    LogSink& operator=(const LogSink&) = delete;

    // Declared before the destructor so that they take the first three virtual slots.
    virtual void log(DispatchContext& context) = 0;
    virtual void hangup() {}
    virtual void sync() {}
    virtual ~LogSink() = default;

    const std::uint64_t tag;
};

// A sink that turns events into text through an exchangeable formatter.
class FormattableLogSink : public LogSink {
public:
    using LogSink::LogSink;

    // Replaces the formatter (empty allowed) and releases the previous one. Takes no lock: call it while no
    // thread can log through this sink (before it is added, or while holding Configuration::lock()).
    void set_formatter(std::shared_ptr<Formatter> formatter);

protected:
    std::shared_ptr<Formatter> formatter_;
};

// Registered sinks with their levels behind a reader/writer lock, and a threshold that answers is_enabled
// without locking. Delivery holds the lock shared; every change, hangup_sinks, sync_sinks and the lock()
// handle hold it exclusively. The lock is not recursive: the holder of a lock() handle and the sinks
// themselves must call none of the locking operations.
class Configuration {
public:
    // No sinks, threshold 0. Throws std::system_error (system category, "rwlock init") when the lock cannot
    // be initialised.
    Configuration();
    Configuration(const Configuration&) = delete;
    Configuration& operator=(const Configuration&) = delete;
    // Releases every sink without calling hangup or sync.
    ~Configuration();

    // One atomic read: whether any sink could receive an event of `level`. True for every level >= 0 in a
    // new configuration; never blocks.
    bool is_enabled(Level level) const noexcept;

    // Every operation below that changes sinks or levels ends with the release step: the threshold becomes
    // the least level of all pairs (6 with none), then the write lock is released. They throw
    // std::system_error when the lock cannot be taken.

    // Appends (sink, level); the same sink may be added several times. An empty `sink` is rejected with
    // std::invalid_argument and, like a failed allocation, leaves the list unchanged.
    void add_sink(std::shared_ptr<LogSink> sink, Level level);
    // Removes every pair holding `sink`, keeping the order of the rest.
    void remove_sink(std::shared_ptr<LogSink> sink);
    // Removes every pair whose sink has `tag`; tag 0 removes all.
    void erase_sinks(std::uint64_t tag);
    // Removes all sinks; the threshold becomes 6.
    void clear_sinks();
    // Sets the level of every pair.
    void set_level(Level level);
    // Sets the level of the pairs whose sink has `tag`; tag 0 selects all.
    void set_level(std::uint64_t tag, Level level);
    // Call hangup() (sync()) on the sink of every pair in registration order. An exception from a sink ends
    // the pass and propagates after the release step.
    void hangup_sinks();
    void sync_sinks();

    // Delivers `event` to every sink whose level is at most the event's, in registration order. Does not
    // consult the threshold: callers test is_enabled first. An exception from a sink ends the dispatch and
    // propagates after the lock is released.
    void log_impl(const Event& event);
    // Calls of log_impl waiting now because the write lock was held when they came. For tests that must see
    // a delivery held off.
    std::int32_t deliveries_held_off() const noexcept;

    // Takes the write lock and returns a handle that runs the release step when destroyed or reset. While
    // it is held no event is delivered and no other locking operation can proceed.
    std::unique_ptr<Configuration, detail::ConfigurationUnlocker> lock();
    // The release step: recomputes the threshold and releases the write lock. Only for the holder of the
    // write lock; the handle of lock() calls it.
    void unlock() noexcept;

private:
    pthread_rwlock_t rwlock_;
    std::atomic<std::int32_t> threshold_{0};
    std::atomic<std::int32_t> held_off_{0};
    std::vector<std::pair<std::shared_ptr<LogSink>, Level>> sinks_;
};

// The facade reporters call; owns nothing, trivially copyable.
class Logger {
public:
    explicit Logger(Configuration& target) noexcept : configuration_(&target) {}

    bool is_enabled(Level level) const noexcept { return configuration_->is_enabled(level); }
    void log(const Event& event) const { configuration_->log_impl(event); }

private:
    Configuration* configuration_;
};

// The process-wide configuration, created on first use (thread-safe) and destroyed at exit.
Configuration& get_global_configuration();
// The process-wide logger bound to get_global_configuration(); never null and never destroyed.
Logger* get_global_logger();

} // namespace zelu::log

// "{m}" prints "(N) text", "{m:d}" N, "{m:s}" the text; any other spec letter is a fmt::format_error.
template <> struct fmt::formatter<zelu::log::detail::ErrnoPlaceholder> {
    // 0 (no letter), 'd' or 's'; of several letters the last one wins.
    char presentation_ = 0;

    constexpr auto parse(format_parse_context& ctx) -> decltype(ctx.begin()) {
        auto it = ctx.begin();
        for (; it != ctx.end() && *it != '}'; ++it) {
            if (*it != 's' && *it != 'd')
                throw format_error("invalid format specifier for {m}, expected: [s|d]");
            presentation_ = *it;
        }
        return it;
    }

    format_context::iterator format(const zelu::log::detail::ErrnoPlaceholder& placeholder,
                                    format_context& ctx) const;
};
