#include "posix_files.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace posix_layer {

int open_above_standard(const char *path, int flags, mode_t mode)
{
    int fd = open(path, flags | O_CLOEXEC, mode);
    if (fd < 0 || fd > STDERR_FILENO)
        return fd;
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    int saved_errno = errno;
    close(fd);
    errno = saved_errno;
    return moved;
}

ssize_t read_kept_open(int *fd, const char *path, char *buffer, size_t size)
{
    if (*fd < 0 && (*fd = open_above_standard(path, O_RDONLY)) < 0)
        return -1;
    // A read that comes back short has reached the end: the kernel fills
    // the buffer as far as its text goes. Asking again at an offset past 0
    // would make it generate the whole text a second time to find it.
    size_t length = 0;
    while (length < size - 1) {
        size_t wanted = size - 1 - length;
        ssize_t got = pread(*fd, buffer + length, wanted, (off_t)length);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return -1;
        length += (size_t)got;
        if ((size_t)got < wanted)
            break;
    }
    buffer[length] = '\0';
    return (ssize_t)length;
}

bool line_value(const char *text, const char *name, char separator, uint64_t *value)
{
    size_t name_length = strlen(name);
    for (const char *line = text; *line != '\0';) {
        if (strncmp(line, name, name_length) == 0 && line[name_length] == separator) {
            const char *digits = line + name_length + 1;
            while (*digits == ' ' || *digits == '\t')
                digits++;
            char *end;
            unsigned long long number = strtoull(digits, &end, 10);
            if (end == digits || *digits == '-')
                return false;
            *value = (uint64_t)number;
            return true;
        }
        const char *next = strchr(line, '\n');
        if (next == NULL)
            break;
        line = next + 1;
    }
    return false;
}

} // namespace posix_layer
