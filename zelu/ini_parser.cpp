// INI grammar (PEGTL rules), the actions that fill an Item per line, the error reports with recovery to the
// next line, the entry points, and the typed getters of Item.
#include "zelu/ini_parser.hpp"

#include "zelu/log.hpp"
#include "zelu/util.hpp"

#include <fmt/format.h>
#include <tao/pegtl.hpp>
#include <tao/pegtl/contrib/analyze.hpp>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <exception>
#include <limits>
#include <stdexcept>
#include <string_view>
#include <system_error>

namespace zelu::ini {

namespace parser {

namespace pegtl = tao::pegtl;
using namespace tao::pegtl; // NOLINT(google-build-using-namespace): the grammar reads as PEGTL's own

// clang-format off

// Sample input:
//   ; daemon settings
//   SOCKET = "/run/orbis/scan.sock"
//   [MONITORS]
//   SCAN = /srv

// blanks*: space, tab, VT, FF (never CR or LF)
struct WS : star<one<' ', '\t', '\v', '\f'>> {};
// blanks* line-end
struct EmptyLine : seq<WS, eol> {};
// ('#' | ';') any* (line-end | end-of-input)
struct Comment : seq<one<'#', ';'>, until<eolf>> {};
// Comment, as a line of its own
struct CommentLine : seq<Comment> {};
// (any but '=' '[' ']' line-end)*
struct SectionName : star<not_at<eol>, not_one<'=', '[', ']'>> {};
// Comment | line-end | end-of-input, after the ']'
struct SectionTrailer : sor<Comment, eolf> {};
// '[' WS SectionName WS ']' WS SectionTrailer; only the rules that can fail are must<>, each with a message
struct Section : seq<one<'['>, WS, SectionName, WS, must<one<']'>>, WS, must<SectionTrailer>> {};
// (any but '=' '[' ']' line-end)+
struct Key : plus<not_at<eol>, not_one<'=', '[', ']'>> {};
// nothing before line-end | end-of-input; the line end is left to the next pass (an EmptyLine)
struct EmptyValue : at<eolf> {};
// '"' opening a quoted value
struct QuoteOpen : one<'"'> {};
// '0'-'9' | 'a'-'f' | 'A'-'F'
struct HexDigit : xdigit {};
// 'x' HexDigit HexDigit
struct StringChEscHex : if_must<one<'x'>, HexDigit, HexDigit> {};
// octal octal? octal?
struct StringChEscOct : seq<odigit, rep_opt<2, odigit>> {};
// '"' | ''' | '\' | 'a' | 'b' | 'e' | 'f' | 'n' | 'r' | 't' | 'v' | LF
struct StringChEscSingle : one<'"', '\'', '\\', 'a', 'b', 'e', 'f', 'n', 'r', 't', 'v', '\n'> {};
// '\' (StringChEscHex | StringChEscOct | StringChEscSingle)
struct StringChEsc : if_must<one<'\\'>, sor<StringChEscHex, StringChEscOct, StringChEscSingle>> {};
// tab | any byte from 0x20 up but '"' and '\'
struct StringChOther : sor<one<'\t'>, seq<not_at<one<'"', '\\'>>, not_range<'\0', '\x1f'>>> {};
// '"' closing a quoted value
struct StringClose : one<'"'> {};
// line-end | end-of-input, after the closing quote and blanks
struct StringTrailer : eolf {};
// '"' (StringChEsc | StringChOther)* '"' WS StringTrailer
struct QuotedString : seq<QuoteOpen, star<sor<StringChEsc, StringChOther>>, must<StringClose>, WS, must<StringTrailer>> {};
// "true" | "yes" | "on" | "t", any ASCII case
struct BoolTrue : sor<istring<'t', 'r', 'u', 'e'>, istring<'y', 'e', 's'>, istring<'o', 'n'>, istring<'t'>> {};
// "false" | "no" | "off" | "f", any ASCII case
struct BoolFalse : sor<istring<'f', 'a', 'l', 's', 'e'>, istring<'n', 'o'>, istring<'o', 'f', 'f'>, istring<'f'>> {};
// (BoolTrue | BoolFalse) WS (line-end | end-of-input)
struct Bool : seq<sor<BoolTrue, BoolFalse>, WS, eolf> {};
// ('+' | '-')? digit ('_'? digit)* WS (line-end | end-of-input)
struct Integer : seq<opt<one<'+', '-'>>, digit, star<opt<one<'_'>>, digit>, WS, eolf> {};
// any* (line-end | end-of-input)
struct RawString : until<eolf> {};
// EmptyValue | QuotedString | Bool | Integer | RawString
struct Value : sor<EmptyValue, QuotedString, Bool, Integer, RawString> {};
// Key WS '=' WS Value
struct KeyValue : seq<Key, WS, one<'='>, WS, Value> {};
// any+ (line-end | end-of-input), only with ParseFlags::AllowPlainValues
struct PlainValue : seq<any, until<eolf>> {};
// never matches: raises "invalid line" at the line's first non-blank byte
struct InvalidLine : failure {};
// any+ (line-end | end-of-input), after an error on the line
struct ConsumeRestOfLine : seq<any, until<eolf>> {};
// WS (EmptyLine | CommentLine | Section | KeyValue | PlainValue | InvalidLine | ConsumeRestOfLine)
struct Line : seq<WS, sor<EmptyLine,
                          CommentLine,
                          try_catch<sor<Section, KeyValue>>,
                          PlainValue,
                          try_catch<if_must<at<any>, InvalidLine>>,
                          ConsumeRestOfLine>> {};
// end of input after the line loop
struct EndOfInput : eof {};
// Line* EndOfInput
struct Grammar : seq<star<Line>, must<EndOfInput>> {};

// clang-format on

// The states every action receives: the item of the current line, the current section, the item callback
// and the flags. The line's item is created by Action<Line>; the other three live for the whole parse.
template <typename Rule> struct Action : nothing<Rule> {};

template <> struct Action<Line> : maybe_nothing {
    // A fresh item on the stack for each line, so no field leaks from one line into the next.
    template <typename Rule, apply_mode A, rewind_mode M, template <typename...> class Act,
              template <typename...> class Ctl, typename ParseInput>
    static bool match(ParseInput& in, std::string& section, const ItemCallback& on_item, unsigned& flags) {
        Item item;
        return pegtl::match<Rule, A, M, Act, Ctl>(in, item, section, on_item, flags);
    }
};

template <> struct Action<EmptyLine> {
    static void apply0(Item& item, std::string& section, const ItemCallback& on_item, unsigned& flags) {
        if (!(flags & ParseFlags::ReportEmptyLines))
            return;
        item.type = Item::Type::EmptyLine;
        item.section = section;
        on_item(item);
    }
};

template <> struct Action<Comment> {
    template <typename ActionInput>
    static void apply(const ActionInput& in, Item& item, std::string&, const ItemCallback&, unsigned&) {
        item.comment_char = *in.begin();
        item.value = util::stripped(std::string(in.begin() + 1, in.end()));
    }
};

template <> struct Action<CommentLine> {
    static void apply0(Item& item, std::string& section, const ItemCallback& on_item, unsigned& flags) {
        if (!(flags & ParseFlags::ReportComments))
            return;
        item.type = Item::Type::Comment;
        item.section = section;
        on_item(item);
    }
};

template <> struct Action<SectionName> {
    template <typename ActionInput>
    static void apply(const ActionInput& in, Item& item, std::string&, const ItemCallback&, unsigned&) {
        item.section = util::rstripped(in.string());
    }
};

template <> struct Action<Section> {
    static void apply0(Item& item, std::string& section, const ItemCallback& on_item, unsigned& flags) {
        item.type = Item::Type::Section;
        if (flags & ParseFlags::ReportSections)
            on_item(item);
        section = item.section;
    }
};

template <> struct Action<Key> {
    template <typename ActionInput>
    static void apply(const ActionInput& in, Item& item, std::string&, const ItemCallback&, unsigned&) {
        item.key = util::rstripped(in.string());
    }
};

// Every value alternative sets value, value_type and number, so that an alternative that matched partway
// (a boolean literal with text after it) leaves nothing behind for the next one.
template <> struct Action<EmptyValue> {
    static void apply0(Item& item, std::string&, const ItemCallback&, unsigned&) {
        item.value.clear();
        item.value_type = Item::ValueType::String;
        item.number = 0;
    }
};

template <> struct Action<QuoteOpen> {
    static void apply0(Item& item, std::string&, const ItemCallback&, unsigned&) { item.value.clear(); }
};

// Grows by half rather than doubling: quoted values are short and many.
inline void append_byte(std::string& s, char c) {
    if (s.size() == s.capacity())
        s.reserve(s.capacity() + s.capacity() / 2);
    s.push_back(c);
}

inline unsigned hex_value(char c) {
    if (c >= '0' && c <= '9')
        return static_cast<unsigned>(c - '0');
    if (c >= 'a' && c <= 'f')
        return static_cast<unsigned>(c - 'a' + 10);
    return static_cast<unsigned>(c - 'A' + 10);
}

template <> struct Action<StringChEscHex> {
    template <typename ActionInput>
    static void apply(const ActionInput& in, Item& item, std::string&, const ItemCallback&, unsigned&) {
        const char* p = in.begin(); // "xHH"
        append_byte(item.value, static_cast<char>(hex_value(p[1]) * 16 + hex_value(p[2])));
    }
};

template <> struct Action<StringChEscOct> {
    template <typename ActionInput>
    static void apply(const ActionInput& in, Item& item, std::string&, const ItemCallback&, unsigned&) {
        unsigned v = 0;
        for (const char* p = in.begin(); p != in.end(); ++p)
            v = v * 8 + static_cast<unsigned>(*p - '0');
        append_byte(item.value, static_cast<char>(v & 0xFF)); // "\777" keeps the low eight bits
    }
};

template <> struct Action<StringChEscSingle> {
    template <typename ActionInput>
    static void apply(const ActionInput& in, Item& item, std::string&, const ItemCallback&, unsigned&) {
        char c = *in.begin();
        switch (c) {
        case 'a':
            c = '\a';
            break;
        case 'b':
            c = '\b';
            break;
        case 'e':
            c = '\x1b';
            break;
        case 'f':
            c = '\f';
            break;
        case 'n':
            c = '\n';
            break;
        case 'r':
            c = '\r';
            break;
        case 't':
            c = '\t';
            break;
        case 'v':
            c = '\v';
            break;
        case '\n':
            return; // a backslash before LF joins the lines
        default:
            break; // '"', '\'' and '\\' stand for themselves
        }
        append_byte(item.value, c);
    }
};

template <> struct Action<StringChOther> {
    template <typename ActionInput>
    static void apply(const ActionInput& in, Item& item, std::string&, const ItemCallback&, unsigned&) {
        append_byte(item.value, *in.begin());
    }
};

template <> struct Action<QuotedString> {
    static void apply0(Item& item, std::string&, const ItemCallback&, unsigned&) {
        item.value.shrink_to_fit();
        item.value_type = Item::ValueType::String;
        item.number = 0;
    }
};

template <> struct Action<BoolTrue> {
    template <typename ActionInput>
    static void apply(const ActionInput& in, Item& item, std::string&, const ItemCallback&, unsigned&) {
        item.value = in.string();
        item.number = 1;
    }
};

template <> struct Action<BoolFalse> {
    template <typename ActionInput>
    static void apply(const ActionInput& in, Item& item, std::string&, const ItemCallback&, unsigned&) {
        item.value = in.string();
        item.number = 0;
    }
};

template <> struct Action<Bool> {
    static void apply0(Item& item, std::string&, const ItemCallback&, unsigned&) {
        item.value_type = Item::ValueType::Bool;
    }
};

template <> struct Action<Integer> {
    template <typename ActionInput>
    static void apply(const ActionInput& in, Item& item, std::string&, const ItemCallback&, unsigned&) {
        item.value = util::rstripped(in.string());
        std::string digits;
        digits.reserve(item.value.size());
        for (char c : item.value)
            if (c != '_' && c != '+')
                digits.push_back(c);
        std::int64_t n = 0;
        const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), n, 10);
        (void)end;
        if (ec == std::errc()) {
            item.value_type = Item::ValueType::Integer;
            item.number = n;
        } else { // out of range: kept as text for get_uint64
            item.value_type = Item::ValueType::String;
            item.number = 0;
        }
    }
};

