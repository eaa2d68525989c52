// The real binary, end to end, on the real system: what it prints, the files
// it leaves and the figures it reports.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "meminfo.h"
#include "run_harness.h"
#include "scratch_dir_test.h"

namespace {

struct Report {
    int index = -1;
    int64_t figures[7] = {}; // load in percent, then KiB
};

// Reads the eight lines of a report starting at lines[at], checking their
// layout: each label right-aligned to end in column 38, one space, the value
// right-aligned in 16 characters, then "%" or "KiB".
Report parse_report(const std::vector<std::string> &lines, size_t at)
{
    Report report;
    if (at + 8 > lines.size() || sscanf(lines[at].c_str(), "Memory status: %d", &report.index) != 1 ||
        lines[at] != "Memory status: " + std::to_string(report.index)) {
        ADD_FAILURE() << "no report heading at line " << at;
        return report;
    }
    for (int k = 0; k < 7; k++) {
        const std::string &line = lines[at + 1 + k];
        std::string label = std::string(FIGURE_LABELS[k]) + ":";
        std::string start = std::string(38 - label.size(), ' ') + label + " ";
        EXPECT_EQ(figure_layout(line), start + "<value>" + (k == 0 ? "%" : "KiB"));
        report.figures[k] = atoll(line.c_str() + start.size());
    }
    return report;
}

class Tool : public ScratchDirTest {
  protected:
    ToolRun run(const std::vector<std::string> &operands) { return run_tool(dir, operands); }
};

TEST_F(Tool, FullRunPrintsEveryStepAndLeavesZeroFiles)
{
    const int map_size = 1 << 20;
    ToolRun result = run({std::to_string(map_size), "3", "4096"});
    ASSERT_EQ(result.status, 0) << result.output << result.errors;
    EXPECT_EQ(result.errors, "");

    std::vector<std::string> lines = split_lines(result.output);
    ASSERT_EQ(lines.size(), 3u * 11 + 9);
    std::vector<Report> reports;
    size_t at = 0;
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(lines[at], "Creating file: " + std::to_string(i));
        reports.push_back(parse_report(lines, at + 1));
        EXPECT_EQ(reports.back().index, i);
        EXPECT_EQ(lines[at + 9], "Created file: " + std::to_string(i));
        EXPECT_EQ(lines[at + 10], "waiting (1s)");
        at += 11;
    }
    EXPECT_EQ(lines[at], "waiting before shutdown (60s)");
    reports.push_back(parse_report(lines, at + 1));
    EXPECT_EQ(reports.back().index, 3);

    // The figures are the kernel's: physical memory is MemTotal, and each
    // view takes at least its size from the available address space.
    for (int i = 0; i < 4; i++) {
        EXPECT_EQ((uint64_t)reports[i].figures[1], meminfo_kib("MemTotal"));
        EXPECT_LE(reports[i].figures[0], 100);
        EXPECT_LE(reports[i].figures[6], reports[i].figures[5]);
    }
    for (int i = 0; i < 3; i++)
        EXPECT_GE(reports[i].figures[6] - reports[i + 1].figures[6], map_size / 1024) << "after file " << i;

    for (int i = 0; i < 3; i++) {
        std::string content = read_file(path("map" + std::to_string(i)));
        EXPECT_EQ(content, std::string(map_size, '\0')) << "map" << i;
    }
    EXPECT_NE(access(path("map3").c_str(), F_OK), 0);
}

TEST_F(Tool, NoFilesForZeroOrNegativeCount)
{
    for (const char *count : {"0", "-2"}) {
        ToolRun result = run({"4096", count, "1"});
        EXPECT_EQ(result.status, 0);
        std::vector<std::string> lines = split_lines(result.output);
        ASSERT_EQ(lines.size(), 9u) << result.output;
        EXPECT_EQ(lines[0], "waiting before shutdown (60s)");
        EXPECT_EQ(parse_report(lines, 1).index, 0);
        EXPECT_NE(access(path("map0").c_str(), F_OK), 0);
    }
}

