// Runs the real map-view-of-file binary in a directory of its own, with its
// pauses shortened a thousandfold by faketime, and collects what it prints.
#ifndef MAP_VIEW_OF_FILE_TESTS_RUN_HARNESS_H
#define MAP_VIEW_OF_FILE_TESTS_RUN_HARNESS_H

#include <functional>
#include <string>
#include <vector>

struct ToolRun {
    int status = -1;    // exit status, or -1 when a signal ended the run
    int signal = 0;     // the signal that ended it, if one did
    std::string output; // standard output
    std::string errors; // standard error
};

struct ToolOptions {
    std::vector<std::string> args;          // the operands
    std::string argv0 = TOOL_PATH;          // the program name as typed
    bool faketime = true;                   // false: run it bare (for runs that never pause)
    std::function<void()> before_exec;      // runs in the child, in the directory, before the tool starts
};

ToolRun run_tool(const std::string &dir, const ToolOptions &options);

std::string make_scratch_dir();
void remove_tree(const std::string &dir);
std::vector<std::string> split_lines(const std::string &text);
std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &content);

#endif
