// The Windows build, run under Wine in a private prefix, next to the Linux
// build: the same lines in the same order and layout, only the figures
// differ. The Windows runtime writes text-mode output, so its CR LF line ends
// are read as LF.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "run_harness.h"
#include "scratch_dir_test.h"

namespace {

std::vector<std::string> wine_environment()
{
    return {std::string("WINEPREFIX=") + WINE_PREFIX, "WINEDEBUG=-all", "WINEDLLOVERRIDES=mscoree,mshtml="};
}

// Wine runs the program with a command line made from its Unix path.
Command windows_command(const std::vector<std::string> &operands)
{
    Command command;
    command.path = WINE_LOADER;
    command.argv = {WINE_LOADER, WINDOWS_TOOL_PATH};
    command.argv.insert(command.argv.end(), operands.begin(), operands.end());
    command.environment = wine_environment();
    command.deadline_seconds = 150; // a full run pauses for real, about a minute
    return command;
}

std::string text_mode(const std::string &output)
{
    std::string lines;
    for (size_t k = 0; k < output.size(); k++)
        if (!(output[k] == '\r' && k + 1 < output.size() && output[k + 1] == '\n'))
            lines += output[k];
    return lines;
}

std::vector<std::string> layout(const std::string &output)
{
    std::vector<std::string> lines = split_lines(output);
    for (std::string &line : lines)
        line = figure_layout(line);
    return lines;
}

class Windows : public ScratchDirTest {
  protected:
    // The Windows run uses dir; the Linux run it is compared with, linux_dir.
    void SetUp() override
    {
        ScratchDirTest::SetUp();
        linux_dir = make_scratch_dir();
        ASSERT_FALSE(linux_dir.empty());
    }
    void TearDown() override
    {
        ScratchDirTest::TearDown();
        remove_tree(linux_dir);
    }

    // Runs both builds with the same operands, each in its own directory,
    // and checks that they print the same but for the figures.
    void expect_same_as_linux(const std::vector<std::string> &operands, int status)
    {
        ToolRun windows = run_command(dir, windows_command(operands));
        ToolRun linux_run = run_tool(linux_dir, operands);
        EXPECT_EQ(windows.status, status) << "signal " << windows.signal << "\n" << windows.output << windows.errors;
        EXPECT_EQ(linux_run.status, status) << linux_run.output;
        EXPECT_EQ(layout(text_mode(windows.output)), layout(linux_run.output));
        // Every figure line kept its layout: seven per report.
        size_t reports = 0, figures = 0;
        for (const std::string &line : layout(text_mode(windows.output))) {
            reports += line.rfind("Memory status: ", 0) == 0;
            figures += line.find("<value>") != std::string::npos;
        }
        EXPECT_GT(reports, 0u);
        EXPECT_EQ(figures, 7 * reports);
    }

