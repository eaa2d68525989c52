// The real binary against the system's own limits and faults: each refusal
// is the failure line of the step the system refused, with its text and
// status 1, no signal, and every file made before it intact.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "run_harness.h"
#include "scratch_dir_test.h"

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool SANITIZED = true;
#else
constexpr bool SANITIZED = false;
#endif

struct FileInfo {
    bool exists = false;
    bool regular = false;
    off_t size = -1;
    bool all_zero = false;
};

FileInfo inspect(const std::string &path)
{
    FileInfo info;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return info;
    info.exists = true;
    info.regular = S_ISREG(st.st_mode);
    info.size = st.st_size;
    if (info.regular) {
        std::string content = read_file(path);
        info.all_zero = content.find_first_not_of('\0') == std::string::npos;
    }
    return info;
}

// The index N of a last line "<prefix>N: <text>", or -1.
int failure_index(const std::string &output, const std::string &prefix, std::string *text)
{
    std::vector<std::string> lines = split_lines(output);
    if (lines.empty() || lines.back().compare(0, prefix.size(), prefix) != 0)
        return -1;
    int index = -1;
    size_t used = 0;
    if (sscanf(lines.back().c_str() + prefix.size(), "%d: %zn", &index, &used) != 1)
        return -1;
    *text = lines.back().substr(prefix.size() + used);
    return index;
}

// Enters a mount namespace of its own, where mounts stay private to it.
bool enter_private_mount_namespace()
{
    return unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

class Limits : public ScratchDirTest {
  protected:
    ToolRun run(const std::vector<std::string> &operands, std::function<void()> before_exec)
    {
        Command command = tool_command(operands);
        command.before_exec = before_exec;
        return run_command(dir, command);
    }

    // Each of files 0 to count - 1 is there at full size, all zeros.
    void expect_intact(int count, off_t size)
    {
        for (int i = 0; i < count; i++) {
            FileInfo info = inspect(path("map" + std::to_string(i)));
            EXPECT_TRUE(info.regular && info.size == size && info.all_zero) << "map" << i << " size " << info.size;
        }
    }
};

TEST_F(Limits, FileSizeLimitIsRefusedAtTheMappingWithoutASignal)
{
    ToolRun result = run({"1048576", "2", "4096"}, [] {
        struct rlimit limit = {65536, 65536};
        setrlimit(RLIMIT_FSIZE, &limit);
    });
    EXPECT_EQ(result.signal, 0);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(split_lines(result.output).back(), "failed to CreateFileMapping: 0: File too large");
}

// The soft limit is raised to the hard one, and the run ends within a few
// files of it, at the create.
TEST_F(Limits, OpenFileLimitEndsTheRunNearTheHardLimit)
{
    const int hard = 256;
    Command command = tool_command({"4096", "100000", "0"});
    // The leak check at exit would need a descriptor that the run has used up.
    command.environment.back() = "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0";
    command.before_exec = [] {
        struct rlimit limit = {64, hard};
        setrlimit(RLIMIT_NOFILE, &limit);
    };
    ToolRun result = run_command(dir, command);
    EXPECT_EQ(result.signal, 0);
    EXPECT_EQ(result.status, 1);
    std::string text;
    int index = failure_index(result.output, "failed to CreateFile: ", &text);
    EXPECT_EQ(text, strerror(EMFILE));
    EXPECT_GE(index, hard - 8);
    EXPECT_LE(index, hard - 3);
    expect_intact(index, 4096);
    // The report before the refused create still has its figures.
    EXPECT_EQ(result.output.find("Failed to get memory status"), std::string::npos);
}

TEST_F(Limits, AddressSpaceLimitEndsTheRunAtTheView)
{
    if (SANITIZED)
        GTEST_SKIP() << "the sanitizer runtime reserves terabytes of address space and cannot start under a limit";
    const int map_size = 16 << 20;
    ToolRun result = run({std::to_string(map_size), "1000", "65536"}, [] {
        struct rlimit limit = {256ull << 20, 256ull << 20};
        setrlimit(RLIMIT_AS, &limit);
    });
    EXPECT_EQ(result.signal, 0);
    EXPECT_EQ(result.status, 1);
    std::string text;
    int index = failure_index(result.output, "failed to MapViewOfFile: ", &text);
    EXPECT_EQ(text, strerror(ENOMEM));
    EXPECT_GE(index, 4) << result.output;
    EXPECT_LT(index, 16);
    expect_intact(index, map_size);
    // The failing pass's file was extended before its view was refused.
    EXPECT_EQ(inspect(path("map" + std::to_string(index))).size, map_size);
}

// A small tmpfs in a mount namespace of the run's own: blocks are reserved
// when a file is extended, so the full file system is refused at the mapping
// and never met as a bus error in the write pass.
TEST_F(Limits, FullFileSystemIsRefusedAtTheMapping)
{
    // The namespace and its tmpfs go when its last process ends, so a child
    // holds them for the run and writes down what it finds.
    std::string report = dir + ".report";
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        std::string mount_point = dir + "/fs";
        mkdir(mount_point.c_str(), 0755);
        if (!enter_private_mount_namespace())
            _exit(77);
        if (mount("tmpfs", mount_point.c_str(), "tmpfs", 0, "size=1m") != 0)
            _exit(78);
        ToolRun result = run_command(mount_point, tool_command({"262144", "100", "4096"}));
        FILE *out = fopen(report.c_str(), "w");
        fprintf(out, "%d %d\n", result.status, result.signal);
        for (int i = 0; i < 6; i++) {
            FileInfo info = inspect(mount_point + "/map" + std::to_string(i));
            fprintf(out, "%d %lld %d\n", info.exists, (long long)info.size, info.all_zero);
        }
        fputs(result.output.c_str(), out);
        fclose(out);
        _exit(0);
    }
    int wait_status = 0;
    waitpid(pid, &wait_status, 0);
    ASSERT_TRUE(WIFEXITED(wait_status));
    if (WEXITSTATUS(wait_status) == 77 || WEXITSTATUS(wait_status) == 78)
        GTEST_SKIP() << "this machine grants no private mount namespace or tmpfs mount to this user";
    ASSERT_EQ(WEXITSTATUS(wait_status), 0);

    FILE *in = fopen(report.c_str(), "r");
    ASSERT_NE(in, nullptr);
    int status = -1, signal = -1;
    EXPECT_EQ(fscanf(in, "%d %d\n", &status, &signal), 2);
    std::vector<FileInfo> files(6);
    for (FileInfo &info : files) {
        int exists = 0, zero = 0;
        long long size = 0;
        EXPECT_EQ(fscanf(in, "%d %lld %d\n", &exists, &size, &zero), 3);
        info.exists = exists;
        info.size = (off_t)size;
        info.all_zero = zero;
    }
    std::string output;
    for (int c; (c = fgetc(in)) != EOF;)
        output += (char)c;
    fclose(in);
    remove(report.c_str());

    EXPECT_EQ(signal, 0);
    EXPECT_EQ(status, 1);
    std::string text;
    int index = failure_index(output, "failed to CreateFileMapping: ", &text);
    EXPECT_EQ(text, strerror(ENOSPC)) << output;
    ASSERT_GE(index, 1);
    ASSERT_LE(index, 4);
    for (int i = 0; i < index; i++)
        EXPECT_TRUE(files[i].exists && files[i].size == 262144 && files[i].all_zero) << "map" << i;
    EXPECT_TRUE(files[index].exists) << "the refused file stays as the system left it";
}

