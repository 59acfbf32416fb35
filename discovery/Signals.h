#pragma once

#include <csignal>

// Installs signalHandler for signals 1 to 30 except SIGKILL, SIGCHLD and SIGSTOP, and starts the
// relay thread that writes the record of each signal and stops the service on SIGINT, SIGTERM
// and SIGSEGV.
void configSignalHandler();

// The installed handler. It only hands the signal number to the relay thread (no records, no
// allocation, no lock), except for a fault raised by the processor itself, which it lets end
// the process by that signal.
void signalHandler(int sig, siginfo_t* info, void* context);

// Runs on the relay thread: the record of one signal and, for a stop signal, the stop request.
void processSignal(int sig);

// Lets the relay thread write what is still pending, then ends and joins it.
void stopSignalRelay();