TEST_F(Tool, WrongOperandCountPrintsUsageWithTheNameAsTyped)
{
    std::vector<std::vector<std::string>> cases = {{}, {"1", "2"}, {"1", "2", "3", "4"}};
    for (const char *typed : {"map-view-of-file", "./some/where/mvof"}) {
        for (const std::vector<std::string> &args : cases) {
            // Under libfaketime too: a tool that ran on instead would fail
            // at once, not after a real minute's hold.
            Command command = tool_command({});
            command.argv = {typed};
            command.argv.insert(command.argv.end(), args.begin(), args.end());
            ToolRun result = run_command(dir, command);
            EXPECT_EQ(result.status, 1);
            EXPECT_EQ(result.output, std::string("Usage: ") + typed + " map_size n_maps write_gap\n");
        }
    }
    EXPECT_NE(access(path("map0").c_str(), F_OK), 0);
}

TEST_F(Tool, EarlierFilesAreReplacedFromMap0AndHigherOnesLeftAlone)
{
    write_file(path("map0"), "an earlier, longer run's file");
    write_file(path("map1"), "earlier map1");
    write_file(path("map7"), "earlier map7");
    ToolRun result = run({"4096", "1", "0"});
    ASSERT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(read_file(path("map0")), std::string(4096, '\0'));
    EXPECT_EQ(read_file(path("map1")), "earlier map1");
    EXPECT_EQ(read_file(path("map7")), "earlier map7");
}

TEST_F(Tool, DirectoryInTheWayEndsTheRunAtCreate)
{
    ASSERT_EQ(mkdir(path("map0").c_str(), 0755), 0);
    ToolRun result = run({"4096", "2", "1"});
    EXPECT_EQ(result.status, 1);
    std::vector<std::string> lines = split_lines(result.output);
    ASSERT_EQ(lines.size(), 10u) << result.output;
    EXPECT_EQ(lines[0], "Creating file: 0");
    EXPECT_EQ(parse_report(lines, 1).index, 0);
    EXPECT_EQ(lines[9], "failed to CreateFile: 0: File exists");
    struct stat st;
    EXPECT_TRUE(stat(path("map0").c_str(), &st) == 0 && S_ISDIR(st.st_mode));
}

// One byte, and the files' mode: 0666 less the umask.
TEST_F(Tool, OneByteFileIsExtendedAndTheModeFollowsTheUmask)
{
    Command command = tool_command({"1", "2", "1"});
    command.before_exec = [] { umask(027); };
    ToolRun result = run_command(dir, command);
    ASSERT_EQ(result.status, 0) << result.output << result.errors;
    for (const char *name : {"map0", "map1"}) {
        struct stat st;
        ASSERT_EQ(stat(path(name).c_str(), &st), 0) << name;
        EXPECT_EQ(st.st_mode & 07777, 0640u) << name;
        EXPECT_EQ(read_file(path(name)), std::string(1, '\0')) << name;
    }
}

TEST_F(Tool, ZeroSizeIsRefusedAtTheMapping)
{
    ToolRun result = run({"0", "2", "1"});
    EXPECT_EQ(result.status, 1);
    std::vector<std::string> lines = split_lines(result.output);
    ASSERT_EQ(lines.size(), 10u) << result.output;
    EXPECT_EQ(lines[9], "failed to CreateFileMapping: 0: Invalid argument");
    EXPECT_EQ(read_file(path("map0")), "");
    EXPECT_NE(access(path("map1").c_str(), F_OK), 0);
}

