// File operations shared by the monitor loop, the scan task and zetctl: path of a descriptor, last path
// component, moving a file into the vault even across file systems, and the durable copy under both.
#pragma once

#include "src/paths.hpp"

#include <sys/types.h>

#include <cstddef>
#include <string_view>

// The last component of `path`: a pointer into `path` just after its last '/', or `path` itself when it
// holds none (so "dir/" gives ""). Allocates nothing.
const char* basename_r(const char* path);

// The call that stopped copy_synced; errno holds its error.
enum copy_failure { COPY_READ = 1, COPY_WRITE, COPY_SYNC, COPY_SYNC_DIR };

// Copies `src` from its offset to its end into `dst`, then fsyncs `dst` and `dir` (the directory that
// holds `dst`, opened for reading), so that after a crash the copy is there under its name: only then
// may the caller remove the original. Interrupted reads and writes and short writes are retried. 0, or
// the copy_failure of the call that failed; logs nothing and removes nothing.
int copy_synced(int src, int dst, int dir);

// Copies the bytes of `from` into `to`, created with mode 0600 or truncated, with copy_synced. Returns 0
// when `to` holds a full copy on disk; otherwise -1 after a warning, with `to` removed when the copy had
// begun.
int copy_file(const char* from, const char* to);

// Replaces the file at `path` with one holding `text`: written to `tmp` (created with `mode`, a symbolic
// link there not followed), then renamed over `path`, so that a reader sees the old file or the new one.
// With `durable` the file is synced before the rename and its directory after it, so that a crash leaves
// one of them too. False after a failure, with `tmp` removed and errno of the call that failed; `report`
// logs it at LOG_WARNING naming the call and the file ("rename(): TMP -> PATH: ...").
bool replace_file(const char* path, const char* tmp, std::string_view text, mode_t mode, bool durable,
                  bool report);

// Moves `from` to `to`: rename, or copy_file and unlink across file systems. Returns 0 when the file lies
// at `to` and no longer at `from`; -1 after a warning otherwise.
int move_file(const char* from, const char* to);

// The path of the open descriptor `fd` read from its /proc/self/fd link into `buf` of `size` bytes and
// zero-terminated; a longer link is cut at size - 1 bytes. Returns `buf`, or nullptr for a descriptor of
// 0 or less and after a warning when the link cannot be read.
char* fd2path(int fd, char* buf, std::size_t size);

// fd2path without a message: false when the link cannot be read (errno set). For a thread that must not
// wait on logging.
bool fd_link(int fd, char* buf, std::size_t size);

// Whether the text `path` still names the file open as `fd`: it is the descriptor's own link text (the
// kernel's name for it, free of symbolic links) and looking it up now still reaches that very file. False
// once the file was renamed, or a directory on the way replaced, since the text was taken.
bool still_names(int fd, const char* path);
