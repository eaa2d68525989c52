// Where the process's memory cgroup is, and what it allows.
//
// /proc/self/cgroup names the cgroup: the line whose controller list holds
// "memory" on cgroup v1, otherwise the "0::<path>" line of cgroup v2 (a
// hybrid machine has both, and there the memory controller is v1's).
// /proc/self/mountinfo tells where that hierarchy is mounted and which part
// of it the mount shows (its root), so a container that sees only its own
// subtree is found as well. The search is made once, at the first report;
// the files read at every report are kept open from then on, like /proc's.
#include "cgroup_posix.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "posix_files.h"

namespace posix_layer {
namespace {

// Deeper than any hierarchy a service manager or container runtime makes.
constexpr int MAX_LEVELS = 32;

struct MemoryCgroup {
    bool looked;                 // the search has been made
    bool found;                  // and found the files below
    bool v1;                     // the memory controller of cgroup v1
    int levels;                  // entries of limit_fds in use
    int limit_fds[MAX_LEVELS];   // memory.max (v2), from the process's cgroup up; -1 at a
                                 // top that has none
    int usage_fd;                // memory.current (v2) or memory.usage_in_bytes (v1)
    int stat_fd;                 // memory.stat
};

MemoryCgroup cgroup;

// Whether the comma-separated list holds word.
bool has_word(const char *list, const char *word)
{
    size_t length = strlen(word);
    for (const char *item = list; *item != '\0';) {
        size_t item_length = strcspn(item, ",");
        if (item_length == length && strncmp(item, word, length) == 0)
            return true;
        item += item_length + (item[item_length] == ',');
    }
    return false;
}

// The process's cgroup path for the memory controller, and which version
// it is on.
bool own_cgroup(char *path, size_t size, bool *v1)
{
    int fd = open_above_standard("/proc/self/cgroup", O_RDONLY);
    if (fd < 0)
        return false;
    char text[4096];
    ssize_t length = read(fd, text, sizeof(text) - 1);
    close(fd);
    if (length <= 0)
        return false;
    text[length] = '\0';
    bool found = false;
    for (char *line = text; line != NULL && *line != '\0';) {
        char *next = strchr(line, '\n');
        if (next != NULL)
            *next++ = '\0';
        // "hierarchy-id:controller,controller:path"
        char *controllers = strchr(line, ':');
        char *cgroup_path = controllers != NULL ? strchr(controllers + 1, ':') : NULL;
        if (cgroup_path != NULL) {
            *controllers++ = '\0';
            *cgroup_path++ = '\0';
            bool memory = has_word(controllers, "memory");
            bool unified = strcmp(line, "0") == 0 && *controllers == '\0';
            if ((memory || (unified && !found)) && strlen(cgroup_path) < size) {
                memcpy(path, cgroup_path, strlen(cgroup_path) + 1);
                *v1 = memory;
                found = true;
                if (memory)
                    break;
            }
        }
        line = next;
    }
    return found;
}

// Undoes mountinfo's octal escapes (\040 for a blank, and so on) in place.
void unescape(char *text)
{
    char *out = text;
    for (const char *in = text; *in != '\0'; in++) {
        if (in[0] == '\\' && in[1] >= '0' && in[1] <= '7' && in[2] >= '0' && in[2] <= '7' && in[3] >= '0' &&
            in[3] <= '7') {
            *out++ = (char)((in[1] - '0') * 64 + (in[2] - '0') * 8 + (in[3] - '0'));
            in += 3;
        } else {
            *out++ = *in;
        }
    }
    *out = '\0';
}

// Whether a mountinfo line is a mount of the hierarchy sought that shows
// path; if so, the directory of path on it and the mount point.
bool mount_shows(char *line, const char *path, bool v1, char *dir, char *top, size_t size)
{
    // "id parent major:minor root mount-point options [optional...] - type source super-options"
    char *fields[6] = {};
    char *rest = line;
    for (char *&field : fields) {
        field = strsep(&rest, " ");
        if (field == NULL)
            return false;
    }
    char *field;
    while ((field = strsep(&rest, " ")) != NULL && strcmp(field, "-") != 0) {
    }
    char *type = strsep(&rest, " ");
    strsep(&rest, " "); // the source
    if (type == NULL || rest == NULL)
        return false;
    if (v1 ? strcmp(type, "cgroup") != 0 || !has_word(rest, "memory") : strcmp(type, "cgroup2") != 0)
        return false;
    char *root = fields[3], *mount_point = fields[4];
    unescape(root);
    unescape(mount_point);
    // The part of path below the mount's root; the mount must show path.
    size_t root_length = strcmp(root, "/") == 0 ? 0 : strlen(root);
    if (strncmp(path, root, root_length) != 0 || (path[root_length] != '/' && path[root_length] != '\0'))
        return false;
    const char *below = strcmp(path + root_length, "/") == 0 ? "" : path + root_length;
    return snprintf(top, size, "%s", mount_point) < (int)size &&
           snprintf(dir, size, "%s%s", mount_point, below) < (int)size;
}

// The directory of the process's memory cgroup and the mount point of its
// hierarchy, from /proc/self/mountinfo, read a line at a time.
bool cgroup_directory(const char *path, bool v1, char *dir, char *top, size_t size)
{
    int fd = open_above_standard("/proc/self/mountinfo", O_RDONLY);
    if (fd < 0)
        return false;
    char buffer[8192];
    size_t held = 0;
    bool found = false, skipping = false;
    for (;;) {
        ssize_t got = read(fd, buffer + held, sizeof(buffer) - 1 - held);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        held += (size_t)got;
        buffer[held] = '\0';
        char *line = buffer;
        for (char *end; !found && (end = strchr(line, '\n')) != NULL; line = end + 1) {
            *end = '\0';
            if (!skipping)
                found = mount_shows(line, path, v1, dir, top, size);
            skipping = false;
        }
        if (found)
            break;
        held = held - (size_t)(line - buffer);
        memmove(buffer, line, held);
        if (held == sizeof(buffer) - 1) { // a line too long to be a cgroup mount
            held = 0;
            skipping = true;
        }
    }
    close(fd);
    return found;
}

void forget(void)
{
    for (int level = 0; level < cgroup.levels; level++)
        if (cgroup.limit_fds[level] >= 0)
            close(cgroup.limit_fds[level]);
    if (cgroup.usage_fd >= 0)
        close(cgroup.usage_fd);
    if (cgroup.stat_fd >= 0)
        close(cgroup.stat_fd);
    cgroup.found = false;
}

// Finds the process's memory cgroup and opens the files a report reads.
void look_for_cgroup(void)
{
    cgroup = MemoryCgroup{};
    cgroup.looked = true;
    cgroup.usage_fd = cgroup.stat_fd = -1;
    // dir is shorter than PATH_MAX, so a file name below it always fits.
    char path[PATH_MAX], dir[PATH_MAX], top[PATH_MAX], file[PATH_MAX + 32];
    if (!own_cgroup(path, sizeof(path), &cgroup.v1) ||
        !cgroup_directory(path, cgroup.v1, dir, top, sizeof(dir)))
        return;
    (void)snprintf(file, sizeof(file), "%s/%s", dir, cgroup.v1 ? "memory.usage_in_bytes" : "memory.current");
    cgroup.usage_fd = open_above_standard(file, O_RDONLY);
    (void)snprintf(file, sizeof(file), "%s/memory.stat", dir);
    cgroup.stat_fd = open_above_standard(file, O_RDONLY);
    cgroup.found = cgroup.usage_fd >= 0 && cgroup.stat_fd >= 0;
    // v2: each memory.max up from the process's cgroup to the top of what
    // the mount shows; the root of a hierarchy has none, having no limit.
    // v1 needs none of them: the hierarchical_memory_limit line of
    // memory.stat is the smallest memory.limit_in_bytes of the cgroup and
    // all its ancestors, those a container cannot see included.
    size_t top_length = strlen(top);
    while (cgroup.found && !cgroup.v1 && cgroup.levels < MAX_LEVELS) {
        bool at_top = strlen(dir) <= top_length;
        (void)snprintf(file, sizeof(file), "%s/memory.max", dir);
        int fd = open_above_standard(file, O_RDONLY);
        if (fd < 0 && !(at_top && errno == ENOENT))
            cgroup.found = false;
        cgroup.limit_fds[cgroup.levels++] = fd;
        if (at_top)
            break;
        char *slash = strrchr(dir, '/');
        if (slash == NULL)
            break;
        *slash = '\0';
    }
    if (!cgroup.found)
        forget();
}

// The number a cgroup file holds; "max" (v2's word for no limit) gives
// UINT64_MAX.
bool read_number(int fd, uint64_t *value)
{
    char text[64];
    if (read_kept_open(&fd, NULL, text, sizeof(text)) <= 0)
        return false;
    if (strncmp(text, "max", 3) == 0) {
        *value = UINT64_MAX;
        return true;
    }
    char *end;
    errno = 0;
    unsigned long long number = strtoull(text, &end, 10);
    if (end == text || text[0] == '-' || errno != 0 || (*end != '\n' && *end != '\0'))
        return false;
    *value = (uint64_t)number;
    return true;
}

} // namespace

bool cgroup_memory(uint64_t mem_total, uint64_t *limit, uint64_t *usage)
{
    if (!cgroup.looked)
        look_for_cgroup();
    if (!cgroup.found)
        return false;
    uint64_t smallest = UINT64_MAX, level_limit;
    for (int level = 0; level < cgroup.levels; level++) {
        if (cgroup.limit_fds[level] < 0)
            continue;
        if (!read_number(cgroup.limit_fds[level], &level_limit))
            return false;
        if (level_limit < smallest)
            smallest = level_limit;
    }
    char stat[8192];
    bool stat_read = false;
    if (cgroup.v1) {
        if (read_kept_open(&cgroup.stat_fd, NULL, stat, sizeof(stat)) < 0 ||
            !line_value(stat, "hierarchical_memory_limit", ' ', &level_limit))
            return false;
        stat_read = true;
        if (level_limit < smallest)
            smallest = level_limit;
    }
    if (smallest >= mem_total)
        return false; // no limit below the machine's own memory
    uint64_t current, inactive;
    if (!read_number(cgroup.usage_fd, &current))
        return false;
    if (!stat_read && read_kept_open(&cgroup.stat_fd, NULL, stat, sizeof(stat)) < 0)
        return false;
    if (!line_value(stat, cgroup.v1 ? "total_inactive_file" : "inactive_file", ' ', &inactive))
        return false;
    *limit = smallest;
    *usage = current > inactive ? current - inactive : 0;
    return true;
}

} // namespace posix_layer
