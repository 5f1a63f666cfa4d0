// SPDX-License-Identifier: BSD-2-Clause
#pragma once

// Switches to the named user: its group, that group as the only
// supplementary group, then its user ID. 0, or -1 after logging.
int drop_privileges(const char* user);
