// The figures inside a memory cgroup with a limit: the real binary against
// kernel-shaped /proc files and /sys/fs/cgroup trees, made on tmpfs mounts
// in a mount namespace of the run's own and bound over the real ones. Each
// case checks the exact report printed.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "run_harness.h"
#include "scratch_dir_test.h"

namespace {

// The machine every case runs on: 16 GiB, 12 GiB of it available, and a
// process of 1024 pages.
const char *const MEMINFO = "MemTotal:       16777216 kB\n"
                            "MemFree:         1048576 kB\n"
                            "MemAvailable:   12582912 kB\n"
                            "Buffers:          262144 kB\n"
                            "CommitLimit:     8388608 kB\n"
                            "Committed_AS:    1048576 kB\n";
const char *const STATM = "1024 256 128 16 0 512 0\n";

// A mountinfo with the given cgroup mounts after the usual ones.
std::string mountinfo(const std::string &cgroup_lines)
{
    return "22 1 0:21 / /proc rw,nosuid,nodev,noexec,relatime shared:5 - proc proc rw\n"
           "23 1 0:22 / /sys rw,nosuid,nodev,noexec,relatime shared:6 - sysfs sysfs rw\n"
           "24 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n" +
           cgroup_lines;
}

const std::string V2_MOUNT =
    "30 23 0:26 / /sys/fs/cgroup rw,nosuid,nodev,noexec,relatime shared:9 - cgroup2 cgroup2 rw,nsdelegate\n";
const std::string V1_MOUNTS =
    "31 23 0:27 / /sys/fs/cgroup rw,nosuid,nodev,noexec shared:9 - tmpfs tmpfs ro,mode=755\n"
    "32 31 0:28 / /sys/fs/cgroup/unified rw,nosuid,nodev,noexec,relatime shared:10 - cgroup2 cgroup2 rw\n"
    "33 31 0:29 / /sys/fs/cgroup/cpu,cpuacct rw,nosuid,nodev,noexec,relatime shared:11 - cgroup cgroup "
    "rw,cpu,cpuacct\n"
    "34 31 0:30 / /sys/fs/cgroup/memory rw,nosuid,nodev,noexec,relatime shared:12 - cgroup cgroup rw,memory\n";
const std::string V1_CGROUP = "12:cpu,cpuacct:/user/app\n4:memory:/user/app\n1:name=systemd:/user/app\n0::/user/app\n";
const std::string UNLIMITED_V1 = "9223372036854771712\n";

std::string v2_stat(const std::string &inactive_file)
{
    return "anon 1048576\nfile 4194304\nactive_anon 0\ninactive_anon 1048576\nactive_file 0\ninactive_file " +
           inactive_file + "\nunevictable 0\n";
}

std::string v1_stat(const std::string &hierarchical_limit, const std::string &inactive_file)
{
    return "cache 4194304\nrss 1048576\ninactive_file 0\nhierarchical_memory_limit " + hierarchical_limit +
           "\nhierarchical_memsw_limit 9223372036854771712\ntotal_cache 4194304\ntotal_inactive_file " +
           inactive_file + "\ntotal_active_file 0\n";
}

// The report the tool prints for index 0 with these physical figures; the
// commit and address-space lines are those of MEMINFO and STATM.
std::string report(int load, long long total_kib, long long available_kib)
{
    long long total_virtual = ((1ll << 47) - 4096) / 1024;
    char text[1024];
    snprintf(text, sizeof(text),
             "waiting before shutdown (60s)\n"
             "Memory status: 0\n"
             "                    Using memory size: %16d%%\n"
             "                Total physical memory: %16lldKiB\n"
             "            Available physical memory: %16lldKiB\n"
             "               Committed memory limit: %16lldKiB\n"
             "          Available commitable memory: %16lldKiB\n"
             "     Total virtual address space size: %16lldKiB\n"
             " Available virtual address space size: %16lldKiB\n",
             load, total_kib, available_kib, 8388608ll, 7340032ll, total_virtual, total_virtual - 4096);
    return text;
}

// The machine's own figures, where no cgroup limit applies.
const std::string MACHINE = report(25, 16777216, 12582912);

using Files = std::vector<std::pair<std::string, std::string>>; // path below the root, content ("/" makes a directory)

// Writes the files below root, making their directories.
bool write_tree(const std::string &root, const Files &files)
{
    for (const auto &[path, content] : files) {
        std::string full = root + "/" + path;
        for (size_t slash = root.size() + 1; (slash = full.find('/', slash + 1)) != std::string::npos;)
            mkdir(full.substr(0, slash).c_str(), 0755);
        if (content == "/") {
            if (mkdir(full.c_str(), 0755) != 0)
                return false;
            continue;
        }
        FILE *file = fopen(full.c_str(), "w");
        if (file == nullptr || fputs(content.c_str(), file) < 0 || fclose(file) != 0)
            return false;
    }
    return true;
}

struct Case {
    const char *what;
    std::string cgroup;    // /proc/self/cgroup
    std::string mounts;    // /proc/self/mountinfo
    Files tree;            // below /sys/fs/cgroup
    std::string expected;  // the report
};

class Container : public ScratchDirTest {};

TEST_F(Container, FiguresAreTheCgroupsWhereItHasALimit)
{
    const Case cases[] = {
        {"v2, a limit on the process's cgroup: 2 GiB, 1.5 GiB used of which 0.5 GiB inactive file pages",
         "0::/app\n", mountinfo(V2_MOUNT),
         {{"app/memory.max", "2147483648\n"}, {"app/memory.current", "1610612736\n"},
          {"app/memory.stat", v2_stat("536870912")}},
         report(50, 2097152, 1048576)},
        {"v2, a smaller limit on a parent", "0::/app/job\n", mountinfo(V2_MOUNT),
         {{"app/memory.max", "1073741824\n"}, {"app/job/memory.max", "max\n"},
          {"app/job/memory.current", "805306368\n"}, {"app/job/memory.stat", v2_stat("268435456")}},
         report(50, 1048576, 524288)},
        {"v2, max all the way up", "0::/app/job\n", mountinfo(V2_MOUNT),
         {{"app/memory.max", "max\n"}, {"app/job/memory.max", "max\n"}, {"app/job/memory.current", "805306368\n"},
          {"app/job/memory.stat", v2_stat("0")}},
         MACHINE},
        {"v2, a limit above MemTotal", "0::/app\n", mountinfo(V2_MOUNT),
         {{"app/memory.max", "34359738368\n"}, {"app/memory.current", "805306368\n"},
          {"app/memory.stat", v2_stat("0")}},
         MACHINE},
        {"v2, usage above the limit", "0::/app\n", mountinfo(V2_MOUNT),
         {{"app/memory.max", "1073741824\n"}, {"app/memory.current", "1610612736\n"},
          {"app/memory.stat", v2_stat("0")}},
         report(100, 1048576, 0)},
        {"v2, no memory.stat", "0::/app\n", mountinfo(V2_MOUNT),
         {{"app/memory.max", "1073741824\n"}, {"app/memory.current", "536870912\n"}},
         MACHINE},
        {"v2, a memory.max that cannot be read", "0::/app\n", mountinfo(V2_MOUNT),
         {{"app/memory.max", "/"}, {"app/memory.current", "536870912\n"}, {"app/memory.stat", v2_stat("0")}},
         MACHINE},
        {"v2, a memory.max that is not a number", "0::/app\n", mountinfo(V2_MOUNT),
         {{"app/memory.max", "lots\n"}, {"app/memory.current", "536870912\n"}, {"app/memory.stat", v2_stat("0")}},
         MACHINE},
        {"a container's view: the cgroup is /, its limit at the top of the mount", "0::/\n",
         mountinfo("30 23 0:26 / /sys/fs/cgroup ro,nosuid,nodev,noexec,relatime - cgroup2 cgroup rw\n"),
         {{"memory.max", "536870912\n"}, {"memory.current", "268435456\n"}, {"memory.stat", v2_stat("0")}},
         report(50, 524288, 262144)},
        {"a container's view of a subtree: the mount's root is the container's cgroup", "0::/kubepods/pod1/c1/sub\n",
         mountinfo("30 23 0:26 /kubepods/pod1/c1 /sys/fs/cgroup rw,relatime - cgroup2 cgroup2 rw\n"),
         {{"memory.max", "1073741824\n"}, {"sub/memory.max", "max\n"}, {"sub/memory.current", "805306368\n"},
          {"sub/memory.stat", v2_stat("268435456")}},
         report(50, 1048576, 524288)},
        {"v1 with a limit, on a hybrid machine", V1_CGROUP, mountinfo(V1_MOUNTS),
         {{"memory/memory.limit_in_bytes", UNLIMITED_V1},
          {"memory/user/memory.limit_in_bytes", UNLIMITED_V1},
          {"memory/user/app/memory.limit_in_bytes", "4294967296\n"},
          {"memory/user/app/memory.usage_in_bytes", "3221225472\n"},
          {"memory/user/app/memory.stat", v1_stat("4294967296", "1073741824")},
          {"unified/user/app/memory.max", "1073741824\n"}},
         report(50, 4194304, 2097152)},
        {"v1 with the unlimited value", V1_CGROUP, mountinfo(V1_MOUNTS),
         {{"memory/memory.limit_in_bytes", UNLIMITED_V1},
          {"memory/user/memory.limit_in_bytes", UNLIMITED_V1},
          {"memory/user/app/memory.limit_in_bytes", UNLIMITED_V1},
          {"memory/user/app/memory.usage_in_bytes", "3221225472\n"},
          {"memory/user/app/memory.stat", v1_stat("9223372036854771712", "0")}},
         MACHINE},
        {"v1, a limit set above what the mount shows", V1_CGROUP, mountinfo(V1_MOUNTS),
         {{"memory/memory.limit_in_bytes", UNLIMITED_V1},
          {"memory/user/memory.limit_in_bytes", UNLIMITED_V1},
          {"memory/user/app/memory.limit_in_bytes", UNLIMITED_V1},
          {"memory/user/app/memory.usage_in_bytes", "1073741824\n"},
          {"memory/user/app/memory.stat", v1_stat("3221225472", "0")}},
         report(33, 3145728, 2097152)},
        {"no cgroup file system mounted", "0::/app\n", mountinfo(""), {}, MACHINE},
        {"a cgroup path that is not there", "0::/gone\n", mountinfo(V2_MOUNT),
         {{"app/memory.max", "1073741824\n"}},
         MACHINE},
    };
    std::string fake = path("fake");
    ASSERT_EQ(mkdir(fake.c_str(), 0755), 0);
    for (const Case &c : cases) {
        Command command = tool_command({"4096", "0", "0"});
        command.before_exec = [&c, fake] {
            const std::pair<const char *, std::string> proc[] = {{"/proc/meminfo", MEMINFO},
                                                                 {"/proc/self/statm", STATM},
                                                                 {"/proc/self/cgroup", c.cgroup},
                                                                 {"/proc/self/mountinfo", c.mounts}};
            if (!enter_private_mount_namespace() || mount("tmpfs", fake.c_str(), "tmpfs", 0, "size=1m") != 0 ||
                mount("tmpfs", "/sys/fs/cgroup", "tmpfs", 0, "size=1m") != 0)
                _exit(77);
            if (!write_tree("/sys/fs/cgroup", c.tree))
                _exit(78);
            for (const auto &[target, content] : proc) {
                std::string file = fake + target; // fake/proc/meminfo, ...
                if (!write_tree(fake, {{target + 1, content}}) ||
                    mount(file.c_str(), target, nullptr, MS_BIND, nullptr) != 0)
                    _exit(79);
            }
        };
        ToolRun result = run_command(dir, command);
        if (result.status == 77)
            GTEST_SKIP() << "this machine grants no private mount namespace or tmpfs mount to this user";
        ASSERT_EQ(result.status, 0) << c.what << "\n" << result.output << result.errors;
        EXPECT_EQ(result.output, c.expected) << c.what;
    }
}

} // namespace