// Output that cannot be written: the run goes on and makes every file, then
// ends with status 1 and one line on standard error; never with a signal.
TEST_F(Tool, UnwritableOutputEndsWithStatusOneAndSaysSo)
{
    struct Case {
        const char *what;
        std::function<void()> set_up;
        int error;
    } cases[] = {
        {"/dev/full", [] { dup2(open("/dev/full", O_WRONLY), STDOUT_FILENO); }, ENOSPC},
        {"file-size limit",
         [] {
             dup2(open("out", O_WRONLY | O_CREAT | O_TRUNC, 0644), STDOUT_FILENO);
             struct rlimit limit = {1024, 1024};
             setrlimit(RLIMIT_FSIZE, &limit);
         },
         EFBIG},
        {"closed", [] { close(STDOUT_FILENO); },
         EBADF},
    };
    for (const Case &c : cases) {
        Command command = no_pause_command({"1024", "5", "4096"});
        command.before_exec = c.set_up;
        ToolRun result = run_command(dir, command);
        EXPECT_EQ(result.signal, 0) << c.what;
        EXPECT_EQ(result.status, 1) << c.what;
        EXPECT_EQ(result.errors, std::string("map-view-of-file: write error: ") + strerror(c.error) + "\n") << c.what;
        for (int i = 0; i < 5; i++)
            EXPECT_EQ(read_file(path("map" + std::to_string(i))), std::string(1024, '\0')) << c.what << " map" << i;
    }
    // What fitted under the file-size limit is the run's output, cut short.
    std::string cut = read_file(path("out"));
    EXPECT_EQ(cut.size(), 1024u);
    EXPECT_EQ(cut.compare(0, 17, "Creating file: 0\n"), 0);

    // A reader that goes away ends the run as it ends any Unix tool.
    Command command = tool_command({"1024", "5", "4096"});
    command.before_exec = [] {
        int ends[2];
        if (pipe(ends) == 0) {
            dup2(ends[1], STDOUT_FILENO);
            close(ends[0]);
        }
    };
    EXPECT_EQ(run_command(dir, command).signal, SIGPIPE);
}

// Whether any descriptor of process pid stands for a file that has lost its
// name.
bool holds_deleted_file(pid_t pid)
{
    std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    DIR *listing = opendir(fds.c_str());
    if (listing == nullptr)
        return false;
    bool deleted = false;
    while (dirent *entry = readdir(listing)) {
        char target[4096];
        ssize_t length = readlink((fds + "/" + entry->d_name).c_str(), target, sizeof(target) - 1);
        if (length > 0 && std::string(target, (size_t)length).find(" (deleted)") != std::string::npos)
            deleted = true;
    }
    closedir(listing);
    return deleted;
}

ino_t inode(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// A second run in the same directory leaves the files of a live run alone
// and ends at once, as the Windows build does; a finished run's files are
// replaced.
TEST_F(Tool, SecondRunLeavesALiveRunsFilesAlone)
{
    struct Case {
        const char *when;
        const char *speed; // the first run's clock
        const char *wait_for;
    } cases[] = {
        // Held in its pause after map0, its clock real; it is killed long
        // before that pause would end.
        {"after its first file", "FAKETIME=+0 x1", "Created file: 0\nwaiting (1s)\n"},
        // Its pauses 50 ms, its final hold 3 s.
        {"in its final hold", "FAKETIME=+0 x20", "waiting before shutdown (60s)\n"},
    };
    for (const Case &c : cases) {
        Command first = tool_command({"4096", "2", "4096"});
        first.environment[1] = c.speed;
        pid_t pid = start_command(dir, first, path("first.out"));
        ASSERT_GT(pid, 0);
        bool held = wait_for_text(path("first.out"), c.wait_for, 10);
        ino_t before = inode(path("map0"));

        ToolRun second = run_tool(dir, {"4096", "2", "4096"});
        bool first_intact = inode(path("map0")) == before && read_file(path("map0")) == std::string(4096, '\0') &&
                            !holds_deleted_file(pid);
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        remove_faketime_files(pid);

        ASSERT_TRUE(held) << c.when << ": " << read_file(path("first.out"));
        EXPECT_EQ(second.status, 1) << c.when;
        std::vector<std::string> lines = split_lines(second.output);
        ASSERT_FALSE(lines.empty()) << c.when;
        EXPECT_EQ(lines.back(), std::string("failed to CreateFile: 0: ") + strerror(EEXIST)) << c.when;
        EXPECT_TRUE(first_intact) << c.when;

        // Once the first run has gone, its files are replaced as any others.
        ToolRun third = run_tool(dir, {"4096", "2", "4096"});
        EXPECT_EQ(third.status, 0) << c.when << third.output;
    }
}

} // namespace
