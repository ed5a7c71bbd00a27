#include "perf_counters.h"

#include <linux/perf_event.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <limits>

const CounterEvent counter_events[3] = {
    {"cycles", PERF_TYPE_HARDWARE, PERF_COUNT_HW_CPU_CYCLES, ""},
    {"instructions", PERF_TYPE_HARDWARE, PERF_COUNT_HW_INSTRUCTIONS, ""},
    {"task-clock", PERF_TYPE_SOFTWARE, PERF_COUNT_SW_TASK_CLOCK, " ns"},
};

namespace {

int perf_paranoid()
{
    std::ifstream setting("/proc/sys/kernel/perf_event_paranoid");
    int value = 0;
    if (!(setting >> value))
        return -1;
    return value;
}

}  // namespace

std::string counter_failure(int error, int paranoid)
{
    std::string why = std::string("perf_event_open: ") + std::strerror(error);
    switch (error) {
    case ENOENT:
    case EOPNOTSUPP:
        return why + " (this CPU, or the kernel's driver for it, has no such counter; a virtual machine often has none)";
    case EACCES:
    case EPERM:
        return why + " (kernel.perf_event_paranoid is " + (paranoid >= 0 ? std::to_string(paranoid) : "unknown") +
               "; run as root, or set it to 2 or lower)";
    case ENOSYS: return why + " (the kernel, or an emulator in between, offers no perf events)";
    default: return why;
    }
}

PerfCounter::PerfCounter(const CounterEvent& event)
{
    perf_event_attr attr{};
    attr.size = sizeof attr;
    attr.type = event.type;
    attr.config = event.config;
    attr.disabled = 1;
    // User space only: counting the kernel's own work is what a paranoid
    // setting of 2, common on boards, forbids; the kernels make no system calls.
    attr.exclude_kernel = 1;
    attr.exclude_hv = 1;
    attr.read_format = PERF_FORMAT_TOTAL_TIME_ENABLED | PERF_FORMAT_TOTAL_TIME_RUNNING;
    fd_ = static_cast<int>(syscall(SYS_perf_event_open, &attr, 0, -1, -1, 0));
    if (fd_ < 0)
        reason_ = counter_failure(errno, perf_paranoid());
}

PerfCounter::~PerfCounter()
{
    if (fd_ >= 0)
        close(fd_);
}

void PerfCounter::start() const
{
    ioctl(fd_, PERF_EVENT_IOC_RESET, 0);
    ioctl(fd_, PERF_EVENT_IOC_ENABLE, 0);
}

double PerfCounter::stop() const
{
    ioctl(fd_, PERF_EVENT_IOC_DISABLE, 0);
    std::uint64_t values[3] = {};  // count, time enabled, time running
    if (read(fd_, values, sizeof values) != static_cast<ssize_t>(sizeof values))
        return std::numeric_limits<double>::quiet_NaN();
    if (values[2] == 0 || values[2] == values[1])
        return static_cast<double>(values[0]);
    return static_cast<double>(values[0]) * static_cast<double>(values[1]) / static_cast<double>(values[2]);
}
