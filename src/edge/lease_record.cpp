// SPDX-License-Identifier: BSD-2-Clause
#include "edge/lease_record.h"

#include "edge/env_file.h"
#include "edge/text.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// Seconds as a client writes them: 1 to 9 digits, nothing else.
long long seconds_of(const char* text)
{
    if (text == nullptr || std::strlen(text) == 0 || std::strlen(text) > 9 ||
        std::strspn(text, "0123456789") != std::strlen(text))
        return 0;
    return std::strtoll(text, nullptr, 10);
}

// A reason as the clients name them: "RELEASE", "EXPIRE", "NOCARRIER".
void take_reason(const char* reason, lease_record* out)
{
    out->why[0] = '\0';
    if (reason != nullptr && std::strlen(reason) < sizeof out->why &&
        std::strspn(reason, "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_") == std::strlen(reason))
        copy_text(out->why, sizeof out->why, reason);
}

}  // namespace

void lease_values(const char* lease, const char* renew, const char* reason, lease_record* out)
{
    out->lease_seconds = seconds_of(lease);
    out->renew_seconds = seconds_of(renew);
    take_reason(reason, out);
}

void format_lease_record(const lease_record& r, char* out, size_t size)
{
    std::snprintf(out, size, "uplink %s\nrenewed %lld\nlease %lld\nrenew %lld\nended %lld %s\n",
                  r.uplink[0] != '\0' ? r.uplink : "-", r.renewed, r.lease_seconds,
                  r.renew_seconds, r.ended, r.why[0] != '\0' ? r.why : "-");
}

int parse_lease_record(const char* text, lease_record* out)
{
    *out = lease_record{};
    char uplink[64], why[64];
    if (std::sscanf(text, "uplink %63s\nrenewed %lld\nlease %lld\nrenew %lld\nended %lld %63s", uplink,
                    &out->renewed, &out->lease_seconds, &out->renew_seconds, &out->ended,
                    why) != 6 ||
        !valid_interface_name(uplink))
        return -1;
    copy_text(out->uplink, sizeof out->uplink, uplink);
    take_reason(std::strcmp(why, "-") == 0 ? nullptr : why, out);
    return 0;
}

void lease_record_path(const char* tun, char* out, size_t size)
{
    std::snprintf(out, size, "%s/%s.lease", state_dir, tun);
}
