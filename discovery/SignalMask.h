#pragma once

#include <csignal>
#include <pthread.h>

// While it lives, the threads started keep the signals that are sent (all but the processor's
// faults) blocked: those go to the main thread and the signal relay, which only wait, and a storm
// of them never interrupts the service's threads in their calls.
class WorkerSignalMask
{
public:
    WorkerSignalMask()
    {
        sigset_t sent;
        sigfillset(&sent);
        for (int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL})
        {
            sigdelset(&sent, fault);
        }
        pthread_sigmask(SIG_BLOCK, &sent, &m_previous);
    }
    ~WorkerSignalMask() { pthread_sigmask(SIG_SETMASK, &m_previous, nullptr); }
    WorkerSignalMask(const WorkerSignalMask&) = delete;
    WorkerSignalMask& operator=(const WorkerSignalMask&) = delete;

private:
    sigset_t m_previous{};
};
