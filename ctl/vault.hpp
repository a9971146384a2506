// The vault as the administrator sees it: its files joined with their infection-log lines, their digests,
// and putting a file back where it came from without ever overwriting or following a symbolic link.
#pragma once

#include "src/vault_record.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ctl {

// One line of the infection log.
struct LogEntry {
    std::string time;    // local time, "YYYY-MM-DD HH:MM:SS"
    std::string path;    // the path as zet queued it
    std::string vault;   // where the file went, or "ERROR"
    std::string finding; // the scan service's name for what it found
};

// Splits one infection-log line (without its line feed). zet writes paths unescaped, so a tab in a path
// adds columns: the time is the first column and the finding the last, and the path ends where the rest
// is "ERROR" or a vault name made of the path's last component, a dot and six characters. Nothing for a
// line that fits no such split.
std::optional<LogEntry> parse_log_line(std::string_view line);

struct LogContents {
    std::vector<LogEntry> entries; // in file order
    std::size_t bad_lines = 0;     // lines that parse_log_line refused
    std::string error;             // why the file could not be read; empty when it was
};
LogContents read_log(const std::string& path);

// Seconds since the epoch of a log time read as local time; nothing when it is not one.
std::optional<std::int64_t> parse_log_time(const std::string& time);

struct VaultFile {
    std::string name;                   // file name inside the vault
    std::int64_t size = 0;              // bytes
    std::int64_t quarantined = 0;       // the log's time, else the record's, else the file's change time
    std::string original;               // the path it was taken from; empty when neither log nor record says
    std::string time;                   // the log's time text; empty without a log line
    std::vector<std::string> findings;  // every finding logged for it, in log order; else the record's
    std::optional<vault_record> record; // what zet kept on the file (VAULT_RECORDS)
    std::string record_error;           // why a record it carries could not be read; empty when none
};

// The regular files of the vault, oldest quarantine first, each joined with the log lines that name it and
// with its record. A record's path counts as the original only when it is whole and no log line names one.
// `error` gets why the directory could not be read (the result is then empty).
std::vector<VaultFile> list_vault(const std::string& dir, const std::vector<LogEntry>& log,
                                  std::string* error);

// True for a name that can only mean a file directly inside the vault.
bool is_vault_name(std::string_view name);

// Lower-case hex SHA-256 of the vault file `name`; nothing, with `error` set, when it cannot be read.
std::optional<std::string> vault_sha256(const std::string& dir, const std::string& name, std::string* error);

struct RestoreResult {
    bool ok = false;
    std::string how;   // "renamed", "linked" or "copied"
    std::string error; // one line: why nothing was restored
    // With ok: each fact of the record that could not be put back, one line each.
    std::vector<std::string> not_restored;
};

// Moves the vault file `name` to the absolute path `target`. Refused when anything exists at `target`
// (even a dangling symbolic link) or when a directory on the way is a symbolic link or missing; no
// directory is created. The file is never half moved: either it lies at `target` and no longer in the
// vault, or it stays in the vault and nothing is left at `target`. With a `record`, the restored file then
// gets its owner, group, mode and times back, setuid and setgid only when the owner came back too; the
// record itself never stays on a restored file.
RestoreResult restore_file(const std::string& dir, const std::string& name, const std::string& target,
                           const vault_record* record = nullptr);

// Removes the vault file `name`; false with `error` set when that fails.
bool remove_vault_file(const std::string& dir, const std::string& name, std::string* error);

} // namespace ctl
