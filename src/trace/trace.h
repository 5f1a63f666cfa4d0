// SPDX-License-Identifier: BSD-2-Clause
// Per-packet diagnostics on standard error: trace lines from debug level 1,
// hex dumps from level 2. Never sent to syslog.
#pragma once

#include <netinet/in.h>

#include <cstddef>

// Count of -d options; fixed once the command line is read.
extern int DebugLevel;

// True when trace lines are written. Test it before computing anything of a
// line, so that a silent daemon pays one comparison per trace point.
inline bool tracing()
{
    return DebugLevel >= 1;
}

// True when packets are dumped as well.
inline bool dumping()
{
    return DebugLevel >= 2;
}

// The functions below are cold: a packet path that reaches one is tracing, or
// off its common path, so the compiler lays their calls out of the way.

// Writes one formatted line and a newline to standard error at level 1 or more.
void trace(const char* format, ...) __attribute__((format(printf, 1, 2), cold));

// Writes a text to standard error unchanged (the header line of a dump).
void trace_raw(const char* text) __attribute__((cold));

// Writes length bytes as lines of 16 hex cells and their printable characters.
void hex_dump(const void* data, size_t length) __attribute__((cold));

// Address texts in process-wide buffers. A v4_text result lasts until the next
// call of v4_text; a v6_text result until the second call of v6_text after it,
// so two consecutive v6_text results can stand in one line.
const char* v4_text(const in_addr* addr) __attribute__((cold));
const char* v6_text(const in6_addr* addr) __attribute__((cold));
