// File operations shared by the monitor loop and the scan task: path of a descriptor, last path
// component, moving a file into the vault even across file systems.
#pragma once

#include "src/paths.hpp"

#include <cstddef>

// The last component of `path`: a pointer into `path` just after its last '/', or `path` itself when it
// holds none (so "dir/" gives ""). Allocates nothing.
const char* basename_r(const char* path);

// Copies the bytes of `from` into `to`, created with mode 0600 or truncated. Returns 0 when `to` holds a
// full copy; otherwise -1 after a warning, with `to` removed when the copy had begun.
int copy_file(const char* from, const char* to);

// Moves `from` to `to`: rename, or copy and unlink across file systems. Returns 0 when the file lies at
// `to` and no longer at `from`; -1 after a warning otherwise.
int move_file(const char* from, const char* to);

// The path of the open descriptor `fd` read from its /proc/self/fd link into `buf` of `size` bytes and
// zero-terminated; a longer link is cut at size - 1 bytes. Returns `buf`, or nullptr for a descriptor of
// 0 or less and after a warning when the link cannot be read.
char* fd2path(int fd, char* buf, std::size_t size);

// Whether the text `path` still names the file open as `fd`: it is the descriptor's own link text (the
// kernel's name for it, free of symbolic links) and looking it up now still reaches that very file. False
// once the file was renamed, or a directory on the way replaced, since the text was taken.
bool still_names(int fd, const char* path);
