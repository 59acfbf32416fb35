#include "discovery/Signals.h"

#include <gtest/gtest.h>

#include <chrono>
#include <sys/mman.h>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

namespace
{
enum class Fault
{
    Segv,
    Bus,
    Fpe,
    Ill
};

struct FaultCase
{
    const char* name;
    Fault fault;
    int sig;
};

void PrintTo(const FaultCase& c, std::ostream* os)
{
    *os << c.name;
}

// Runs the faulting instruction itself; the sanitizers must not catch it first.
__attribute__((no_sanitize("address", "undefined"))) void raiseFault(Fault fault)
{
    switch (fault)
    {
    case Fault::Segv:
    {
        volatile int* volatile nowhere = nullptr;
        *nowhere = 1;
        break;
    }
    case Fault::Bus:
    {
        // A page of a mapping beyond the end of its (empty) file.
        const int fd = memfd_create("empty", 0);
        auto* page = static_cast<volatile char*>(mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0));
        if (page != MAP_FAILED)
        {
            (void)page[0];
        }
        break;
    }
    case Fault::Fpe:
    {
        // Both operands unknown to the compiler, so that a real division instruction runs.
        volatile int one = 1;
        volatile int zero = 0;
        volatile int quotient = one / zero;
        (void)quotient;
        break;
    }
    case Fault::Ill:
        __builtin_trap();
    }
}

// In the child: the daemon's handlers, then the fault. A handler that returned without ending
// the process would run the instruction again and again; the watchdog turns that into exit 3.
void faultWithDaemonHandlers(Fault fault)
{
    const rlimit noCore{0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    ASSERT_TRUE(configSignalHandler());
    std::thread(
        []
        {
            std::this_thread::sleep_for(std::chrono::seconds(10));
            _exit(3);
        })
        .detach();
    raiseFault(fault);
    _exit(4); // the fault did not happen
}

class ProcessorFault : public testing::TestWithParam<FaultCase>
{
};

TEST_P(ProcessorFault, EndsTheProcessByItsSignal)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const FaultCase c = GetParam();
    EXPECT_EXIT(faultWithDaemonHandlers(c.fault), testing::KilledBySignal(c.sig), "");
}

INSTANTIATE_TEST_SUITE_P(Faults, ProcessorFault,
                         testing::Values(FaultCase{"SIGSEGV", Fault::Segv, SIGSEGV},
                                         FaultCase{"SIGBUS", Fault::Bus, SIGBUS},
                                         FaultCase{"SIGFPE", Fault::Fpe, SIGFPE},
                                         FaultCase{"SIGILL", Fault::Ill, SIGILL}),
                         [](const testing::TestParamInfo<FaultCase>& info)
                         { return std::string(info.param.name); });
} // namespace
