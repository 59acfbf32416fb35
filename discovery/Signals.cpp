#include "discovery/Signals.h"

#include "common/Logger.h"
#include "discovery/RedfishDiscovery.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

// Runs on the relay thread: the record of one signal and, for a stop signal, the stop request.
static void processSignal(int sig)
{
    LOG_DISC(INFO) << "Received signal " << sig << " signal name is: " << strsignal(sig);
    if (sig == SIGINT || sig == SIGTERM || sig == SIGSEGV)
    {
        RedfishDiscovery::instance()->stop();
    }
}

namespace
{
constexpr int LAST_HANDLED_SIGNAL = 30;
// A byte that no signal number takes: asks the relay thread to end.
constexpr unsigned char RELAY_QUIT = 0;

int s_relayPipe[2] = {-1, -1};
std::thread s_relay;
// Deliveries that found the pipe full, per signal number, so that none is lost (above all not a
// SIGTERM after a storm of other signals).
std::atomic<unsigned> s_overflow[LAST_HANDLED_SIGNAL + 1];

bool isProcessorFault(int sig, const siginfo_t* info)
{
    // A positive si_code means the kernel raised the signal for the faulting instruction; a
    // signal sent with kill, tgkill or sigqueue carries a code of 0 or below.
    const bool faultKind = sig == SIGSEGV || sig == SIGBUS || sig == SIGFPE || sig == SIGILL;
    return faultKind && info != nullptr && info->si_code > 0;
}

void relayLoop()
{
    unsigned char batch[256];
    for (;;)
    {
        const ssize_t count = read(s_relayPipe[0], batch, sizeof(batch));
        if (count < 0 && errno == EINTR)
        {
            continue;
        }
        if (count <= 0)
        {
            return;
        }
        bool quit = false;
        for (ssize_t i = 0; i < count; ++i)
        {
            if (batch[i] == RELAY_QUIT)
            {
                quit = true;
            }
            else
            {
                processSignal(batch[i]);
            }
        }
        for (int sig = 1; sig <= LAST_HANDLED_SIGNAL; ++sig)
        {
            for (unsigned lost = s_overflow[sig].exchange(0); lost > 0; --lost)
            {
                processSignal(sig);
            }
        }
        if (quit)
        {
            return;
        }
    }
}
// The installed handler. It only hands the signal number to the relay thread (no records, no
// allocation, no lock), except for a fault raised by the processor itself, which it lets end
// the process by that signal.
void signalHandler(int sig, siginfo_t* info, void* /*context*/)
{
    const int savedErrno = errno;
    if (isProcessorFault(sig, info))
    {
        // Returning would run the faulting instruction again: with the default action restored
        // it now ends the process by this signal, leaving a core dump to look at.
        signal(sig, SIG_DFL);
        errno = savedErrno;
        return;
    }
    const unsigned char byte = static_cast<unsigned char>(sig);
    if (write(s_relayPipe[1], &byte, 1) != 1)
    {
        s_overflow[sig].fetch_add(1);
    }
    errno = savedErrno;
}

// The pipe from the handler to the relay thread, and the thread: false, with a WARNING naming
// the failed call, when they cannot be had.
bool startSignalRelay()
{
    if (pipe2(s_relayPipe, O_CLOEXEC) == -1)
    {
        LOG_DISC(WARNING) << "pipe2() failed" << std::strerror(errno);
        return false;
    }
    // The write end never blocks: a handler must return at once, even during a storm.
    if (fcntl(s_relayPipe[1], F_SETFL, O_NONBLOCK) == -1)
    {
        LOG_DISC(WARNING) << "fcntl() failed" << std::strerror(errno);
        close(s_relayPipe[0]);
        close(s_relayPipe[1]);
        s_relayPipe[0] = s_relayPipe[1] = -1;
        return false;
    }
    s_relay = std::thread(relayLoop);
    return true;
}
} // namespace

bool configSignalHandler()
{
    // Without the relay a stop signal would stop nothing: no handler is installed then, and the
    // start fails.
    if (s_relayPipe[0] == -1 && !startSignalRelay())
    {
        return false;
    }

    struct sigaction action;
    std::memset(&action, 0, sizeof(action));
    action.sa_sigaction = signalHandler;
    action.sa_flags = SA_SIGINFO;
    for (int sig = 1; sig <= LAST_HANDLED_SIGNAL; ++sig)
    {
        if (sig == SIGKILL || sig == SIGCHLD || sig == SIGSTOP)
        {
            continue;
        }
        if (sigaction(sig, &action, nullptr) == -1)
        {
            LOG_DISC(WARNING) << "Error setting signal handler for: " << sig;
        }
    }
    return true;
}

void stopSignalRelay()
{
    if (!s_relay.joinable())
    {
        return;
    }
    // The relay drains the pipe, so a full pipe has room again shortly.
    const unsigned char quit = RELAY_QUIT;
    for (int attempt = 0; attempt < 1000; ++attempt)
    {
        if (write(s_relayPipe[1], &quit, 1) == 1)
        {
            s_relay.join();
            return;
        }
        usleep(1000);
    }
    s_relay.detach();
}
