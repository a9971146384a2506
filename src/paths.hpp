// Every rule about paths: the path lists of the configuration, which paths lie under a monitored tree,
// which are excluded, and which mounts lie below a tree.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct actor_ids;
struct process_ref;

// Bytes of every path text in the daemon, terminating zero included: event paths, queue slots, task paths
// and vault names.
inline constexpr std::size_t PATH_BUF_SIZE = 4096;

// Node of the monitored-path and exclusion lists; malloc'd, like its path. New nodes go to the head, so a
// list holds its paths in the reverse of the order they were added, and that order shows in logs and on
// the wire (deliberately kept: operators and the scan service see it).
struct monitor {
    char* path; // canonical path, or the text as configured when the path did not exist
    monitor* next;
};

// Two rules decide what lies where, and each is deliberate:
// - A monitored tree holds what its text is a byte prefix of: /srv/data also holds /srv/data2/f. The
//   monitor loop filters events that way and the vault is excluded that way; it costs nothing and is
//   what operators have always seen (path_under, is_monitored).
// - Exclusions and mounts go by whole components: /srv/data/tmp excludes /srv/data/tmp/f but not
//   /srv/data/tmp2 (path_excluded, mounts_below), as the scan service matches them (zelu::wire::within).

// True when `path` starts with one of the paths of `list`, byte for byte.
bool path_under(const char* path, const monitor* list);

// True when the canonical form of `path` starts with one of the paths of `list`, byte for byte. A path
// that cannot be resolved (a deleted file's link text) is matched as it is.
bool is_monitored(const char* path, const monitor* list);

// True when `path` is one of the exclusions of `list` or lies below one.
//
// This is the service's component rule, but not its matcher (zelu::wire::Exclusions): the service learns an
// exclusion as "DIR/*" only when it is a directory at the moment a connection is made, whereas zet's own
// filters (full coverage, the catch-up walks) hold every exclusion as a tree, so that a directory created
// after start-up is excluded from the first event on. Paths here are the kernel's, already canonical.
bool path_excluded(const char* path, const monitor* list);

// Whether `path` matches the shell pattern `pattern` as a whole: `*` is any run of bytes but '/', `?` one
// character but '/' (a UTF-8 sequence, else one byte), `[...]` one byte of a set (`!` or `^` negates,
// ranges by byte value), `\\` takes the next byte as it is, and a component `**` stands for any number of
// directories (`**/` at the start and `/**/` in the middle also for none, `/**` at the end for everything
// below). A pattern that ends in '/' matches everything below that directory.
bool glob_match(std::string_view pattern, std::string_view path);

// The exclusions beyond EXCL's trees (EXCL_GLOB, EXCL_USER, EXCL_PROGRAM), each rule with its text as
// configured, and zet's own files, which nothing scans whatever the configuration says.
struct exclusion_rules {
    struct user {
        uid_t uid;
        std::string text; // the name or number as written
    };
    std::vector<std::string> globs;
    std::vector<user> users;
    std::vector<std::string> programs; // canonical absolute paths
    std::vector<std::string> own;      // the vault, the infection log, the JSON log, the run directory

    // Whether a rule asks who caused the event.
    bool by_process() const { return !users.empty() || !programs.empty(); }
};

// The one place every event source asks whether a path is left alone: the rule that excludes `path`,
// when caused by a process with the ids `who` (null: not known, so no user or program rule applies), as
// "KEY = value" (an own file: "zet's own: PATH"); nothing when it is to be scanned. `trees` are EXCL's
// exclusions where zet applies them itself (null where the scan service is told them instead).
std::optional<std::string> excluded_by(const char* path, const monitor* trees, const exclusion_rules& rules,
                                       const actor_ids* who);

// excluded_by for an event caused by `by`, whose ids are asked only when a rule needs them; a process
// that cannot be asked any more matches no user or program rule.
std::optional<std::string> excluded_for(const char* path, const monitor* trees, const exclusion_rules& rules,
                                        const process_ref& by);

// Mount points strictly below a tree of `trees`, in mount-table order, each once: from the mount table
// read from `fd` (/proc/self/mountinfo, read from its start), or from a fresh read of it.
std::vector<std::string> read_mounts_below(int fd, const monitor* trees);
std::vector<std::string> mounts_below(const monitor* trees);

// A mount point as /proc/self/mountinfo escapes it (\040 for a blank, \011, \012, \134).
std::string unescape_octal(const std::string& text);
