// SPDX-License-Identifier: BSD-2-Clause
// Signals become data: a handler writes the signal number into a pipe that
// the event loop waits on, and everything the signal means happens there.
#pragma once

#include <csignal>

// [0] read end (blocking), [1] write end (non-blocking). Each caught signal
// is one 4-byte int in host byte order.
extern int SignalPipe[2];

// Set by the handler on SIGINT and SIGTERM, besides the record: the loop
// looks at it after every wake-up, so a stop asked for while the pipe is
// full is not lost.
extern volatile sig_atomic_t StopRequested;

// The signal that asks for the statistics report on this platform.
extern const int ReportSignal;

// Creates the pipe and installs the handlers. 0, or -1 after logging.
int install_signal_relay();

void relay_signal(int signal_number);
