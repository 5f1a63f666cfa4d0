// SPDX-License-Identifier: BSD-2-Clause
// ferrin-6rd status: one screen for the operator who asks why the LAN has
// no IPv6. It reads what is in place and changes nothing.
#pragma once

#include "edge/lease_plan.h"
#include "edge/settings.h"

// found is as read_env gives it for the settings' tunnel, plan the plan read;
// exceptions is the include pattern of the operator's firewall rules.
void print_status(const dhcp_settings& settings, const char* settings_path,
                  const char* exceptions, int found, const tunnel_plan& plan);
