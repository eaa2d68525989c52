// The program driven in process through the scripted layer: its output byte
// for byte, the calls it makes and when it flushes, its pauses and the bytes
// it stores into each view.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "fault_layer.h"

int map_view_of_file_main(int argc, char *argv[], char *env[]);
const char *last_error_message(void);
void show_memory_usage(int i);

namespace {

struct Outcome {
    int status;
    std::string output;
};

// Runs fn with the descriptor fd of stream going to a scratch file; returns
// what it wrote.
template <typename Fn> std::string capture(FILE *stream, Fn fn)
{
    int fd = fileno(stream);
    fflush(stream);
    FILE *capture = tmpfile();
    int saved = dup(fd);
    dup2(fileno(capture), fd);
    fn();
    fflush(stream);
    dup2(saved, fd);
    close(saved);
    std::string output;
    rewind(capture);
    for (int c; (c = fgetc(capture)) != EOF;)
        output += (char)c;
    fclose(capture);
    return output;
}

template <typename Fn> std::string capture_stdout(Fn fn)
{
    return capture(stdout, fn);
}

Outcome run(std::vector<std::string> args)
{
    std::vector<char *> argv;
    for (std::string &arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    int status = -1;
    std::string output = capture_stdout([&] { status = map_view_of_file_main((int)args.size(), argv.data(), environ); });
    return Outcome{status, output};
}

MEMORYSTATUSEX sample_status()
{
    MEMORYSTATUSEX status = {};
    status.dwMemoryLoad = 37;
    status.ullTotalPhys = 25769803776ull;   // 24 GiB
    status.ullAvailPhys = 20000000000ull;   // not a whole number of KiB
    status.ullTotalPageFile = 13000000000ull;
    status.ullAvailPageFile = 1023;         // below 1 KiB
    status.ullTotalVirtual = UINT64_MAX;    // wider than the 16-character field
    status.ullAvailVirtual = 1025;
    return status;
}

// The report for sample_status, written out by hand.
std::string sample_report(int i)
{
    return "Memory status: " + std::to_string(i) + "\n"
           "                    Using memory size:               37%\n"
           "                Total physical memory:         25165824KiB\n"
           "            Available physical memory:         19531250KiB\n"
           "               Committed memory limit:         12695312KiB\n"
           "          Available commitable memory:                0KiB\n"
           "     Total virtual address space size: 18014398509481983KiB\n"
           " Available virtual address space size:                1KiB\n";
}

class Program : public ::testing::Test {
  protected:
    void SetUp() override
    {
        fault::reset();
        fault::set_status(sample_status());
    }
    void TearDown() override { fault::reset(); }
};

TEST_F(Program, FullRunPrintsCallsFlushesAndPausesInOrder)
{
    Outcome result = run({"map-view-of-file", "4096", "2", "1024"});
    EXPECT_EQ(result.status, 0);
    std::string pass0 = "Creating file: 0\n" + sample_report(0) + "Created file: 0\nwaiting (1s)\n";
    std::string pass1 = "Creating file: 1\n" + sample_report(1) + "Created file: 1\nwaiting (1s)\n";
    std::string end = "waiting before shutdown (60s)\n" + sample_report(2);
    EXPECT_EQ(result.output, pass0 + pass1 + end);

    // Each call with its arguments, and how much output had been flushed by
    // then: the announcement before the report, the report before the
    // create, everything before each pause.
    int64_t announced0 = 17, reported0 = 17 + (int64_t)sample_report(0).size();
    int64_t paused0 = (int64_t)pass0.size();
    int64_t announced1 = paused0 + 17, reported1 = announced1 + (int64_t)sample_report(1).size();
    int64_t paused1 = paused0 + (int64_t)pass1.size();
    int64_t shutdown = paused1 + 30;
    struct Expected {
        std::string call;
        int64_t flushed;
    };
    std::vector<Expected> expected = {
        {"_unlink map0", 0},
        {"GlobalMemoryStatusEx length=64", announced0},
        {"CreateFileA map0 access=c0000000 share=3 disposition=1 attributes=80", reported0},
        {"CreateFileMappingA file=1000 protection=4 size=0:1000", reported0},
        {"MapViewOfFile mapping=1001 access=2 offset=0:0 length=1000", reported0},
        {"Sleep 1000", paused0},
        {"_unlink map1", paused0},
        {"GlobalMemoryStatusEx length=64", announced1},
        {"CreateFileA map1 access=c0000000 share=3 disposition=1 attributes=80", reported1},
        {"CreateFileMappingA file=1010 protection=4 size=0:1000", reported1},
        {"MapViewOfFile mapping=1011 access=2 offset=0:0 length=1000", reported1},
        {"Sleep 1000", paused1},
        {"GlobalMemoryStatusEx length=64", shutdown},
        {"Sleep 60000", (int64_t)result.output.size()},
    };
    const std::vector<fault::Event> &events = fault::events();
    ASSERT_EQ(events.size(), expected.size());
    for (size_t k = 0; k < expected.size(); k++) {
        EXPECT_EQ(events[k].text, expected[k].call) << "call " << k;
        EXPECT_EQ(events[k].flushed, expected[k].flushed) << "call " << k << ": " << events[k].text;
    }
    std::vector<fault::View> views = fault::views();
    ASSERT_EQ(views.size(), 2u);
    for (const fault::View &view : views)
        EXPECT_EQ(view.stores, (std::vector<uint64_t>{0, 1024, 2048, 3072}));
}

TEST_F(Program, NoFilesForZeroOrNegativeCount)
{
    for (const char *count : {"0", "-3", "abc"}) {
        fault::reset();
        fault::set_status(sample_status());
        Outcome result = run({"map-view-of-file", "4096", count, "1"});
        EXPECT_EQ(result.status, 0) << count;
        EXPECT_EQ(result.output, "waiting before shutdown (60s)\n" + sample_report(0)) << count;
        EXPECT_EQ(fault::calls(), (std::vector<std::string>{"GlobalMemoryStatusEx length=64", "Sleep 60000"}))
            << count;
    }
}

TEST_F(Program, WrongOperandCountPrintsUsageAndTouchesNothing)
{
    std::vector<std::vector<std::string>> cases = {
        {"./bin/map-view-of-file"},
        {"map-view-of-file", "1", "2"},
        {"C:\\tools\\mvof.exe", "1", "2", "3", "4"},
    };
    for (const std::vector<std::string> &args : cases) {
        fault::reset();
        Outcome result = run(args);
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.output, "Usage: " + args[0] + " map_size n_maps write_gap\n");
        EXPECT_TRUE(fault::events().empty());
    }
}

// A refused create, mapping or view ends the run at once: its line, status 1,
// no further call, no pause after it.
TEST_F(Program, RefusedStepPrintsItsLineAndStops)
{
    struct Case {
        fault::Call call;
        const char *line;
    } cases[] = {
        {fault::CREATE_FILE, "failed to CreateFile: 1: The file exists."},
        {fault::CREATE_FILE_MAPPING, "failed to CreateFileMapping: 1: The file exists."},
        {fault::MAP_VIEW_OF_FILE, "failed to MapViewOfFile: 1: The file exists."},
    };
    for (const Case &c : cases) {
        fault::reset();
        fault::set_status(sample_status());
        fault::set_text(80, "The file exists.\r\n");
        fault::refuse(c.call, 1, 80);
        Outcome result = run({"map-view-of-file", "4096", "3", "4096"});
        EXPECT_EQ(result.status, 1) << c.line;
        std::string pass0 = "Creating file: 0\n" + sample_report(0) + "Created file: 0\nwaiting (1s)\n";
        EXPECT_EQ(result.output, pass0 + "Creating file: 1\n" + sample_report(1) + c.line + "\n");
        ASSERT_FALSE(fault::events().empty());
        EXPECT_TRUE(fault::events().back().refused) << "no call may follow the refused one";
        EXPECT_EQ(fault::events().back().call, c.call);
        EXPECT_EQ(fault::pauses(), (std::vector<DWORD>{1000}));
    }
}

TEST_F(Program, RefusedMemoryStatusPrintsItsLineAndTheRunGoesOn)
{
    fault::set_text(31, "A device attached to the system is not functioning.\r\n");
    fault::refuse(fault::GLOBAL_MEMORY_STATUS, 0, 31);
    fault::refuse(fault::GLOBAL_MEMORY_STATUS, 1, 31);
    Outcome result = run({"map-view-of-file", "4096", "1", "1"});
    EXPECT_EQ(result.status, 0);
    std::string failure0 = "Failed to get memory status: 0: A device attached to the system is not functioning.\n";
    EXPECT_EQ(result.output, "Creating file: 0\n" + failure0 +
                                 "Created file: 0\nwaiting (1s)\n"
                                 "waiting before shutdown (60s)\n"
                                 "Failed to get memory status: 1: A device attached to the system is not functioning.\n");
    // The failure line is flushed before the create, as a report would be.
    ASSERT_EQ(fault::events()[2].call, fault::CREATE_FILE);
    EXPECT_EQ(fault::events()[2].flushed, (int64_t)(17 + failure0.size()));
    EXPECT_EQ(fault::pauses(), (std::vector<DWORD>{1000, 60000}));
}

TEST_F(Program, ReportPrintsFiguresInFixedColumns)
{
    std::string output = capture_stdout([] { show_memory_usage(7); });
    EXPECT_EQ(output, sample_report(7));
    EXPECT_EQ(fault::calls(), (std::vector<std::string>{"GlobalMemoryStatusEx length=64"}));
}

TEST_F(Program, WritePassStoresEveryGapthOffsetBelowTheSize)
{
    struct Case {
        const char *map_size;
        const char *write_gap;
        std::vector<uint64_t> stores;
    } cases[] = {
        {"10", "3", {0, 3, 6, 9}},
        {"4097", "4096", {0, 4096}},           // the last store below the size
        {"8192", "4096", {0, 4096}},
        {"100", "100", {0}},                   // gap at or past the size: offset 0 alone
        {"100", "2147483647", {0}},
        {"1", "1", {0}},
        {"4096", "0", {}},                     // no gap, no stores
        {"4096", "-4096", {}},
        {"0", "1", {}},                        // an empty view takes no store
    };
    for (const Case &c : cases) {
        fault::reset();
        Outcome result = run({"map-view-of-file", c.map_size, "2", c.write_gap});
        EXPECT_EQ(result.status, 0);
        std::vector<fault::View> views = fault::views();
        ASSERT_EQ(views.size(), 2u);
        for (const fault::View &view : views)
            EXPECT_EQ(view.stores, c.stores) << "map_size " << c.map_size << ", write_gap " << c.write_gap;
    }
}

// Near 2^32 the next offset does not fit in 32 bits: the pass must still end,
// after the last offset below the size.
TEST_F(Program, WritePassEndsNearTheTopOfTheOffsetRange)
{
    long page = sysconf(_SC_PAGESIZE);
    struct Case {
        const char *write_gap;
        std::vector<uint64_t> offsets;
    } cases[] = {
        {"2147483647", {0, 2147483647ull, 4294967294ull}},
        {"1073741824", {0, 1ull << 30, 2ull << 30, 3ull << 30}},
    };
    for (const Case &c : cases) {
        fault::reset();
        Outcome result = run({"map-view-of-file", "-1", "1", c.write_gap});
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(fault::calls()[3], "CreateFileMappingA file=1000 protection=4 size=0:ffffffff");
        std::vector<fault::View> views = fault::views();
        ASSERT_EQ(views.size(), 1u);
        EXPECT_EQ(views[0].length, 4294967295ull);
        std::vector<uint64_t> pages;
        for (uint64_t offset : c.offsets)
            pages.push_back(offset / page * page);
        EXPECT_EQ(views[0].stored_pages, pages) << "write_gap " << c.write_gap;
    }
}

// map_size is a 32-bit size: 0 to 4294967295 as written, larger numbers
// held at 4294967295, negative ones counted back from 2^32 down to INT_MIN.
// The other two operands are converted like atoi, held at the ends of the int
// range.
TEST_F(Program, OperandsConvertLikeAtoiAndSaturate)
{
    struct Case {
        const char *operand;
        const char *size;
    } cases[] = {
        {"4096", "1000"},
        {" \t+12x", "c"},
        {"-1", "ffffffff"},
        {"-0", "0"},
        {"0x10", "0"},
        {"", "0"},
        {"   ", "0"},
        {"abc", "0"},
        {"\xff" "12", "0"},
        {"2147483647", "7fffffff"},
        {"2147483648", "80000000"},
        {"3221225472", "c0000000"},
        {"4294967295", "ffffffff"},
        {"4294967296", "ffffffff"},            // held, not cut to 0
        {"99999999999999999999999999999999", "ffffffff"},
        {"-2147483648", "80000000"},
        {"-2147483649", "80000000"},
        {"-4294967295", "80000000"},
        {"-99999999999999999999999999999999", "80000000"},
    };
    for (const Case &c : cases) {
        fault::reset();
        fault::refuse(fault::CREATE_FILE_MAPPING, 0, EINVAL);
        Outcome result = run({"map-view-of-file", c.operand, "1", "0"});
        EXPECT_EQ(result.status, 1);
        ASSERT_GE(fault::calls().size(), 4u);
        EXPECT_EQ(fault::calls()[3], std::string("CreateFileMappingA file=1000 protection=4 size=0:") + c.size)
            << "operand \"" << c.operand << "\"";
    }
    EXPECT_EQ(atoi_saturating("2147483648"), INT_MAX);
    EXPECT_EQ(atoi_saturating("-2147483649"), INT_MIN);
    EXPECT_EQ(atoi_saturating(" -17 files"), -17);
}

// Output that cannot be written changes nothing of the run but its status,
// and is said once on standard error.
TEST_F(Program, UnwritableOutputKeepsTheRunAndEndsWithStatusOne)
{
    std::vector<std::string> args = {"map-view-of-file", "4096", "2", "1024"};
    std::vector<char *> argv;
    for (std::string &arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    int full = open("/dev/full", O_WRONLY);
    ASSERT_GE(full, 0);
    int status = -1;
    std::string said = capture(stderr, [&] {
        fflush(stdout);
        int saved = dup(STDOUT_FILENO);
        dup2(full, STDOUT_FILENO);
        status = map_view_of_file_main(4, argv.data(), environ);
        dup2(saved, STDOUT_FILENO);
        close(saved);
    });
    close(full);
    clearerr(stdout);

    EXPECT_EQ(status, 1);
    EXPECT_EQ(said, std::string("map-view-of-file: write error: ") + strerror(ENOSPC) + "\n");
    EXPECT_EQ(fault::pauses(), (std::vector<DWORD>{1000, 1000, 60000}));
    EXPECT_EQ(fault::views().size(), 2u);

    // The next run, with its output written, ends with 0 again.
    EXPECT_EQ(run({"map-view-of-file", "4096", "0", "1"}).status, 0);
}

TEST_F(Program, ErrorTextLosesOneTrailingLineBreak)
{
    struct Case {
        std::string text;
        std::string expected;
    } cases[] = {
        {"Access is denied.\r\n", "Access is denied."},
        {"Access is denied.\n", "Access is denied."},
        {"Access is denied.\r", "Access is denied."},
        {"two\r\n\r\n", "two\r\n"},
        {"line\n\r", "line\n"},                // the CR goes, the LF before it stays
        {"\r\n", ""},
        {"\n", "\n"},                          // one character stays as it is
        {"x", "x"},
        {"in %1 place", "in %1 place"},        // inserts are not expanded
    };
    DWORD code = 100;
    for (const Case &c : cases) {
        fault::set_text(code, c.text);
        fault::set_last_error(code);
        EXPECT_EQ(std::string(last_error_message()), c.expected) << "text \"" << c.text << "\"";
        code++;
    }
}

TEST_F(Program, ErrorTextIsOneBufferAndNeverAnEarlierError)
{
    fault::set_text(5, "Access is denied.\r\n");
    fault::set_text(8, "Not enough memory resources are available to process this command.\r\n");
    fault::set_last_error(5);
    const char *first = last_error_message();
    fault::set_last_error(8);
    const char *second = last_error_message();
    EXPECT_EQ(first, second);
    EXPECT_STREQ(second, "Not enough memory resources are available to process this command.");

    // A code the system has no text for gives an empty text, not the last one.
    fault::set_last_error(12345);
    EXPECT_STREQ(last_error_message(), "");
    fault::refuse(fault::CREATE_FILE, 0, 12345);
    Outcome result = run({"map-view-of-file", "4096", "1", "1"});
    EXPECT_EQ(result.output, "Creating file: 0\n" + sample_report(0) + "failed to CreateFile: 0: \n");
}

} // namespace

namespace {

// Refuses each refusable call of a three-file run in turn: a refused create,
// mapping or view ends the run with its line and status 1, a refused memory
// status puts its line in place of that report and the run goes on.
TEST_F(Program, EveryRefusalIsReportedAtItsStep)
{
    Outcome clean = run({"map-view-of-file", "4096", "3", "4096"});
    ASSERT_EQ(clean.status, 0);
    int total = fault::refusable_calls();
    EXPECT_EQ(total, 3 * 4 + 1);

    const char *text = "Not enough memory resources are available to process this command.";
    for (int k = 0; k < total; k++) {
        fault::reset();
        fault::set_status(sample_status());
        fault::set_text(8, std::string(text) + "\r\n");
        fault::refuse_nth(k, 8);
        Outcome result = run({"map-view-of-file", "4096", "3", "4096"});

        // Each pass, and the end, starts with its report: the refused call
        // belongs to the index of the last report before it.
        const fault::Event *refused = nullptr;
        int index = -1;
        for (const fault::Event &event : fault::events()) {
            if (refused == nullptr && event.call == fault::GLOBAL_MEMORY_STATUS)
                index++;
            if (event.refused) {
                EXPECT_EQ(refused, nullptr) << "one refusal only, call " << k;
                refused = &event;
            }
        }
        ASSERT_NE(refused, nullptr) << "call " << k;
        std::vector<std::string> lines;
        for (size_t start = 0, end; (end = result.output.find('\n', start)) != std::string::npos; start = end + 1)
            lines.push_back(result.output.substr(start, end - start));

        if (refused->call == fault::GLOBAL_MEMORY_STATUS) {
            EXPECT_EQ(result.status, 0) << "call " << k;
            std::string line = "Failed to get memory status: " + std::to_string(index) + ": " + text;
            EXPECT_NE(std::find(lines.begin(), lines.end(), line), lines.end()) << "call " << k << "\n" << result.output;
            EXPECT_EQ(fault::pauses(), (std::vector<DWORD>{1000, 1000, 1000, 60000})) << "call " << k;
        } else {
            const char *step = refused->call == fault::CREATE_FILE           ? "CreateFile"
                               : refused->call == fault::CREATE_FILE_MAPPING ? "CreateFileMapping"
                                                                             : "MapViewOfFile";
            EXPECT_EQ(result.status, 1) << "call " << k;
            EXPECT_EQ(lines.back(), "failed to " + std::string(step) + ": " + std::to_string(index) + ": " + text)
                << "call " << k;
            EXPECT_EQ(&fault::events().back(), refused) << "nothing after the refused call " << k;
            EXPECT_EQ(fault::pauses().size(), (size_t)index) << "call " << k;
        }
    }
}

} // namespace
