// SPDX-License-Identifier: BSD-2-Clause
// The locked PID file in /var/run that keeps a second daemon of the same
// program name from starting.
#pragma once

// Creates and exclusively locks /var/run/<name>.pid. 0, or -1 after logging.
int make_pidfile(const char* name);

// Writes the calling process's ID and a newline into the held file.
// 0, or -1 after logging.
int write_pidfile();

// Removes the held file if it is still ours, empties it if it can't be
// removed, and releases it. Does nothing when no file is held.
void remove_pidfile();

// Opens path for writing (created with mode 0644 when missing) and takes an
// exclusive lock on it without waiting. The descriptor, or -1 with errno set.
int open_locked_file(const char* path);
