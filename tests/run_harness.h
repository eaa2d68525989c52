// Runs a program in a directory of its own and collects what it prints: the
// real map-view-of-file binary (with its pauses shortened a thousandfold by
// libfaketime) or any other command, such as Wine running the Windows build.
#ifndef MAP_VIEW_OF_FILE_TESTS_RUN_HARNESS_H
#define MAP_VIEW_OF_FILE_TESTS_RUN_HARNESS_H

#include <functional>
#include <sys/types.h>
#include <string>
#include <vector>

struct ToolRun {
    int status = -1;    // exit status, or -1 when a signal ended the run
    int signal = 0;     // the signal that ended it, if one did
    bool timed_out = false; // killed at its deadline
    std::string output; // standard output
    std::string errors; // standard error
};

struct Command {
    std::string path;                       // the file to execute
    std::vector<std::string> argv;          // its argument vector, argv[0] as typed
    std::vector<std::string> environment;   // "NAME=value" added to the inherited environment
    std::function<void()> before_exec;      // runs in the child, in the directory, before the exec
    int deadline_seconds = 20;              // then it is killed: a run that hangs fails, it is never waited out
};

ToolRun run_command(const std::string &dir, const Command &command);

// Starts the command in dir with its standard output and error going to the
// file output_path, and returns at once with its pid (or -1).
pid_t start_command(const std::string &dir, const Command &command, const std::string &output_path);
// Removes what libfaketime leaves in /dev/shm for process pid when a signal
// ends it before it can clean up (it does at any normal exit).
void remove_faketime_files(pid_t pid);
// Waits until the file at path holds text, for at most seconds; whether it does.
bool wait_for_text(const std::string &path, const std::string &text, double seconds);

// The Linux tool with these operands, its clock run a thousand times fast by
// libfaketime, so that its pauses take a thousandth of their time.
Command tool_command(const std::vector<std::string> &operands);
ToolRun run_tool(const std::string &dir, const std::vector<std::string> &operands);
// The Linux tool with its pauses skipped by a preload that opens no
// descriptor, for runs started with standard descriptors closed.
Command no_pause_command(const std::vector<std::string> &operands);

// The labels of the seven figure lines of a memory status report, in order.
extern const char *const FIGURE_LABELS[7];

// A memory status figure line with its value replaced by "<value>" when the
// line has the report's layout (label ending in column 38, one space, the
// value right-aligned in 16 characters, then "%" or "KiB"); any other line
// as it is. Two runs' outputs then compare equal line by line when only
// their figures differ.
std::string figure_layout(const std::string &line);

// Enters a mount namespace of its own, where mounts stay private to it.
bool enter_private_mount_namespace();

std::string make_scratch_dir();
void remove_tree(const std::string &dir);
std::vector<std::string> split_lines(const std::string &text);
std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &content);

#endif
