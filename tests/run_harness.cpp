#include "run_harness.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::string read_all(FILE *file)
{
    std::string content;
    rewind(file);
    char buffer[65536];
    size_t got;
    while ((got = fread(buffer, 1, sizeof(buffer), file)) > 0)
        content.append(buffer, got);
    fclose(file);
    return content;
}

} // namespace

ToolRun run_command(const std::string &dir, const Command &command)
{
    std::vector<std::string> words = command.argv;
    std::vector<char *> argv;
    for (std::string &word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);

    // Files, not pipes: a helper the program leaves running (Wine's server)
    // may hold them open long after the program has ended.
    FILE *out = tmpfile(), *err = tmpfile();
    if (out == nullptr || err == nullptr)
        return {};
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fileno(out), STDOUT_FILENO);
        dup2(fileno(err), STDERR_FILENO);
        if (chdir(dir.c_str()) != 0)
            _exit(126);
        for (const std::string &setting : command.environment)
            putenv(strdup(setting.c_str()));
        if (command.before_exec)
            command.before_exec();
        close_range(3, ~0u, 0); // the program gets standard input, output and error alone
        execv(command.path.c_str(), argv.data());
        _exit(127);
    }
    ToolRun result;
    int status = 0;
    waitpid(pid, &status, 0);
    result.output = read_all(out);
    result.errors = read_all(err);
    if (WIFEXITED(status))
        result.status = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.signal = WTERMSIG(status);
    return result;
}

Command tool_command(const std::vector<std::string> &operands)
{
    // libfaketime preloaded into the tool itself (the faketime command would
    // run it as a child, and hide a signal that ended it behind status 1).
    Command command;
    command.path = TOOL_PATH;
    command.argv = {TOOL_PATH};
    command.argv.insert(command.argv.end(), operands.begin(), operands.end());
    // The sanitizer runtime would refuse libfaketime ahead of it.
    command.environment = {"LD_PRELOAD=" LIBFAKETIME_PATH, "FAKETIME=+0 x1000",
                           "ASAN_OPTIONS=verify_asan_link_order=0"};
    return command;
}

ToolRun run_tool(const std::string &dir, const std::vector<std::string> &operands)
{
    return run_command(dir, tool_command(operands));
}

const char *const FIGURE_LABELS[7] = {
    "Using memory size",           "Total physical memory",
    "Available physical memory",   "Committed memory limit",
    "Available commitable memory", "Total virtual address space size",
    "Available virtual address space size",
};

std::string figure_layout(const std::string &line)
{
    for (const char *name : FIGURE_LABELS) {
        std::string label = std::string(name) + ":";
        std::string start = std::string(38 - label.size(), ' ') + label + " ";
        std::string unit = label == "Using memory size:" ? "%" : "KiB";
        if (line.size() < start.size() + 16 + unit.size() || line.compare(0, start.size(), start) != 0 ||
            line.compare(line.size() - unit.size(), unit.size(), unit) != 0)
            continue;
        std::string field = line.substr(start.size(), line.size() - start.size() - unit.size());
        size_t first_digit = field.find_first_not_of(' ');
        if (first_digit == std::string::npos ||
            field.find_first_not_of("0123456789", first_digit) != std::string::npos)
            continue;
        return start + "<value>" + unit;
    }
    return line;
}

std::string make_scratch_dir()
{
    char templ[] = "/tmp/mvof-run-XXXXXX";
    return mkdtemp(templ) ? templ : "";
}

void remove_tree(const std::string &dir)
{
    if (dir.rfind("/tmp/mvof-", 0) != 0)
        return;
    std::string command = "rm -rf '" + dir + "'";
    if (system(command.c_str()) != 0)
        fprintf(stderr, "could not remove %s\n", dir.c_str());
}

std::vector<std::string> split_lines(const std::string &text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::string read_file(const std::string &path)
{
    FILE *file = fopen(path.c_str(), "rb");
    return file == nullptr ? "<missing>" : read_all(file);
}

void write_file(const std::string &path, const std::string &content)
{
    FILE *file = fopen(path.c_str(), "wb");
    if (file == nullptr)
        return;
    fwrite(content.data(), 1, content.size(), file);
    fclose(file);
}
