// Everything the board's measuring programs ask of the system, behind one
// interface: perf events, the CPU a thread runs on, privileges, commands, and
// the /proc and /sys files, read under a root folder. The programs use
// LinuxSystem; the tests script a System of their own, which lets them run the
// decisions on boards this project has never had.
#pragma once

#include <linux/perf_event.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct CommandOutput {
    std::string text;
    std::string problem;  // empty when the program ran and exited 0
};

class System {
public:
    System() = default;
    virtual ~System() = default;
    System(const System&) = delete;
    System& operator=(const System&) = delete;
    System(System&&) = delete;
    System& operator=(System&&) = delete;

    // A new event for this thread, counting only while it runs on cpu: its
    // descriptor, or -errno.
    virtual int perf_event_open(const perf_event_attr& attr, int cpu, int group_fd) = 0;
    // PERF_EVENT_IOC_ENABLE or _DISABLE of the whole group that fd leads.
    virtual void ioctl_group(int fd, unsigned long request) = 0;
    // PERF_FORMAT_GROUP's words: nr, time enabled, time running, a value a
    // member.
    virtual std::vector<std::uint64_t> read_group(int fd, std::size_t members) = 0;
    virtual void close(int fd) = 0;

    virtual int current_cpu() = 0;
    // The CPUs this thread may run on: its affinity, which a cgroup's cpuset
    // or taskset narrows.
    virtual std::vector<int> allowed_cpus() = 0;
    // Binds this thread to cpu: 0, or the errno of the refusal.
    virtual int pin(int cpu) = 0;
    // Root, or CAP_PERFMON or CAP_SYS_ADMIN in effect, in the first user
    // namespace, where perf checks them: may count the kernel whatever the
    // paranoid setting.
    virtual bool privileged() = 0;
    // What a program on PATH printed with these arguments, or why it printed
    // nothing usable: it is absent, or it failed (its own error then shows on
    // standard error).
    virtual CommandOutput command_output(const std::string& program, const std::string& arguments) = 0;

    // A file under the root folder, such as "/proc/cpuinfo", or nothing if it
    // cannot be read.
    [[nodiscard]] std::optional<std::string> file(const std::string& path) const;
    // The names in a folder under the root, sorted.
    [[nodiscard]] std::vector<std::string> folder(const std::string& path) const;
    void set_root(std::string root) { root_ = std::move(root); }

private:
    std::string root_;
};

class LinuxSystem final : public System {
public:
    int perf_event_open(const perf_event_attr& attr, int cpu, int group_fd) override;
    void ioctl_group(int fd, unsigned long request) override;
    std::vector<std::uint64_t> read_group(int fd, std::size_t members) override;
    void close(int fd) override;
    int current_cpu() override;
    std::vector<int> allowed_cpus() override;
    int pin(int cpu) override;
    bool privileged() override;
    CommandOutput command_output(const std::string& program, const std::string& arguments) override;
};

// A file's first line without its end, or nothing.
std::optional<std::string> first_line(const System& system, const std::string& path);
// A file's first line as a whole number, or nothing.
std::optional<long long> number_in(const System& system, const std::string& path);
// Whether this process is in the first user namespace, whose identity maps
// every user to itself; a container's maps a few, and perf does not honour
// its root. A kernel without /proc/self/uid_map has no other namespace.
bool initial_user_namespace(const System& system);
