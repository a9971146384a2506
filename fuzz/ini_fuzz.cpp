// Fuzz target for the INI parser: every flag combination over the same bytes, with invariants on what
// the callbacks receive and on how the flags may change the outcome.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "zelu/ini_parser.hpp"

namespace {

using zelu::ini::ErrorCode;
using zelu::ini::Item;

[[noreturn]] void fail(const char* what, const std::string& detail) {
    std::fprintf(stderr, "invariant broken: %s\n%s\n", what, detail.c_str());
    std::abort();
}

// Start offset of 1-based line `line`, counting LF bytes as the position tracking does; npos past the end.
std::size_t line_start(const std::string& text, std::size_t line) {
    std::size_t pos = 0;
    for (std::size_t l = 1; l < line; ++l) {
        pos = text.find('\n', pos);
        if (pos == std::string::npos)
            return std::string::npos;
        ++pos;
    }
    return pos;
}

// The text of the line at `start`: up to LF or CR LF, a lone CR kept.
std::string line_text(const std::string& text, std::size_t start) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos)
        return text.substr(start);
    if (end > start && text[end - 1] == '\r')
        --end;
    return text.substr(start, end - start);
}

// A syntax report: "<input>:L:C: what" and "line\n<C-1 blanks>^", the line being line L of the input.
void check_report(const std::string& text, const std::string& message, const std::string& context) {
    unsigned long line = 0, column = 0;
    int used = 0;
    if (std::sscanf(message.c_str(), "<input>:%lu:%lu: %n", &line, &column, &used) != 2 || used == 0 ||
        line == 0 || column == 0)
        fail("message without a position", message);
    std::size_t start = line_start(text, line);
    if (start == std::string::npos)
        fail("line past the end of the input", message);
    std::string expected_line = line_text(text, start);
    if (column - 1 > expected_line.size() + 1)
        fail("column past the end of its line", message + "\n" + context);
    std::string expected = expected_line + "\n" + std::string(column - 1, ' ') + "^";
    if (context != expected)
        fail("context does not show the line with a caret under the column", message + "\n" + context);
}

struct Outcome {
    bool result = false;
    std::vector<std::string> key_values; // section, key, value, type and number of every key/value item
    std::vector<std::string> errors;     // message of every report, in order
};

bool has_line_end_or_bracket(const std::string& s) {
    return s.find_first_of("=[]\n") != std::string::npos;
}

Outcome run(const std::string& text, unsigned flags) {
    Outcome out;
    auto on_item = [&](const Item& item) {
        using T = Item::Type;
        switch (item.type) {
        case T::Section:
            if (!(flags & zelu::ini::ParseFlags::ReportSections))
                fail("section item without ReportSections", item.section);
            break;
        case T::Comment:
            if (!(flags & zelu::ini::ParseFlags::ReportComments) ||
                (item.comment_char != '#' && item.comment_char != ';'))
                fail("unexpected comment item", item.value);
            break;
        case T::EmptyLine:
            if (!(flags & zelu::ini::ParseFlags::ReportEmptyLines) || !item.key.empty() ||
                !item.value.empty())
                fail("unexpected empty-line item", item.value);
            break;
        case T::PlainValue:
            // The value may trim to nothing: a line of CR bytes is neither empty nor blank.
            if (!(flags & zelu::ini::ParseFlags::AllowPlainValues) || !item.key.empty())
                fail("unexpected plain value item", item.value);
            break;
        case T::KeyValue:
            // A key may trim to nothing (a lone CR is a key byte, but also whitespace), never hold these.
            if (has_line_end_or_bracket(item.key))
                fail("key/value item with a bad key", item.key);
            if (item.value_type == Item::ValueType::Bool && item.number != 0 && item.number != 1)
                fail("bool with a number other than 0 or 1", item.value);
            if (item.value_type == Item::ValueType::String && item.number != 0)
                fail("string with a number", item.value);
            out.key_values.push_back(item.section + '\x01' + item.key + '\x01' + item.value + '\x01' +
                                     std::to_string(static_cast<int>(item.value_type)) + '\x01' +
                                     std::to_string(item.number));
            break;
        }
        if (has_line_end_or_bracket(item.section))
            fail("section name holds '=', a bracket or a line feed", item.section);
    };
    auto on_error = [&](ErrorCode code, std::string message, std::string context) {
        if (code != ErrorCode::SyntaxError)
            fail("parse_string reported a read error", message);
        check_report(text, message, context);
        out.errors.push_back(std::move(message));
    };
    out.result = zelu::ini::parse_string(text, on_item, on_error, flags);
    if (out.result != out.errors.empty())
        fail("result disagrees with the reports", text);
    if (zelu::ini::parser::get_err_cb() != nullptr || zelu::ini::parser::get_err_count() != 0)
        fail("error state left behind after the parse", text);
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const Outcome base = run(text, 0);
    for (unsigned flags = 1; flags < 16; ++flags) {
        const Outcome o = run(text, flags);
        // Reporting more kinds of line never changes the key/value items.
        if (o.key_values != base.key_values)
            fail("key/value items depend on the flags", text);
        // Only AllowPlainValues changes the reports: it turns the second report of a bad line into an item.
        if (!(flags & zelu::ini::ParseFlags::AllowPlainValues) && o.errors != base.errors)
            fail("reports depend on the reporting flags", text);
        if ((flags & zelu::ini::ParseFlags::AllowPlainValues) && o.errors.size() > base.errors.size())
            fail("AllowPlainValues added reports", text);
    }
    // Bits above the documented ones are ignored.
    const Outcome high = run(text, 0xfff0u);
    if (high.key_values != base.key_values || high.errors != base.errors)
        fail("undocumented flag bits change the outcome", text);
    return 0;
}
