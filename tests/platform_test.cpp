// The POSIX layer against the real system, in a scratch directory: each call
// does what the program relies on, and refuses cleanly what it cannot do.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "meminfo.h"
#include "platform/win32.h"

namespace {

HANDLE create(const char *name)
{
    return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, CREATE_NEW,
                       FILE_ATTRIBUTE_NORMAL, NULL);
}

off_t file_size(const char *name)
{
    struct stat st;
    return stat(name, &st) == 0 ? st.st_size : -1;
}

std::string read_file(const char *name)
{
    std::string content;
    FILE *file = fopen(name, "rb");
    if (file == NULL)
        return "<missing>";
    for (int c; (c = fgetc(file)) != EOF;)
        content += (char)c;
    fclose(file);
    return content;
}

void write_file(const char *name, const std::string &content)
{
    FILE *file = fopen(name, "wb");
    ASSERT_NE(file, nullptr);
    fwrite(content.data(), 1, content.size(), file);
    fclose(file);
}

// Whether this process has the page at address in its page tables.
bool page_present(const void *address)
{
    int fd = open("/proc/self/pagemap", O_RDONLY);
    uint64_t entry = 0;
    long page = sysconf(_SC_PAGESIZE);
    ssize_t got = pread(fd, &entry, sizeof(entry), (off_t)((uintptr_t)address / page * sizeof(entry)));
    close(fd);
    EXPECT_EQ(got, (ssize_t)sizeof(entry)) << "no page map entry";
    return (entry >> 63) & 1;
}

// Runs fn in a child process and returns its wait status.
template <typename Fn> int in_child(Fn fn)
{
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        fn();
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
}

// The figures of /proc/meminfo that the report is made of, in bytes.
struct Meminfo {
    uint64_t total, available, commit_limit, committed;
};

Meminfo read_meminfo()
{
    return {meminfo_kib("MemTotal") * 1024, meminfo_kib("MemAvailable") * 1024, meminfo_kib("CommitLimit") * 1024,
            meminfo_kib("Committed_AS") * 1024};
}

// This machine's own memory cgroup limit, read the plain way at the usual
// mount points (cgroup v1's memory controller, else cgroup v2); UINT64_MAX
// where there is none.
uint64_t machine_cgroup_limit()
{
    FILE *file = fopen("/proc/self/cgroup", "r");
    if (file == nullptr)
        return UINT64_MAX;
    std::string v1_path, v2_path;
    char line[4096];
    while (fgets(line, sizeof(line), file)) {
        std::string text = line;
        text.erase(text.find_last_not_of('\n') + 1);
        size_t first = text.find(':'), second = text.find(':', first + 1);
        std::string controllers = text.substr(first + 1, second - first - 1);
        if (("," + controllers + ",").find(",memory,") != std::string::npos)
            v1_path = text.substr(second + 1);
        else if (text.compare(0, 3, "0::") == 0)
            v2_path = text.substr(3);
    }
    fclose(file);
    uint64_t limit = UINT64_MAX;
    auto read_value = [](const std::string &path, const char *name) {
        FILE *in = fopen(path.c_str(), "r");
        unsigned long long value = UINT64_MAX;
        char text[256];
        while (in != nullptr && fgets(text, sizeof(text), in))
            if (name == nullptr ? sscanf(text, "%llu", &value) == 1
                                : strncmp(text, name, strlen(name)) == 0 &&
                                      sscanf(text + strlen(name), " %llu", &value) == 1)
                break;
        if (in != nullptr)
            fclose(in);
        return (uint64_t)value;
    };
    if (!v1_path.empty())
        return read_value("/sys/fs/cgroup/memory" + v1_path + "/memory.stat", "hierarchical_memory_limit");
    for (std::string dir = v2_path; !dir.empty() && dir != "/"; dir.erase(dir.rfind('/')))
        limit = std::min(limit, read_value("/sys/fs/cgroup" + dir + "/memory.max", nullptr));
    return limit;
}

bool between(uint64_t value, uint64_t a, uint64_t b)
{
    return value >= std::min(a, b) && value <= std::max(a, b);
}

