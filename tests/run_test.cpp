// The real binary, end to end, on the real system: what it prints, the files
// it leaves and the figures it reports.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/stat.h>
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
            Command command;
            command.path = TOOL_PATH;
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

} // namespace