template <> struct Action<RawString> {
    template <typename ActionInput>
    static void apply(const ActionInput& in, Item& item, std::string&, const ItemCallback&, unsigned&) {
        item.value = util::rstripped(in.string());
        item.value_type = Item::ValueType::String;
        item.number = 0;
    }
};

template <> struct Action<KeyValue> {
    static void apply0(Item& item, std::string& section, const ItemCallback& on_item, unsigned&) {
        item.type = Item::Type::KeyValue;
        item.section = section;
        item.comment_char = 0;
        on_item(item);
    }
};

template <> struct Action<PlainValue> {
    // The rule is only tried when plain values are allowed; otherwise the line is an error.
    template <typename Rule, apply_mode A, rewind_mode M, template <typename...> class Act,
              template <typename...> class Ctl, typename ParseInput>
    static bool match(ParseInput& in, Item& item, std::string& section, const ItemCallback& on_item,
                      unsigned& flags) {
        if (!(flags & ParseFlags::AllowPlainValues))
            return false;
        return pegtl::match<Rule, A, M, Act, Ctl>(in, item, section, on_item, flags);
    }

    template <typename ActionInput>
    static void apply(const ActionInput& in, Item& item, std::string& section, const ItemCallback& on_item,
                      unsigned&) {
        item = Item{}; // a failed section or key/value attempt may have filled fields
        item.type = Item::Type::PlainValue;
        item.section = section;
        item.value = util::stripped(in.string());
        on_item(item);
    }
};

