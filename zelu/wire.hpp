// The rules of the scan-service wire protocol that both ends share: the line limit, the status lines they
// agree on, the DBINFO line, escaping, and how an exclusion covers a path. orbis-scand speaks them and zet's
// client and zetctl rely on them, so each lives here once and the two ends cannot drift apart. Everything
// here is stateless and safe to call from any thread, except an Exclusions object, which belongs to one
// connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelu::wire {

// Longest line either end reads, its line end included: a longer command closes the connection, a longer
// answer line cannot be read.
inline constexpr std::size_t max_line = 16384;

// The status lines. A client acts on the number alone; the text is for people reading logs.
inline constexpr std::string_view accept_line = "210 Accepted\r\n"; // data lines follow
inline constexpr std::string_view end_line = "200 OK\r\n";          // ends the data lines of an answer
inline constexpr std::string_view engine_error_line = "451 Engine error\r\n";
inline constexpr std::string_view exclusion_limit_line = "452 Exclusion limit reached\r\n";
inline constexpr std::string_view syntax_error_line = "501 Syntax error\r\n";

// The three-digit number that begins a status line.
constexpr int code_of(std::string_view line) {
    return (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
}
// The text between a status line's number and its CR LF.
constexpr std::string_view text_of(std::string_view line) {
    return line.substr(4, line.size() - 6);
}

// First line of every connection; the text after it is the service's own.
inline constexpr int welcome_code = 220;
inline constexpr int accept_code = code_of(accept_line);
inline constexpr int end_code = code_of(end_line);
inline constexpr int engine_error_code = code_of(engine_error_line);
inline constexpr int exclusion_limit_code = code_of(exclusion_limit_line);
inline constexpr int syntax_error_code = code_of(syntax_error_line);

// What orbis-scand answers to DBINFO about the engine that new scans use. zetctl asks; zet never does, so
// the line may grow fields without touching zet's bytes.
struct DbInfo {
    std::uint32_t version = 0;
    std::int64_t built = 0; // Unix time, 0 unknown
    bool built_from_header = false;
    std::int64_t signatures = 0;
    std::int64_t loaded = 0; // Unix time the load finished
    std::int64_t load_ms = 0;
};
// "DBINFO version=<n> built=<unix time> built_from=<header|file> signatures=<n> loaded=<unix time>
// load_ms=<n>\r\n".
std::string dbinfo_line(const DbInfo& info);
// Reads a line that dbinfo_line built, its line end optional. Fields are taken by name and names it does
// not know are skipped, so that a service that adds fields is still understood; a missing or bad
// built_from, signatures, loaded or load_ms reads as its default. Nothing when the line is no DBINFO line
// or lacks a valid version or build time.
std::optional<DbInfo> parse_dbinfo_line(std::string_view line);

// Bytes that travel behind a backslash: the backslash itself and every POSIX whitespace byte (blank,
// tab, LF, VT, FF, CR). Escaped, they never split a field or end a line.
constexpr bool needs_escape(char c) {
    return c == '\\' || c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Appends `text` with a backslash before every byte that needs_escape(); other bytes, 0x80 and up
// included, are copied.
void escape_to(std::string& out, std::string_view text);
std::string escape(std::string_view text);
// Undoes escape(). Fails on a backslash that is last or is followed by a byte escape() never escapes.
std::optional<std::string> unescape(std::string_view text);

// `path` with repeated slashes folded, "." components dropped and no trailing slash ("/" stays "/").
// ".." is kept as it is: without resolving symbolic links it cannot be folded safely.
std::string normalized(std::string_view path);

// Whether `path` is `dir` or lies below it, by whole components: "/srv/data" holds "/srv/data/x" but not
// "/srv/data2". A `dir` that ends in '/' holds what starts with it. Bytes are compared as they are; see
// normalized() for paths that may hold "." or doubled slashes.
bool within(std::string_view path, std::string_view dir);
// within(), without `dir` itself.
bool below(std::string_view path, std::string_view dir);

// The paths one connection has asked to leave out of its scans, matched on normalized paths.
class Exclusions {
public:
    // Bounds what one connection may make the service remember.
    static constexpr std::size_t max_bytes = 1 << 20;

    // "DIR/*" covers everything below DIR, any other path only itself. False when the limit is reached.
    bool add(std::string_view path);
    // `path` is excluded itself.
    bool covers(std::string_view path) const;
    // Every path below the directory `dir` is excluded.
    bool covers_below(std::string_view dir) const;

private:
    std::vector<std::string> exact_;
    std::vector<std::string> trees_; // normalized directories, each with a trailing slash
    std::size_t bytes_ = 0;
};

} // namespace zelu::wire
