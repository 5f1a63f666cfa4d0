// SPDX-License-Identifier: BSD-2-Clause
// The process's place among other processes: its standard descriptors and
// its detaching from whoever started it.
#pragma once

// Opens the null device on whichever of descriptors 0, 1 and 2 is closed, so
// that nothing opened later takes their numbers: a tun device on descriptor
// 2 would get every message as a frame, and one on 0 would be replaced by
// the detach. 0, or -1 after logging.
int open_standard_descriptors();

// Becomes a daemon: a child in a new session, in /, with the null device as
// standard input and output. The starting process waits until the daemon
// calls report_ready() and then ends with status 0, or, when the daemon ends
// before that, with status 1: a start that reports success has a daemon
// behind it, with everything that can fail done. Until then the daemon's
// messages still reach the starter's standard error. In the child 0; in the
// caller -1 after logging, when nothing has changed.
int detach();

// Ends the start in the daemon: the null device becomes standard error, the
// log goes to syslog only, and the starting process returns 0.
void report_ready();