// Messages, one per rule that can raise. None by default: Control<Rule>::raise refuses to compile for a rule
// without one, so that a new must<> never shows a user a C++ type name. The two "parse error matching"
// texts are what earlier versions printed and what existing logs and scripts look for.
template <typename Rule> inline constexpr const char* error_message = nullptr;
template <>
inline constexpr auto error_message<one<']'>> = "parse error matching tao::pegtl::ascii::one<']'>";
template <> inline constexpr auto error_message<SectionTrailer> = "unexpected trailing text";
template <>
inline constexpr auto error_message<sor<StringChEscHex, StringChEscOct, StringChEscSingle>> =
    "parse error matching tao::pegtl::sor<zelu::ini::parser::StringChEscHex, "
    "zelu::ini::parser::StringChEscOct, zelu::ini::parser::StringChEscSingle>";
template <> inline constexpr auto error_message<HexDigit> = "invalid escape sequence, expected hex digit";
template <> inline constexpr auto error_message<StringClose> = "string value not closed, expected \"";
template <> inline constexpr auto error_message<StringTrailer> = "unexpected trailing text";
template <>
inline constexpr auto error_message<InvalidLine> =
    "invalid line, expected '[section]' or 'key=value' or a comment";
template <> inline constexpr auto error_message<EndOfInput> = "unexpected input";

