// The CPU-counter code as kernel_counters uses it, tested on the task clock:
// the software event that every Linux offers, so that only the event differs
// from a board's cycles and instructions. Under qemu, which passes no perf
// events through, what is checked is the line that says why.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "fir.h"
#include "perf_counters.h"

namespace {

const CounterEvent& task_clock()
{
    for (const CounterEvent& event : counter_events)
        if (std::strcmp(event.name, "task-clock") == 0)
            return event;
    throw std::logic_error("no task-clock event");
}

TEST(PerfCounter, CountsWhatRunsBetweenStartAndStopAlone)
{
    PerfCounter clock(task_clock());
    if (!clock.available()) {
        // Natively the task clock is always there, unless the system forbids counting at all.
        const bool emulated = !std::string(TEST_EMULATOR).empty();
        EXPECT_TRUE(emulated || clock.reason().find("perf_event_paranoid") != std::string::npos) << clock.reason();
        EXPECT_EQ(clock.reason().rfind("perf_event_open: ", 0), 0u) << clock.reason();
        return;
    }
    const int outputs = 8192, taps = 64;
    std::vector<float> coeffs(taps, 0.5f), in(outputs + taps, 1.0f), out(outputs, 0.0f);
    clock.start();
    const double idle = clock.stop();
    clock.start();
    fir(coeffs.data(), in.data(), out.data(), outputs + taps, taps);
    const double busy = clock.stop();
    // Half a million multiply-adds at -O0 take a millisecond or more; the empty bracket microseconds.
    EXPECT_GT(busy, 100000.0);
    EXPECT_LT(idle, busy / 10);
}

TEST(PerfCounter, SaysWhyACounterIsMissingInWordsAUserCanActOn)
{
    EXPECT_NE(counter_failure(ENOENT, 2).find("no such counter"), std::string::npos);
    EXPECT_NE(counter_failure(EOPNOTSUPP, 2).find("no such counter"), std::string::npos);
    EXPECT_NE(counter_failure(EACCES, 3).find("perf_event_paranoid is 3"), std::string::npos);
    EXPECT_NE(counter_failure(EPERM, -1).find("perf_event_paranoid is unknown"), std::string::npos);
    EXPECT_NE(counter_failure(ENOSYS, 2).find("emulator"), std::string::npos);
    EXPECT_EQ(counter_failure(EINVAL, 2), std::string("perf_event_open: ") + std::strerror(EINVAL));
}

}  // namespace
