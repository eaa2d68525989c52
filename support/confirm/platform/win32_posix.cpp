// The Windows calls of win32.h over POSIX and Linux's /proc.
//
// Handles are small tagged numbers, not pointers: a file handle is the
// descriptor with tag 1, a mapping handle the same descriptor with tag 2.
// A mapping object needs nothing of its own beyond the file it extends, and
// the program never closes a handle, so the descriptor serves both for as
// long as the process lives. Neither tag can make NULL or
// INVALID_HANDLE_VALUE.
#include "win32.h"

#include "cgroup_posix.h"
#include "posix_files.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

using posix_layer::open_above_standard;

namespace {

thread_local DWORD last_error;

enum : uintptr_t { FILE_TAG = 1, MAPPING_TAG = 2, TAG_MASK = 3 };

HANDLE make_handle(int fd, uintptr_t tag)
{
    return (HANDLE)(((uintptr_t)fd << 2) | tag);
}

// The descriptor behind a handle of the given kind, or -1.
int handle_fd(HANDLE handle, uintptr_t tag)
{
    uintptr_t value = (uintptr_t)handle;
    if (handle == INVALID_HANDLE_VALUE || (value & TAG_MASK) != tag)
        return -1;
    return (int)(value >> 2);
}

// Lets the process open as many files as its hard limit allows: a run holds
// one descriptor per file, and Windows has no such limit below its own.
void raise_open_file_limit(void)
{
    static bool raised;
    if (raised)
        return;
    raised = true;
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// A write lock on the whole file, held through this open file description
// until the process exits, marks the file as in use by a live run. Advisory:
// it stops only programs that look for it, such as another run's _unlink.
void mark_in_use(int fd)
{
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    fcntl(fd, F_OFD_SETLK, &lock); // a file system without locks just goes unmarked
}

// Whether the regular file at name is marked in use by another open file
// description, that is, by a live run.
bool in_use(const char *name)
{
    int fd = open_above_standard(name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return false;
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    bool held = fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
    close(fd);
    return held;
}

// Records errno (or the given code) as the reason of a refusal.
void refuse(int code)
{
    last_error = (DWORD)code;
}

// Gives the file at least size bytes, all of them reserved on disk, so that
// a full disk is refused here and never met by a store into the view. Where
// the file system cannot reserve blocks (ext2, ext4 files without extents,
// many network and FUSE file systems), posix_fallocate claims them by
// writing a zero byte into each block; a plain extension would leave a
// sparse file whose blocks a store finds missing, with SIGBUS. A size past
// the file-size limit is refused with EFBIG (SIGXFSZ is ignored from the
// start, see below).
int extend_file(int fd, uint64_t size)
{
    if (size > (uint64_t)INT64_MAX) {
        errno = EFBIG;
        return -1;
    }
    int error = posix_fallocate(fd, 0, (off_t)size);
    if (error != 0) {
        errno = error;
        return -1;
    }
    return 0;
}

// The current size of the file behind fd; false, with the refusal recorded,
// when it cannot be had.
bool file_size(int fd, uint64_t *size)
{
    struct stat st;
    if (fstat(fd, &st) != 0) {
        refuse(errno);
        return false;
    }
    *size = (uint64_t)st.st_size;
    return true;
}

// The size of the user part of the address space on this architecture.
uint64_t user_address_space(void)
{
#if defined(__x86_64__)
    return (UINT64_C(1) << 47) - 4096;
#elif defined(__aarch64__)
    return UINT64_C(1) << 48;
#else
    return sizeof(void *) == 8 ? (UINT64_C(1) << 47) - 4096 : UINT64_C(0xC0000000);
#endif
}

[[maybe_unused]] const char *pick_text(int result, const char *buffer)
{
    return result == 0 ? buffer : NULL; // XSI strerror_r
}

[[maybe_unused]] const char *pick_text(const char *result, const char *)
{
    return result; // GNU strerror_r
}

} // namespace

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share_mode, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                   DWORD attributes, HANDLE template_file)
{
    // POSIX has no share modes: other processes may always open the file,
    // and without delete sharing the file is only marked in use (below).
    (void)security;
    (void)attributes;
    int flags;
    if (access == (GENERIC_READ | GENERIC_WRITE))
        flags = O_RDWR;
    else if (access == GENERIC_READ)
        flags = O_RDONLY;
    else if (access == GENERIC_WRITE)
        flags = O_WRONLY;
    else {
        refuse(EINVAL);
        return INVALID_HANDLE_VALUE;
    }
    if (name == NULL || disposition != CREATE_NEW || template_file != NULL) {
        refuse(EINVAL);
        return INVALID_HANDLE_VALUE;
    }
    raise_open_file_limit();
    // O_EXCL refuses every existing name, a symbolic link included, and
    // follows none.
    int fd = open_above_standard(name, flags | O_CREAT | O_EXCL | O_NOCTTY, 0666);
    if (fd < 0) {
        refuse(errno);
        return INVALID_HANDLE_VALUE;
    }
    // Windows keeps the name of a file that a process has open without
    // delete sharing; the mark keeps another run from removing it.
    if (!(share_mode & FILE_SHARE_DELETE))
        mark_in_use(fd);
    return make_handle(fd, FILE_TAG);
}

HANDLE CreateFileMappingA(HANDLE file, LPSECURITY_ATTRIBUTES security, DWORD protection, DWORD size_high,
                          DWORD size_low, LPCSTR name)
{
    (void)security;
    int fd = handle_fd(file, FILE_TAG);
    if (fd < 0) {
        refuse(EBADF);
        return NULL;
    }
    if (protection != PAGE_READWRITE || name != NULL) {
        refuse(EINVAL);
        return NULL;
    }
    uint64_t current;
    if (!file_size(fd, &current))
        return NULL;
    uint64_t size = ((uint64_t)size_high << 32) | size_low;
    if (size == 0) {
        // Size 0 stands for the file as it is; an empty file cannot be mapped.
        if (current == 0) {
            refuse(EINVAL);
            return NULL;
        }
    } else if (size > current && extend_file(fd, size) != 0) {
        refuse(errno);
        return NULL;
    }
    return make_handle(fd, MAPPING_TAG);
}

LPVOID MapViewOfFile(HANDLE file_mapping, DWORD access, DWORD offset_high, DWORD offset_low, size_t length)
{
    int fd = handle_fd(file_mapping, MAPPING_TAG);
    if (fd < 0) {
        refuse(EBADF);
        return NULL;
    }
    int protection;
    if (access & FILE_MAP_WRITE)
        protection = PROT_READ | PROT_WRITE;
    else if (access & FILE_MAP_READ)
        protection = PROT_READ;
    else {
        refuse(EINVAL);
        return NULL;
    }
    uint64_t offset = ((uint64_t)offset_high << 32) | offset_low;
    if (offset % (uint64_t)sysconf(_SC_PAGESIZE) != 0 || offset > (uint64_t)INT64_MAX) {
        refuse(EINVAL);
        return NULL;
    }
    // A view lies within the mapping object; length 0 means up to its end.
    uint64_t size;
    if (!file_size(fd, &size))
        return NULL;
    if (offset >= size || (length == 0 ? size - offset : length) > size - offset) {
        refuse(EINVAL);
        return NULL;
    }
    if (length == 0)
        length = (size_t)(size - offset);
    void *view = mmap(NULL, length, protection, MAP_SHARED, fd, (off_t)offset);
    if (view == MAP_FAILED) {
        refuse(errno);
        return NULL;
    }
    return view;
}

void Sleep(DWORD milliseconds)
{
    struct timespec left = {(time_t)(milliseconds / 1000), (long)(milliseconds % 1000) * 1000000L};
    // A signal that interrupts the pause does not shorten it.
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

BOOL GlobalMemoryStatusEx(LPMEMORYSTATUSEX status)
{
    if (status == NULL || status->dwLength != sizeof(MEMORYSTATUSEX)) {
        refuse(EINVAL);
        return 0;
    }
    // Totals only: the kernel keeps each of these figures as one counter, so
    // a report costs the same whatever the process has mapped.
    static int meminfo_fd = -1, statm_fd = -1;
    char meminfo[8192];
    char statm[256];
    if (posix_layer::read_kept_open(&meminfo_fd, "/proc/meminfo", meminfo, sizeof(meminfo)) < 0 ||
        posix_layer::read_kept_open(&statm_fd, "/proc/self/statm", statm, sizeof(statm)) < 0) {
        refuse(errno);
        return 0;
    }
    uint64_t total, available, commit_limit, committed;
    if (!posix_layer::line_value(meminfo, "MemTotal", ':', &total) ||
        !posix_layer::line_value(meminfo, "MemAvailable", ':', &available) ||
        !posix_layer::line_value(meminfo, "CommitLimit", ':', &commit_limit) ||
        !posix_layer::line_value(meminfo, "Committed_AS", ':', &committed)) {
        refuse(ENODATA);
        return 0;
    }
    total *= 1024; // /proc/meminfo counts in KiB
    available *= 1024;
    commit_limit *= 1024;
    committed *= 1024;

    // Inside a memory cgroup with a limit (a container, a service with
    // MemoryMax=), the memory that presses back is the cgroup's: its limit
    // stands for the machine's memory, and what is left below it bounds
    // what is available. Commit stays the kernel's system-wide count, which
    // Linux does not keep per cgroup.
    uint64_t cgroup_limit, usage;
    if (posix_layer::cgroup_memory(total, &cgroup_limit, &usage)) {
        total = cgroup_limit;
        uint64_t room = usage < cgroup_limit ? cgroup_limit - usage : 0;
        if (available > room)
            available = room;
    }
    char *end;
    uint64_t mapped = (uint64_t)strtoull(statm, &end, 10) * (uint64_t)sysconf(_SC_PAGESIZE);
    if (end == statm) {
        refuse(ENODATA);
        return 0;
    }
    uint64_t address_space = user_address_space();
    struct rlimit limit;
    if (getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < address_space)
        address_space = limit.rlim_cur;

    if (available > total)
        available = total;
    status->dwMemoryLoad = total == 0 ? 0 : (DWORD)((total - available) * 100 / total);
    status->ullTotalPhys = total;
    status->ullAvailPhys = available;
    status->ullTotalPageFile = commit_limit;
    status->ullAvailPageFile = committed < commit_limit ? commit_limit - committed : 0;
    status->ullTotalVirtual = address_space;
    status->ullAvailVirtual = mapped < address_space ? address_space - mapped : 0;
    status->ullAvailExtendedVirtual = 0;
    return 1;
}

DWORD GetLastError(void)
{
    return last_error;
}

DWORD FormatMessageA(DWORD flags, const void *source, DWORD message_id, DWORD language_id, LPSTR buffer, DWORD size,
                     void *arguments)
{
    // The C library has one text per errno value, in the locale's language.
    (void)source;
    (void)language_id;
    (void)arguments;
    if ((flags & ~FORMAT_MESSAGE_IGNORE_INSERTS) != FORMAT_MESSAGE_FROM_SYSTEM || buffer == NULL || size == 0) {
        refuse(EINVAL);
        return 0;
    }
    char scratch[1024];
    const char *text = pick_text(strerror_r((int)message_id, scratch, sizeof(scratch)), scratch);
    if (text == NULL) {
        refuse(EINVAL);
        return 0;
    }
    size_t length = strlen(text);
    if (length >= size) {
        refuse(ERANGE);
        return 0;
    }
    memcpy(buffer, text, length + 1);
    return (DWORD)length;
}

int _unlink(const char *name)
{
    struct stat st;
    if (lstat(name, &st) != 0)
        return -1; // nothing there to remove
    // As on Windows, a file that a live run holds keeps its name. Only a
    // regular file is opened to look: opening a device or a FIFO may do
    // more than look.
    if (S_ISREG(st.st_mode) && in_use(name)) {
        errno = EBUSY;
        return -1;
    }
    return unlink(name);
}

namespace {

// A process on Windows cannot be killed for writing past a file-size limit:
// the write fails. Here the kernel sends SIGXFSZ, whose default action ends
// the process; ignored, the write fails with EFBIG instead, whether it
// extends a map file or goes to standard output.
[[gnu::constructor]] void ignore_file_size_signal(void)
{
    (void)signal(SIGXFSZ, SIG_IGN); // cannot fail for a valid signal number
}

} // namespace
