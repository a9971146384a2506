// The service side of the scan-service wire protocol: command framing and parsing, answer lines.
// Everything here is stateless and safe to call from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "scand/outcome.hpp"
#include "zelu/wire.hpp"

namespace scand {

// The rules both ends share, under the names the service uses.
using zelu::wire::accept_line;
using zelu::wire::DbInfo;
using zelu::wire::dbinfo_line;
using zelu::wire::end_line;
using zelu::wire::engine_error_line;
using zelu::wire::escape;
using zelu::wire::escape_to;
using zelu::wire::exclusion_limit_line;
using zelu::wire::max_line;
using zelu::wire::syntax_error_line;
using zelu::wire::unescape;

// Longest path a command may name: what the kernel accepts, so every answer line stays far below the
// client's line limit (5 + 2 * 4095 + tail).
inline constexpr std::size_t max_path = 4095;

inline constexpr std::string_view welcome_line = "220 orbis-scand ready\r\n";
static_assert(zelu::wire::code_of(welcome_line) == zelu::wire::welcome_code);

// Length of the first complete line in `buffered`, its LF included, or 0 while there is none. An
// escaped LF belongs to a path and does not end the line.
std::size_t command_line_length(std::string_view buffered);

// DBINFO is ours alone: zet never sends it (its answer line is zelu::wire::dbinfo_line). FDSCAN and
// VPSWAIT are ours too, sent by zet only when it answers opens: FDSCAN scans the descriptor that comes
// with its line (the path only names it), VPSWAIT answers like VPS once the version differs from the
// one given.
enum class Verb { Scan, Exclude, Vps, DbInfo, FdScan, VpsWait };

struct Command {
    Verb verb;
    std::string path;        // SCAN, FDSCAN, EXCLUDE: unescaped, never empty, at most max_path bytes, no NUL
    std::string cid;         // SCAN, FDSCAN: the client's identifier after CID, or empty
    std::string trigger;     // SCAN, FDSCAN: the word after TRIGGER, or empty
    std::uint32_t known = 0; // VPSWAIT: the version the client has, decimal digits that fit 32 bits
};

// Parses one line as command_line_length() delimits it (LF, or an unescaped CR LF, at the end). Fields
// are separated by single blanks. Nothing for an unknown verb, a missing or extra argument, a bad
// escape, an unescaped control whitespace, or a path that is too long or holds a NUL.
std::optional<Command> parse_command(std::string_view line);

// "EXCLUDE <escaped path>\r\n", the data line that confirms an exclusion.
std::string exclude_line(std::string_view path);
// "VPS <version>\r\n".
std::string vps_line(std::uint32_t version);
// The data lines for one scanned object: one "[+]" or "[E]" line, or one "[L]" line per finding.
// The numbers after the status letter are the scan's duration in seconds and microseconds; the number
// before a finding's name is its position among the object's findings, from 1.
void append_scan_lines(std::string& out, std::string_view path, const Outcome& outcome);

} // namespace scand