    std::string linux_dir;
};

// Its imports, and the loader's security flags: address-space layout
// randomisation with high entropy, and no execution of data pages.
TEST(WindowsBuild, ImportsOnlyKernel32AndMsvcrtAndKeepsItsSecurityFlags)
{
    std::string command = std::string(OBJDUMP_PATH) + " -p " + WINDOWS_TOOL_PATH;
    FILE *pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::set<std::string> dlls;
    bool printf_from_runtime = false;
    std::set<std::string> flags;
    bool in_characteristics = false;
    char line[512];
    while (fgets(line, sizeof(line), pipe)) {
        char word[256];
        if (strncmp(line, "DllCharacteristics", 18) == 0)
            in_characteristics = true;
        else if (in_characteristics && line[0] == '\t' && sscanf(line, " %255s", word) == 1)
            flags.insert(word);
        else
            in_characteristics = false;
        char name[256];
        if (sscanf(line, " DLL Name: %255s", name) == 1)
            dlls.insert(name);
        // The report's I64 conversions are the runtime's own printf.
        std::string text = line;
        if (text.size() > 8 && text.compare(text.size() - 8, 8, " printf\n") == 0)
            printf_from_runtime = true;
    }
    EXPECT_EQ(pclose(pipe), 0);
    EXPECT_EQ(dlls, (std::set<std::string>{"KERNEL32.dll", "msvcrt.dll"}));
    EXPECT_TRUE(printf_from_runtime) << "printf must be imported from msvcrt.dll";
    for (const char *flag : {"DYNAMIC_BASE", "NX_COMPAT", "HIGH_ENTROPY_VA"})
        EXPECT_EQ(flags.count(flag), 1u) << flag << " missing";
}

TEST_F(Windows, WrongOperandCountPrintsUsageWithTheNameAsTyped)
{
    // Typed at a Windows command prompt, in the program's own directory.
    std::string copy = path("map-view-of-file.exe");
    write_file(copy, read_file(WINDOWS_TOOL_PATH));
    struct Case {
        std::string typed;
        const char *operands;
    } cases[] = {
        {"map-view-of-file.exe", ""},
        {".\\map-view-of-file", " 1 2"},
        {"map-view-of-file", " 1 2 3 4"},
    };
    for (const Case &c : cases) {
        Command command;
        command.path = WINE_LOADER;
        command.argv = {WINE_LOADER, "cmd", "/c", c.typed + c.operands};
        command.environment = wine_environment();
        command.deadline_seconds = 60;
        ToolRun result = run_command(dir, command);
        EXPECT_EQ(result.status, 1) << c.typed;
        EXPECT_EQ(result.output, "Usage: " + c.typed + " map_size n_maps write_gap\r\n");
    }
    EXPECT_NE(access(path("map0").c_str(), F_OK), 0);
}

TEST_F(Windows, RefusedCreateGivesTheSystemsTextWithoutItsLineBreak)
{
    ASSERT_EQ(mkdir(path("map0").c_str(), 0755), 0);
    ToolRun result = run_command(dir, windows_command({"4096", "2", "1"}));
    EXPECT_EQ(result.status, 1);
    std::vector<std::string> lines = split_lines(text_mode(result.output));
    ASSERT_EQ(lines.size(), 10u) << result.output;
    const std::string prefix = "failed to CreateFile: 0: ";
    ASSERT_EQ(lines[9].compare(0, prefix.size(), prefix), 0) << lines[9];
    std::string text = lines[9].substr(prefix.size());
    EXPECT_FALSE(text.empty());
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << "trailing line break left in \"" << text << "\"";
    EXPECT_EQ(text.back(), '.') << "the system's own text ends in a full stop: \"" << text << "\"";
}

// The pauses are real under Wine: about a minute.
TEST_F(Windows, FullRunPrintsWhatLinuxPrintsAndLeavesTheFiles)
{
    expect_same_as_linux({"65536", "2", "4096"}, 0);
    for (const char *name : {"map0", "map1"})
        EXPECT_EQ(read_file(path(name)), std::string(65536, '\0')) << name;
    EXPECT_NE(access(path("map2").c_str(), F_OK), 0);
}

// Leading blanks and tabs, a plus sign, text after the digits and a number
// past INT_MAX (about a minute).
TEST_F(Windows, BlanksSignsAndTrailingTextConvertAsOnLinux)
{
    expect_same_as_linux({"\t 65536 bytes", " +2x", "99999999999999999999"}, 0);
    for (const char *name : {"map0", "map1"})
        EXPECT_EQ(read_file(path(name)), std::string(65536, '\0')) << name;
    EXPECT_NE(access(path("map2").c_str(), F_OK), 0);
}

// msvcrt.dll's atoi would wrap "-4294967294" round to 2 files; both builds
// hold it at INT_MIN instead, so neither maps a file (about a minute).
TEST_F(Windows, OutOfRangeOperandsConvertAsOnLinux)
{
    expect_same_as_linux({"99999999999999999999", "-4294967294", "99999999999999999999"}, 0);
    EXPECT_NE(access(path("map0").c_str(), F_OK), 0);
}

// A size past 4 GiB - 1 is held there, not at INT_MAX; a write_gap that
// msvcrt.dll's atoi would wrap round to 2 is held at INT_MIN and writes
// nothing (a wrapped one would store two billion bytes and miss the
// deadline). Wine extends the file sparsely; the Linux build would reserve
// all 4 GiB, so this run is the Windows build's alone (about a minute).
TEST_F(Windows, SizeOperandIsHeldAtTheLargest32BitSize)
{
    ToolRun result = run_command(dir, windows_command({"99999999999999999999", "1", "-4294967294"}));
    EXPECT_EQ(result.status, 0) << result.output << result.errors;
    std::vector<std::string> lines = split_lines(text_mode(result.output));
    ASSERT_EQ(lines.size(), 11u + 9) << result.output;
    EXPECT_EQ(lines[9], "Created file: 0");
    struct stat st;
    ASSERT_EQ(stat(path("map0").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 4294967295);
}

// Output to a full device is lost: the run still ends its hold, then says
// so on standard error with status 1 (about a minute).
TEST_F(Windows, UnwritableOutputEndsWithStatusOneAsOnLinux)
{
    Command command = windows_command({"4096", "0", "1"});
    command.before_exec = [] { dup2(open("/dev/full", O_WRONLY), STDOUT_FILENO); };
    ToolRun result = run_command(dir, command);
    EXPECT_EQ(result.status, 1) << result.errors;
    EXPECT_EQ(text_mode(result.errors), std::string("map-view-of-file: write error: ") + strerror(ENOSPC) + "\n");
}

} // namespace
