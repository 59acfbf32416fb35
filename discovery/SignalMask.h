#pragma once

#include <csignal>
#include <pthread.h>

// While it lives, the threads started keep every signal blocked: a sent one goes to the main
// thread or the signal relay, which only wait, so that neither a storm of them nor a stop by
// `kill -SEGV` ever interrupts the service's threads in their calls. A processor fault in one of
// those threads still ends the process by its signal, with a core dump: the kernel forces the
// default action of a fault that is blocked, as the handler does for one that is not.
class WorkerSignalMask
{
public:
    WorkerSignalMask()
    {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, &m_previous);
    }
    ~WorkerSignalMask() { pthread_sigmask(SIG_SETMASK, &m_previous, nullptr); }
    WorkerSignalMask(const WorkerSignalMask&) = delete;
    WorkerSignalMask& operator=(const WorkerSignalMask&) = delete;

private:
    sigset_t m_previous{};
};
