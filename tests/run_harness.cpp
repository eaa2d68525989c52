#include "run_harness.h"

#include <cstdio>
#include <cstdlib>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
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

namespace {

// In the child: standard output and error to out and err, the directory and
// the environment set, then the command; never returns.
[[noreturn]] void exec_in(const std::string &dir, const Command &command, int out, int err)
{
    std::vector<std::string> words = command.argv;
    std::vector<char *> argv;
    for (std::string &word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    setpgid(0, 0); // its own process group, so that a deadline ends it and all it started
    dup2(out, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
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

} // namespace

ToolRun run_command(const std::string &dir, const Command &command)
{
    // Files, not pipes: a helper the program leaves running (Wine's server)
    // may hold them open long after the program has ended.
    FILE *out = tmpfile(), *err = tmpfile();
    if (out == nullptr || err == nullptr)
        return {};
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0)
        exec_in(dir, command, fileno(out), fileno(err));
    ToolRun result;
    int status = 0;
    timespec start, now;
    clock_gettime(CLOCK_MONOTONIC, &start);
    while (waitpid(pid, &status, WNOHANG) == 0) {
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (now.tv_sec - start.tv_sec >= command.deadline_seconds) {
            result.timed_out = true;
            kill(-pid, SIGKILL);
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        timespec pause = {0, 2000000};
        nanosleep(&pause, nullptr);
    }
    if (result.timed_out || WIFSIGNALED(status))
        remove_faketime_files(pid);
    result.output = read_all(out);
    result.errors = read_all(err);
    if (result.timed_out)
        result.errors += "\n[killed after " + std::to_string(command.deadline_seconds) + " s]\n";
    else if (WIFEXITED(status))
        result.status = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.signal = WTERMSIG(status);
    return result;
}

pid_t start_command(const std::string &dir, const Command &command, const std::string &output_path)
{
    int out = open(output_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0)
        return -1;
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0)
        exec_in(dir, command, out, out);
    close(out);
    return pid;
}

void remove_faketime_files(pid_t pid)
{
    for (const char *name : {"/dev/shm/faketime_shm_", "/dev/shm/sem.faketime_sem_"})
        unlink((name + std::to_string(pid)).c_str());
}

bool wait_for_text(const std::string &path, const std::string &text, double seconds)
{
    timespec start, now;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        if (read_file(path).find(text) != std::string::npos)
            return true;
        clock_gettime(CLOCK_MONOTONIC, &now);
        if ((double)(now.tv_sec - start.tv_sec) + (double)(now.tv_nsec - start.tv_nsec) / 1e9 > seconds)
            return false;
        timespec pause = {0, 2000000};
        nanosleep(&pause, nullptr);
    }
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

Command no_pause_command(const std::vector<std::string> &operands)
{
    Command command = tool_command(operands);
    command.environment = {"LD_PRELOAD=" NO_PAUSE_PATH, "ASAN_OPTIONS=verify_asan_link_order=0"};
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

bool enter_private_mount_namespace()
{
    return unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
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
