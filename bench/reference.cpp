// The bare work of a map-view-of-file run, for comparison: the same files,
// made, extended, mapped and written the same way, with the same pauses, but
// no memory reports and no progress lines. Same operands as the tool.
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

static void pause_ms(long milliseconds)
{
    struct timespec left = {milliseconds / 1000, (milliseconds % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0) {
    }
}

int main(int argc, char **argv)
{
    if (argc != 4)
        return 2;
    uint32_t map_size = (uint32_t)atoi(argv[1]);
    int n_maps = atoi(argv[2]);
    int write_gap = atoi(argv[3]);
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    for (int i = 0; i < n_maps; i++) {
        char name[256];
        snprintf(name, sizeof(name), "map%d", i);
        unlink(name);
        int fd = open(name, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 || fallocate(fd, 0, 0, map_size) != 0)
            return 1;
        char *map = (char *)mmap(NULL, map_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (map == MAP_FAILED)
            return 1;
        if (write_gap > 0)
            for (uint64_t j = 0; j < map_size; j += (uint32_t)write_gap)
                map[j] = 0;
        pause_ms(1000);
    }
    pause_ms(60000);
    return 0;
}
