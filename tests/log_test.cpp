// Event texts, the errno placeholder, exception chains, and delivery through configurations and sinks.
#include "zelu/log.hpp"

#include "tests/support/files.hpp"
#include "tests/support/process.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <future>
#include <mutex>
#include <stdexcept>
#include <thread>

using namespace std::chrono_literals;
namespace zl = zelu::log;
using zet_test::strerror_text;
using zl::Configuration;
using zl::DispatchContext;
using zl::Event;
using zl::Level;
using zl::LogSink;

namespace {

Level L(int n) {
    return static_cast<Level>(n);
}

std::string cited(int n) {
    return "(" + std::to_string(n) + ") " + strerror_text(n);
}

// ---- printf-style descriptions --------------------------------------------------------------------------

struct FormatCase {
    int saved_errno;
    std::string format; // applied to `arg` through one "%s" at most
    std::string arg;
    std::string trailer;
    std::string expected;
};

const std::string s119(119, 'a'), s120(120, 'b'), s121(121, 'c'), s300(300, 'd');

const FormatCase format_cases[] = {
    {ENOENT, "open %s: %m", "x", "", "open x: " + cited(ENOENT)},
    {EACCES, "%m", "", "", cited(EACCES)},
    {EACCES, "no placeholder", "", "", "no placeholder"},
    {-1, "neg %m", "", "", "neg " + cited(-1)},
    {4242, "%m.", "", "", cited(4242) + "."},
    // A doubled percent sign is a literal one, so its m is text; "%%%m" still ends with a conversion.
    {EACCES, "100%%m", "", "", "100%m"},
    {EACCES, "%%%m", "", "", "%" + cited(EACCES)},
    {EACCES, "%m and 100%%m", "", "", cited(EACCES) + " and 100%m"},
    // Arguments are data: a "%m" inside one is not a placeholder.
    {EACCES, "%s", "%m", "", "%m"},
    {EACCES, "", "", "", ""},
    {EACCES, "", "", "\nouter", "outer"},
    {EACCES, "%s", s119, "", s119},
    {EACCES, "%s", s120, "", s120},
    {EACCES, "%s", s121, "", s121},
    {EACCES, "%s", s300, "", s300},
    {EACCES, s300, "", "", s300},
    {EACCES, "%s: %m", s300, "\ntrail", s300 + ": " + cited(EACCES) + "\ntrail"},
    {EACCES, "%s", s120, "\ntrail", s120 + "\ntrail"},
    // The trailer rule looks at the raw text: a CR LF trailer after a line end leaves an empty line.
    {EACCES, "a\r\nb\r%s\r\n", "c", "\r\nt", "a\nb\rc\n\nt"},
    {EACCES, "%s", "x\r\r\n", "", "x\r\n"},
};

TEST(EventFormat, Descriptions) {
    for (const auto& c : format_cases) {
        SCOPED_TRACE(c.format.substr(0, 40) + " / " + c.arg.substr(0, 20));
        Event event(Level::Warning, "test", c.trailer, c.saved_errno);
        event.format(c.format.c_str(), c.arg.c_str());
        EXPECT_EQ(event.get_description(), c.expected);
    }
}

TEST(EventFormat, OnlyTheLastPlaceholderCitesTheSavedErrno) {
    // The earlier "%m" reaches the C library, which cites errno at the time of the call.
    Event event(Level::Warning, "test", "", EACCES);
    errno = EBADF;
    event.format("a%mb%m");
    EXPECT_EQ(event.get_description(), "a" + strerror_text(EBADF) + "b" + cited(EACCES));
}

TEST(EventFormat, ReformattingReplacesTheDescription) {
    Event event(Level::Info, "test", "", 0);
    event.format("%s", s300.c_str());
    event.format("%d", 7);
    EXPECT_EQ(event.get_description(), "7");
}

TEST(EventFormat, NullFormatIsRejectedBeforeTheEventChanges) {
    Event event(Level::Info, "test", "", 0);
    event.setup_message("kept");
    const char* volatile null_format = nullptr;
    EXPECT_THROW(event.format(null_format), std::logic_error);
    EXPECT_EQ(event.get_description(), "kept");
}

// ---- setup_message, the trailer rule and line ends ------------------------------------------------------

struct TrailerCase {
    std::string message, trailer, expected;
};

const TrailerCase trailer_cases[] = {
    {"msg", "\nouter", "msg\nouter"},
    {"msg\n", "\nouter", "msg\nouter"},
    {"", "\nouter", "outer"},
    {"msg", "tail", "msgtail"},
    {"", "tail", "tail"},
    {"msg\n", "tail", "msg\ntail"},
    {"msg", "", "msg"},
    {"", "\n", ""},
    {"msg", "\n\nx", "msg\n\nx"},
    {"msg\r\n", "\nx", "msg\nx"}, // the trailer rule runs before CR LF become LF
    {"msg\r", "\nx", "msg\nx"},   // the message's CR and the trailer's LF make one line end
    {"msg", "\r\nx", "msg\nx"},
};

TEST(EventMessage, TrailerRule) {
    for (const auto& c : trailer_cases) {
        SCOPED_TRACE(c.message + "|" + c.trailer);
        Event event(Level::Warning, "test", c.trailer, 0);
        event.setup_message(c.message);
        EXPECT_EQ(event.get_description(), c.expected);
    }
}

TEST(EventMessage, StandardizeEol) {
    const std::pair<std::string, std::string> cases[] = {
        {"a\r\nb\rc\r\n", "a\nb\rc\n"}, {"\r\r\n", "\r\n"}, {"", ""},       {"\r", "\r"}, {"\n\r", "\n\r"},
        {"\r\n\r\n", "\n\n"},           {"plain", "plain"}, {"\r\n", "\n"},
    };
    for (const auto& [input, expected] : cases) {
        std::string text = input;
        zl::impl::standardize_eol(text);
        EXPECT_EQ(text, expected) << testing::PrintToString(input);
    }
}

// ---- errno texts and the fmt placeholder ----------------------------------------------------------------

TEST(ErrnoText, MatchesTheCLibrary) {
    for (int n : {0, ENOENT, EACCES, EINTR, 4242, -1}) {
        EXPECT_EQ(zl::errno_to_string(n), strerror_text(n)) << n;
    }
    EXPECT_EQ(zl::errno_to_string(0), "Success");
}

struct PlaceholderCase {
    std::string format;
    int number;
    std::string expected; // empty: the format is rejected
};

const PlaceholderCase placeholder_cases[] = {
    {"{m}", EACCES, cited(EACCES)},
    {"{m:d}", EACCES, "13"},
    {"{m:s}", EACCES, strerror_text(EACCES)},
    {"{m:sd}", EACCES, "13"},
    {"{m:ds}", EACCES, strerror_text(EACCES)},
    {"{m:}", EACCES, cited(EACCES)},
    {"{m:d}", -5, "-5"},
    {"{m}", -5, cited(-5)},
    {"{m:s}", 4242, strerror_text(4242)},
    {"{}: {m:s} ({m:d})", ENOENT, "key: " + strerror_text(ENOENT) + " (2)"},
    {"{0}={m}", 0, "key=" + cited(0)},
    {"{m:x}", EACCES, ""},
    {"{m:s }", EACCES, ""},
    {"{m:>5}", EACCES, ""},
    {"{m:5d}", EACCES, ""},
};

TEST(ErrnoPlaceholder, Specs) {
    for (const auto& c : placeholder_cases) {
        SCOPED_TRACE(c.format);
        // fmt::arg refers to its value, so the placeholder is built inside each call.
        const auto format = [&] {
            return fmt::format(fmt::runtime(c.format), "key",
                               fmt::arg("m", zl::detail::ErrnoPlaceholder{c.number}));
        };
        if (c.expected.empty()) {
            try {
                (void)format();
                ADD_FAILURE() << "accepted";
            } catch (const fmt::format_error& e) {
                EXPECT_STREQ(e.what(), "invalid format specifier for {m}, expected: [s|d]");
            }
        } else {
            EXPECT_EQ(format(), c.expected);
        }
    }
}

// The reporters' calling pattern, through the global logger, with errno read at the failure.
class CollectingSink : public LogSink {
public:
    void log(DispatchContext& context) override {
        std::lock_guard guard(mutex_);
        seen.emplace_back(context.event->get_component() + "@" +
                          std::to_string(static_cast<int>(context.event->get_level())) + ": " +
                          context.event->get_description());
    }
    std::vector<std::string> seen;

private:
    std::mutex mutex_;
};

void report(const char* format, const std::string& key) {
    zl::Logger* logger = zl::get_global_logger();
    if (logger == nullptr || !logger->is_enabled(Level::Warning))
        return;
    try {
        Event event(Level::Warning, "ini_parser", "", errno);
        event.setup_message(
            fmt::format(fmt::runtime(format), key, fmt::arg("m", zl::detail::ErrnoPlaceholder{errno})));
        logger->log(event);
    } catch (const std::exception&) {
    }
}

TEST(GlobalLogger, ReporterPattern) {
    zl::Logger* logger = zl::get_global_logger();
    ASSERT_NE(logger, nullptr);
    EXPECT_EQ(logger, zl::get_global_logger());
    auto sink = std::make_shared<CollectingSink>();
    zl::get_global_configuration().add_sink(sink, Level::Warning);
    errno = EACCES;
    report("{}: {m}\r\n", "SCANNERS");
    report("{}: {m:q}", "ignored"); // a bad spec is swallowed by the reporter
    errno = ENOENT;
    report("{}: {m:s}", "VAULT");
    zl::get_global_configuration().remove_sink(sink);
    EXPECT_EQ(sink->seen, (std::vector<std::string>{"ini_parser@4: SCANNERS: " + cited(EACCES) + "\n",
                                                    "ini_parser@4: VAULT: " + strerror_text(ENOENT)}));
    EXPECT_FALSE(logger->is_enabled(L(5))); // no sinks left: threshold 6
}

// ---- exception chains -----------------------------------------------------------------------------------

struct LoneNested : std::runtime_error, std::nested_exception {
    LoneNested() : std::runtime_error("lone") {} // built outside a handler: holds no nested exception
};

struct NullWhat : std::exception {
    const char* what() const noexcept override { return nullptr; }
};

// `outer` run while `inner` is being handled, so that throw_with_nested wraps it; the exception it threw.
std::exception_ptr nested_over(std::exception_ptr inner, std::function<void()> outer) {
    try {
        std::rethrow_exception(inner);
    } catch (...) {
        try {
            outer();
        } catch (...) {
            return std::current_exception();
        }
    }
    return {};
}

// A runtime_error of `texts[0]` whose nested chain holds the rest, innermost last.
std::exception_ptr chain(const std::vector<std::string>& texts) {
    auto p = std::make_exception_ptr(std::runtime_error(texts.back()));
    for (auto it = texts.rbegin() + 1; it != texts.rend(); ++it) {
        const std::string text = *it;
        p = nested_over(p, [&] { std::throw_with_nested(std::runtime_error(text)); });
    }
    return p;
}

TEST(ProcessException, Chains) {
    struct Case {
        const char* name;
        std::exception_ptr p;
        std::string expected;
    };
    const Case cases[] = {
        {"single", chain({"outer"}), "\nouter"},
        {"nested", chain({"outer", "inner"}), "\nouter\ninner"},
        {"three", chain({"a", "b", "c"}), "\na\nb\nc"},
        {"empty what", nested_over(chain({"inner"}), [] { std::throw_with_nested(std::runtime_error("")); }),
         "\ninner"},
        {"null what", nested_over(chain({"inner"}), [] { std::throw_with_nested(NullWhat{}); }), "\ninner"},
        {"lone nested_exception", std::make_exception_ptr(LoneNested{}), "\nlone"},
        {"null pointer", nullptr, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(zl::detail::process_exception(c.p), c.expected);
        if (c.p) {
            try {
                std::rethrow_exception(c.p);
            } catch (const std::exception& e) {
                EXPECT_EQ(zl::detail::process_exception(e), c.expected);
            }
        }
    }
}

TEST(ProcessException, ForeignObjectsPropagate) {
    EXPECT_THROW(zl::detail::process_exception(std::make_exception_ptr(42)), int);
    auto foreign_inside =
        nested_over(std::make_exception_ptr(42), [] { std::throw_with_nested(std::runtime_error("outer")); });
    EXPECT_THROW(zl::detail::process_exception(foreign_inside), int);
}

TEST(ProcessException, IsTheTrailerShape) {
    const std::string trailer = zl::detail::process_exception(chain({"outer", "inner"}));
    Event with_text(Level::Error, "test", trailer, 0), without_text(Level::Error, "test", trailer, 0);
    with_text.format("load failed");
    without_text.setup_message("");
    EXPECT_EQ(with_text.get_description(), "load failed\nouter\ninner");
    EXPECT_EQ(without_text.get_description(), "outer\ninner");
}

// ---- configurations and sinks ---------------------------------------------------------------------------

// What sinks saw, in order, across threads.
struct Journal {
    void add(std::string line) {
        std::lock_guard guard(mutex);
        lines.push_back(std::move(line));
    }
    std::vector<std::string> take() {
        std::lock_guard guard(mutex);
        return std::exchange(lines, {});
    }
    std::mutex mutex;
    std::vector<std::string> lines;
};

class RecordingSink : public LogSink {
public:
    RecordingSink(Journal& journal, std::string name, std::uint64_t tag = 0)
        : LogSink(tag), journal_(journal), name_(std::move(name)) {}
    void log(DispatchContext&) override { journal_.add(name_); }
    void hangup() override { journal_.add(name_ + ".hangup"); }
    void sync() override { journal_.add(name_ + ".sync"); }

private:
    Journal& journal_;
    std::string name_;
};

enum class Fails { Log, Hangup, Sync };

class FailingSink : public LogSink {
public:
    explicit FailingSink(Fails where) : where_(where) {}
    void log(DispatchContext&) override { fail(Fails::Log); }
    void hangup() override { fail(Fails::Hangup); }
    void sync() override { fail(Fails::Sync); }

private:
    void fail(Fails what) {
        if (what == where_)
            throw std::runtime_error("sink failed");
    }
    Fails where_;
};

// The least enabled level: the configuration's threshold, as far as callers can see it.
int threshold_of(const Configuration& config) {
    for (int level = -20; level <= 20; ++level) {
        if (config.is_enabled(L(level)))
            return level;
    }
    return 99;
}

void log_at(Configuration& config, int level) {
    Event event(L(level), "test", "", 0);
    event.setup_message("m");
    config.log_impl(event);
}

// Runs `body` on another thread. A lock left held would block it for good; the thread then cannot be
// joined, so the process ends with a failure instead of hanging the suite.
void finishes_in_time(std::function<void()> body) {
    auto done = std::async(std::launch::async, std::move(body));
    if (done.wait_for(10s) != std::future_status::ready) {
        std::fprintf(stderr, "blocked: the configuration's lock was left held\n");
        std::fflush(nullptr);
        std::_Exit(1);
    }
    done.get();
}

struct Fixture {
    Journal journal;
    std::shared_ptr<LogSink> a = std::make_shared<RecordingSink>(journal, "a", 1);
    std::shared_ptr<LogSink> b = std::make_shared<RecordingSink>(journal, "b", 2);
    std::shared_ptr<LogSink> c = std::make_shared<RecordingSink>(journal, "c", 1);
    Configuration config;
};

TEST(Configuration, Thresholds) {
    struct Case {
        const char* name;
        std::function<void(Fixture&)> steps;
        int threshold;
    };
    const Case cases[] = {
        {"new", [](Fixture&) {}, 0},
        {"add 3", [](Fixture& f) { f.config.add_sink(f.a, L(3)); }, 3},
        {"add 3 and 5", [](Fixture& f) { f.config.add_sink(f.b, L(5)), f.config.add_sink(f.a, L(3)); }, 3},
        {"add 7", [](Fixture& f) { f.config.add_sink(f.a, L(7)); }, 6},
        {"add -3", [](Fixture& f) { f.config.add_sink(f.a, L(-3)); }, -3},
        {"remove unregistered", [](Fixture& f) { f.config.remove_sink(f.a); }, 6},
        {"set_level on empty", [](Fixture& f) { f.config.set_level(L(2)); }, 6},
        {"set_level tag on empty", [](Fixture& f) { f.config.set_level(1, L(2)); }, 6},
        {"set_level 1", [](Fixture& f) { f.config.add_sink(f.a, L(5)), f.config.set_level(L(1)); }, 1},
        {"set_level by tag",
         [](Fixture& f) {
             f.config.add_sink(f.a, L(5)), f.config.add_sink(f.b, L(4)), f.config.set_level(1, L(2));
         },
         2},
        {"set_level other tag", [](Fixture& f) { f.config.add_sink(f.a, L(5)), f.config.set_level(9, L(1)); },
         5},
        {"remove last", [](Fixture& f) { f.config.add_sink(f.a, L(1)), f.config.remove_sink(f.a); }, 6},
        {"erase 0", [](Fixture& f) { f.config.add_sink(f.a, L(1)), f.config.erase_sinks(0); }, 6},
        {"erase tag",
         [](Fixture& f) {
             f.config.add_sink(f.a, L(1)), f.config.add_sink(f.b, L(4)), f.config.erase_sinks(1);
         },
         4},
        {"clear", [](Fixture& f) { f.config.add_sink(f.a, L(1)), f.config.clear_sinks(); }, 6},
        {"hangup on empty", [](Fixture& f) { f.config.hangup_sinks(); }, 6},
        {"sync on empty", [](Fixture& f) { f.config.sync_sinks(); }, 6},
        {"lock handle", [](Fixture& f) { f.config.lock().reset(); }, 6},
        {"unlock", [](Fixture& f) { (void)f.config.lock().release(), f.config.unlock(); }, 6},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Fixture f;
        c.steps(f);
        EXPECT_EQ(threshold_of(f.config), c.threshold);
    }
}

TEST(Configuration, DispatchOrderAndLevels) {
    struct Case {
        const char* name;
        std::function<void(Fixture&)> steps;
        int event_level;
        std::vector<std::string> received;
    };
    const auto abca = [](Fixture& f) {
        for (const auto& sink : {f.a, f.b, f.c, f.a})
            f.config.add_sink(sink, L(0));
    };
    const auto then = [](std::function<void(Fixture&)> first, std::function<void(Fixture&)> second) {
        return [=](Fixture& f) { first(f), second(f); };
    };
    const Case cases[] = {
        {"new", [](Fixture&) {}, 0, {}},
        {"a3 b5, event 4",
         [](Fixture& f) { f.config.add_sink(f.a, L(3)), f.config.add_sink(f.b, L(5)); },
         4,
         {"a"}},
        {"a3 b5, event 5",
         [](Fixture& f) { f.config.add_sink(f.a, L(3)), f.config.add_sink(f.b, L(5)); },
         5,
         {"a", "b"}},
        {"b5 a3, event 5",
         [](Fixture& f) { f.config.add_sink(f.b, L(5)), f.config.add_sink(f.a, L(3)); },
         5,
         {"b", "a"}},
        {"a7, event 6", [](Fixture& f) { f.config.add_sink(f.a, L(7)); }, 6, {}},
        {"event below threshold is still delivered by level",
         [](Fixture& f) { f.config.add_sink(f.a, L(-2)); },
         -2,
         {"a"}},
        {"added twice", abca, 0, {"a", "b", "c", "a"}},
        {"remove both pairs", then(abca, [](Fixture& f) { f.config.remove_sink(f.a); }), 0, {"b", "c"}},
        {"remove unregistered",
         then(abca, [](Fixture& f) { f.config.remove_sink(std::make_shared<FailingSink>(Fails::Log)); }),
         0,
         {"a", "b", "c", "a"}},
        {"erase tag 1", then(abca, [](Fixture& f) { f.config.erase_sinks(1); }), 0, {"b"}},
        {"erase tag 2", then(abca, [](Fixture& f) { f.config.erase_sinks(2); }), 0, {"a", "c", "a"}},
        {"erase unknown tag",
         then(abca, [](Fixture& f) { f.config.erase_sinks(9); }),
         0,
         {"a", "b", "c", "a"}},
        {"erase all", then(abca, [](Fixture& f) { f.config.erase_sinks(0); }), 0, {}},
        {"clear", then(abca, [](Fixture& f) { f.config.clear_sinks(); }), 0, {}},
        {"set_level tag 1", then(abca, [](Fixture& f) { f.config.set_level(1, L(5)); }), 3, {"b"}},
        {"set_level tag 1, event 5",
         then(abca, [](Fixture& f) { f.config.set_level(1, L(5)); }),
         5,
         {"a", "b", "c", "a"}},
        {"set_level tag 0", then(abca, [](Fixture& f) { f.config.set_level(0, L(5)); }), 3, {}},
        {"set_level unknown tag",
         then(abca, [](Fixture& f) { f.config.set_level(9, L(5)); }),
         3,
         {"a", "b", "c", "a"}},
        {"set_level all", then(abca, [](Fixture& f) { f.config.set_level(L(5)); }), 4, {}},
        {"re-add after clear",
         then(abca, [](Fixture& f) { f.config.clear_sinks(), f.config.add_sink(f.c, L(1)); }),
         1,
         {"c"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Fixture f;
        c.steps(f);
        log_at(f.config, c.event_level);
        EXPECT_EQ(f.journal.take(), c.received);
    }
}

TEST(Configuration, HangupAndSyncReachEveryPairInOrder) {
    Fixture f;
    for (const auto& sink : {f.b, f.a, f.b})
        f.config.add_sink(sink, L(9));
    f.config.hangup_sinks();
    f.config.sync_sinks();
    EXPECT_EQ(f.journal.take(),
              (std::vector<std::string>{"b.hangup", "a.hangup", "b.hangup", "b.sync", "a.sync", "b.sync"}));
}

TEST(Configuration, ReleasesSinks) {
    Journal journal;
    std::weak_ptr<LogSink> removed, kept;
    {
        Configuration config;
        auto a = std::make_shared<RecordingSink>(journal, "a");
        auto b = std::make_shared<RecordingSink>(journal, "b");
        removed = a, kept = b;
        config.add_sink(std::move(a), L(0));
        config.add_sink(std::move(b), L(0));
        config.remove_sink(removed.lock());
        EXPECT_TRUE(removed.expired());
        EXPECT_FALSE(kept.expired());
    }
    EXPECT_TRUE(kept.expired());
    EXPECT_TRUE(journal.take().empty()); // the destructor calls neither hangup nor sync
}

TEST(Configuration, EmptySinkIsRejected) {
    Fixture f;
    EXPECT_THROW(f.config.add_sink(nullptr, L(1)), std::invalid_argument);
    EXPECT_EQ(threshold_of(f.config), 6);
    finishes_in_time([&] {
        f.config.add_sink(f.a, L(2));
        log_at(f.config, 2);
    });
    EXPECT_EQ(f.journal.take(), std::vector<std::string>{"a"});
}

TEST(Configuration, DispatchContextIsSharedPerDispatch) {
    struct ContextSink : LogSink {
        void log(DispatchContext& context) override {
            if (context.cache.empty()) {
                initial.push_back(context.scratch_u64 == 0 && context.scratch_i32 == -1 &&
                                  context.scratch_i64 == -1);
                context.scratch_u64 = 7, context.scratch_i32 = 8, context.scratch_i64 = 9;
                context.cache.emplace_back(1, context.event->get_description());
            } else {
                shared.push_back(context.scratch_u64 == 7 && context.scratch_i32 == 8 &&
                                 context.scratch_i64 == 9 && context.cache.size() == 1);
            }
            events.push_back(context.event);
        }
        std::vector<bool> initial, shared;
        std::vector<const Event*> events;
    };
    auto sink = std::make_shared<ContextSink>();
    Configuration config;
    config.add_sink(sink, L(0));
    config.add_sink(sink, L(0));
    Event first(L(1), "t", "", 0), second(L(1), "t", "", 0);
    config.log_impl(first);
    config.log_impl(second);
    EXPECT_EQ(sink->initial, (std::vector<bool>{true, true}));
    EXPECT_EQ(sink->shared, (std::vector<bool>{true, true}));
    EXPECT_EQ(sink->events, (std::vector<const Event*>{&first, &first, &second, &second}));
}

TEST(Configuration, FailingSinkReleasesTheLock) {
    for (Fails where : {Fails::Log, Fails::Hangup, Fails::Sync}) {
        SCOPED_TRACE(static_cast<int>(where));
        Fixture f;
        auto failing = std::make_shared<FailingSink>(where);
        f.config.add_sink(f.a, L(0));
        f.config.add_sink(failing, L(0));
        f.config.add_sink(f.b, L(0));
        switch (where) {
        case Fails::Log:
            EXPECT_THROW(log_at(f.config, 0), std::runtime_error);
            break;
        case Fails::Hangup:
            EXPECT_THROW(f.config.hangup_sinks(), std::runtime_error);
            break;
        case Fails::Sync:
            EXPECT_THROW(f.config.sync_sinks(), std::runtime_error);
            break;
        }
        const char* suffix[] = {"", ".hangup", ".sync"};
        // The pass ended at the failing sink.
        EXPECT_EQ(f.journal.take(),
                  std::vector<std::string>{std::string("a") + suffix[static_cast<int>(where)]});
        finishes_in_time([&] {
            f.config.remove_sink(failing);
            log_at(f.config, 0);
            f.config.set_level(L(3));
        });
        EXPECT_EQ(f.journal.take(), (std::vector<std::string>{"a", "b"}));
        EXPECT_EQ(threshold_of(f.config), 3);
    }
}

TEST(Configuration, LockHandleHoldsOffDelivery) {
    Fixture f;
    f.config.add_sink(f.a, L(0));
    auto handle = f.config.lock();
    EXPECT_EQ(handle.get(), &f.config);
    EXPECT_TRUE(f.config.is_enabled(L(0))); // the threshold is read without the lock
    std::thread logger([&] { log_at(f.config, 0); });
    // Nothing may arrive while the handle is held: the logger has come and waits for the lock.
    EXPECT_TRUE(zet_test::wait_until([&] { return f.config.deliveries_held_off() == 1; }));
    EXPECT_TRUE(f.journal.take().empty());
    handle.reset();
    logger.join();
    EXPECT_EQ(f.journal.take(), std::vector<std::string>{"a"});
}

TEST(Configuration, ConcurrentLoggingWhileSinksChange) {
    struct CountingSink : LogSink {
        void log(DispatchContext&) override { ++count; }
        std::atomic<long> count{0};
    };
    constexpr int loggers = 3, events_each = 3000, changes = 300;
    Configuration config;
    auto steady = std::make_shared<CountingSink>();
    auto churn = std::make_shared<CountingSink>();
    config.add_sink(steady, L(1));
    std::vector<std::thread> threads;
    for (int t = 0; t < loggers; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < events_each; ++i) {
                if (config.is_enabled(L(1)))
                    log_at(config, 1);
            }
        });
    }
    threads.emplace_back([&] {
        for (int i = 0; i < changes; ++i) {
            config.add_sink(churn, L(i % 3));
            config.set_level(L(1));
            config.remove_sink(churn);
        }
    });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(steady->count, loggers * events_each);
    EXPECT_LE(churn->count, loggers * events_each);
    EXPECT_EQ(threshold_of(config), 1);
}

TEST(FormattableLogSink, SetFormatterReleasesThePrevious) {
    struct Fixed : zl::Formatter {
        std::string format(DispatchContext&) const override { return "fixed"; }
    };
    struct TextSink : zl::FormattableLogSink {
        void log(DispatchContext& context) override {
            texts.push_back(formatter_ ? formatter_->format(context) : "-");
        }
        std::vector<std::string> texts;
    };
    auto sink = std::make_shared<TextSink>();
    auto first = std::make_shared<Fixed>();
    std::weak_ptr<zl::Formatter> watch = first;
    sink->set_formatter(std::move(first));
    Configuration config;
    config.add_sink(sink, L(0));
    log_at(config, 0);
    {
        auto held = config.lock();
        sink->set_formatter(nullptr);
    }
    EXPECT_TRUE(watch.expired());
    log_at(config, 0);
    EXPECT_EQ(sink->texts, (std::vector<std::string>{"fixed", "-"}));
}

} // namespace
