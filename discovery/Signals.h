#pragma once

#include <csignal>

// Installs signalHandler for signals 1 to 30 except SIGKILL, SIGCHLD and SIGSTOP, and starts the
// relay thread that writes the record of each signal and stops the service on SIGINT, SIGTERM
// and SIGSEGV.
void configSignalHandler();

// Lets the relay thread write what is still pending, then ends and joins it.
void stopSignalRelay();
