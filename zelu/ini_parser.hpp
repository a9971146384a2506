// INI reader: hands every recognised line to a callback as an Item and every syntax error to a second
// callback, then goes on with the next line, so that one pass reports all errors. Keeps nothing after a call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>

namespace zelu::ini {

// One reported line. A plain value object; the parser builds one per line and passes it by constant
// reference: it lives only during the item callback, so a callback that needs it later copies it.
struct Item {
    enum class ValueType : std::uint16_t {
        String = 0,  // quoted, raw or empty value, an integer outside the signed 64-bit range, any
                     // non-key/value item
        Bool = 1,    // one of the boolean literals (see ParseFlags below for the spellings)
        Integer = 2, // a decimal integer literal that fits a signed 64-bit integer
    };
    enum class Type : std::uint16_t {
        Section = 0,    // "[name]", only with ParseFlags::ReportSections
        KeyValue = 1,   // "key = value", always
        Comment = 2,    // "# text" or "; text", only with ParseFlags::ReportComments
        EmptyLine = 3,  // only with ParseFlags::ReportEmptyLines
        PlainValue = 4, // any other line, only with ParseFlags::AllowPlainValues
    };

    // Current section for every item but a section item, which carries the new section's name.
    std::string section;
    // Key of a key/value item, right-trimmed; empty otherwise.
    std::string key;
    // Key/value: the value text (quoted values unescaped and untrimmed, the others right-trimmed and as
    // written); comment: its text; section: a trailing comment's text or ""; plain value: the trimmed line.
    std::string value;
    // 1 or 0 for a Bool, the value of an Integer, 0 otherwise.
    std::int64_t number = 0;
    ValueType value_type = ValueType::String;
    Type type = Type::KeyValue;
    // '#' or ';' for a comment item and a section item with a trailing comment; 0 otherwise.
    char comment_char = 0;

    // "section.key", or the key alone in the empty section.
    std::string section_key() const;
    // The key's dotted prefix moved into the section: key "a.b.c" in section "s" gives ("s.a.b", "c").
    std::pair<std::string, std::string> eval_section_key() const;

    // Typed values. Each returns `def` when the value is not of the getter's kind or range, and then logs
    // "<section.key>: Expected <kind> value" at level 4, component "ini_parser", through the process-wide
    // logger. None of them throws. A Bool value is accepted by none of them.
    int get_int32(int def) const;
    long get_int64(long def) const;
    unsigned int get_uint32(unsigned int def) const;
    // Also converts a String value (underscores dropped, leading blanks and a '+' allowed, digits up to the
    // first other byte), so literals beyond the signed 64-bit range read up to 18446744073709551615. A
    // negative value is rejected, whether Integer or String.
    unsigned long get_uint64(unsigned long def) const;
};

// Code passed to the error callback.
enum class ErrorCode : int {
    // parse_file was stopped by an exception: the file could not be opened, examined or mapped, or a
    // callback threw. Message: the exception's text ("open() failed: ..." for a missing file); context: "".
    ReadError = 0,
    // A line breaks the grammar. Message: "source:line:column: what was expected"; context: the offending
    // line, a line feed, and a caret under the offending byte. The line is skipped and parsing goes on.
    SyntaxError = 1,
};

// Bits of the `flags` argument; other bits are ignored. Key/value lines are always reported.
//
// Grammar, line by line (blanks are space, tab, VT and FF; a line ends with LF or CR LF, a lone CR is an
// ordinary byte): empty line; comment ('#' or ';' to the line end); "[name]" with an optional comment
// after it; "key = value"; anything else is an error unless AllowPlainValues is set. A value is empty,
// a double-quoted string with C escapes (\" \' \\ \a \b \e \f \n \r \t \v, \xHH, one to three octal
// digits, and a backslash before LF to join lines), a boolean, a decimal integer with optional sign and
// single underscores between digits ("-1_000"), or raw text to the line end ('#' and ';' included).
// Boolean spellings, in any ASCII case, alone on the rest of the line: true, yes, on, t (1) and false,
// no, off, f (0). "y", "n", "1" and "0" are not booleans ("1" and "0" are integers).
struct ParseFlags {
    static constexpr unsigned ReportSections = 1;   // each section header also becomes a Section item
    static constexpr unsigned ReportComments = 2;   // each comment line becomes a Comment item
    static constexpr unsigned ReportEmptyLines = 4; // each empty line becomes an EmptyLine item
    static constexpr unsigned AllowPlainValues = 8; // other lines become PlainValue items, not errors
};

using ItemCallback = std::function<void(const Item&)>;
using ErrorCallback = std::function<void(ErrorCode, std::string, std::string)>;

// Reads the file at `path` (memory-mapped, source name = the path). Both callbacks run on the calling
// thread, in input order, before the call returns. True when the whole file was read and no error was
// reported. Never throws for a file error or an exception from the item callback: both become one
// ReadError report and false. Items delivered before an error stay delivered.
bool parse_file(const std::string& path, const ItemCallback& on_item, const ErrorCallback& on_error,
                unsigned flags);

// As parse_file over `text` (not copied: it must not change during the call), source name "<input>".
// Exceptions from the callbacks reach the caller.
bool parse_string(const std::string& text, const ItemCallback& on_item, const ErrorCallback& on_error,
                  unsigned flags);

namespace parser {
// The error callback of the parse running on the calling thread; null outside a parse.
const ErrorCallback* get_err_cb() noexcept;
// Errors reported so far by the parse running on the calling thread; 0 outside a parse.
std::uint32_t get_err_count() noexcept;
} // namespace parser

namespace detail {
// Problems PEGTL's grammar analysis finds (rules that could loop without consuming input); 0 is sound.
std::size_t analyze_grammar(bool verbose);
} // namespace detail

} // namespace zelu::ini
