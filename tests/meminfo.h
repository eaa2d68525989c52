// A figure of /proc/meminfo as the kernel gives it, for checking the tool's.
#ifndef MAP_VIEW_OF_FILE_TESTS_MEMINFO_H
#define MAP_VIEW_OF_FILE_TESTS_MEMINFO_H

#include <cstdint>
#include <cstdio>
#include <cstring>

// The value of the "name:" line, in KiB; 0 when there is none.
inline uint64_t meminfo_kib(const char *name)
{
    FILE *file = fopen("/proc/meminfo", "r");
    if (file == nullptr)
        return 0;
    char line[256];
    unsigned long long value = 0;
    size_t length = strlen(name);
    while (fgets(line, sizeof(line), file))
        if (strncmp(line, name, length) == 0 && line[length] == ':')
            sscanf(line + length + 1, "%llu", &value);
    fclose(file);
    return value;
}

#endif
