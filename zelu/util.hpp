// Byte-string helpers: trimming, splitting, ASCII case rules, booleans, printf-style formatting, escaping.
// Every function is stateless and safe to call from any thread; texts carry no encoding.
#pragma once

#include <ios>
#include <string>
#include <string_view>
#include <vector>

namespace zelu::util {

// Space, line feed, carriage return, tab, vertical tab, form feed: the default set of the trimming functions.
inline constexpr const char* whitespace = " \n\r\t\v\f";

// Removes trailing bytes of `set` from `s` in place; an empty `s` or an empty set changes nothing.
void rstrip(std::string& s, const char* set = whitespace);
// Copy of `s` without trailing bytes of `set`.
std::string rstripped(const std::string& s, const char* set = whitespace);
// Removes leading bytes of `set` from `s` in place; an empty `s` or an empty set changes nothing.
void lstrip(std::string& s, const char* set = whitespace);
// Copy of `s` without leading bytes of `set`.
std::string lstripped(const std::string& s, const char* set = whitespace);
// Removes leading and trailing whitespace in place.
void strip(std::string& s);
// Copy of `s` without leading and trailing bytes of `set`; an empty set gives a plain copy.
std::string stripped(const std::string& s, const char* set = whitespace);

// Pieces of `text` between occurrences of `sep`, in order. With `keep_empty`, n separators give n + 1
// pieces (an empty text gives one empty piece); without it, empty pieces are dropped.
std::vector<std::string> split(std::string_view text, char sep, bool keep_empty);

// strcasecmp over the NUL-terminated contents: negative, zero or positive.
int compare_nocase(const std::string& a, const std::string& b);
// Same length and equal ignoring ASCII case (like strncasecmp, stops at a NUL both hold at one place).
bool equals_nocase(std::string_view a, std::string_view b);

// Strict weak ordering ignoring ASCII case, for ordered containers keyed by text.
struct NoCaseLess {
    bool operator()(std::string_view a, std::string_view b) const;
};

// `s` begins with `prefix`, byte for byte; an empty prefix always matches.
bool starts_with(const std::string& s, const std::string& prefix);

// Every byte lowered (raised) in the "C" locale.
std::string to_lower(std::string s);
std::string to_upper(std::string s);

// Lenient boolean that never fails. False: anything starting with 'f' or 'n' (any case), "", "0", "off"
// (any case); every other text is true, including "00", "offline" and " no".
bool parse_bool(const std::string& s);

// Strict conversion: true when `s` is a valid T, and only then is `out` set.
template <typename T> bool from_string(const std::string& s, T& out, std::ios_base::fmtflags flags);

// Accepts exactly "1", "true", "0" and "false" whatever `flags` says; other case or blanks fail.
template <> bool from_string<bool>(const std::string& s, bool& out, std::ios_base::fmtflags flags);

// Replaces the first occurrence of `from` in `s` by `to`; false when there is none. An empty `from`
// matches at the front.
bool replace_substring(std::string& s, const std::string& from, const std::string& to);

// printf-style formatting into a new string; throws std::system_error ("vsnprintf", generic category)
// when vsnprintf fails.
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// `s` with control, quote, backslash and non-printable bytes written as C escapes ("\t", "\\", "\x1f").
std::string escape(const std::string& s);

} // namespace zelu::util
