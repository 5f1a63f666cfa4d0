// SPDX-License-Identifier: BSD-2-Clause
// The tunnel's environment file, /run/ferrin/TUN.env: the daemon's arguments
// for the unit, and what the addr and down steps need. It is the only state
// the helper keeps between two calls; /run starts empty at every boot.
#pragma once

#include "edge/lease_plan.h"

#include <cstddef>

inline constexpr const char state_dir[] = "/run/ferrin";

// Text of the file for a plan of tunnel tun.
inline constexpr size_t env_text_size = 2048;
void format_env(const tunnel_plan& plan, const char* tun, char* out, size_t size);

// Reads the fields back from a file's text; unknown keys are skipped, missing
// ones left empty. 0, or -1 after logging a line that is not KEY=VALUE.
int parse_env(const char* text, const char* name, tunnel_plan* out);

// "/run/ferrin/<tun>.env"
void env_path(const char* tun, char* out, size_t size);

// Reads the file of tun. 1 with the plan and its text, 0 when there is no
// file, -1 after logging.
int read_env(const char* tun, tunnel_plan* plan, char* text, size_t size);

// Replaces the file of tun with text in one step: a reader (the unit, a
// concurrent hook) sees the old file or the new one, never a part.
// 0, or -1 after logging.
int write_env(const char* tun, const char* text);

// Removes the file of tun; no file is fine. 0, or -1 after logging.
int remove_env(const char* tun);

// "/run/ferrin/<tun>.up": a copy of the file as it was when the tunnel came
// up, so that a stop can tell the operator's stop from a lease's restart.
void up_path(const char* tun, char* out, size_t size);

// Takes the helper's lock, which serialises every reading and writing of
// this state, waiting at most seconds; it is held until the process ends.
// 0, or -1 after logging.
int lock_state(int seconds);