// With /proc hidden the figures cannot be read: each report becomes its
// failure line and the run goes on.
TEST_F(Limits, HiddenProcGivesMemoryStatusFailuresAndTheRunGoesOn)
{
    if (SANITIZED)
        GTEST_SKIP() << "the sanitizer runtime itself needs /proc to start";
    ToolRun result = run({"4096", "2", "1"}, [] {
        if (!enter_private_mount_namespace() || mount("tmpfs", "/proc", "tmpfs", 0, "size=16k") != 0)
            _exit(77);
    });
    if (result.status == 77)
        GTEST_SKIP() << "this machine grants no private mount namespace or tmpfs mount to this user";
    EXPECT_EQ(result.status, 0) << result.output << result.errors;
    std::string failure = ": " + std::string(strerror(ENOENT)) + "\n";
    EXPECT_EQ(result.output, "Creating file: 0\n"
                             "Failed to get memory status: 0" + failure +
                             "Created file: 0\nwaiting (1s)\n"
                             "Creating file: 1\n"
                             "Failed to get memory status: 1" + failure +
                             "Created file: 1\nwaiting (1s)\n"
                             "waiting before shutdown (60s)\n"
                             "Failed to get memory status: 2" + failure);
    expect_intact(2, 4096);
}

TEST_F(Limits, NonEmptyDirectoryInTheWayIsLeftUntouched)
{
    ASSERT_EQ(mkdir(path("map0").c_str(), 0755), 0);
    write_file(path("map0/inside"), "keep me");
    ToolRun result = run({"4096", "2", "1"}, nullptr);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(split_lines(result.output).back(), std::string("failed to CreateFile: 0: ") + strerror(EEXIST));
    EXPECT_EQ(read_file(path("map0/inside")), "keep me");
}

TEST_F(Limits, SymbolicLinkIsReplacedAndItsTargetLeftAlone)
{
    std::string target = dir + "-target";
    write_file(target, "keep me");
    ASSERT_EQ(symlink(target.c_str(), path("map0").c_str()), 0);
    ToolRun result = run({"4096", "1", "1"}, nullptr);
    EXPECT_EQ(result.status, 0) << result.output;
    FileInfo info = inspect(path("map0"));
    EXPECT_TRUE(info.regular && info.size == 4096 && info.all_zero);
    EXPECT_EQ(read_file(target), "keep me");
    remove(target.c_str());
}

} // namespace
