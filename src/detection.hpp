// What happens to a detection besides the vault and the infection log: a syslog line, a JSON record and
// the alert command, each only when its setting asks for it.
#pragma once

#include <ctime>
#include <string>

class Config;
struct infection;

// Appends `text` to `out` as the inside of a JSON string: '"' and '\' get a backslash, control bytes
// (0x00-0x1F, 0x7F) become \u00XX, valid UTF-8 is copied, and every byte that is not part of a valid UTF-8
// sequence becomes \udcXX, its lone low surrogate U+DC80 + byte (Python's "surrogateescape"), so that
// the original bytes come back exactly and no byte can end a line or a string early.
void json_escape(std::string& out, const char* text, std::size_t len);

// Opens the JSON log and starts the alert runners as `config` asks. Call once on the main thread after
// the change into RUN_DIR, with the stop signals blocked. Failures are logged; the daemon runs on without
// the part that failed.
void detection_init(const Config& config);

// Reports one infected file after the infection log lines: `vault` is the vault name or null when the move
// failed, `sock` the worker's scan-service connection (asked for the signature version for the JSON log),
// `when` the time of the log lines.
void detection_report(int* sock, const char* path, const char* vault, const infection* list, time_t when);
