// INI parser: one row per input with its items, error reports and result; files, callbacks that throw,
// per-thread error state, and the typed getters with their log reports.
#include "zelu/ini_parser.hpp"

#include "tests/support/files.hpp"
#include "zelu/log.hpp"
#include "zelu/util.hpp"

#include <gtest/gtest.h>

#include <fmt/format.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace std::string_literals;
namespace ini = zelu::ini;
using ini::ParseFlags;

namespace {

constexpr unsigned Sections = ParseFlags::ReportSections;
constexpr unsigned Comments = ParseFlags::ReportComments;
constexpr unsigned Empties = ParseFlags::ReportEmptyLines;
constexpr unsigned Plain = ParseFlags::AllowPlainValues;
constexpr unsigned All = Sections | Comments | Empties | Plain;

const char* const invalid_line = "invalid line, expected '[section]' or 'key=value' or a comment";
const char* const bracket = "parse error matching tao::pegtl::ascii::one<']'>";
const char* const bad_escape = "parse error matching tao::pegtl::sor<zelu::ini::parser::StringChEscHex, "
                               "zelu::ini::parser::StringChEscOct, zelu::ini::parser::StringChEscSingle>";

// type|section|key|value|value_type|number|comment_char, texts escaped so control bytes show.
std::string dump(const ini::Item& item) {
    static const char* const types[] = {"Sec", "KV", "Com", "Empty", "Plain"};
    static const char* const kinds[] = {"S", "B", "I"};
    return fmt::format("{}|{}|{}|{}|{}|{}|{}", types[static_cast<int>(item.type)],
                       zelu::util::escape(item.section), zelu::util::escape(item.key),
                       zelu::util::escape(item.value), kinds[static_cast<int>(item.value_type)], item.number,
                       item.comment_char == 0 ? '-' : item.comment_char);
}

// code|message|context, the context escaped.
std::string dump(ini::ErrorCode code, const std::string& message, const std::string& context) {
    return fmt::format("{}|{}|{}", code == ini::ErrorCode::ReadError ? "R" : "S", message,
                       zelu::util::escape(context));
}

struct Recorder {
    std::vector<std::string> items;
    std::vector<std::string> errors;
    ini::ItemCallback on_item = [this](const ini::Item& i) { items.push_back(dump(i)); };
    ini::ErrorCallback on_error = [this](ini::ErrorCode c, std::string m, std::string x) {
        errors.push_back(dump(c, m, x));
    };
};

std::string err(int line, int column, const std::string& what, const std::string& context) {
    return fmt::format("S|<input>:{}:{}: {}|{}", line, column, what, context);
}

struct Case {
    int line;
    std::string input;
    unsigned flags;
    std::vector<std::string> items;
    std::vector<std::string> errors;
    bool result;
};

const Case cases[] = {
    // Empty input, blank, empty and comment lines
    {__LINE__, "", All, {}, {}, true},
    {__LINE__, "\n  \n; c\n# d", 0, {}, {}, true},
    {__LINE__,
     "\n \t\v\f\r\n;  c  \r\n#d",
     Comments | Empties,
     {"Empty||||S|0|-", "Empty||||S|0|-", "Com|||c|S|0|;", "Com|||d|S|0|#"},
     {},
     true},
    {__LINE__, "[s]\n#x\n\n", Comments | Empties, {"Com|s||x|S|0|#", "Empty|s|||S|0|-"}, {}, true},
    // Key/value lines; the last line needs no line end; CR LF and LF mixed
    {__LINE__, "key=value", 0, {"KV||key|value|S|0|-"}, {}, true},
    {__LINE__, "a=1\r\nb = 2\nc =3\r\n", 0, {"KV||a|1|I|1|-", "KV||b|2|I|2|-", "KV||c|3|I|3|-"}, {}, true},
    {__LINE__,
     "my key = some value # not a comment",
     0,
     {"KV||my key|some value # not a comment|S|0|-"},
     {},
     true},
    {__LINE__, "\t\vk\f=\tv \t", 0, {"KV||k|v|S|0|-"}, {}, true},
    {__LINE__, "a\"b#c;d = x ; y", 0, {"KV||a\\\"b#c;d|x ; y|S|0|-"}, {}, true},
    {__LINE__, "k = a\rb\r\r\n", 0, {"KV||k|a\\rb|S|0|-"}, {}, true},
    {__LINE__, "k = \xc3\xa4\xff", 0, {"KV||k|\\xc3\\xa4\\xff|S|0|-"}, {}, true},
    // Empty values: the line end stays for the empty-line rule
    {__LINE__, "k =\n", Empties, {"KV||k||S|0|-", "Empty||||S|0|-"}, {}, true},
    {__LINE__, "k =  ", Empties, {"KV||k||S|0|-"}, {}, true},
    {__LINE__, "k=\r\nj=1", 0, {"KV||k||S|0|-", "KV||j|1|I|1|-"}, {}, true},
    // Booleans
    {__LINE__,
     "a = Yes\nb = t\nc = oFF \nd = FALSE\ne = on\nf = No\ng = F\nh = TRUE",
     0,
     {"KV||a|Yes|B|1|-", "KV||b|t|B|1|-", "KV||c|oFF|B|0|-", "KV||d|FALSE|B|0|-", "KV||e|on|B|1|-",
      "KV||f|No|B|0|-", "KV||g|F|B|0|-", "KV||h|TRUE|B|1|-"},
     {},
     true},
    {__LINE__,
     "a = y\nb = yes please\nc = truex\nd = of\ne = 1",
     0,
     {"KV||a|y|S|0|-", "KV||b|yes please|S|0|-", "KV||c|truex|S|0|-", "KV||d|of|S|0|-", "KV||e|1|I|1|-"},
     {},
     true},
    // Integers and their bounds
    {__LINE__,
     "a = -1_000\nb = +5\nc = 007\nd = 9223372036854775807\ne = -9223372036854775808",
     0,
     {"KV||a|-1_000|I|-1000|-", "KV||b|+5|I|5|-", "KV||c|007|I|7|-",
      "KV||d|9223372036854775807|I|9223372036854775807|-",
      "KV||e|-9223372036854775808|I|-9223372036854775808|-"},
     {},
     true},
    {__LINE__,
     "a = 9223372036854775808\nb = -9_223_372_036_854_775_809\nc = 1_000_000 \t",
     0,
     {"KV||a|9223372036854775808|S|0|-", "KV||b|-9_223_372_036_854_775_809|S|0|-",
      "KV||c|1_000_000|I|1000000|-"},
     {},
     true},
    {__LINE__,
     "a = 0x10\nb = 1.5\nc = 1__0\nd = 1_\ne = 12 # note\nf = -\ng = _1",
     0,
     {"KV||a|0x10|S|0|-", "KV||b|1.5|S|0|-", "KV||c|1__0|S|0|-", "KV||d|1_|S|0|-", "KV||e|12 # note|S|0|-",
      "KV||f|-|S|0|-", "KV||g|_1|S|0|-"},
     {},
     true},
    // Quoted values and their escapes
    {__LINE__, "k = \"a\\tb\"", 0, {"KV||k|a\\tb|S|0|-"}, {}, true},
    {__LINE__, "k = \" a#;b \"  ", 0, {"KV||k| a#;b |S|0|-"}, {}, true},
    {__LINE__, "k = \"\\x4a\\x4A\\x7e\"", 0, {"KV||k|JJ~|S|0|-"}, {}, true},
    {__LINE__, "k = \"\\101\\0\\1234\\777\"", 0, {"KV||k|A\\x00S4\\xff|S|0|-"}, {}, true},
    {__LINE__,
     "k = \"\\\"\\'\\\\\\a\\b\\e\\f\\n\\r\\t\\v\"",
     0,
     {"KV||k|\\\"\\'\\\\\\a\\b\\x1b\\f\\n\\r\\t\\v|S|0|-"},
     {},
     true},
    {__LINE__, "k = \"\"\n", 0, {"KV||k||S|0|-"}, {}, true},
    {__LINE__, "k = \"yes\"\nj = \"12\"", 0, {"KV||k|yes|S|0|-", "KV||j|12|S|0|-"}, {}, true},
    {__LINE__, "k = \"\t\x7f\xc3\xa4\"", 0, {"KV||k|\\t\\x7f\\xc3\\xa4|S|0|-"}, {}, true},
    {__LINE__, "k = \"a\\\nb\"\nj=1", 0, {"KV||k|ab|S|0|-", "KV||j|1|I|1|-"}, {}, true},
    // Errors inside quoted values: the specific report, then the invalid-line report
    {__LINE__,
     "k = \"\\x4\"",
     0,
     {},
     {err(1, 9, "invalid escape sequence, expected hex digit", "k = \\\"\\\\x4\\\"\\n        ^"),
      err(1, 1, invalid_line, "k = \\\"\\\\x4\\\"\\n^")},
     false},
    {__LINE__,
     "k = \"\\xg1\"",
     0,
     {},
     {err(1, 8, "invalid escape sequence, expected hex digit", "k = \\\"\\\\xg1\\\"\\n       ^"),
      err(1, 1, invalid_line, "k = \\\"\\\\xg1\\\"\\n^")},
     false},
    {__LINE__,
     "k = \"\\q\"\nj = \"\\8\"",
     0,
     {},
     {err(1, 7, bad_escape, "k = \\\"\\\\q\\\"\\n      ^"), err(1, 1, invalid_line, "k = \\\"\\\\q\\\"\\n^"),
      err(2, 7, bad_escape, "j = \\\"\\\\8\\\"\\n      ^"), err(2, 1, invalid_line, "j = \\\"\\\\8\\\"\\n^")},
     false},
    {__LINE__,
     "k = \"a\\\r\nb\"",
     0,
     {},
     {err(1, 8, bad_escape, "k = \\\"a\\\\\\n       ^"), err(1, 1, invalid_line, "k = \\\"a\\\\\\n^"),
      err(2, 1, invalid_line, "b\\\"\\n^")},
     false},
    {__LINE__,
     "k = \"a\rb\"",
     0,
     {},
     {err(1, 7, "string value not closed, expected \"", "k = \\\"a\\rb\\\"\\n      ^"),
      err(1, 1, invalid_line, "k = \\\"a\\rb\\\"\\n^")},
     false},
    {__LINE__,
     "k = \"abc",
     0,
     {},
     {err(1, 9, "string value not closed, expected \"", "k = \\\"abc\\n        ^"),
      err(1, 1, invalid_line, "k = \\\"abc\\n^")},
     false},
    {__LINE__,
     "k = \"a\x01\"",
     0,
     {},
     {err(1, 7, "string value not closed, expected \"", "k = \\\"a\\x01\\\"\\n      ^"),
      err(1, 1, invalid_line, "k = \\\"a\\x01\\\"\\n^")},
     false},
    {__LINE__,
     "k = \"v\" # c\nj=1",
     0,
     {"KV||j|1|I|1|-"},
     {err(1, 9, "unexpected trailing text", "k = \\\"v\\\" # c\\n        ^"),
      err(1, 1, invalid_line, "k = \\\"v\\\" # c\\n^")},
     false},
    // Sections
    {__LINE__, "[ sec ]\nk=v", 0, {"KV|sec|k|v|S|0|-"}, {}, true},
    {__LINE__, "[ sec ]\nk=v", Sections, {"Sec|sec|||S|0|-", "KV|sec|k|v|S|0|-"}, {}, true},
    {__LINE__,
     "[ a b\t]\r\n[s]\n[]\nk=v",
     Sections,
     {"Sec|a b|||S|0|-", "Sec|s|||S|0|-", "Sec||||S|0|-", "KV||k|v|S|0|-"},
     {},
     true},
    {__LINE__, "[a] ; note", Sections, {"Sec|a||note|S|0|;"}, {}, true},
    {__LINE__, "[a]\t#x  \nk=1", Sections | Comments, {"Sec|a||x|S|0|#", "KV|a|k|1|I|1|-"}, {}, true},
    {__LINE__,
     "[s]\n[a=b]\nk=v",
     Sections,
     {"Sec|s|||S|0|-", "KV|s|k|v|S|0|-"},
     {err(2, 3, bracket, "[a=b]\\n  ^"), err(2, 1, invalid_line, "[a=b]\\n^")},
     false},
    {__LINE__, "[a=b]", Plain, {"Plain|||[a=b]|S|0|-"}, {err(1, 3, bracket, "[a=b]\\n  ^")}, false},
    {__LINE__,
     "  [a",
     0,
     {},
     {err(1, 5, bracket, "  [a\\n    ^"), err(1, 3, invalid_line, "  [a\\n  ^")},
     false},
    {__LINE__,
     "[s]\n[a] x\nk=1",
     0,
     {"KV|s|k|1|I|1|-"},
     {err(2, 5, "unexpected trailing text", "[a] x\\n    ^"), err(2, 1, invalid_line, "[a] x\\n^")},
     false},
    {__LINE__,
     "[a]\r",
     0,
     {},
     {err(1, 4, "unexpected trailing text", "[a]\\r\\n   ^"), err(1, 1, invalid_line, "[a]\\r\\n^")},
     false},
    // Lines that are nothing of the above
    {__LINE__,
     "=v\nfoo\n]x=1\n",
     0,
     {},
     {err(1, 1, invalid_line, "=v\\n^"), err(2, 1, invalid_line, "foo\\n^"),
      err(3, 1, invalid_line, "]x=1\\n^")},
     false},
    {__LINE__, "=v\n  just text  \r\n", Plain, {"Plain|||=v|S|0|-", "Plain|||just text|S|0|-"}, {}, true},
    {__LINE__, "[s]\na[b]=c", Plain, {"Plain|s||a[b]=c|S|0|-"}, {}, true},
    // A last line of blanks without a line end: reported twice, counted once
    {__LINE__,
     "  ",
     0,
     {},
     {err(1, 1, "unexpected input", "  \\n^"), err(1, 1, "unexpected input", "  \\n^")},
     false},
    {__LINE__,
     "k=v\n\t ",
     All,
     {"KV||k|v|S|0|-"},
     {err(2, 1, "unexpected input", "\\t \\n^"), err(2, 1, "unexpected input", "\\t \\n^")},
     false},
};

TEST(IniParse, Table) {
    for (const auto& c : cases) {
        SCOPED_TRACE(fmt::format("row at line {}: {}", c.line, zelu::util::escape(c.input)));
        Recorder r;
        const bool result = ini::parse_string(c.input, r.on_item, r.on_error, c.flags);
        EXPECT_EQ(r.items, c.items);
        EXPECT_EQ(r.errors, c.errors);
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(ini::parser::get_err_cb(), nullptr);
        EXPECT_EQ(ini::parser::get_err_count(), 0u);
    }
}

TEST(IniParse, UnknownFlagBitsAreIgnored) {
    Recorder a, b;
    const std::string text = "[s]\n# c\n\nk=v\nplain\n";
    EXPECT_EQ(ini::parse_string(text, a.on_item, a.on_error, All),
              ini::parse_string(text, b.on_item, b.on_error, All | 0xFFF0u));
    EXPECT_EQ(a.items, b.items);
    EXPECT_EQ(a.errors, b.errors);
}

TEST(IniParse, GrammarHasNoRulesThatLoopWithoutConsuming) {
    EXPECT_EQ(ini::detail::analyze_grammar(true), 0u);
}

// Errors on lines 2, 5 and 9; every valid line is still delivered, in order.
TEST(IniParse, EveryErrorOfAPassIsReported) {
    const std::string text = "a = 1\n"
                             "[broken\n"
                             "b = \"x\"\n"
                             "[s]\n"
                             "c = \"\\z\"\n"
                             "d = yes\n"
                             "\n"
                             "e = f\n"
                             "what\n"
                             "g = 2\n";
    Recorder r;
    unsigned seen_in_callback = 0;
    ini::ItemCallback on_item = [&](const ini::Item& i) {
        r.on_item(i);
        if (i.key == "g")
            seen_in_callback = ini::parser::get_err_count();
    };
    EXPECT_FALSE(ini::parse_string(text, on_item, r.on_error, 0));
    EXPECT_EQ(r.items, (std::vector<std::string>{"KV||a|1|I|1|-", "KV||b|x|S|0|-", "KV|s|d|yes|B|1|-",
                                                 "KV|s|e|f|B|0|-", "KV|s|g|2|I|2|-"}));
    EXPECT_EQ(r.errors, (std::vector<std::string>{err(2, 8, bracket, "[broken\\n       ^"),
                                                  err(2, 1, invalid_line, "[broken\\n^"),
                                                  err(5, 7, bad_escape, "c = \\\"\\\\z\\\"\\n      ^"),
                                                  err(5, 1, invalid_line, "c = \\\"\\\\z\\\"\\n^"),
                                                  err(9, 1, invalid_line, "what\\n^")}));
    EXPECT_EQ(seen_in_callback, 5u);
}

TEST(IniParse, ErrorStateIsVisibleInsideAParseOnly) {
    Recorder r;
    const ini::ErrorCallback* seen = nullptr;
    std::vector<unsigned> counts;
    ini::ItemCallback on_item = [&](const ini::Item&) {
        seen = ini::parser::get_err_cb();
        counts.push_back(ini::parser::get_err_count());
    };
    EXPECT_FALSE(ini::parse_string("a=1\nbad\nb=2\n[\nc=3", on_item, r.on_error, 0));
    EXPECT_EQ(seen, &r.on_error);
    EXPECT_EQ(counts, (std::vector<unsigned>{0, 1, 3}));
    EXPECT_EQ(ini::parser::get_err_cb(), nullptr);
    EXPECT_EQ(ini::parser::get_err_count(), 0u);
}

TEST(IniParse, ParseStringLetsCallbackExceptionsThroughAndResetsTheState) {
    Recorder r;
    int calls = 0;
    ini::ItemCallback throwing = [&](const ini::Item&) {
        if (++calls == 2)
            throw std::runtime_error("boom");
    };
    EXPECT_THROW(ini::parse_string("bad\na=1\nb=2\nc=3", throwing, r.on_error, 0), std::runtime_error);
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(r.errors.size(), 1u);
    EXPECT_EQ(ini::parser::get_err_cb(), nullptr);
    EXPECT_EQ(ini::parser::get_err_count(), 0u);

    ini::ErrorCallback throwing_err = [](ini::ErrorCode, std::string, std::string) {
        throw std::runtime_error("err");
    };
    EXPECT_THROW(ini::parse_string("bad", r.on_item, throwing_err, 0), std::runtime_error);
    EXPECT_EQ(ini::parser::get_err_cb(), nullptr);

    EXPECT_THROW(ini::parse_string("a=1", ini::ItemCallback{}, r.on_error, 0), std::bad_function_call);
    EXPECT_EQ(ini::parser::get_err_count(), 0u);
}

// A parse started from a callback must leave the outer parse its own error callback and count.
TEST(IniParse, NestedParseKeepsTheOuterErrorState) {
    Recorder outer, inner;
    ini::ItemCallback on_item = [&](const ini::Item& i) {
        outer.on_item(i);
        if (i.key == "include") {
            EXPECT_FALSE(ini::parse_string("x\ny", inner.on_item, inner.on_error, 0));
        }
    };
    EXPECT_FALSE(ini::parse_string("bad\ninclude=1\nworse\nk=2", on_item, outer.on_error, 0));
    EXPECT_EQ(inner.errors.size(), 2u);
    EXPECT_EQ(outer.errors, (std::vector<std::string>{err(1, 1, invalid_line, "bad\\n^"),
                                                      err(3, 1, invalid_line, "worse\\n^")}));
    EXPECT_EQ(outer.items.size(), 2u);
}

TEST(IniParse, TwoThreadsParseAtOnce) {
    // Each thread's reports must carry its own lines and counts only.
    auto work = [](char tag, int lines, std::vector<std::string>& errors, bool& result, unsigned& count) {
        std::string text;
        for (int i = 0; i < lines; ++i)
            text += i % 3 == 0 ? fmt::format("{}{} oops\n", tag, i) : fmt::format("{}{} = {}\n", tag, i, i);
        ini::ErrorCallback on_error = [&](ini::ErrorCode, std::string m, std::string) {
            errors.push_back(std::move(m));
        };
        ini::ItemCallback on_item = [&](const ini::Item&) { count = ini::parser::get_err_count(); };
        result = ini::parse_string(text, on_item, on_error, 0);
    };
    std::vector<std::string> ea, eb;
    bool ra = true, rb = true;
    unsigned ca = 0, cb = 0;
    std::thread ta(work, 'a', 3000, std::ref(ea), std::ref(ra), std::ref(ca));
    std::thread tb(work, 'b', 2400, std::ref(eb), std::ref(rb), std::ref(cb));
    ta.join();
    tb.join();
    EXPECT_FALSE(ra);
    EXPECT_FALSE(rb);
    ASSERT_EQ(ea.size(), 1000u);
    ASSERT_EQ(eb.size(), 800u);
    EXPECT_EQ(ca, 1000u);
    EXPECT_EQ(cb, 800u);
    for (std::size_t i = 0; i < ea.size(); ++i)
        ASSERT_EQ(ea[i], fmt::format("<input>:{}:1: {}", 3 * i + 1, invalid_line));
    for (std::size_t i = 0; i < eb.size(); ++i)
        ASSERT_EQ(eb[i], fmt::format("<input>:{}:1: {}", 3 * i + 1, invalid_line));
}

// Files in a temporary directory of the test's own.
class IniFile : public ::testing::Test {
protected:
    std::string write(const std::string& name, const std::string& text) {
        const std::string path = dir_ + "/" + name;
        zet_test::write_file(path, text);
        return path;
    }
    zet_test::TempDir temp_;
    std::string dir_ = temp_.path();
};

TEST_F(IniFile, ReadsAFileWithItsPathAsSource) {
    const std::string path = write("app.conf", "a = 1\r\n[s]\nb = \"x\" y\n");
    Recorder r;
    EXPECT_FALSE(ini::parse_file(path, r.on_item, r.on_error, 0));
    EXPECT_EQ(r.items, (std::vector<std::string>{"KV||a|1|I|1|-"}));
    EXPECT_EQ(r.errors,
              (std::vector<std::string>{
                  fmt::format("S|{}:3:9: unexpected trailing text|b = \\\"x\\\" y\\n        ^", path),
                  fmt::format("S|{}:3:1: {}|b = \\\"x\\\" y\\n^", path, invalid_line)}));
}

TEST_F(IniFile, EmptyFileIsEmptyInput) {
    Recorder r;
    EXPECT_TRUE(ini::parse_file(write("empty.conf", ""), r.on_item, r.on_error, All));
    EXPECT_TRUE(r.items.empty());
    EXPECT_TRUE(r.errors.empty());
}

TEST_F(IniFile, UnreadablePathsGiveOneReadError) {
    struct Row {
        std::string path;
        const char* step;
    };
    const Row rows[] = {{dir_ + "/missing.conf", "open() failed"}, {dir_, "mmap() failed"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.path);
        std::vector<std::tuple<ini::ErrorCode, std::string, std::string>> reports;
        ini::ErrorCallback on_error = [&](ini::ErrorCode c, std::string m, std::string x) {
            reports.emplace_back(c, m, x);
        };
        int items = 0;
        EXPECT_FALSE(ini::parse_file(
            row.path, [&](const ini::Item&) { ++items; }, on_error, 0));
        EXPECT_EQ(items, 0);
        ASSERT_EQ(reports.size(), 1u);
        EXPECT_EQ(std::get<0>(reports[0]), ini::ErrorCode::ReadError);
        EXPECT_NE(std::get<1>(reports[0]).find(row.step), std::string::npos) << std::get<1>(reports[0]);
        EXPECT_NE(std::get<1>(reports[0]).find(row.path), std::string::npos) << std::get<1>(reports[0]);
        EXPECT_EQ(std::get<2>(reports[0]), "");
        EXPECT_EQ(ini::parser::get_err_cb(), nullptr);
    }
}

TEST_F(IniFile, CallbackExceptionBecomesReadErrorAndStopsTheParse) {
    const std::string path = write("c.conf", "a=1\nb=2\nc=3\n");
    Recorder r;
    int calls = 0;
    ini::ItemCallback throwing = [&](const ini::Item&) {
        if (++calls == 2)
            throw std::runtime_error("callback gave up");
    };
    EXPECT_FALSE(ini::parse_file(path, throwing, r.on_error, 0));
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(r.errors, (std::vector<std::string>{"R|callback gave up|"}));
    EXPECT_EQ(ini::parser::get_err_cb(), nullptr);
    EXPECT_EQ(ini::parser::get_err_count(), 0u);

    // An error callback without a target cannot report anything: the exception leaves parse_file.
    EXPECT_THROW(ini::parse_file(dir_ + "/none", r.on_item, ini::ErrorCallback{}, 0), std::bad_function_call);
}

// Golden files: every item and report of each fixture under each flag set, against a committed baseline
// per flag set. tests/data/ini/regen rewrites the baselines (ZET_INI_REGEN=1); review that diff.

const std::string golden_dir = std::string(ZET_SOURCE_DIR) + "/tests/data/ini/";
const unsigned golden_flag_sets[] = {0, Sections, Comments, Empties, Plain, All};

std::vector<std::string> golden_inputs() {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(golden_dir))
        if (entry.path().extension() == ".ini")
            names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string golden_dump(unsigned flags) {
    std::string out;
    for (const auto& name : golden_inputs()) {
        out += "== " + name + "\n";
        const ini::ItemCallback on_item = [&](const ini::Item& i) { out += "item  " + dump(i) + "\n"; };
        const ini::ErrorCallback on_error = [&](ini::ErrorCode c, std::string m, std::string x) {
            out += "error " + dump(c, m, x) + "\n";
        };
        const bool result = ini::parse_file(golden_dir + name, on_item, on_error, flags);
        out += result ? "result true\n" : "result false\n";
    }
    // Source names are absolute paths; the baseline must not depend on where the tree is checked out.
    std::string::size_type at;
    while ((at = out.find(golden_dir)) != std::string::npos)
        out.replace(at, golden_dir.size(), "tests/data/ini/");
    return out;
}

TEST(IniGolden, FixturesMatchTheirBaselines) {
    ASSERT_FALSE(golden_inputs().empty());
    const bool regen = std::getenv("ZET_INI_REGEN") != nullptr;
    for (unsigned flags : golden_flag_sets) {
        const std::string baseline = fmt::format("{}flags_{}.out", golden_dir, flags);
        const std::string actual = golden_dump(flags);
        if (regen) {
            std::ofstream(baseline, std::ios::binary) << actual;
            continue;
        }
        EXPECT_EQ(actual, zet_test::read_file(baseline)) << "baseline " << baseline;
    }
}

// Mutated fixtures: whatever the bytes, the parse ends, reports consistently and leaves no state behind.
TEST(IniFuzz, MutatedFixturesKeepTheInvariants) {
    std::mt19937 rng(20261208);
    const char alphabet[] = {'"', '\\', '[',  ']', '=', '\n', '\r', '#',
                             ';', ' ',  '\t', 'x', '0', '_',  '\0', '\xff'};
    for (const auto& name : golden_inputs()) {
        const std::string original = zet_test::read_file(golden_dir + name);
        for (int round = 0; round < 300; ++round) {
            std::string text = original;
            const int edits = 1 + static_cast<int>(rng() % 4);
            for (int e = 0; e < edits; ++e) {
                const std::size_t at = text.empty() ? 0 : rng() % text.size();
                const char c = alphabet[rng() % sizeof alphabet];
                switch (rng() % 3) {
                case 0:
                    if (!text.empty())
                        text[at] = c;
                    break;
                case 1:
                    text.insert(text.begin() + static_cast<std::ptrdiff_t>(at), c);
                    break;
                default:
                    if (!text.empty())
                        text.erase(at, 1);
                    break;
                }
            }
            const unsigned flags = golden_flag_sets[rng() % std::size(golden_flag_sets)];
            std::vector<std::string> messages;
            unsigned max_count = 0;
            const ini::ItemCallback on_item = [&](const ini::Item& i) {
                max_count = std::max(max_count, ini::parser::get_err_count());
                if (i.value_type == ini::Item::ValueType::Bool) {
                    EXPECT_TRUE(i.number == 0 || i.number == 1);
                }
            };
            const ini::ErrorCallback on_error = [&](ini::ErrorCode code, std::string m, std::string x) {
                EXPECT_EQ(code, ini::ErrorCode::SyntaxError);
                unsigned line = 0, column = 0;
                ASSERT_EQ(std::sscanf(m.c_str(), "<input>:%u:%u: ", &line, &column), 2) << m;
                const auto lf = x.rfind('\n');
                ASSERT_NE(lf, std::string::npos);
                EXPECT_EQ(x.size() - lf - 1, column) << x; // the caret stands under the column
                EXPECT_EQ(x.back(), '^');
                messages.push_back(std::move(m));
            };
            SCOPED_TRACE(zelu::util::escape(text));
            const bool result = ini::parse_string(text, on_item, on_error, flags);
            EXPECT_EQ(result, messages.empty());
            EXPECT_LE(max_count, messages.size());
            EXPECT_EQ(ini::parser::get_err_cb(), nullptr);
            if (HasFailure())
                return;
        }
    }
}

// Items

ini::Item make(std::string section, std::string key, ini::Item::ValueType vt, std::int64_t number,
               std::string value = "") {
    ini::Item i;
    i.section = std::move(section);
    i.key = std::move(key);
    i.value = std::move(value);
    i.value_type = vt;
    i.number = number;
    return i;
}

TEST(IniItem, SectionKeys) {
    struct Row {
        std::string section, key, joined, first, second;
    };
    const Row rows[] = {
        {"", "port", "port", "", "port"},
        {"net", "port", "net.port", "net", "port"},
        {"net", ".port", "net..port", "net.", "port"},
        {"net", "port.", "net.port.", "net.port", ""},
        {"s", "a.b.c", "s.a.b.c", "s.a.b", "c"},
        {"", "a.b.c", "a.b.c", "a.b", "c"},
        {"", "", "", "", ""},
        {"s", "", "s.", "s", ""},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.section + " / " + r.key);
        const auto item = make(r.section, r.key, ini::Item::ValueType::String, 0);
        EXPECT_EQ(item.section_key(), r.joined);
        EXPECT_EQ(item.eval_section_key(), std::make_pair(r.first, r.second));
    }
}

