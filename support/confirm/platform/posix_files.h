// File helpers that the parts of the POSIX layer share.
#ifndef MAP_VIEW_OF_FILE_PLATFORM_POSIX_FILES_H
#define MAP_VIEW_OF_FILE_PLATFORM_POSIX_FILES_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

namespace posix_layer {

// Opens path with a descriptor of 3 or above. A process may be started with
// standard input, output or error closed; a file of ours that took one of
// those numbers would receive whatever the program prints.
int open_above_standard(const char *path, int flags, mode_t mode = 0);

// Reads a whole small kernel file (/proc, /sys) into buffer, NUL-terminated;
// the length, or -1 with errno. The file is opened on first use and kept
// open in *fd: the kernel makes its text afresh for every read from offset
// 0, a report then needs no descriptor of its own, and so it still works
// when a run has used up all the others.
ssize_t read_kept_open(int *fd, const char *path, char *buffer, size_t size);

// The number that follows name and separator at the start of a line of text
// ("MemTotal:   1234 kB", "inactive_file 4096"); false when there is none.
bool line_value(const char *text, const char *name, char separator, uint64_t *value);

} // namespace posix_layer

#endif