class Platform : public ::testing::Test {
  protected:
    void SetUp() override
    {
        char templ[] = "/tmp/mvof-platform-XXXXXX";
        ASSERT_NE(mkdtemp(templ), nullptr);
        dir = templ;
        ASSERT_NE(getcwd(old_cwd, sizeof(old_cwd)), nullptr);
        ASSERT_EQ(chdir(templ), 0);
    }
    void TearDown() override
    {
        EXPECT_EQ(chdir(old_cwd), 0);
        std::string command = "rm -rf '" + dir + "'";
        EXPECT_EQ(system(command.c_str()), 0);
    }
    std::string dir;
    char old_cwd[4096];
};

TEST_F(Platform, CreateFileMakesANewFileAndRefusesAnyExistingName)
{
    HANDLE file = create("map0");
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file_size("map0"), 0);

    write_file("elsewhere", "keep me");
    ASSERT_EQ(symlink("elsewhere", "link"), 0);
    ASSERT_EQ(symlink("nowhere", "dangling"), 0);
    ASSERT_EQ(mkdir("directory", 0755), 0);
    for (const char *name : {"map0", "link", "dangling", "directory"}) {
        EXPECT_EQ(create(name), INVALID_HANDLE_VALUE) << name;
        EXPECT_EQ(GetLastError(), (DWORD)EEXIST) << name;
    }
    EXPECT_EQ(read_file("elsewhere"), "keep me");
    EXPECT_EQ(access("nowhere", F_OK), -1) << "a dangling link must not be followed";

    // _unlink removes the link itself, never what it points to.
    EXPECT_EQ(_unlink("link"), 0);
    EXPECT_EQ(read_file("elsewhere"), "keep me");
    EXPECT_NE(create("link"), INVALID_HANDLE_VALUE);
}

// A file the layer made is marked in use for as long as its handle lives:
// _unlink leaves it (as Windows does without delete sharing), and removes
// any file that is not marked, however it was made.
TEST_F(Platform, UnlinkLeavesAFileThatIsInUse)
{
    ASSERT_NE(create("map0"), INVALID_HANDLE_VALUE);
    write_file("plain", "not held");
    ASSERT_EQ(symlink("map0", "link"), 0);
    EXPECT_EQ(_unlink("map0"), -1);
    EXPECT_EQ(errno, EBUSY);
    EXPECT_EQ(access("map0", F_OK), 0);
    EXPECT_EQ(_unlink("plain"), 0);
    EXPECT_EQ(_unlink("link"), 0) << "a link to a held file is not the file";
    EXPECT_EQ(_unlink("missing"), -1);
    EXPECT_EQ(errno, ENOENT);

    // Another process's lock on the file is the same.
    int status = in_child([] {
        if (_unlink("map0") != -1 || errno != EBUSY)
            _exit(2);
    });
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// Started with standard input, output and error closed, the layer opens
// nothing at their numbers: not a file it creates, not /proc, not the look
// _unlink takes at a file.
TEST_F(Platform, NoDescriptorTakesAStandardNumber)
{
    write_file("map1", "left by an earlier run");
    int status = in_child([] {
        close(STDIN_FILENO);
        close(STDOUT_FILENO);
        close(STDERR_FILENO);
        _unlink("map1");
        MEMORYSTATUSEX figures;
        figures.dwLength = sizeof(figures);
        if (!GlobalMemoryStatusEx(&figures))
            _exit(2);
        HANDLE file = create("map0");
        if (file == INVALID_HANDLE_VALUE)
            _exit(3);
        for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; fd++)
            if (fcntl(fd, F_GETFD) != -1)
                _exit(4);
    });
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(Platform, MappingExtendsTheFileAndTheViewWritesThrough)
{
    HANDLE file = create("map0");
    HANDLE mapping = CreateFileMappingA(file, NULL, PAGE_READWRITE, 0, 3 * 65536 + 10, NULL);
    ASSERT_NE(mapping, nullptr);
    EXPECT_EQ(file_size("map0"), 3 * 65536 + 10);
    struct stat st;
    stat("map0", &st);
    EXPECT_GE((uint64_t)st.st_blocks * 512, 3 * 65536u + 10) << "the new blocks are reserved";

    char *view = (char *)MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 3 * 65536 + 10);
    ASSERT_NE(view, nullptr);
    long page = sysconf(_SC_PAGESIZE);
    for (long offset = 0; offset < 3 * 65536 + 10; offset += page)
        EXPECT_FALSE(page_present(view + offset)) << "mapping touches no page, offset " << offset;
    view[65536] = 'x';
    view[3 * 65536 + 9] = 'y';
    EXPECT_TRUE(page_present(view + 65536));
    EXPECT_FALSE(page_present(view));
    std::string content = read_file("map0");
    EXPECT_EQ(content[65536], 'x');
    EXPECT_EQ(content[3 * 65536 + 9], 'y');
    EXPECT_EQ(content[0], '\0');
}

