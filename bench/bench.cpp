// Measures map-view-of-file against a bare reference that does the same work
// without reports and progress lines, side by side in one run, on a tmpfs,
// with the pauses shortened by faketime:
//
//   1. the write pass: time per written page, tool against reference;
//   2. one file's overhead besides the work, at 1,000 and 10,000 files;
//   3. the tool's own private memory (RssAnon) at the final report, with
//      1 file and with 1,000 files.
//
// Each time is the best of several runs, the runs of the two programs taken
// in turn. Usage: map-view-of-file-bench [runs] (default 5).
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/statfs.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

extern char **environ;

namespace {

const char *const WORK_ROOT = "/dev/shm";
const unsigned long TMPFS_MAGIC_NUMBER = 0x01021994;

std::string work_dir;

double now_seconds()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

void clean_work_dir()
{
    std::string command = "find '" + work_dir + "' -mindepth 1 -delete";
    if (system(command.c_str()) != 0)
        fprintf(stderr, "could not clean %s\n", work_dir.c_str());
}

// Starts program, its clock sped up by libfaketime, in the work directory, its standard output
// going to out_fd; returns the pid.
pid_t start(const char *program, const std::vector<std::string> &operands, const char *speed, int out_fd)
{
    std::vector<std::string> words = {program};
    words.insert(words.end(), operands.begin(), operands.end());
    std::vector<char *> argv;
    for (std::string &word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    // libfaketime in the program itself, so that the pid is the program's.
    // A null speed runs the program as it is, with real pauses.
    std::vector<std::string> settings;
    if (speed != nullptr)
        settings = {"LD_PRELOAD=" LIBFAKETIME_PATH, std::string("FAKETIME=+0 x") + speed};
    std::vector<char *> env;
    for (std::string &setting : settings)
        env.push_back(setting.data());
    for (char **entry = environ; *entry != nullptr; entry++)
        if (strncmp(*entry, "LD_PRELOAD=", 11) != 0 && strncmp(*entry, "FAKETIME=", 9) != 0)
            env.push_back(*entry);
    env.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, work_dir.c_str());
    posix_spawn_file_actions_adddup2(&actions, out_fd, STDOUT_FILENO);
    pid_t pid = -1;
    if (posix_spawn(&pid, program, &actions, nullptr, argv.data(), env.data()) != 0) {
        perror("posix_spawn");
        exit(1);
    }
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// Seconds one run takes, from start to exit, output to a file on the tmpfs.
double time_run(const char *program, const std::vector<std::string> &operands)
{
    clean_work_dir();
    std::string out_path = work_dir + "/output";
    int out_fd = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    double begin = now_seconds();
    pid_t pid = start(program, operands, "1000000", out_fd);
    int status = 0;
    waitpid(pid, &status, 0);
    double elapsed = now_seconds() - begin;
    close(out_fd);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "%s failed (status %d)\n", program, status);
        exit(1);
    }
    return elapsed;
}

struct Pair {
    double tool, reference;
};

// Best of runs, the two programs in turn.
Pair best_of(int runs, const std::vector<std::string> &operands)
{
    Pair best = {1e30, 1e30};
    for (int run = 0; run < runs; run++) {
        double tool = time_run(TOOL_PATH, operands);
        double reference = time_run(REFERENCE_PATH, operands);
        best.tool = tool < best.tool ? tool : best.tool;
        best.reference = reference < best.reference ? reference : best.reference;
    }
    return best;
}

// The tool's RssAnon in KiB, read right after it printed its final report
// (speed as for start).
long rss_anon_at_final_report(int n_files, const char *speed)
{
    clean_work_dir();
    int fds[2];
    if (pipe(fds) != 0)
        exit(1);
    pid_t pid = start(TOOL_PATH, {"4096", std::to_string(n_files), "4096"}, speed, fds[1]);
    close(fds[1]);
    FILE *out = fdopen(fds[0], "r");
    char line[512];
    int after_shutdown_line = -1;
    long rss_anon = -1;
    while (fgets(line, sizeof(line), out)) {
        if (strcmp(line, "waiting before shutdown (60s)\n") == 0)
            after_shutdown_line = 0;
        else if (after_shutdown_line >= 0 && ++after_shutdown_line == 8) {
            std::string status_path = "/proc/" + std::to_string(pid) + "/status";
            FILE *status = fopen(status_path.c_str(), "r");
            char field[256];
            while (status && fgets(field, sizeof(field), status))
                if (sscanf(field, "RssAnon: %ld kB", &rss_anon) == 1)
                    break;
            if (status)
                fclose(status);
            kill(pid, SIGKILL);
            break;
        }
    }
    fclose(out);
    waitpid(pid, nullptr, 0);
    return rss_anon;
}

