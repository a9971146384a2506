// Scanning through ICAP servers (RFC 3507): SCAN_SERVICE's servers, one persistent connection per worker,
// RESPMOD with a preview and "Allow: 204", the file's content read from the descriptor zet holds, and the
// verdicts of the common servers' headers. Several servers share the work; one that fails rests for a
// backoff period while the others take its share.
#pragma once

#include "src/av.hpp"

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

// One server of SCAN_SERVICE.
struct icap_server {
    std::string host;
    std::uint16_t port = 1344;
    std::string service; // the path after the authority, without its leading '/'
    std::string uri;     // icap://HOST:PORT/SERVICE, as requests name it
    bool tls = false;    // icaps://: TLS, checked against the system's trust store; port 11344 by default
};

// The servers of SCAN_SERVICE's value: icap:// or icaps:// URLs separated by blanks
// ("icap://HOST[:PORT]/SERVICE").
// False with the first bad one in `bad`.
bool icap_parse(const std::string& text, std::vector<icap_server>* out, std::string* bad);

// What OPTIONS told of a service.
struct icap_options {
    std::string istag;
    long preview = -1; // bytes the server wants first; -1: no preview
    unsigned max_connections = 0;
    unsigned ttl = 0; // seconds; 0: not given
    std::vector<std::string> transfer_preview, transfer_ignore, transfer_complete;
};

// One answer's status and ICAP headers (names lower-cased, folded lines joined with '\n').
struct icap_answer {
    int status = 0;
    std::multimap<std::string, std::string> headers;
    int http_status = 0; // the encapsulated response's, when one came
};

// Parses the status line and headers of an ICAP answer (`text` up to and including the blank line).
bool icap_parse_head(const std::string& text, icap_answer* out);

// The finding names an answer reports (X-Infection-Found, X-Virus-ID, X-Violations-Found, in that order
// of preference), each once; empty when it names none.
std::vector<std::string> icap_findings(const icap_answer& a);

// OPTIONS's facts from its answer.
icap_options icap_options_of(const icap_answer& a);

// The signature version zet keeps for a server's ISTag: a non-zero hash, so that a changed tag reads as
// new signatures.
std::uint32_t icap_version(const std::string& istag);

// Keeps the servers (which must outlive every use) for the daemon's workers; call before any exists.
void icap_init(const std::vector<icap_server>& servers);
// Whether SCAN_SERVICE names ICAP servers (icap_init was given some).
bool icap_on();

// The client operations, on the caller's connection handle as the av_* ones (-1: not connected); a failure
// drops the connection, and a server that could not be reached rests before the next try.
// Scans the content of the readable descriptor `fd` (its name `path` only for the server's log); the
// ISTag's version in `*vps`.
av_verdict icap_scan(int* handle, int fd, const char* path, infection** result, char* reason,
                     std::size_t size, std::uint32_t* vps);
// The version of the ISTag of the server the handle talks to (asked with OPTIONS if none is known).
int icap_vps(int* handle, std::uint32_t* vps);
// Closes the connection of the handle.
void icap_disconnect(int* handle);
// Whether any server answers OPTIONS now.
bool icap_answers();

// Health of one server: its OPTIONS answer within the wait limit. False with the reason in `error`.
bool icap_probe(const icap_server& s, icap_options* out, std::string* error);
