// SPDX-License-Identifier: BSD-2-Clause
// Linux has no SIGINFO; SIGUSR1 asks for the statistics report.
#include "daemon/signal_relay.h"

#include <csignal>

const int ReportSignal = SIGUSR1;
