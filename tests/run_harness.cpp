#include "run_harness.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Reads both pipes to their ends.
void drain(int out_fd, int err_fd, std::string &out, std::string &err)
{
    struct pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
    std::string *sinks[2] = {&out, &err};
    int open_count = 2;
    char buffer[65536];
    while (open_count > 0) {
        if (poll(fds, 2, -1) < 0)
            continue;
        for (int k = 0; k < 2; k++) {
            if (fds[k].fd < 0 || fds[k].revents == 0)
                continue;
            ssize_t got = read(fds[k].fd, buffer, sizeof(buffer));
            if (got > 0) {
                sinks[k]->append(buffer, (size_t)got);
            } else {
                close(fds[k].fd);
                fds[k].fd = -1;
                open_count--;
            }
        }
    }
}

} // namespace

ToolRun run_tool(const std::string &dir, const ToolOptions &options)
{
    std::vector<std::string> words;
    if (options.faketime) {
        words = {FAKETIME_PATH, "-f", "+0 x1000"};
        words.push_back(options.argv0);
    } else {
        words.push_back(options.argv0);
    }
    words.insert(words.end(), options.args.begin(), options.args.end());
    std::vector<char *> argv;
    for (std::string &word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);

    int out_pipe[2], err_pipe[2];
    if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0)
        return {};
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out_pipe[1], STDOUT_FILENO);
        dup2(err_pipe[1], STDERR_FILENO);
        close(out_pipe[0]);
        close(out_pipe[1]);
        close(err_pipe[0]);
        close(err_pipe[1]);
        if (chdir(dir.c_str()) != 0)
            _exit(126);
        // The sanitizer runtime would refuse faketime's library ahead of it.
        setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 1);
        if (options.before_exec)
            options.before_exec();
        execv(options.faketime ? FAKETIME_PATH : TOOL_PATH, argv.data());
        _exit(127);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    ToolRun result;
    drain(out_pipe[0], err_pipe[0], result.output, result.errors);
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status))
        result.status = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.signal = WTERMSIG(status);
    return result;
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
    std::string content;
    FILE *file = fopen(path.c_str(), "rb");
    if (file == nullptr)
        return "<missing>";
    char buffer[65536];
    size_t got;
    while ((got = fread(buffer, 1, sizeof(buffer), file)) > 0)
        content.append(buffer, got);
    fclose(file);
    return content;
}

void write_file(const std::string &path, const std::string &content)
{
    FILE *file = fopen(path.c_str(), "wb");
    if (file == nullptr)
        return;
    fwrite(content.data(), 1, content.size(), file);
    fclose(file);
}
