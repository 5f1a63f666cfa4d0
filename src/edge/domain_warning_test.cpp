// SPDX-License-Identifier: BSD-2-Clause
#include "edge/domain_warning.h"
#include "edge/text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string warning_for(const char* my_v4)
{
    tunnel_plan plan{};
    copy_text(plan.my_v4, sizeof plan.my_v4, my_v4);
    copy_text(plan.relay, sizeof plan.relay, "203.0.113.1");
    char text[domain_warning_size];
    const int warned = domain_warning(plan, text, sizeof text);
    EXPECT_EQ(warned, text[0] != '\0') << my_v4;
    return text;
}

TEST(DomainWarning, NamesEachRangeTheDaemonRefusesInsideTheDomain)
{
    const struct {
        const char* my_v4;
        const char* range;  // nullptr: no warning
    } cases[] = {
        {"10.1.2.3", "a private address (10.0.0.0/8)"},
        {"172.16.0.1", "a private address (172.16.0.0/12)"},
        {"172.31.255.254", "a private address (172.16.0.0/12)"},
        {"192.168.1.7", "a private address (192.168.0.0/16)"},
        {"169.254.10.20", "a link-local address (169.254.0.0/16)"},
        {"172.15.255.255", nullptr},
        {"172.32.0.1", nullptr},
        {"100.64.0.1", nullptr},  // shared address space: the daemon takes it
        {"192.0.2.1", nullptr},
        {"198.51.100.7", nullptr},
    };
    for (const auto& c : cases) {
        const std::string text = warning_for(c.my_v4);
        if (c.range == nullptr)
            EXPECT_EQ(text, "") << c.my_v4;
        else
            EXPECT_EQ(text.rfind(std::string(c.my_v4) + " is " + c.range + ": ", 0), 0u) << text;
    }
}

TEST(DomainWarning, SaysWhatStillWorks)
{
    EXPECT_EQ(warning_for("10.1.2.3"),
              "10.1.2.3 is a private address (10.0.0.0/8): ferrin refuses every packet to or "
              "from a site of the 6rd domain at such an address, so the other sites can't be "
              "reached and can't reach this one; only traffic through the relay 203.0.113.1 "
              "(the IPv6 internet) works");
}

}  // namespace