TEST_F(Platform, MappingNeverShrinksAndSizeZeroTakesTheFileAsItIs)
{
    HANDLE empty = create("empty");
    EXPECT_EQ(CreateFileMappingA(empty, NULL, PAGE_READWRITE, 0, 0, NULL), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)EINVAL);

    HANDLE file = create("full");
    ASSERT_NE(CreateFileMappingA(file, NULL, PAGE_READWRITE, 0, 8192, NULL), nullptr);
    ASSERT_NE(CreateFileMappingA(file, NULL, PAGE_READWRITE, 0, 100, NULL), nullptr);
    EXPECT_EQ(file_size("full"), 8192);
    HANDLE whole = CreateFileMappingA(file, NULL, PAGE_READWRITE, 0, 0, NULL);
    ASSERT_NE(whole, nullptr);
    EXPECT_EQ(file_size("full"), 8192);
    char *view = (char *)MapViewOfFile(whole, FILE_MAP_WRITE, 0, 0, 0);
    ASSERT_NE(view, nullptr);
    view[8191] = 'z';
    EXPECT_EQ(read_file("full")[8191], 'z');

    // A view past the end of the object, or a handle of the wrong kind.
    EXPECT_EQ(MapViewOfFile(whole, FILE_MAP_WRITE, 0, 0, 8193), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)EINVAL);
    EXPECT_EQ(MapViewOfFile(file, FILE_MAP_WRITE, 0, 0, 4096), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)EBADF);
    EXPECT_EQ(CreateFileMappingA(whole, NULL, PAGE_READWRITE, 0, 4096, NULL), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)EBADF);
}

