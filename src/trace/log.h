// SPDX-License-Identifier: BSD-2-Clause
// Messages to the system log, facility daemon, in the format glibc's syslog()
// sends ("<priority>Mmm dd hh:mm:ss ident: message"), and copied to standard
// error when asked ("ident: message"). Unlike syslog(), sending never waits:
// a log socket whose reader has stopped reading costs the messages, not the
// daemon. Formats are printf's, with %m for the text of errno.
#pragma once

#include <syslog.h>

#include <cstdint>

inline constexpr char log_socket_default[] = "/dev/log";

// Sets the ident and whether messages are copied to standard error. The
// socket is connected when the first message is sent. May be called again
// (after detaching, without the copy).
void log_open(const char* ident, bool copy_to_stderr, const char* socket_path = log_socket_default);

// Messages of a priority outside the mask (LOG_MASK, LOG_UPTO) are dropped
// unseen. Every priority passes until it is set.
void log_set_mask(int mask);

void log_message(int priority, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The ident messages carry.
const char* log_ident();

// Messages the log socket refused since start-up because it was full.
uint64_t log_dropped();
