#pragma once

#include <csignal>

// Starts the relay thread that writes the record of each signal and stops the service on SIGINT,
// SIGTERM and SIGSEGV, and installs signalHandler for signals 1 to 30 except SIGKILL, SIGCHLD
// and SIGSTOP. False, with a WARNING naming the failed call and nothing installed, when the
// relay cannot be started.
bool configSignalHandler();

// Lets the relay thread write what is still pending, then ends and joins it.
void stopSignalRelay();
