// SPDX-License-Identifier: BSD-2-Clause
// What status tells of the lease beyond the plan: when the last lease event
// with the option came, how long the client said the lease lasts, and when
// and why it ended. /run/ferrin/<tun>.lease, written by the lease events
// after their steps; nothing but status reads it. Pure, but for the path.
#pragma once

#include "edge/settings.h"

#include <cstddef>

struct lease_record {
    char uplink[interface_name_size];
    long long renewed;        // wall-clock second of the last up event, 0 for none
    long long lease_seconds;  // the lease's length as the client gave it, 0 when unknown
    long long renew_seconds;  // when the client renews it (T1), 0 when unknown
    long long ended;          // wall-clock second the lease ended, 0 while it runs
    char why[32];             // the client's reason for the end ("RELEASE"), or ""
};

// The client's own words, from its hook's environment (dhclient and dhcpcd:
// new_dhcp_lease_time, new_dhcp_renewal_time, reason; udhcpc: lease), each
// taken only when it is what such a value can be. Any may be null.
void lease_values(const char* lease, const char* renew, const char* reason, lease_record* out);

inline constexpr size_t lease_text_size = 256;
void format_lease_record(const lease_record& record, char* out, size_t size);
// 0, or -1 for a text this helper did not write (out then holds what was read).
int parse_lease_record(const char* text, lease_record* out);

// "/run/ferrin/<tun>.lease"
void lease_record_path(const char* tun, char* out, size_t size);