// Collects every event the global configuration delivers while it is registered.
class CaptureSink : public zelu::log::LogSink {
public:
    void log(zelu::log::DispatchContext& context) override {
        events.push_back(fmt::format("{}|{}|{}", static_cast<int>(context.event->get_level()),
                                     context.event->get_component(), context.event->get_description()));
    }
    std::vector<std::string> events;
};

class IniGetters : public ::testing::Test {
protected:
    void SetUp() override { zelu::log::get_global_configuration().add_sink(sink_, zelu::log::Level{0}); }
    void TearDown() override { zelu::log::get_global_configuration().remove_sink(sink_); }
    std::shared_ptr<CaptureSink> sink_ = std::make_shared<CaptureSink>();
};

TEST_F(IniGetters, AcceptOrReportAndDefault) {
    using VT = ini::Item::ValueType;
    enum Getter { I32, I64, U32, U64 };
    struct Row {
        Getter getter;
        VT vt;
        std::int64_t number;
        std::string value;
        unsigned long expected; // compared after conversion to the getter's type
        bool reported;
    };
    const Row rows[] = {
        {I32, VT::Integer, 2147483647, "", 2147483647, false},
        {I32, VT::Integer, 2147483648, "", 7, true},
        {I32, VT::Integer, -2147483648LL, "", static_cast<unsigned long>(-2147483648LL), false},
        {I32, VT::Integer, -2147483649LL, "", 7, true},
        {I32, VT::Bool, 1, "yes", 7, true},
        {I32, VT::String, 0, "12", 7, true},
        {I64, VT::Integer, -1, "", static_cast<unsigned long>(-1L), false},
        {I64, VT::Bool, 1, "on", 7, true},
        {I64, VT::String, 0, "12", 7, true},
        {U32, VT::Integer, -1, "", 7, true},
        {U32, VT::Integer, 4294967295LL, "", 4294967295UL, false},
        {U32, VT::Integer, 4294967296LL, "", 7, true},
        {U32, VT::Integer, 0, "", 0, false},
        {U64, VT::String, 0, "18446744073709551615", 18446744073709551615UL, false},
        {U64, VT::String, 0, "1_000", 1000, false},
        {U64, VT::String, 0, "12abc", 12, false},
        {U64, VT::String, 0, " +5", 5, false},
        {U64, VT::String, 0, "-0", 0, false},
        {U64, VT::String, 0, "-1", 18446744073709551615UL, false}, // strtoull's wrap-around
        {U64, VT::String, 0, "abc", 7, true},
        {U64, VT::String, 0, "", 7, true},
        {U64, VT::String, 0, "18446744073709551616", 7, true},
        {U64, VT::Integer, -1, "-1", 7, true},
        {U64, VT::Integer, 42, "42", 42, false},
        {U64, VT::Bool, 1, "1", 7, true},
    };
    static const char* const kinds[] = {"int32", "int64", "uint32", "uint64"};
    for (const auto& r : rows) {
        SCOPED_TRACE(fmt::format("{} on {} '{}'", kinds[r.getter], r.number, r.value));
        sink_->events.clear();
        const auto item = make("net", "port", r.vt, r.number, r.value);
        switch (r.getter) {
        case I32:
            EXPECT_EQ(item.get_int32(7), static_cast<int>(r.expected));
            break;
        case I64:
            EXPECT_EQ(item.get_int64(7), static_cast<long>(r.expected));
            break;
        case U32:
            EXPECT_EQ(item.get_uint32(7), static_cast<unsigned>(r.expected));
            break;
        case U64:
            EXPECT_EQ(item.get_uint64(7), r.expected);
            break;
        }
        std::vector<std::string> expected;
        if (r.reported)
            expected.push_back(fmt::format("4|ini_parser|net.port: Expected {} value", kinds[r.getter]));
        EXPECT_EQ(sink_->events, expected);
    }
}

