// SPDX-License-Identifier: BSD-2-Clause
// The command line: options, the process-wide settings they fill, and the
// parsing of the 6rd prefix, numbers and the relay address.
#pragma once

#include "daemon/tunnel_context.h"

inline constexpr const char identity[] = "ferrin/1.6";

// Settings fixed once the options are read (DebugLevel lives with the trace).
extern int ForegroundFlag;
extern const char* UserArg;
extern const char* CommonLenArg;
extern const char* BatchArg;  // -b: packets per direction per wake-up

void print_usage();

// Reads the options. Returns the index of the first positional argument, or
// -1 when the process is to end with status 1 (-V, -h, a bad option), after
// printing what the option asks for.
int read_options(int argc, char** argv);

// The value of text when it is a whole decimal number from min to max
// inclusive; otherwise logs why, naming the value by label, and returns -1.
int parse_number(const char* text, int min, int max, const char* label);

// Fills ctx.prefix and ctx.prefix_len from "prefix/prefixlen". 0, or -1 after logging.
int parse_prefix_argument(const char* argument, TunnelContext& ctx);

// Fills ctx.relay_addr from a numeric IPv4 address. 0, or -1 after logging.
int resolve_relay(const char* text, TunnelContext& ctx);
