// Scan-service client: the line protocol over the service's UNIX stream socket (timed I/O, path escaping,
// response tokenizer and reader), then the av_* operations the daemon uses (connect, exclusions, scans).
// Every failure is logged to syslog where it happens; callers only look at the result.
#pragma once

#include <sys/types.h>
#include <sys/un.h>

#include <cstddef>
#include <cstdint>

#include "zelu/wire.hpp"

struct monitor; // node of the configuration's path lists, src/paths.hpp

// ---- Wire protocol -------------------------------------------------------------------------------------

// Status codes, escaping and the line limit are the rules the service shares (zelu/wire.hpp).
// One command line, built on the caller's stack; and one response line: a longer one cannot be read.
inline constexpr int AV_COMMAND_SIZE = static_cast<int>(zelu::wire::max_line);
inline constexpr int AV_RESPONSE_SIZE = static_cast<int>(zelu::wire::max_line);
inline constexpr int AV_WAIT_SECONDS = 120; // limit of every wait before a read or a retried write

// One finding of a scan, allocated with malloc. Whoever receives the list from av_scan owns it and releases
// it with av_free_result. Lists hold their findings newest line first.
struct infection {
    char* name;      // malloc'd, NUL-terminated, unescaped name of the finding
    infection* next; // null ends the list
};

enum token_kind {
    TOKEN_END,     // nothing complete is buffered: the text is exhausted or the token touches its end
    TOKEN_NUMBER,  // a run of decimal digits followed by a non-digit
    TOKEN_INVALID, // any other character, a word that is no keyword, a lone CR, a doubled backslash
    TOKEN_SPACE,   // one blank
    TOKEN_EOL,     // LF, or CR LF
    TOKEN_TAB,
    TOKEN_LBRACKET,
    TOKEN_RBRACKET,
    TOKEN_DOT,
    TOKEN_PLUS,
    TOKEN_SCAN, // the keywords, matched case-sensitively as whole words
    TOKEN_VPS,
    TOKEN_EXCLUDE,
    TOKEN_E,
    TOKEN_L,
};

// Tokenizer state over a received text; works in place and owns nothing.
struct parser_t {
    const char* cur;   // next character to read; one past `end` once the end of the text was reached
    const char* end;   // one past the last buffered character
    const char* token; // start of the last token, or of the escape pairs in front of it
    token_kind kind;   // kind of the last token
    // Value of the last TOKEN_NUMBER. Unsigned so that a long digit run from the service wraps instead of
    // overflowing; only its low 32 bits are ever used.
    std::uint64_t number;
};

// Kind of the last parsed line; a zero-filled response_t reads as a status line with code 0.
enum type_t {
    TYPE_CODE = 0,    // status line: begins with a number
    TYPE_SCAN = 1,    // data line beginning with SCAN
    TYPE_VPS = 2,     // data line beginning with VPS
    TYPE_EXCLUDE = 3, // data line beginning with EXCLUDE
};

// The low 32 bits of the number that begins a status line.
using code_t = std::int32_t;

// Filled line by line by parse and reused for all lines of one response: each line overwrites `type`, a
// status line `code`; `vps` and `infections` keep what earlier lines put there. The two payload fields do
// not overlap, so a data line of an unexpected type can never corrupt the list of findings.
inline constexpr int AV_REASON_SIZE = 128; // kept of the first "E" line's text

struct response_t {
    type_t type;
    code_t code;           // code of the last status line; 0 while none was seen
    std::uint32_t vps;     // low 32 bits of the number on the last VPS line
    infection* infections; // findings from SCAN lines, newest first; owned by the response until handed on
    unsigned unscanned;    // SCAN lines with the status letter E
    char reason[AV_REASON_SIZE]; // the text of the first of them, cut to fit and zero-terminated
};

// Writes all `len` bytes to the non-blocking descriptor `fd`, waiting for writability when the socket is
// full. 1 on success (at once for a length of 0); -1 on failure, logged except for EPIPE (the service has
// gone).
int send_buffer(int fd, const char* data, int len);
// Waits for `fd` to become readable and reads up to `room` bytes into `buf`. Returns the byte count (at
// least 1), 0 when the service closed the connection, -1 on a logged failure or timeout.
int recv_buffer(int fd, char* buf, int room);
// Copies `path` into `dest` with a backslash before every byte that zelu::wire::needs_escape(), then a NUL;
// `dest` needs `capacity` + 1 bytes. Returns the escaped length, or -1 when it would exceed `capacity`.
int add_slashes(const char* path, char* dest, int capacity);
// Reads the next token at `p->cur`; sets `token`, `kind` and, for numbers, `number`. Escape pairs (a
// backslash and any other character) are skipped, so escaped delimiters never end a field.
void next_token(parser_t* p);
// Parses the first line of the `len` bytes at `text` into `resp`. Returns n > 0 when the line and its line
// end (n bytes) are complete, 0 when more bytes are needed (nothing is allocated then: parse the same text
// again once more has arrived), -1 for a defective line (logged; the findings of `resp` are released).
int parse(const char* text, int len, response_t* resp);
// Reads data lines of type `expected` after the first line of an answer. `buf` holds `*len` bytes of which
// `*off` are consumed; both move as lines arrive. 1 when an end line (code 200) closed the data; -1
// otherwise. Findings stay in `resp` either way; the caller releases them on failure.
int response_data(type_t expected, int fd, char* buf, int size, int* len, int* off, response_t* resp);
// Reads the first complete line from `fd`: 1 and its code in `*code` (0 for a line that is no status line);
// -1 when it cannot be read.
int response_code(int fd, code_t* code);

