// The memory cgroup the process runs in (cgroup v2, or the memory
// controller of cgroup v1), for memory figures that describe a container
// rather than the whole machine.
#ifndef MAP_VIEW_OF_FILE_PLATFORM_CGROUP_POSIX_H
#define MAP_VIEW_OF_FILE_PLATFORM_CGROUP_POSIX_H

#include <stdint.h>

namespace posix_layer {

// The smallest hard memory limit from the process's cgroup up to the top of
// the hierarchy it can see, and the cgroup's working set (its usage less its
// inactive file pages, never below 0), in bytes. False, with nothing set,
// when no limit lies below mem_total, or when there is no memory cgroup or
// one of its files cannot be read or parsed: then the machine's figures
// stand.
bool cgroup_memory(uint64_t mem_total, uint64_t *limit, uint64_t *usage);

} // namespace posix_layer

#endif
