// The few Windows calls, types and runtime functions that map-view-of-file
// uses, for platforms other than Windows. Each call does for this program
// what the Windows call does; a refused call returns the call's failure value
// and leaves the reason, an errno value, for GetLastError.
//
// Two implementations stand behind this header: win32_posix.cpp over the
// POSIX system (the real tool), and the tests' fault-injecting layer.
#ifndef MAP_VIEW_OF_FILE_PLATFORM_WIN32_H
#define MAP_VIEW_OF_FILE_PLATFORM_WIN32_H

#include <stdint.h>
#include <stdlib.h>

typedef int BOOL;
typedef uint32_t DWORD;
typedef uint64_t DWORDLONG;
#define MAXDWORD 0xffffffffu
typedef void *HANDLE;
typedef void *LPVOID;
typedef const char *LPCSTR;
typedef char *LPSTR;
typedef struct SECURITY_ATTRIBUTES SECURITY_ATTRIBUTES;
typedef SECURITY_ATTRIBUTES *LPSECURITY_ATTRIBUTES;

#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)

// CreateFileA
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x1u
#define FILE_SHARE_WRITE 0x2u
#define FILE_SHARE_DELETE 0x4u
#define CREATE_NEW 1u
#define FILE_ATTRIBUTE_NORMAL 0x80u

// CreateFileMappingA and MapViewOfFile
#define PAGE_READWRITE 0x4u
#define FILE_MAP_WRITE 0x2u
#define FILE_MAP_READ 0x4u

// FormatMessageA
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x200u
#define FORMAT_MESSAGE_FROM_SYSTEM 0x1000u
#define LANG_NEUTRAL 0x0u
#define SUBLANG_DEFAULT 0x1u
#define MAKELANGID(primary, sub) ((DWORD)(((DWORD)(sub) << 10) | (DWORD)(primary)))

typedef struct MEMORYSTATUSEX {
    DWORD dwLength;
    DWORD dwMemoryLoad;
    DWORDLONG ullTotalPhys;
    DWORDLONG ullAvailPhys;
    DWORDLONG ullTotalPageFile;
    DWORDLONG ullAvailPageFile;
    DWORDLONG ullTotalVirtual;
    DWORDLONG ullAvailVirtual;
    DWORDLONG ullAvailExtendedVirtual;
} MEMORYSTATUSEX, *LPMEMORYSTATUSEX;

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share_mode, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD attributes, HANDLE template_file);
HANDLE CreateFileMappingA(HANDLE file, LPSECURITY_ATTRIBUTES security, DWORD protection, DWORD size_high,
                          DWORD size_low, LPCSTR name);
LPVOID MapViewOfFile(HANDLE file_mapping, DWORD access, DWORD offset_high, DWORD offset_low, size_t length);
void Sleep(DWORD milliseconds);
BOOL GlobalMemoryStatusEx(LPMEMORYSTATUSEX status);
DWORD GetLastError(void);
DWORD FormatMessageA(DWORD flags, const void *source, DWORD message_id, DWORD language_id, LPSTR buffer,
                     DWORD size, void *arguments);

// The runtime's: remove a name from its directory; 0 on success, -1 with errno.
int _unlink(const char *name);

// The runtime's 64-bit conversion: decimal, held at the ends of the 64-bit
// range.
long long _strtoi64(const char *text, char **end, int base);

// Like the Windows runtime's conversion of the operands: decimal, with
// numbers outside the int range held at INT_MIN and INT_MAX. (glibc's atoi
// returns whatever its 64-bit strtol result truncates to.)
int atoi_saturating(const char *text);
#define atoi atoi_saturating

#endif