namespace {

struct ErrorState {
    const ErrorCallback* callback = nullptr;
    std::uint32_t count = 0;
};
thread_local ErrorState error_state;

} // namespace

const ErrorCallback* get_err_cb() noexcept {
    return error_state.callback;
}

std::uint32_t get_err_count() noexcept {
    return error_state.count;
}

// The line holding `pos`, a LF, and a caret under the byte at `pos`.
template <typename ParseInput> std::string error_context(const ParseInput& in, const position& pos) {
    return fmt::format("{}\n{:>{}}", in.line_at(pos), "^", pos.column);
}

template <typename Rule> struct Control : normal<Rule> {
    template <typename ParseInput, typename... States>
    [[noreturn]] static void raise(const ParseInput& in, States&&...) {
        static_assert(error_message<Rule> != nullptr, "a rule under must<> needs an error_message");
        ++error_state.count;
        const position pos = in.position();
        std::string message = fmt::format("{}: {}", to_string(pos), error_message<Rule>);
        std::string context = error_context(in, pos);
        if (error_state.callback != nullptr)
            (*error_state.callback)(ErrorCode::SyntaxError, std::move(message), std::move(context));
        throw parse_error(error_message<Rule>, pos);
    }
};

} // namespace parser

namespace {

// Installs a parse's error state on this thread and puts back the previous one on every way out, so that a
// parse started from inside a callback does not leave the outer parse without its error callback.
class ErrorStateScope {
public:
    explicit ErrorStateScope(const ErrorCallback& on_error) noexcept : saved_(parser::error_state) {
        parser::error_state = {&on_error, 0};
    }
    ~ErrorStateScope() { parser::error_state = saved_; }
    ErrorStateScope(const ErrorStateScope&) = delete;
    ErrorStateScope& operator=(const ErrorStateScope&) = delete;

private:
    parser::ErrorState saved_;
};

template <typename ParseInput>
bool parse_input(ParseInput& in, const ItemCallback& on_item, const ErrorCallback& on_error, unsigned flags) {
    ErrorStateScope scope(on_error);
    std::string section;
    try {
        tao::pegtl::parse<parser::Grammar, parser::Action, parser::Control>(in, section, on_item, flags);
        return parser::error_state.count == 0;
    } catch (const tao::pegtl::parse_error& e) {
        // Only the end-of-input check escapes the line loop. Its raise has reported it already; reporting it
        // again here is deliberate (this handler reports whatever leaves the grammar, and callers rely on
        // seeing this report twice). It is counted once.
        const auto& pos = e.positions().front();
        on_error(ErrorCode::SyntaxError, e.what(), parser::error_context(in, pos));
        return false;
    }
}

} // namespace