void print_machine()
{
    utsname name;
    uname(&name);
    char model[256] = "unknown";
    FILE *cpuinfo = fopen("/proc/cpuinfo", "r");
    char line[512];
    while (cpuinfo && fgets(line, sizeof(line), cpuinfo))
        if (strncmp(line, "model name", 10) == 0) {
            snprintf(model, sizeof(model), "%s", strchr(line, ':') + 2);
            model[strcspn(model, "\n")] = '\0';
            break;
        }
    if (cpuinfo)
        fclose(cpuinfo);
    printf("Machine: %s, %ld cores, %ld MiB, Linux %s; files on tmpfs (%s)\n\n", model, sysconf(_SC_NPROCESSORS_ONLN),
           (long)(sysconf(_SC_PHYS_PAGES) * (sysconf(_SC_PAGESIZE) / 1024) / 1024), name.release, WORK_ROOT);
}

} // namespace

int main(int argc, char **argv)
{
    int runs = argc > 1 ? atoi(argv[1]) : 5;
    if (runs < 1)
        runs = 1;
    struct statfs fs;
    if (statfs(WORK_ROOT, &fs) != 0 || (unsigned long)fs.f_type != TMPFS_MAGIC_NUMBER) {
        fprintf(stderr, "%s is not a tmpfs\n", WORK_ROOT);
        return 1;
    }
    char templ[] = "/dev/shm/map-view-of-file-bench-XXXXXX";
    if (mkdtemp(templ) == nullptr) {
        perror("mkdtemp");
        return 1;
    }
    work_dir = templ;
    // Each shortened pause still ends on a timer; a 1 ns slack (inherited by
    // the runs) keeps the kernel's default 50 us from swamping the figures.
    prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);

    print_machine();
    printf("| what | tool | bare reference | result | goal |\n|---|---|---|---|---|\n");
    fflush(stdout);

    // 1. The write pass: 4 files of 256 MiB, a store every 4 KiB, against the
    // same run with no stores; the difference is the write pass alone.
    const uint64_t map_size = 256u << 20, files = 4, page = 4096;
    const double pages = (double)(files * (map_size / page));
    Pair written = best_of(runs, {std::to_string(map_size), std::to_string(files), "4096"});
    Pair unwritten = best_of(runs, {std::to_string(map_size), std::to_string(files), "0"});
    double tool_ns = (written.tool - unwritten.tool) / pages * 1e9;
    double reference_ns = (written.reference - unwritten.reference) / pages * 1e9;
    printf("| write pass, per written page | %.0f ns | %.0f ns | ratio %.3f | <= 1.05 |\n", tool_ns, reference_ns,
           tool_ns / reference_ns);
    fflush(stdout);

    // 2. One file's overhead besides the work: reports and progress lines.
    double overhead_us[2];
    int counts[2] = {1000, 10000};
    for (int k = 0; k < 2; k++) {
        Pair run = best_of(runs, {"4096", std::to_string(counts[k]), "4096"});
        overhead_us[k] = (run.tool - run.reference) / counts[k] * 1e6;
        printf("| one run of %d files of 4 KiB | %.3f s | %.3f s | %.1f us per file | <= 30 us |\n", counts[k],
               run.tool, run.reference, overhead_us[k]);
        fflush(stdout);
    }
    printf("| overhead, 10,000 files against 1,000 | | | %+.0f%% | within 20%% |\n",
           (overhead_us[1] / overhead_us[0] - 1) * 100);

    // 3. Private memory at the final report.
    // With libfaketime in the process, its own memory counts too; the first
    // row is the tool alone (one real one-second pause).
    long bare = rss_anon_at_final_report(1, nullptr);
    long one = rss_anon_at_final_report(1, "1000"), thousand = rss_anon_at_final_report(1000, "1000");
    printf("| RssAnon at the final report, 1 file, real pauses | %ld KiB | | | <= 256 KiB |\n", bare);
    printf("| RssAnon at the final report, 1 file | %ld KiB | | | <= 256 KiB |\n", one);
    printf("| RssAnon at the final report, 1,000 files | %ld KiB | | %+ld KiB against 1 file | within 16 KiB |\n",
           thousand, thousand - one);

    clean_work_dir();
    rmdir(work_dir.c_str());
    return 0;
}
