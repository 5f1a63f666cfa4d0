// SPDX-License-Identifier: BSD-2-Clause
// ferrin-6rd status: one screen for the operator who asks why the LAN has
// no IPv6. It reads what is in place and changes nothing. And ferrin-6rd
// show: what a lease would give.
#pragma once

// With the settings at settings_path, for their tunnel. The exit status.
int print_status(const char* settings_path);

// The plan of a lease (the client's words of option 212), printed; with
// radvd, the configuration the LAN's radvd gets once the tunnel is up on
// such a first lease (no prefix of an earlier one is stale yet) instead.
// The exit status.
int show_lease(const char* settings_path, bool radvd, const char* leased_v4,
               const char* const* words, int count);