// Sets the wait limit (AV_WAIT_SECONDS by default): zetctl shortens it for its interactive checks, tests to
// fail fast. Call before any thread uses the client; the daemon never does.
void av_set_wait_limit(long seconds, long microseconds);
// The wait limit in milliseconds, for the other clients of a scan service (ICAP).
long av_wait_limit_ms();

// ---- Client --------------------------------------------------------------------------------------------

// The address of the UNIX socket `socket_path` in `*addr`. 0; -1 after "Invalid socket path: %s" when the
// path exceeds 107 bytes.
int av_address(const char* socket_path, sockaddr_un* addr);
// A new connection to the service at `addr`: past its welcome line (220) and told every path of
// `exclusions`. The descriptor (non-blocking, close-on-exec), or -1 after the lower layers' messages; with
// `quiet`, a service that cannot be reached at all (socket, fcntl, connect) is not logged. The service's
// process ID is recorded for av_is_service_pid.
int av_connect(const sockaddr_un& addr, const monitor* exclusions, bool quiet);
// Whether `pid` is the process ID of a scan service this process has connected to: one of the last 8
// distinct peers of av_connect (SO_PEERCRED). Lock-free and never blocks, so that the fanotify loop can
// ask it for every event and let the service's own opens of the files it scans through unasked; such an
// open waiting for a verdict would wait for itself.
bool av_is_service_pid(pid_t pid);

// Keeps the socket address in `av_addr` and borrows the exclusion list in `av_exclusions` (which must
// outlive every connection and never change), logging each exclusion. The daemon's own client state: call
// once before any worker exists; zetctl uses av_address and av_connect instead. 0; -1 when the path
// exceeds 107 bytes.
int av_init(const char* socket_path, monitor* exclusions);
// Whether the service of av_init answers a new connection with its welcome line. Quiet: for probes while
// the service is known to be away.
bool av_answers();
// Writes one command on the caller's connection handle (-1: not connected). A missing or broken connection
// is replaced once: connect, check the welcome line, send every exclusion, then write. 1 on success, -1
// on failure with the handle at -1, except when only the final write failed (the next command repairs it).
int send_command(int* handle, const char* command, int len);
// One EXCLUDE exchange on a freshly welcomed descriptor; a directory is sent with "/*" appended.
// 0 when the service accepted it; -1 otherwise.
int exclude_path(int fd, const char* path);
// Scans `path` on the caller's handle. 1: findings, the list in `*result` belongs to the caller until
// av_free_result; 0: clean, `*result` null; -1: failure (`*result` null). A failed answer leaves the handle
// at -1 so that the next command starts on a new connection.
int av_scan(int* handle, const char* path, infection** result);
// What av_scan_checked learnt of a file. av_scan's integers, and one more.
enum av_verdict {
    AV_FAILED = -1,     // no usable answer
    AV_CLEAN = 0,       // scanned, nothing found
    AV_FOUND = 1,       // findings, in the caller's list
    AV_UNSCANNABLE = 2, // no finding, but the service could not scan it (status letter E)
};
// av_scan that also tells a file the service could not scan from a clean one: AV_UNSCANNABLE, with the
// text of the first "E" line in `reason` (`size` bytes, cut to fit).
av_verdict av_scan_checked(int* handle, const char* path, infection** result, char* reason, std::size_t size);
// av_scan_checked for a file the caller has open: sends FDSCAN with the descriptor `fd` attached, so that
// the service reads what `fd` reads and never opens `path`, which only names the file. `fd` stays the
// caller's. On every result but AV_FAILED, `*vps` is the version of the engine that scanned it.
av_verdict av_scan_fd(int* handle, int fd, const char* path, infection** result, char* reason,
                      std::size_t size, std::uint32_t* vps);
// Reads the answer to VPS on `fd`: 1 and the number of the last VPS line (0 when none); -1 on failure.
int vps_response(int fd, std::uint32_t* vps);
// Asks the service for its signature version: 0 and the number in `*vps`; -1 on failure.
int av_vps(int* handle, std::uint32_t* vps);
// Asks the service for its signature version once it differs from `known` (VPSWAIT): the service answers
// when it loads another version, or after 30 s with the same one, well within the client's wait limit.
// 0 and the number in `*vps`; -1 on failure, with the connection dropped.
int av_vps_wait(int* handle, std::uint32_t known, std::uint32_t* vps);
// Frees every entry of `list` and its name; a null list does nothing.
void av_free_result(infection* list);