TEST_F(IniGetters, NoReportWhenLevelFourIsDisabled) {
    auto& config = zelu::log::get_global_configuration();
    config.set_level(zelu::log::Level{5});
    EXPECT_FALSE(zelu::log::get_global_logger()->is_enabled(zelu::log::Level{4}));
    const auto item = make("", "port", ini::Item::ValueType::Bool, 1, "yes");
    EXPECT_EQ(item.get_uint32(9), 9u);
    EXPECT_EQ(item.get_int32(-3), -3);
    EXPECT_TRUE(sink_->events.empty());
}

// A sink that throws must not turn the default into an exception.
class ThrowingSink : public zelu::log::LogSink {
public:
    void log(zelu::log::DispatchContext&) override { throw std::runtime_error("sink down"); }
};

TEST_F(IniGetters, ReportFailuresAreSwallowed) {
    auto throwing = std::make_shared<ThrowingSink>();
    zelu::log::get_global_configuration().add_sink(throwing, zelu::log::Level{0});
    const auto item = make("", "n", ini::Item::ValueType::String, 0, "x");
    EXPECT_EQ(item.get_int64(5), 5);
    zelu::log::get_global_configuration().remove_sink(throwing);
    EXPECT_EQ(sink_->events.size(), 1u);
}

} // namespace
