// The scan service's side of the wire: framing, command parsing, answer lines.
#include "scand/wire.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

using namespace std::string_literals;
using scand::Verb;

namespace {

struct FramingCase {
    std::string buffered;
    std::size_t length;
};

const FramingCase framing_cases[] = {
    {"", 0},
    {"VPS", 0},
    {"VPS\n", 4},
    {"VPS\r\nVPS\n", 5},
    {"SCAN /a\\\nb\n", 11},   // an escaped LF is part of the path
    {"SCAN /a\\\\\nb\n", 10}, // an escaped backslash, then the real line end
    {"SCAN /a\\", 0},
    {"SCAN /a\\\n", 0},
};

TEST(Framing, FindsTheFirstUnescapedLineFeed) {
    for (const auto& c : framing_cases) {
        SCOPED_TRACE(c.buffered);
        EXPECT_EQ(scand::command_line_length(c.buffered), c.length);
    }
}

struct CommandCase {
    std::string line;
    std::optional<Verb> verb; // nothing: a syntax error
    std::string path = {}, cid = {}, trigger = {};
    std::uint32_t known = 0;
};

const CommandCase command_cases[] = {
    {"VPS\n", Verb::Vps},
    {"VPS\r\n", Verb::Vps},
    {"DBINFO\n", Verb::DbInfo},
    {"DBINFO x\n", std::nullopt},
    {"SCAN /a/b CID portwarden TRIGGER ON_WRITE\n", Verb::Scan, "/a/b", "portwarden", "ON_WRITE"},
    {"SCAN /a/b TRIGGER ON_WRITE CID x\n", Verb::Scan, "/a/b", "x", "ON_WRITE"},
    {"SCAN /a/b CID portwarden\n", Verb::Scan, "/a/b", "portwarden"},
    {"SCAN /a/b\n", Verb::Scan, "/a/b"},
    {"SCAN /a\\ b\\\\c\\\td\\\ne\n", Verb::Scan, "/a b\\c\td\ne"},
    {"SCAN /a\\\r\n", Verb::Scan, "/a\r"}, // the escaped CR belongs to the path
    {"SCAN /a\\\\\r\n", Verb::Scan, "/a\\"},
    {"EXCLUDE /var/lib/orbis/vault/*\n", Verb::Exclude, "/var/lib/orbis/vault/*"},
    {"EXCLUDE /a\\ b\r\n", Verb::Exclude, "/a b"},
    {"\n", std::nullopt},
    {"VPS", std::nullopt},
    {"VPS x\n", std::nullopt},
    {"vps\n", std::nullopt},
    {"BOGUS /a\n", std::nullopt},
    {"SCAN\n", std::nullopt},
    {"SCAN \n", std::nullopt},
    {"SCAN  /a\n", std::nullopt},
    {"SCAN /a \n", std::nullopt},
    {"SCAN /a CID\n", std::nullopt},
    {"SCAN /a CID x CID y\n", std::nullopt},
    {"SCAN /a TRIGGER x TRIGGER y\n", std::nullopt},
    {"SCAN /a FOO bar\n", std::nullopt},
    {"SCAN /a\\q\n", std::nullopt},
    {"SCAN /a\tb\n", std::nullopt},
    {"SCAN /a\rb\n", std::nullopt},
    {"SCAN /a\0b\n"s, std::nullopt},
    {"SCAN /" + std::string(4094, 'x') + "\n", Verb::Scan, "/" + std::string(4094, 'x')},
    {"SCAN /" + std::string(4095, 'x') + "\n", std::nullopt},
    {"EXCLUDE\n", std::nullopt},
    {"EXCLUDE /a /b\n", std::nullopt},
    {"EXCLUDE /a CID x\n", std::nullopt},
    {"FDSCAN /a\\ b CID portwarden TRIGGER ON_OPEN\n", Verb::FdScan, "/a b", "portwarden", "ON_OPEN"},
    {"FDSCAN /a\r\n", Verb::FdScan, "/a"},
    {"FDSCAN\n", std::nullopt},
    {"FDSCAN /a TRIGGER\n", std::nullopt},
    {"VPSWAIT 0\r\n", Verb::VpsWait},
    {"VPSWAIT 04294967295\n", Verb::VpsWait, "", "", "", 4294967295u},
    {"VPSWAIT 4294967296\n", std::nullopt},
    {"VPSWAIT\n", std::nullopt},
    {"VPSWAIT x\n", std::nullopt},
    {"VPSWAIT -1\n", std::nullopt},
    {"VPSWAIT 1 2\n", std::nullopt},
};

TEST(Command, ParsesEachLine) {
    for (const auto& c : command_cases) {
        SCOPED_TRACE(c.line.substr(0, 60));
        const auto cmd = scand::parse_command(c.line);
        ASSERT_EQ(cmd.has_value(), c.verb.has_value());
        if (cmd) {
            EXPECT_EQ(cmd->verb, *c.verb);
            EXPECT_EQ(cmd->path, c.path);
            EXPECT_EQ(cmd->cid, c.cid);
            EXPECT_EQ(cmd->trigger, c.trigger);
            EXPECT_EQ(cmd->known, c.known);
        }
    }
}

struct AnswerCase {
    std::string path;
    scand::Outcome outcome;
    std::string lines;
};

using Kind = scand::Outcome::Kind;
using std::chrono::microseconds;

const AnswerCase answer_cases[] = {
    {"/a b", {Kind::Clean, "", {}, microseconds(1234567)}, "SCAN /a\\ b\t[+]1.234567 OK\r\n"},
    {"/m",
     {Kind::Unscannable, "No such file or directory", {}, {}},
     "SCAN /m\t[E]0.000000 No such file or directory\r\n"},
    {"/e",
     {Kind::EngineFailure, "Can't allocate memory", {}, microseconds(5)},
     "SCAN /e\t[E]0.000005 Engine error: Can't allocate memory\r\n"},
    {"/v",
     {Kind::Infected, "", {"One", "Two Words"}, microseconds(42)},
     "SCAN /v\t[L]0.000042\t1 One\r\nSCAN /v\t[L]0.000042\t2 Two\\ Words\r\n"},
};

TEST(Answer, LinesHaveTheShapesTheClientParses) {
    for (const auto& c : answer_cases) {
        std::string out;
        scand::append_scan_lines(out, c.path, c.outcome);
        EXPECT_EQ(out, c.lines);
    }
    EXPECT_EQ(scand::exclude_line("/a b/*"), "EXCLUDE /a\\ b/*\r\n");
    EXPECT_EQ(scand::vps_line(4294967295u), "VPS 4294967295\r\n");
}

} // namespace
