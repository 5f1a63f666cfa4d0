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
// standard input, output and error; the starting process ends with status 0.
// Everything that can fail is done before the fork, so a start that reports
// success has a daemon behind it. In the child 0; in the caller -1 after
// logging, when nothing has changed.
int detach();
