// SPDX-License-Identifier: BSD-2-Clause
// The program name: the last path component of the first command-line word.
// It fills the usage line, is the syslog ident and names the PID file.
#pragma once

void set_program_name(const char* argv0);
const char* program_name();