bool parse_file(const std::string& path, const ItemCallback& on_item, const ErrorCallback& on_error,
                unsigned flags) {
    try {
        tao::pegtl::file_input<tao::pegtl::tracking_mode::eager, tao::pegtl::eol::lf_crlf> in(path);
        return parse_input(in, on_item, on_error, flags);
    } catch (const std::exception& e) {
        on_error(ErrorCode::ReadError, e.what(), "");
        return false;
    }
}

bool parse_string(const std::string& text, const ItemCallback& on_item, const ErrorCallback& on_error,
                  unsigned flags) {
    tao::pegtl::memory_input<tao::pegtl::tracking_mode::eager, tao::pegtl::eol::lf_crlf> in(text, "<input>");
    return parse_input(in, on_item, on_error, flags);
}

namespace detail {

std::size_t analyze_grammar(bool verbose) {
    return tao::pegtl::analyze<parser::Grammar>(verbose ? 1 : 0);
}

} // namespace detail

// Items

std::string Item::section_key() const {
    if (section.empty())
        return key;
    return section + '.' + key;
}

std::pair<std::string, std::string> Item::eval_section_key() const {
    const auto dot = key.rfind('.');
    if (dot == std::string::npos)
        return {section, key};
    std::string first = section;
    if (!section.empty())
        first += '.';
    first.append(key, 0, dot);
    return {std::move(first), key.substr(dot + 1)};
}

namespace {

constexpr auto ini_report_level = static_cast<zelu::log::Level>(4);

// Level-4 report of a rejected value; never throws.
void report_rejected(const char* format, const Item& item) {
    try {
        auto* logger = zelu::log::get_global_logger();
        if (logger == nullptr || !logger->is_enabled(ini_report_level))
            return;
        const int saved_errno = errno;
        zelu::log::Event event(ini_report_level, "ini_parser", "", saved_errno);
        event.setup_message(fmt::format(fmt::runtime(format), item.section_key(),
                                        fmt::arg("m", zelu::log::detail::ErrnoPlaceholder{saved_errno})));
        logger->log(event);
    } catch (const std::exception&) {
        // A report must never turn a default into a failure.
    }
}

} // namespace

int Item::get_int32(int def) const {
    if (value_type == ValueType::Integer && number >= std::numeric_limits<std::int32_t>::min() &&
        number <= std::numeric_limits<std::int32_t>::max())
        return static_cast<int>(number);
    report_rejected("{}: Expected int32 value", *this);
    return def;
}

long Item::get_int64(long def) const {
    if (value_type == ValueType::Integer)
        return number;
    report_rejected("{}: Expected int64 value", *this);
    return def;
}

unsigned int Item::get_uint32(unsigned int def) const {
    if (value_type == ValueType::Integer && number >= 0 &&
        number <= std::numeric_limits<std::uint32_t>::max())
        return static_cast<unsigned int>(number);
    report_rejected("{}: Expected uint32 value", *this);
    return def;
}

namespace {

// std::stoull's reading of `text` without underscores: leading blanks and one sign, digits up to the first
// other byte; a '-' negates modulo 2^64 as strtoull does, which callers of the unsigned getter rely on.
bool to_uint64(const std::string& text, unsigned long& out) {
    std::string digits;
    digits.reserve(text.size());
    for (char c : text)
        if (c != '_')
            digits.push_back(c);
    try {
        out = std::stoull(digits, nullptr, 10);
        return true;
    } catch (const std::logic_error&) { // std::invalid_argument or std::out_of_range
        return false;
    }
}

} // namespace

unsigned long Item::get_uint64(unsigned long def) const {
    unsigned long v = 0;
    if (value_type == ValueType::String && to_uint64(value, v))
        return v;
    if (value_type == ValueType::Integer && number >= 0)
        return static_cast<unsigned long>(number);
    report_rejected("{}: Expected uint64 value", *this);
    return def;
}

} // namespace zelu::ini
