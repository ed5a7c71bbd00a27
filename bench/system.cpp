#include "system.h"

#include <dirent.h>
#include <linux/capability.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <utility>

std::optional<std::string> System::file(const std::string& path) const
{
    std::ifstream in(root_ + path);
    if (!in)
        return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad())
        return std::nullopt;
    return text.str();
}

std::vector<std::string> System::folder(const std::string& path) const
{
    std::vector<std::string> names;
    const std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir((root_ + path).c_str()), closedir);
    if (!dir)
        return names;
    while (const dirent* entry = readdir(dir.get()))
        if (entry->d_name[0] != '.')
            names.emplace_back(entry->d_name);
    std::sort(names.begin(), names.end());
    return names;
}

std::optional<std::string> first_line(const System& system, const std::string& path)
{
    auto text = system.file(path);
    if (!text)
        return std::nullopt;
    return text->substr(0, text->find('\n'));
}

std::optional<long long> number_in(const System& system, const std::string& path)
{
    const auto line = first_line(system, path);
    if (!line)
        return std::nullopt;
    try {
        std::size_t used = 0;
        const long long value = std::stoll(*line, &used, 0);
        return used == line->size() ? std::optional<long long>(value) : std::nullopt;
    } catch (const std::logic_error&) {
        return std::nullopt;
    }
}

bool initial_user_namespace(const System& system)
{
    const auto map = system.file("/proc/self/uid_map");
    if (!map)
        return true;
    std::istringstream lines(*map);
    long long inside = -1, outside = -1, count = 0;
    lines >> inside >> outside >> count;
    std::string more;
    return inside == 0 && outside == 0 && count == 4294967295LL && !(lines >> more);
}

int LinuxSystem::perf_event_open(const perf_event_attr& attr, int cpu, int group_fd)
{
    const long fd = syscall(SYS_perf_event_open, &attr, 0, cpu, group_fd, 0);
    return fd < 0 ? -errno : static_cast<int>(fd);
}

void LinuxSystem::ioctl_group(int fd, unsigned long request)
{
    ioctl(fd, request, PERF_IOC_FLAG_GROUP);
}

std::vector<std::uint64_t> LinuxSystem::read_group(int fd, std::size_t members)
{
    std::vector<std::uint64_t> words(3 + members);
    const auto size = static_cast<ssize_t>(words.size() * sizeof words[0]);
    if (::read(fd, words.data(), words.size() * sizeof words[0]) != size)
        words.clear();
    return words;
}

void LinuxSystem::close(int fd)
{
    ::close(fd);
}

int LinuxSystem::current_cpu()
{
    return sched_getcpu();
}

std::vector<int> LinuxSystem::allowed_cpus()
{
    std::vector<int> cpus;
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0)
        for (int cpu = 0; cpu < CPU_SETSIZE; cpu++)
            if (CPU_ISSET(cpu, &set))
                cpus.push_back(cpu);
    return cpus;
}

int LinuxSystem::pin(int cpu)
{
    if (cpu < 0 || cpu >= CPU_SETSIZE)
        return EINVAL;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    return sched_setaffinity(0, sizeof set, &set) == 0 ? 0 : errno;
}

bool LinuxSystem::privileged()
{
    if (!initial_user_namespace(*this))
        return false;
    if (geteuid() == 0)
        return true;
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    std::array<__user_cap_data_struct, 2> data{};
    if (syscall(SYS_capget, &header, data.data()) != 0)
        return false;
    const auto has = [&](int cap) { return (data[cap / 32].effective & (1U << (cap % 32))) != 0; };
    constexpr int cap_perfmon = 38;  // CAP_PERFMON, newer than some kernel headers
    return has(CAP_SYS_ADMIN) || has(cap_perfmon);
}

CommandOutput LinuxSystem::command_output(const std::string& program, const std::string& arguments)
{
    const char* path = std::getenv("PATH");
    std::istringstream folders(path != nullptr ? path : "");
    std::string folder;
    bool found = false;
    while (!found && std::getline(folders, folder, ':')) {
        folder += "/";
        folder += program;
        found = access(folder.c_str(), X_OK) == 0;
    }
    if (!found)
        return {"", program + " is not installed"};
    // The program was found on PATH above; the shell only splits its arguments.
    std::FILE* pipe = popen((program + " " + arguments).c_str(), "r");  // NOLINT(cert-env33-c)
    if (pipe == nullptr)
        return {"", program + " cannot be started: " + std::strerror(errno)};
    CommandOutput said;
    std::array<char, 256> chunk{};
    while (std::fgets(chunk.data(), chunk.size(), pipe) != nullptr)
        said.text += chunk.data();
    const int status = pclose(pipe);
    if (status != 0)
        said.problem = program + " " + arguments + " failed: " +
                       (WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status))
                                          : std::string("it did not run to its end"));
    return said;
}
