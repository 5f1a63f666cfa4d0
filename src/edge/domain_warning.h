// SPDX-License-Identifier: BSD-2-Clause
// A lease that works only in part. The daemon refuses every IPv4 address of
// the private and link-local ranges when it rebuilds one from a 6rd address
// (mapping/acceptance.h), and every site of a domain is reached at the
// address embedded in its prefix: in a domain on such addresses nothing
// passes between its sites, and only what goes through the relay works. Pure.
#pragma once

#include "edge/lease_plan.h"

#include <cstddef>

inline constexpr size_t domain_warning_size = 320;

// Writes the warning for plan into out (size bytes) and returns 1, or
// returns 0 and writes "" when the plan's own address is one the daemon
// takes inside the domain.
int domain_warning(const tunnel_plan& plan, char* out, size_t size);