TEST_F(Platform, FileSizeLimitIsARefusalNotASignal)
{
    int status = in_child([] {
        struct rlimit limit = {65536, 65536};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0)
            _exit(2);
        HANDLE file = create("map0");
        if (CreateFileMappingA(file, NULL, PAGE_READWRITE, 0, 1 << 20, NULL) != NULL)
            _exit(3);
        if (GetLastError() != EFBIG)
            _exit(4);
        // Ignored from the start, so that no write past the limit (to a
        // map file or to standard output) can end the process.
        struct sigaction action;
        sigaction(SIGXFSZ, NULL, &action);
        if (action.sa_handler != SIG_IGN)
            _exit(5);
    });
    ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(Platform, MemoryStatusIsTheKernelsOwnFigures)
{
    MEMORYSTATUSEX status;
    for (DWORD length : {0u, 63u, 65u}) {
        memset(&status, 0, sizeof(status));
        status.dwLength = length;
        EXPECT_FALSE(GlobalMemoryStatusEx(&status)) << length;
        EXPECT_EQ(GetLastError(), (DWORD)EINVAL);
    }
    // Inside a memory cgroup with a limit, the physical figures are the
    // cgroup's (the container tests check them exactly).
    uint64_t cgroup_limit = machine_cgroup_limit();
    if (cgroup_limit < meminfo_kib("MemTotal") * 1024) {
        status.dwLength = sizeof(status);
        ASSERT_TRUE(GlobalMemoryStatusEx(&status));
        EXPECT_EQ(status.ullTotalPhys, cgroup_limit);
        EXPECT_LE(status.ullAvailPhys, cgroup_limit);
        EXPECT_EQ(status.ullTotalPageFile, meminfo_kib("CommitLimit") * 1024);
        return;
    }
    // Elsewhere each figure is the kernel's own, read just before and just
    // after the call; the available figures move, so a few tries are allowed
    // for a call that lands between two reads that moved apart.
    bool bracketed = false;
    for (int attempt = 0; attempt < 20 && !bracketed; attempt++) {
        Meminfo before = read_meminfo();
        status.dwLength = sizeof(status);
        ASSERT_TRUE(GlobalMemoryStatusEx(&status));
        Meminfo after = read_meminfo();
        ASSERT_EQ(before.total, after.total);
        ASSERT_EQ(status.ullTotalPhys, before.total);
        ASSERT_EQ(status.ullTotalPageFile, before.commit_limit);
        uint64_t load_low = (before.total - std::max(before.available, after.available)) * 100 / before.total;
        uint64_t load_high = (before.total - std::min(before.available, after.available)) * 100 / before.total;
        bracketed = between(status.ullAvailPhys, before.available, after.available) &&
                    between(status.ullAvailPageFile, before.commit_limit - before.committed,
                            after.commit_limit - after.committed) &&
                    status.dwMemoryLoad >= load_low && status.dwMemoryLoad <= load_high;
    }
    EXPECT_TRUE(bracketed) << "available " << status.ullAvailPhys << ", commitable " << status.ullAvailPageFile
                           << ", load " << status.dwMemoryLoad << "; the kernel's now: available "
                           << read_meminfo().available << ", commitable "
                           << read_meminfo().commit_limit - read_meminfo().committed;
    struct rlimit limit;
    getrlimit(RLIMIT_AS, &limit);
    if (limit.rlim_cur == RLIM_INFINITY) {
#if defined(__x86_64__)
        EXPECT_EQ(status.ullTotalVirtual, (1ull << 47) - 4096);
#endif
    }

    // Reserving address space shows at once in the available figure.
    const size_t reserve = 256u << 20;
    void *region = mmap(NULL, reserve, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(region, MAP_FAILED);
    MEMORYSTATUSEX after;
    after.dwLength = sizeof(after);
    ASSERT_TRUE(GlobalMemoryStatusEx(&after));
    EXPECT_GE(status.ullAvailVirtual - after.ullAvailVirtual, reserve);
    munmap(region, reserve);
}

TEST_F(Platform, AddressSpaceLimitBoundsTheVirtualFigures)
{
    int status = in_child([] {
        struct rlimit limit;
        getrlimit(RLIMIT_AS, &limit);
        limit.rlim_cur = 64ull << 30;
        if (setrlimit(RLIMIT_AS, &limit) != 0)
            _exit(2);
        MEMORYSTATUSEX figures;
        figures.dwLength = sizeof(figures);
        if (!GlobalMemoryStatusEx(&figures))
            _exit(3);
        if (figures.ullTotalVirtual != 64ull << 30 || figures.ullAvailVirtual > figures.ullTotalVirtual)
            _exit(4);
    });
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(Platform, FormatMessageGivesTheSystemsText)
{
    char buffer[4096];
    DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    DWORD language = MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT);
    EXPECT_EQ(language, 0x400u);
    DWORD written = FormatMessageA(flags, NULL, EEXIST, language, buffer, sizeof(buffer), NULL);
    EXPECT_EQ(std::string(buffer), strerror(EEXIST));
    EXPECT_EQ(written, strlen(strerror(EEXIST)));
    // Too small a buffer stores nothing and says 0.
    EXPECT_EQ(FormatMessageA(flags, NULL, EEXIST, language, buffer, 4, NULL), 0u);
    EXPECT_EQ(FormatMessageA(0x100 | flags, NULL, EEXIST, language, buffer, sizeof(buffer), NULL), 0u);
}

void ignore_signal(int) {}

TEST_F(Platform, SleepLastsItsWholeTimeThroughSignals)
{
    struct sigaction action = {}, old_action;
    action.sa_handler = ignore_signal; // no SA_RESTART: nanosleep returns EINTR
    sigaction(SIGALRM, &action, &old_action);
    struct itimerval timer = {{0, 5000}, {0, 5000}}, old_timer;
    setitimer(ITIMER_REAL, &timer, &old_timer);
    timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    Sleep(60);
    clock_gettime(CLOCK_MONOTONIC, &end);
    setitimer(ITIMER_REAL, &old_timer, NULL);
    sigaction(SIGALRM, &old_action, NULL);
    double elapsed_ms = (end.tv_sec - start.tv_sec) * 1e3 + (end.tv_nsec - start.tv_nsec) / 1e6;
    EXPECT_GE(elapsed_ms, 60.0);
}

} // namespace
