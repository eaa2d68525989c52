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
    off_t blocks = -1; // 512-byte units
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
    info.blocks = st.st_blocks;
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
// files of it, at the create: the tool's other descriptors are the standard
// three, libfaketime's two, /proc's two and its memory cgroup's files (two,
// and one per level of the hierarchy).
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
    EXPECT_GE(index, hard - 24);
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

// What a run on a file system of its own left behind.
struct MountedRun {
    bool mounted = false;
    int status = -1, signal = -1;
    std::vector<FileInfo> files; // map0, map1, ... up to the first missing
    std::string output;
};

// Runs the tool in a file system that mount_fs mounts at the given point, in
// a mount namespace of the run's own. The namespace and its mounts go when
// its last process ends, so a child holds them for the run and writes down
// what it finds.
MountedRun run_on_file_system(const std::string &dir, const std::function<bool(const std::string &)> &mount_fs,
                              const std::vector<std::string> &operands)
{
    std::string report = dir + ".report", mount_point = dir + "/fs";
    mkdir(mount_point.c_str(), 0755);
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        if (!enter_private_mount_namespace() || !mount_fs(mount_point))
            _exit(77);
        ToolRun result = run_command(mount_point, tool_command(operands));
        FILE *out = fopen(report.c_str(), "w");
        fprintf(out, "%d %d\n", result.status, result.signal);
        for (int i = 0;; i++) {
            FileInfo info = inspect(mount_point + "/map" + std::to_string(i));
            if (!info.exists)
                break;
            fprintf(out, "%lld %lld %d\n", (long long)info.size, (long long)info.blocks, info.all_zero);
        }
        fprintf(out, "end\n%s", result.output.c_str());
        fclose(out);
        _exit(0);
    }
    MountedRun run;
    int wait_status = 0;
    waitpid(pid, &wait_status, 0);
    if (!WIFEXITED(wait_status) || WEXITSTATUS(wait_status) != 0)
        return run;
    run.mounted = true;
    std::string text = read_file(report);
    remove(report.c_str());
    std::vector<std::string> lines = split_lines(text);
    size_t k = 0;
    if (lines.empty() || sscanf(lines[k++].c_str(), "%d %d", &run.status, &run.signal) != 2)
        return run;
    for (; k < lines.size() && lines[k] != "end"; k++) {
        FileInfo info;
        long long size = 0, blocks = 0;
        int zero = 0;
        sscanf(lines[k].c_str(), "%lld %lld %d", &size, &blocks, &zero);
        info.exists = info.regular = true;
        info.size = (off_t)size;
        info.blocks = (off_t)blocks;
        info.all_zero = zero;
        run.files.push_back(info);
    }
    for (k++; k < lines.size(); k++)
        run.output += lines[k] + "\n";
    return run;
}

// A loop-mounted image of the given size, made by the given mkfs command.
std::function<bool(const std::string &)> image(const std::string &dir, const std::string &mkfs, int mib)
{
    return [=](const std::string &mount_point) {
        std::string file = dir + ".img";
        std::string command = "truncate -s " + std::to_string(mib) + "M " + file + " && " + mkfs + " " + file +
                              " >/dev/null 2>&1 && mount -o loop " + file + " " + mount_point + " 2>/dev/null";
        bool mounted = system(command.c_str()) == 0;
        remove(file.c_str()); // the loop device keeps it until the namespace goes
        return mounted;
    };
}

// A full file system is refused at the mapping with the system's text, and
// never met as a bus error in the write pass, whether or not the file system
// can reserve blocks: where it cannot (ext2, ext4 without extents), the
// blocks are claimed by writing them. Every earlier file holds all its
// blocks, so nothing written to its view can meet a full disk.
TEST_F(Limits, FullFileSystemIsRefusedAtTheMapping)
{
    struct Case {
        const char *what;
        std::function<bool(const std::string &)> mount_fs;
        std::string size;
    } cases[] = {
        {"tmpfs",
         [](const std::string &at) { return mount("tmpfs", at.c_str(), "tmpfs", 0, "size=1m") == 0; },
         "262144"},
        {"ext2", image(dir, "mkfs.ext2 -q -F -b 1024", 4), "1048576"},
        {"ext4 without extents", image(dir, "mkfs.ext4 -q -F -b 1024 -O ^extent,^64bit", 8), "1048576"},
    };
    for (const Case &c : cases) {
        for (const char *write_gap : {"4096", "0"}) {
            SCOPED_TRACE(std::string(c.what) + ", write_gap " + write_gap);
            MountedRun run = run_on_file_system(dir, c.mount_fs, {c.size, "100", write_gap});
            if (!run.mounted && &c == &cases[0])
                GTEST_SKIP() << "this machine grants no private mount namespace or tmpfs mount to this user";
            ASSERT_TRUE(run.mounted) << "no loop mount of the image";
            EXPECT_EQ(run.signal, 0);
            EXPECT_EQ(run.status, 1);
            std::string text;
            int index = failure_index(run.output, "failed to CreateFileMapping: ", &text);
            EXPECT_EQ(text, strerror(ENOSPC)) << run.output;
            ASSERT_GE(index, 1);
            ASSERT_EQ(run.files.size(), (size_t)index + 1) << "the refused file stays as the system left it";
            off_t size = atoll(c.size.c_str());
            for (int i = 0; i < index; i++) {
                EXPECT_TRUE(run.files[i].size == size && run.files[i].all_zero) << "map" << i;
                EXPECT_GE(run.files[i].blocks * 512, size) << "map" << i << " holds all its blocks";
            }
        }
    }
}

// Where nothing can be reserved ahead (ramfs), the run goes through.
TEST_F(Limits, FileSystemWithoutReservationGetsAFullRun)
{
    MountedRun run = run_on_file_system(
        dir, [](const std::string &at) { return mount("ramfs", at.c_str(), "ramfs", 0, nullptr) == 0; },
        {"65536", "3", "0"});
    if (!run.mounted)
        GTEST_SKIP() << "this machine grants no private mount namespace or ramfs mount here";
    EXPECT_EQ(run.signal, 0);
    EXPECT_EQ(run.status, 0) << run.output;
    ASSERT_EQ(run.files.size(), 3u);
    for (const FileInfo &info : run.files)
        EXPECT_TRUE(info.size == 65536 && info.all_zero);
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

// Started with standard input, output and error closed, with and without
// /proc: no file of the tool takes their numbers, so nothing it prints lands
// in a map file; the lost output makes the status 1.
TEST_F(Limits, ClosedStandardDescriptorsNeverReachTheFiles)
{
    for (bool hide_proc : {false, true}) {
        if (hide_proc && SANITIZED)
            continue; // the sanitizer runtime itself needs /proc to start
        Command command = no_pause_command({"4096", "3", "1"});
        command.before_exec = [hide_proc] {
            if (hide_proc &&
                (!enter_private_mount_namespace() || mount("tmpfs", "/proc", "tmpfs", 0, "size=16k") != 0))
                _exit(77);
            close(STDIN_FILENO);
            close(STDOUT_FILENO);
            close(STDERR_FILENO);
        };
        ToolRun result = run_command(dir, command);
        if (result.status == 77)
            GTEST_SKIP() << "this machine grants no private mount namespace or tmpfs mount to this user";
        EXPECT_EQ(result.signal, 0) << "hide /proc " << hide_proc;
        EXPECT_EQ(result.status, 1) << "hide /proc " << hide_proc;
        expect_intact(3, 4096);
    }
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
