// Log events, their message texts, and delivery to the sinks of a configuration.
#include "zelu/log.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <system_error>
#include <type_traits>

namespace zelu::log {

namespace {

// Most messages fit, so they take a single vsnprintf pass.
constexpr std::size_t first_pass_size = 120;
// The threshold of a configuration without sinks.
constexpr std::int32_t no_sink_threshold = static_cast<std::int32_t>(Level::Critical);
constexpr std::size_t strerror_buffer_size = 200;

// Position of the last "%m" that is a conversion, or npos. In "%%m" the percent sign is escaped, so the m
// is plain text; "%%%m" ends with a real one.
std::size_t find_errno_conversion(const std::string& format) {
    for (auto pos = format.rfind("%m"); pos != std::string::npos; pos = format.rfind("%m", pos - 1)) {
        std::size_t run = 1;
        while (run <= pos && format[pos - run] == '%')
            ++run;
        if (run % 2 == 1)
            return pos;
    }
    return std::string::npos;
}

// The errno text goes into a format string: a percent sign in it must not start a conversion that would
// read arguments the caller never passed.
std::string escape_percent(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        out += c;
        if (c == '%')
            out += '%';
    }
    return out;
}

class SharedLock {
public:
    // Counted in `held_off` while a writer keeps it waiting.
    SharedLock(pthread_rwlock_t& lock, std::atomic<std::int32_t>& held_off) : lock_(lock) {
        int rc = pthread_rwlock_tryrdlock(&lock_);
        if (rc == EBUSY) {
            ++held_off;
            rc = pthread_rwlock_rdlock(&lock_);
            --held_off;
        }
        if (rc != 0)
            throw std::system_error(rc, std::system_category(), "rwlock rdlock");
    }
    SharedLock(const SharedLock&) = delete;
    SharedLock& operator=(const SharedLock&) = delete;
    ~SharedLock() { pthread_rwlock_unlock(&lock_); }

private:
    pthread_rwlock_t& lock_;
};

void process_exception_impl(std::string& out, const std::exception& e) {
    const char* what = e.what();
    if (what != nullptr && *what != '\0') {
        out += '\n';
        out += what;
    }
    const auto* nested = dynamic_cast<const std::nested_exception*>(&e);
    if (nested == nullptr || !nested->nested_ptr())
        return;
    // Only std::exception is caught: anything else is the caller's to handle.
    try {
        nested->rethrow_nested();
    } catch (const std::exception& inner) {
        process_exception_impl(out, inner);
    }
}

} // namespace

Event::Event(Level level, std::string component, std::string trailer, std::int32_t saved_errno)
    : saved_errno_(saved_errno), level_(level), component_(std::move(component)),
      trailer_(std::move(trailer)) {}

void Event::setup_message(std::string message) {
    description_ = std::move(message);
    append_trailer();
    impl::standardize_eol(description_);
}

void Event::format(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    try {
        format_v(fmt, args);
    } catch (...) {
        va_end(args);
        throw;
    }
    va_end(args);
}

void Event::format_v(const char* fmt, va_list args) {
    if (fmt == nullptr)
        throw std::logic_error("Event::format_v: null format");
    std::string working(fmt);
    // Only the last "%m" cites the saved errno; earlier ones are left to the C library.
    if (working.size() >= 2) {
        if (auto pos = find_errno_conversion(working); pos != std::string::npos) {
            working = working.substr(0, pos) + "(" + std::to_string(saved_errno_) + ") " +
                      escape_percent(errno_to_string(saved_errno_)) + working.substr(pos + 2);
        }
    }

    description_.resize(first_pass_size);
    va_list first_pass;
    va_copy(first_pass, args);
    int n = std::vsnprintf(description_.data(), first_pass_size + 1, working.c_str(), first_pass);
    va_end(first_pass);
    if (n <= 0) {
        description_.clear();
    } else {
        description_.resize(static_cast<std::size_t>(n));
        if (static_cast<std::size_t>(n) > first_pass_size) {
            int again = std::vsnprintf(description_.data(), description_.size() + 1, working.c_str(), args);
            if (again < 0)
                description_.clear();
            else if (again < n)
                description_.resize(static_cast<std::size_t>(again));
        }
    }
    append_trailer();
    impl::standardize_eol(description_);
}

void Event::append_trailer() {
    if (trailer_.empty())
        return;
    if (trailer_.front() == '\n' && (description_.empty() || description_.back() == '\n'))
        description_.append(trailer_, 1);
    else
        description_ += trailer_;
}

std::string errno_to_string(int n) {
    char buffer[strerror_buffer_size] = {};
    // The GNU form may return a static text instead of filling the buffer.
    const char* text = strerror_r(n, buffer, sizeof buffer);
    static_assert(std::is_same_v<decltype(strerror_r(n, buffer, sizeof buffer)), char*>,
                  "the GNU strerror_r is required");
    return text;
}

