// map-view-of-file: maps files into memory, dirties their pages and prints
// what the system's memory figures make of it.
//
//   map-view-of-file map_size n_maps write_gap
//
// For every index i below n_maps it creates the file "map<i>" in the current
// directory, extends it to map_size bytes through a read/write file mapping,
// maps all of it with write access and stores a zero byte at every
// write_gap-th offset. The memory status is printed before each file and once
// more at the end. Nothing is ever unmapped, closed or deleted: the process
// holds every view until it exits, sixty seconds after the last file.

#ifdef _WIN32
// The runtime's own printf, with its I64 size prefix. It has to be chosen
// before the first header: libstdc++ switches to mingw's printf once any of
// its headers has been read, but stdio.h keeps what it saw first.
#define __USE_MINGW_ANSI_STDIO 0
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <io.h>
#include <windows.h>
#define PRI_LOAD "ld"
#define PRI_KIB "I64d"
// msvcrt.dll's atoi wraps numbers outside the int range round; its strtol
// saturates at LONG_MIN and LONG_MAX, which are INT_MIN and INT_MAX here.
#define atoi(text) ((int)strtol((text), NULL, 10))
#else
#include <errno.h>
#include <inttypes.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include "platform/win32.h"
#define PRI_LOAD PRId32
#define PRI_KIB PRId64
#endif

// The first error met writing standard output (an errno value), or 0. The
// run goes on without its output, and ends with status 1. It is taken at
// each flush, where it is still errno: a failed write may come from the
// flush or, where the runtime writes as it prints (Windows, a terminal),
// from the printf just before it.
static int output_error;

// Returns the system's text for the last error code, without its trailing
// line break. The text lives in one buffer that the next call overwrites.
const char *last_error_message(void)
{
    constexpr DWORD ERROR_MESSAGE_BUFFER_SIZE = 4096;
    static char message[ERROR_MESSAGE_BUFFER_SIZE];

    int error_code = (int)GetLastError();
    DWORD written_bytes = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL,
                                         (DWORD)error_code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), message,
                                         ERROR_MESSAGE_BUFFER_SIZE, NULL);
    if (written_bytes == 0) {
        // No text for this code: say nothing rather than repeat an older error.
        message[0] = '\0';
        return message;
    }
    if (written_bytes == 1)
        return message;
    if (message[written_bytes - 1] == '\n') {
        message[written_bytes - 1] = '\0';
        written_bytes--;
    }
    if (message[written_bytes - 1] == '\r') {
        message[written_bytes - 1] = '\0';
        written_bytes--;
    }
    return message;
}

// Prints the memory status report headed by index i, or one line saying why
// there is none, and flushes standard output.
void show_memory_usage(int i)
{
    MEMORYSTATUSEX status;
    static_assert(sizeof(status) == 64, "MEMORYSTATUSEX is a 64-byte record");
    status.dwLength = sizeof(status);
    if (!GlobalMemoryStatusEx(&status)) {
        const char *text = last_error_message();
        printf("Failed to get memory status: %d: %s\n", i, text);
    } else {
        printf("Memory status: %d\n", i);
        printf("                    Using memory size: %16" PRI_LOAD "%%\n", status.dwMemoryLoad);
        printf("                Total physical memory: %16" PRI_KIB "KiB\n", status.ullTotalPhys >> 10);
        printf("            Available physical memory: %16" PRI_KIB "KiB\n", status.ullAvailPhys >> 10);
        printf("               Committed memory limit: %16" PRI_KIB "KiB\n", status.ullTotalPageFile >> 10);
        printf("          Available commitable memory: %16" PRI_KIB "KiB\n", status.ullAvailPageFile >> 10);
        printf("     Total virtual address space size: %16" PRI_KIB "KiB\n", status.ullTotalVirtual >> 10);
        printf(" Available virtual address space size: %16" PRI_KIB "KiB\n", status.ullAvailVirtual >> 10);
    }
    if ((fflush(stdout) != 0 || ferror(stdout)) && output_error == 0)
        output_error = errno != 0 ? errno : EIO;
}

int main(int argc, char *argv[], char *env[])
{
    (void)env;
    // Every way out: output that could not be written turns the status into
    // 1 and is said once on standard error, as Unix tools do.
    auto finish = [](int status) {
        if ((fflush(stdout) != 0 || ferror(stdout)) && output_error == 0)
            output_error = errno != 0 ? errno : EIO;
        if (output_error == 0)
            return status;
        (void)fprintf(stderr, "map-view-of-file: write error: %s\n", strerror(output_error)); // nowhere else to say it
        return 1;
    };
    output_error = 0;
    if (argc != 4) {
        printf("Usage: %s map_size n_maps write_gap\n", argv[0]);
        return finish(1);
    }
    // map_size is a 32-bit size: 0 to 4294967295 as written, a larger number
    // held at 4294967295; a negative number counts back from 2^32, and is
    // held at INT_MIN below it.
    long long size_operand = _strtoi64(argv[1], NULL, 10);
    DWORD map_size = size_operand > (long long)MAXDWORD ? MAXDWORD
                     : size_operand < INT_MIN           ? (DWORD)INT_MIN
                                                        : (DWORD)size_operand;
    int n_maps = atoi(argv[2]);
    int write_gap = atoi(argv[3]);

    int i;
    for (i = 0; i < n_maps; i++) {
        char file_name[256];
        (void)snprintf(file_name, sizeof(file_name), "map%d", i); // at most 14 characters
        _unlink(file_name);
        printf("Creating file: %d\n", i);
        if ((fflush(stdout) != 0 || ferror(stdout)) && output_error == 0)
            output_error = errno != 0 ? errno : EIO;
        show_memory_usage(i);

        HANDLE file = CreateFileA(file_name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                  CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
        if (file == INVALID_HANDLE_VALUE) {
            printf("failed to CreateFile: %d: %s\n", i, last_error_message());
            return finish(1);
        }
        HANDLE file_mapping = CreateFileMappingA(file, NULL, PAGE_READWRITE, 0, map_size, NULL);
        if (file_mapping == NULL) {
            printf("failed to CreateFileMapping: %d: %s\n", i, last_error_message());
            return finish(1);
        }
        char *map = (char *)MapViewOfFile(file_mapping, FILE_MAP_WRITE, 0, 0, map_size);
        if (map == NULL) {
            printf("failed to MapViewOfFile: %d: %s\n", i, last_error_message());
            return finish(1);
        }

        if (write_gap > 0) {
            // Stop before the offset would pass map_size; near 2^32 the next
            // offset does not fit in 32 bits at all.
            for (DWORD j = 0; j < map_size; j += (DWORD)write_gap) {
                map[j] = 0;
                if (map_size - j <= (DWORD)write_gap)
                    break;
            }
        }

        printf("Created file: %d\n", i);
        puts("waiting (1s)");
        if ((fflush(stdout) != 0 || ferror(stdout)) && output_error == 0)
            output_error = errno != 0 ? errno : EIO;
        Sleep(1000);
    }

    puts("waiting before shutdown (60s)");
    if ((fflush(stdout) != 0 || ferror(stdout)) && output_error == 0)
        output_error = errno != 0 ? errno : EIO;
    show_memory_usage(i);
    Sleep(60000);
    return finish(0);
}
