// The record that travels with each quarantined file as an extended attribute of its vault file: where it
// came from, whose it was, its mode and times, its digest, findings and writer. zet writes it and zetctl
// reads it, so the text format and the SHA-256 of a vault file live here once.
#pragma once

#include "src/actor.hpp"

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct infection;

// Root-only like the vault itself, and moved with the file by a rename, so no file of its own is needed.
inline constexpr const char* VAULT_RECORD_XATTR = "trusted.zet.record";

// The facts of one quarantined file as it was just before it went into the vault.
struct vault_record {
    std::string path; // where it was taken from
    // The file system refused the whole record: `path` and the writer's executable are only their start
    // and `findings` only the first.
    bool cut = false;
    uid_t uid = 0;
    std::string user; // from the user database; the uid as text when it has no entry
    gid_t gid = 0;
    std::string group; // likewise, from the group database
    mode_t mode = 0;   // permission bits with setuid, setgid and sticky (07777)
    timespec atime{}, mtime{};
    std::int64_t size = 0;
    std::string sha256; // lower-case hex of the vault file's content after the move
    std::vector<std::string> findings;
    std::uint32_t vps = 0;        // signature database version; 0 unknown
    std::int64_t quarantined = 0; // Unix time of the move
    actor writer;                 // `known` false: nobody was named, or it had exited
};

// The record as text: the line "zet-vault-record 1", then one "name\tvalue\n" line per field, each text
// escaped by json_escape so that no byte of a path can end its line or be lost.
std::string vault_record_text(const vault_record& r);

// Reads what vault_record_text wrote. Fields it does not know are skipped, so that a newer writer of the
// same format version can add some. Nothing, with `error` set to one line, for another format line, a
// missing required field (path, uid, gid, mode, atime, mtime, size, sha256, quarantined), a repeated one,
// or a value that does not read.
std::optional<vault_record> vault_record_parse(std::string_view text, std::string* error);

// Lower-case hex SHA-256 of `fd` read from its offset to its end. Nothing with `*err` set to errno of the
// failed read, or to 0 when the digest is not available.
std::optional<std::string> vault_sha256_fd(int fd, int* err);

// The daemon's side, for the file just moved to `vault_path` from `original`, `before` being its lstat taken
// before the move: digests the vault file and sets the record on it. One that is too large for the file
// system is tried once more cut (see `cut`). Any failure is one LOG_WARNING message; the quarantine stands.
void vault_record_keep(const char* vault_path, const char* original, const struct stat& before,
                       const infection* findings, std::uint32_t vps, const actor& writer, time_t when);

// zetctl's side: the record of the file at `path`, not following a symbolic link. Nothing with `error`
// empty when the file has none, or with `error` set when it cannot be read or understood.
std::optional<vault_record> vault_record_read(const std::string& path, std::string* error);