namespace impl {

void standardize_eol(std::string& text) {
    std::size_t out = 0;
    for (std::size_t in = 0; in < text.size(); ++in) {
        if (text[in] == '\r' && in + 1 < text.size() && text[in + 1] == '\n')
            continue;
        text[out++] = text[in];
    }
    text.resize(out);
}

} // namespace impl

namespace detail {

std::string process_exception(const std::exception& e) {
    std::string out;
    process_exception_impl(out, e);
    return out;
}

std::string process_exception(const std::exception_ptr& p) {
    if (!p)
        return {};
    try {
        std::rethrow_exception(p);
    } catch (const std::exception& e) {
        return process_exception(e);
    }
}

void ConfigurationUnlocker::operator()(Configuration* configuration) const noexcept {
    configuration->unlock();
}

} // namespace detail

void FormattableLogSink::set_formatter(std::shared_ptr<Formatter> replacement) {
    formatter_ = std::move(replacement);
}

Configuration::Configuration() {
    if (int rc = pthread_rwlock_init(&rwlock_, nullptr); rc != 0)
        throw std::system_error(rc, std::system_category(), "rwlock init");
}

Configuration::~Configuration() {
    pthread_rwlock_destroy(&rwlock_);
}

bool Configuration::is_enabled(Level level) const noexcept {
    return static_cast<std::int32_t>(level) >= threshold_.load();
}

void Configuration::add_sink(std::shared_ptr<LogSink> sink, Level level) {
    auto held = lock();
    // An empty sink would crash the next dispatch, far from the faulty call.
    if (!sink)
        throw std::invalid_argument("Configuration::add_sink: empty sink");
    sinks_.emplace_back(std::move(sink), level);
}

void Configuration::remove_sink(std::shared_ptr<LogSink> sink) {
    auto held = lock();
    std::erase_if(sinks_, [&](const auto& pair) { return pair.first == sink; });
}

void Configuration::erase_sinks(std::uint64_t tag) {
    auto held = lock();
    std::erase_if(sinks_, [&](const auto& pair) { return tag == 0 || pair.first->tag == tag; });
}

void Configuration::clear_sinks() {
    auto held = lock();
    sinks_.clear();
}

void Configuration::set_level(Level level) {
    auto held = lock();
    for (auto& pair : sinks_)
        pair.second = level;
}

void Configuration::set_level(std::uint64_t tag, Level level) {
    auto held = lock();
    for (auto& pair : sinks_) {
        if (tag == 0 || pair.first->tag == tag)
            pair.second = level;
    }
}

void Configuration::hangup_sinks() {
    auto held = lock();
    for (auto& pair : sinks_)
        pair.first->hangup();
}

void Configuration::sync_sinks() {
    auto held = lock();
    for (auto& pair : sinks_)
        pair.first->sync();
}

void Configuration::log_impl(const Event& event) {
    SharedLock shared(rwlock_, held_off_);
    // Declared after the lock so that the sinks' cache entries are gone before it is released.
    DispatchContext context{&event};
    for (auto& pair : sinks_) {
        if (pair.second <= event.get_level())
            pair.first->log(context);
    }
}

std::int32_t Configuration::deliveries_held_off() const noexcept {
    return held_off_.load();
}

std::unique_ptr<Configuration, detail::ConfigurationUnlocker> Configuration::lock() {
    if (int rc = pthread_rwlock_wrlock(&rwlock_); rc != 0)
        throw std::system_error(rc, std::system_category(), "rwlock wrlock");
    return std::unique_ptr<Configuration, detail::ConfigurationUnlocker>(this);
}

void Configuration::unlock() noexcept {
    std::int32_t least = no_sink_threshold;
    for (const auto& pair : sinks_)
        least = std::min(least, static_cast<std::int32_t>(pair.second));
    // Published before the lock is released, so is_enabled never sees a stale value after a change returns.
    threshold_.exchange(least, std::memory_order_seq_cst);
    pthread_rwlock_unlock(&rwlock_);
}

Configuration& get_global_configuration() {
    static Configuration configuration;
    return configuration;
}

Logger* get_global_logger() {
    // Trivially destructible, so no destructor is registered to run at exit.
    static Logger logger(get_global_configuration());
    return &logger;
}

} // namespace zelu::log

fmt::format_context::iterator fmt::formatter<zelu::log::detail::ErrnoPlaceholder>::format(
    const zelu::log::detail::ErrnoPlaceholder& placeholder, format_context& ctx) const {
    switch (presentation_) {
    case 'd':
        return fmt::format_to(ctx.out(), "{}", placeholder.error_number);
    case 's': {
        const std::string text = zelu::log::errno_to_string(placeholder.error_number);
        return std::copy(text.begin(), text.end(), ctx.out());
    }
    default:
        return fmt::format_to(ctx.out(), "({}) {}", placeholder.error_number,
                              zelu::log::errno_to_string(placeholder.error_number));
    }
}
