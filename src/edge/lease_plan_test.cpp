// SPDX-License-Identifier: BSD-2-Clause
#include "edge/env_file.h"
#include "edge/lease_plan.h"
#include "edge/settings.h"
#include "edge/text.h"
#include "testing.h"

#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Standard error for the length of a call: the helper logs with LOG_PERROR,
// so every syslog message is also written there as "ferrin-6rd: <message>".
template <typename Call>
std::string logged_by(Call call)
{
    openlog("ferrin-6rd", LOG_PERROR, LOG_DAEMON);
    test::CapturedStderr captured;
    call();
    closelog();
    return captured.text();
}

std::string line(const std::string& message)
{
    return message.empty() ? "" : "ferrin-6rd: " + message + "\n";
}

// The words a hook hands over, up to the first null. A plain array: g++ 12
// at -O3 warns falsely about vectors inside a table of such records.
struct lease_input {
    const char* words[8];
    const char* leased_v4;
};

int word_count(const lease_input& input)
{
    int count = 0;
    while (count < 8 && input.words[count] != nullptr)
        ++count;
    return count;
}

int plan_of(const lease_input& input, const dhcp_settings& settings, tunnel_plan* plan)
{
    sixrd_option option;
    if (parse_sixrd_option(input.words, word_count(input), "eth0", &option) == -1)
        return -1;
    return plan_tunnel(option, input.leased_v4, "eth0", settings, plan);
}

dhcp_settings settings_with(const char* lan, uint64_t subnet_id, const char* options,
                            const char* own_ipv4 = "")
{
    dhcp_settings settings;
    default_settings(&settings);
    const char* p = lan;
    while (settings.lan_count < max_lans &&
           next_word(&p, settings.lans[settings.lan_count].name, interface_name_size) == 1)
        ++settings.lan_count;
    settings.lan_subnet_id = subnet_id;
    std::snprintf(settings.daemon_options, sizeof settings.daemon_options, "%s", options);
    std::snprintf(settings.own_ipv4, sizeof settings.own_ipv4, "%s", own_ipv4);
    return settings;
}

// The three clients hand the same lease over in their own shapes: dhclient
// one text (new_option_6rd), dhcpcd four variables (new_sixrd_*, the relays
// in one), udhcpc one text with the prefix written out in full (ip6rd).
TEST(LeasePlan, EachClientsFormatGivesTheDaemonsArgumentsAndAddresses)
{
    struct Case {
        const char* what;
        lease_input input;
        dhcp_settings settings;
        const char* prefix;
        const char* relay;
        const char* my_v4;
        const char* options;
        const char* delegated;
        const char* tun_address;
        const char* lan_address;
        const char* unreachable;
        std::string message;
    };
    const dhcp_settings plain = settings_with("", 1, "-u ferrin");
    const dhcp_settings lan = settings_with("eth1", 1, "-u ferrin");
    const Case cases[] = {
        {"dhclient", {{"0 32 2001:db8:: 203.0.113.1 203.0.113.2"}, "192.0.2.1"}, plain,
         "2001:db8::/32", "203.0.113.1", "192.0.2.1", "-u ferrin", "2001:db8:c000:201::/64",
         "2001:db8:c000:201::1/32", "", "", ""},
        {"dhcpcd", {{"0", "32", "2001:db8::", "203.0.113.1 203.0.113.2"}, "192.0.2.1"}, plain,
         "2001:db8::/32", "203.0.113.1", "192.0.2.1", "-u ferrin", "2001:db8:c000:201::/64",
         "2001:db8:c000:201::1/32", "", "", ""},
        {"udhcpc",
         {{"0 32 2001:0db8:0000:0000:0000:0000:0000:0000 203.0.113.1 203.0.113.2"}, "192.0.2.1"},
         plain, "2001:db8::/32", "203.0.113.1", "192.0.2.1", "-u ferrin",
         "2001:db8:c000:201::/64", "2001:db8:c000:201::1/32", "", "", ""},
        {"hook passing the words unquoted",
         {{"0", "32", "2001:db8::", "203.0.113.1", "203.0.113.2"}, "192.0.2.1"}, plain,
         "2001:db8::/32", "203.0.113.1", "192.0.2.1", "-u ferrin", "2001:db8:c000:201::/64",
         "2001:db8:c000:201::1/32", "", "", ""},
        {"commas between the values", {{"0,32,2001:db8::,203.0.113.1,203.0.113.2"}, "192.0.2.1"},
         plain, "2001:db8::/32", "203.0.113.1", "192.0.2.1", "-u ferrin",
         "2001:db8:c000:201::/64", "2001:db8:c000:201::1/32", "", "", ""},
        // Bits after the prefix length are the ISP's noise, not the prefix.
        {"bits after the prefix length", {{"0 32 2001:db8:ffff::1 203.0.113.1"}, "192.0.2.1"},
         plain, "2001:db8::/32", "203.0.113.1", "192.0.2.1", "-u ferrin",
         "2001:db8:c000:201::/64", "2001:db8:c000:201::1/32", "", "", ""},
        // The README's example: 8 common bits, a /56, a LAN with subnet 1.
        {"dhcpcd, -r 8 and a LAN", {{"8", "32", "2001:db8::", "203.0.113.1"}, "192.0.2.1"}, lan,
         "2001:db8::/32", "203.0.113.1", "192.0.2.1", "-u ferrin -r 8", "2001:db8:2:100::/56",
         "2001:db8:2:100::1/32", "2001:db8:2:101::1/64", "2001:db8:2:100::/56", ""},
        {"udhcpc, -r 16 in 3fff::/20",
         {{"16 20 3fff:0000:0000:0000:0000:0000:0000:0000 203.0.113.1"}, "192.0.2.15"},
         settings_with("eth1", 0x2a, ""), "3fff::/20", "203.0.113.1", "192.0.2.15", "-r 16",
         "3fff:20:f000::/36", "3fff:20:f000::1/20", "3fff:20:f000:2a::1/64", "3fff:20:f000::/36",
         ""},
        {"a /64 leaves no room for a subnet id", {{"0 32 2001:db8:: 203.0.113.1"}, "192.0.2.1"},
         settings_with("eth1", 5, "-u ferrin"), "2001:db8::/32", "203.0.113.1", "192.0.2.1",
         "-u ferrin", "2001:db8:c000:201::/64", "2001:db8:c000:201::1/32",
         "2001:db8:c000:201::1/64", "", ""},
        {"a subnet id too wide for the /56", {{"0 24 2001:db8:: 203.0.113.1"}, "192.0.2.1"},
         settings_with("eth1", 0x100, "-u ferrin"), "2001:d00::/24", "203.0.113.1", "192.0.2.1",
         "-u ferrin", "2001:dc0:2:100::/56", "2001:dc0:2:100::1/24", "", "",
         "eth0: lan_subnet_id 100 does not fit in the 8 bits of the /56 delegated prefix; no "
         "LAN address on eth1"},
        {"own_ipv4 behind a NAT", {{"0 32 2001:db8:: 203.0.113.1"}, "192.0.2.1"},
         settings_with("", 1, "-u ferrin", "198.51.100.7"), "2001:db8::/32", "203.0.113.1",
         "198.51.100.7", "-u ferrin", "2001:db8:c633:6407::/64", "2001:db8:c633:6407::1/32", "",
         "", ""},
        {"the daemon's widest prefix", {{"31 63 2001:db8:: 203.0.113.1"}, "192.0.2.1"}, plain,
         "2001:db8::/63", "203.0.113.1", "192.0.2.1", "-u ferrin -r 31", "2001:db8:0:1::/64",
         "2001:db8:0:1::1/63", "", "", ""},
        {"the daemon's shortest prefix", {{"0 16 2001:db8:: 203.0.113.1"}, "192.0.2.1"}, plain,
         "2001::/16", "203.0.113.1", "192.0.2.1", "-u ferrin", "2001:c000:201::/48",
         "2001:c000:201::1/16", "", "", ""},
        // With any uplink, the lease's own is left out of the LANs.
        {"the uplink named as a LAN", {{"0 32 2001:db8:: 203.0.113.1"}, "192.0.2.1"},
         settings_with("eth0", 1, "-u ferrin"), "2001:db8::/32", "203.0.113.1", "192.0.2.1",
         "-u ferrin", "2001:db8:c000:201::/64", "2001:db8:c000:201::1/32", "", "",
         "eth0: lan_interface eth0: the uplink of this lease, not a LAN; no LAN address on eth0"},
        // The daemon sends to the first relay only.
        {"later relays are never used", {{"0 32 2001:db8:: 203.0.113.1 127.0.0.1"}, "192.0.2.1"},
         plain, "2001:db8::/32", "203.0.113.1", "192.0.2.1", "-u ferrin",
         "2001:db8:c000:201::/64", "2001:db8:c000:201::1/32", "", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        tunnel_plan plan;
        int result = -2;
        const std::string output = logged_by([&] { result = plan_of(c.input, c.settings, &plan); });
        ASSERT_EQ(result, 0) << output;
        EXPECT_EQ(output, line(c.message));
        EXPECT_STREQ(plan.prefix, c.prefix);
        EXPECT_STREQ(plan.relay, c.relay);
        EXPECT_STREQ(plan.my_v4, c.my_v4);
        EXPECT_STREQ(plan.options, c.options);
        EXPECT_STREQ(plan.uplink, "eth0");
        EXPECT_STREQ(plan.delegated, c.delegated);
        EXPECT_STREQ(plan.tun_address, c.tun_address);
        EXPECT_STREQ(plan.lan_count ? plan.lans[0].address : "", c.lan_address);
        EXPECT_STREQ(plan.lan_count ? plan.lans[0].name : "", c.lan_address[0] != '\0' ? "eth1" : "");
        EXPECT_STREQ(plan.unreachable, c.unreachable);
    }
}

TEST(LeasePlan, BadOptionsAreRefusedWithOneLineNamingTheValue)
{
    struct Case {
        lease_input input;
        std::string message;
        const char* own_ipv4 = "";
    };
    const Case cases[] = {
        {{{"33 32 2001:db8:: 203.0.113.1"}, "192.0.2.1"},
         "eth0: IPv4MaskLen 33: out of range (0 to 32)"},
        {{{"40", "32", "2001:db8::", "203.0.113.1"}, "192.0.2.1"},
         "eth0: IPv4MaskLen 40: out of range (0 to 32)"},
        {{{"32 32 2001:db8:: 203.0.113.1"}, "192.0.2.1"},
         "eth0: IPv4MaskLen 32: every bit of the IPv4 address would be common, and ferrin's -r "
         "takes 0 to 31"},
        {{{"-1 32 2001:db8:: 203.0.113.1"}, "192.0.2.1"}, "eth0: IPv4MaskLen -1: not a number"},
        {{{"0 15 2001:db8:: 203.0.113.1"}, "192.0.2.1"},
         "eth0: 6rdPrefixLen 15: out of range (ferrin takes 16 to 63)"},
        {{{"31 64 2001:db8:: 203.0.113.1"}, "192.0.2.1"},
         "eth0: 6rdPrefixLen 64: out of range (ferrin takes 16 to 63)"},
        {{{"0 32x 2001:db8:: 203.0.113.1"}, "192.0.2.1"}, "eth0: 6rdPrefixLen 32x: not a number"},
        {{{"8", "41", "2001:db8::", "203.0.113.1"}, "192.0.2.1"},
         "eth0: delegated prefix length 65 (6rdPrefixLen 41 + 32 - IPv4MaskLen 8) is longer than "
         "64"},
        {{{"0 32 192.0.2.0 203.0.113.1"}, "192.0.2.1"},
         "eth0: 6rdPrefix 192.0.2.0: not an IPv6 address"},
        {{{"0", "32", "2001:db8::", ""}, "192.0.2.1"},
         "eth0: option 212 has no 6rdBRIPv4Address"},
        {{{"0 32 2001:db8:: 203.0.113.1 2001:db8::1"}, "192.0.2.1"},
         "eth0: 6rdBRIPv4Address 2001:db8::1: not an IPv4 address"},
        {{{"garbage"}, "192.0.2.1"},
         "eth0: option 212 \"garbage\" is incomplete: IPv4MaskLen, 6rdPrefixLen, 6rdPrefix and "
         "6rdBRIPv4Address expected"},
        {{{"0 32 2001:db8:: 203.0.113.1"}, "192.0.2"},
         "eth0: leased address 192.0.2: not an IPv4 address"},
        // Well-formed values that no relay, host or 6rd domain can have.
        {{{"0 32 2001:db8:: 0.0.0.0"}, "192.0.2.1"},
         "eth0: 6rdBRIPv4Address 0.0.0.0: an address of 0.0.0.0/8 (this network), not a relay"},
        {{{"0 32 2001:db8:: 0.1.2.3 203.0.113.1"}, "192.0.2.1"},
         "eth0: 6rdBRIPv4Address 0.1.2.3: an address of 0.0.0.0/8 (this network), not a relay"},
        {{{"0 32 2001:db8:: 127.0.0.1"}, "192.0.2.1"},
         "eth0: 6rdBRIPv4Address 127.0.0.1: a loopback address, not a relay"},
        {{{"0 32 2001:db8:: 224.0.0.1"}, "192.0.2.1"},
         "eth0: 6rdBRIPv4Address 224.0.0.1: a multicast address, not a relay"},
        {{{"0 32 2001:db8:: 239.255.255.255"}, "192.0.2.1"},
         "eth0: 6rdBRIPv4Address 239.255.255.255: a multicast address, not a relay"},
        {{{"0 32 2001:db8:: 255.255.255.255"}, "192.0.2.1"},
         "eth0: 6rdBRIPv4Address 255.255.255.255: the limited broadcast address, not a relay"},
        {{{"0 32 2001:db8:: 192.0.2.1"}, "192.0.2.1"},
         "eth0: 6rdBRIPv4Address 192.0.2.1: this host's own address, not a relay"},
        {{{"0 32 2001:db8:: 198.51.100.7"}, "192.0.2.1"},
         "eth0: 6rdBRIPv4Address 198.51.100.7: this host's own address, not a relay",
         "198.51.100.7"},
        {{{"0 32 2001:db8:: 192.0.2.1"}, "192.0.2.1"},
         "eth0: 6rdBRIPv4Address 192.0.2.1: this host's own address, not a relay", "198.51.100.7"},
        {{{"0 32 2001:db8:: 203.0.113.1"}, "0.0.0.0"},
         "eth0: leased address 0.0.0.0: an address of 0.0.0.0/8 (this network), not a host's "
         "address"},
        {{{"0 32 2001:db8:: 203.0.113.1"}, "127.0.0.1"},
         "eth0: leased address 127.0.0.1: a loopback address, not a host's address"},
        // Linux takes these, the ISP's network routes neither.
        {{{"0 32 2001:db8:: 240.0.0.1"}, "192.0.2.1"},
         "eth0: 6rdBRIPv4Address 240.0.0.1: a reserved address (240.0.0.0/4), not a relay"},
        {{{"0 32 2001:db8:: 169.254.0.1"}, "192.0.2.1"},
         "eth0: 6rdBRIPv4Address 169.254.0.1: a link-local address (169.254.0.0/16), not a relay"},
        {{{"0 32 2001:db8:: 203.0.113.1"}, "240.0.0.9"},
         "eth0: leased address 240.0.0.9: a reserved address (240.0.0.0/4), not a host's address"},
        {{{"0 32 2001:db8:: 203.0.113.1"}, "169.254.7.7"},
         "eth0: leased address 169.254.7.7: a link-local address (169.254.0.0/16), not a host's "
         "address"},
        {{{"0 16 ff02:: 203.0.113.1"}, "192.0.2.1"},
         "eth0: 6rdPrefix ff02::/16: a multicast prefix, not a global unicast one"},
        {{{"0 16 fe80:: 203.0.113.1"}, "192.0.2.1"},
         "eth0: 6rdPrefix fe80::/16: a link-local prefix, not a global unicast one"},
        {{{"0 16 febf:: 203.0.113.1"}, "192.0.2.1"},
         "eth0: 6rdPrefix febf::/16: a link-local prefix, not a global unicast one"},
        {{{"0 16 fec0:: 203.0.113.1"}, "192.0.2.1"},
         "eth0: 6rdPrefix fec0::/16: a site-local prefix, not a global unicast one"},
        {{{"0 32 ::ffff:0:0 203.0.113.1"}, "192.0.2.1"},
         "eth0: 6rdPrefix ::/32: a prefix in ::/8 (unspecified, loopback, IPv4-mapped), not a "
         "global unicast one"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        const dhcp_settings settings = settings_with("", 1, "-u ferrin", c.own_ipv4);
        tunnel_plan plan;
        int result = 0;
        const std::string output = logged_by([&] { result = plan_of(c.input, settings, &plan); });
        EXPECT_EQ(result, -1);
        EXPECT_EQ(output, line(c.message));
    }
}

TEST(LeasePlan, TheUnitIsTouchedOnlyWhenWhatItRunsChanges)
{
    tunnel_plan running;
    const lease_input lease{{"0 32 2001:db8:: 203.0.113.1"}, "192.0.2.1"};
    const dhcp_settings lan = settings_with("eth1", 1, "-u ferrin");
    ASSERT_EQ(plan_of(lease, lan, &running), 0);

    tunnel_plan new_address, new_relay, new_lan, same;
    ASSERT_EQ(plan_of({{"0 32 2001:db8:: 203.0.113.1"}, "192.0.2.2"}, lan, &new_address), 0);
    ASSERT_EQ(plan_of({{"0 32 2001:db8:: 203.0.113.9"}, "192.0.2.1"}, lan, &new_relay), 0);
    ASSERT_EQ(plan_of(lease, settings_with("eth2", 1, "-u ferrin"), &new_lan), 0);
    ASSERT_EQ(plan_of({{"0 32 2001:0db8:0000:0000:0000:0000:0000:0000 203.0.113.1"}, "192.0.2.1"},
                      lan, &same),
              0);

    struct Case {
        const char* what;
        const tunnel_plan* old_plan;
        const tunnel_plan* new_plan;
        int active;
        unit_action expected;
    };
    const Case cases[] = {
        {"first lease", nullptr, &running, 0, UNIT_START},
        {"first lease, unit running from /etc/ferrin", nullptr, &running, 1, UNIT_RESTART},
        {"renewal, same values in another spelling", &running, &same, 1, UNIT_KEEP},
        {"renewal, the unit failed meanwhile", &running, &same, 0, UNIT_START},
        {"new IPv4 address", &running, &new_address, 1, UNIT_RESTART},
        {"new relay", &running, &new_relay, 1, UNIT_RESTART},
        {"only the LAN interface changed", &running, &new_lan, 1, UNIT_READDRESS},
        {"only the LAN interface changed, unit stopped", &running, &new_lan, 0, UNIT_START},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(decide_unit_action(c.old_plan, *c.new_plan, c.active), c.expected);
    }
}

TEST(EnvFile, WhatIsWrittenReadsBackAsTheSamePlan)
{
    tunnel_plan plan;
    dhcp_settings settings = settings_with("eth1 eth2", 1, "-u ferrin");
    std::snprintf(settings.lan_dns, sizeof settings.lan_dns, "2001:db8::53");
    ASSERT_EQ(plan_of({{"8 32 2001:db8:: 203.0.113.1"}, "192.0.2.1"}, settings, &plan), 0);
    char text[env_text_size];
    format_env(plan, "tun6rd0", text, sizeof text);
    EXPECT_EQ(std::string(text),
              "# ferrin@tun6rd0 from the DHCP lease on eth0, written by ferrin-6rd and\n"
              "# removed when the lease ends. The unit reads it after /etc/ferrin/tun6rd0.env.\n"
              "FERRIN_PREFIX=2001:db8::/32\n"
              "FERRIN_RELAY=203.0.113.1\n"
              "FERRIN_MY_V4=192.0.2.1\n"
              "FERRIN_OPTS=\"-u ferrin -r 8\"\n"
              "FERRIN_UPLINK=eth0\n"
              "FERRIN_DELEGATED=2001:db8:2:100::/56\n"
              "FERRIN_TUN_ADDRESS=2001:db8:2:100::1/32\n"
              "FERRIN_LAN=\"eth1 eth2\"\n"
              "FERRIN_LAN_ADDRESS=\"2001:db8:2:101::1/64 2001:db8:2:102::1/64\"\n"
              "FERRIN_UNREACHABLE=2001:db8:2:100::/56\n"
              "FERRIN_LAN_DNS=2001:db8::53\n"
              "FERRIN_LAN_FIREWALL=yes\n");
    tunnel_plan back;
    ASSERT_EQ(parse_env(text, "tun6rd0.env", &back), 0);
    EXPECT_TRUE(same_daemon(plan, back));
    EXPECT_TRUE(same_addresses(plan, back));
    EXPECT_STREQ(back.options, "-u ferrin -r 8");
    EXPECT_STREQ(back.lans[1].prefix, "2001:db8:2:102::/64");

    // Damaged files, each refused with one line: the caller then takes the
    // tunnel as its own to replace or remove.
    const std::string whole(text);
    const std::string unpaired =
        whole.substr(0, whole.find("FERRIN_LAN_ADDRESS=")) + "FERRIN_LAN_ADDRESS=2001:db8::1/64\n" +
        whole.substr(whole.find("FERRIN_UNREACHABLE="));
    struct Damaged {
        std::string text;
        const char* message;
    };
    const Damaged damaged[] = {
        {"", "x.env: cut short: empty"},
        {whole.substr(0, whole.size() / 2), "x.env: cut short: no newline at its end"},
        {whole.substr(0, whole.find("FERRIN_LAN=")), "x.env: no FERRIN_LAN"},
        {"FERRIN_PREFIX\n", "x.env:1: not a KEY=VALUE line"},
        {unpaired, "x.env: FERRIN_LAN and FERRIN_LAN_ADDRESS do not pair up"},
    };
    for (const Damaged& d : damaged) {
        SCOPED_TRACE(d.message);
        const std::string output =
            logged_by([&] { EXPECT_EQ(parse_env(d.text.c_str(), "x.env", &back), -1); });
        EXPECT_EQ(output, line(d.message));
    }

    // A value read back reaches radvd's and nftables' texts, ip's and the
    // unit's command lines: it must be one the helper writes, or the file is
    // damaged.
    struct Bad {
        const char* key;
        const char* value;
    };
    const Bad bad[] = {
        {"FERRIN_PREFIX", "2001:db8::/15"},
        {"FERRIN_PREFIX", "2001:DB8::/32"},
        {"FERRIN_PREFIX", "2001:db8::1/32"},
        {"FERRIN_PREFIX", "ff02::/32"},
        {"FERRIN_RELAY", "203.0.113.01"},
        {"FERRIN_RELAY", "127.0.0.1"},
        {"FERRIN_MY_V4", "240.0.0.9"},
        {"FERRIN_OPTS", "-u ferrin -r 8 -x"},
        {"FERRIN_OPTS", "-u ferrin -r 32"},
        {"FERRIN_OPTS", "-u ferrin; reboot"},
        {"FERRIN_UPLINK", "eth0/x"},
        {"FERRIN_DELEGATED", "2001:db9:2:100::/56"},
        {"FERRIN_DELEGATED", "2001:db8:2:100::/65"},
        {"FERRIN_DELEGATED", "2001:db8:2:100::\xA6/56"},
        {"FERRIN_TUN_ADDRESS", "2001:db8:2:100::2/32"},
        {"FERRIN_TUN_ADDRESS", "2001:db8:2:100::1/64"},
        {"FERRIN_LAN", "eth1\"}accept# eth2"},
        {"FERRIN_LAN", "eth1 on"},
        {"FERRIN_LAN", "eth1 eth1"},
        {"FERRIN_LAN", "eth1 eth0"},
        {"FERRIN_LAN_ADDRESS", "2001:db8:2:101::1/64 2001:db8:3:102::1/64"},
        {"FERRIN_LAN_ADDRESS", "2001:db8:2:101::1/64 2001:db8:2:102::2/64"},
        {"FERRIN_LAN_ADDRESS", "2001:db8:2:101::1/64 2001:db8:2:102::1/63"},
        {"FERRIN_UNREACHABLE", "::/0"},
        {"FERRIN_LAN_DNS", "::1"},
        {"FERRIN_LAN_DNS", "2001:db8::53\"}"},
        {"FERRIN_LAN_DNS", "2001:db8::1 2001:db8::2 2001:db8::3 2001:db8::4"},
        {"FERRIN_LAN_FIREWALL", "maybe"},
    };
    for (const Bad& b : bad) {
        SCOPED_TRACE(std::string(b.key) + "=" + b.value);
        const std::string head = std::string(b.key) + "=";
        const size_t at = whole.find("\n" + head) + 1;
        const size_t end = whole.find('\n', at);
        const std::string changed = whole.substr(0, at) + head + "\"" + b.value + "\"" +
                                    whole.substr(end);
        std::string output =
            logged_by([&] { EXPECT_EQ(parse_env(changed.c_str(), "x.env", &back), -1); });
        EXPECT_NE(output.find(std::string(": ") + b.key + " \""), std::string::npos) << output;
        EXPECT_NE(output.find("\": not a value ferrin-6rd writes\n"), std::string::npos) << output;
    }
}

// Every LAN interface gets its own /64: an id given with it, or the next one
// free from lan_subnet_id on.
TEST(LeasePlan, EachLanInterfaceGetsItsOwnSubnet)
{
    struct Case {
        const char* what;
        const char* lans;
        uint64_t first_id;
        const char* option;
        const char* addresses;  // of the LANs planned, in order
        std::string message;
    };
    const Case cases[] = {
        {"numbered from lan_subnet_id on", "eth1 eth2 eth3", 1, "8 32 2001:db8:: 203.0.113.1",
         "eth1 2001:db8:2:101::1/64 eth2 2001:db8:2:102::1/64 eth3 2001:db8:2:103::1/64", ""},
        {"ids given skip the numbering", "eth1 eth2:2 eth3", 1, "8 32 2001:db8:: 203.0.113.1",
         "eth1 2001:db8:2:101::1/64 eth2 2001:db8:2:102::1/64 eth3 2001:db8:2:103::1/64", ""},
        {"ids given first", "eth1:1 eth2 eth3", 1, "8 32 2001:db8:: 203.0.113.1",
         "eth1 2001:db8:2:101::1/64 eth2 2001:db8:2:102::1/64 eth3 2001:db8:2:103::1/64", ""},
        {"a /64 serves the first only", "eth1 eth2 eth3", 1, "0 32 2001:db8:: 203.0.113.1",
         "eth1 2001:db8:c000:201::1/64",
         "eth0: the /64 delegated prefix serves only eth1; no LAN address on eth2 eth3"},
        {"a /63 has two", "eth1 eth2 eth3", 0, "0 31 2001:db8:: 203.0.113.1",
         "eth1 2001:db9:8000:402::1/64 eth2 2001:db9:8000:403::1/64",
         "eth0: lan_subnet_id 2 does not fit in the 1 bits of the /63 delegated prefix; no LAN "
         "address on eth3"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        dhcp_settings settings = settings_with("", c.first_id, "");
        ASSERT_EQ(parse_settings((std::string("lan_interface = ") + c.lans + "\nlan_subnet_id = " +
                                  std::to_string(c.first_id)).c_str(),
                                 "dhcp.conf", &settings),
                  0);
        tunnel_plan plan;
        int result = -2;
        const std::string output =
            logged_by([&] { result = plan_of({{c.option}, "192.0.2.1"}, settings, &plan); });
        ASSERT_EQ(result, 0);
        EXPECT_EQ(output, line(c.message));
        std::string got;
        for (int i = 0; i < plan.lan_count; ++i)
            got += std::string(i ? " " : "") + plan.lans[i].name + " " + plan.lans[i].address;
        EXPECT_EQ(got, c.addresses);
    }
}

TEST(Settings, EveryKeyHasADefaultAndBadLinesAreNamed)
{
    dhcp_settings settings;
    std::string output = logged_by([&] {
        EXPECT_EQ(parse_settings("# nothing but comments\n\n", "dhcp.conf", &settings), 0);
    });
    EXPECT_EQ(output, "");
    EXPECT_STREQ(settings.uplink, "");
    EXPECT_STREQ(settings.tunnel, "tun6rd0");
    EXPECT_STREQ(settings.daemon_options, "-u ferrin -b 32");
    EXPECT_EQ(settings.lan_count, 0);
    EXPECT_EQ(settings.lan_subnet_id, 1u);
    EXPECT_EQ(settings.lan_firewall, 1);
    EXPECT_STREQ(settings.own_ipv4, "");

    output = logged_by([&] {
        EXPECT_EQ(parse_settings("uplink = eth0\n  tunnel=tun6rd1  \ndaemon_options = -u nobody -d\n"
                                 "lan_interface = br0\nlan_subnet_id = 2A\nown_ipv4 = 198.51.100.7",
                                 "dhcp.conf", &settings),
                  0);
    });
    EXPECT_EQ(output, "");
    EXPECT_STREQ(settings.uplink, "eth0");
    EXPECT_STREQ(settings.tunnel, "tun6rd1");
    EXPECT_STREQ(settings.daemon_options, "-u nobody -d");
    ASSERT_EQ(settings.lan_count, 1);
    EXPECT_STREQ(settings.lans[0].name, "br0");
    EXPECT_EQ(settings.lan_subnet_id, 0x2au);
    EXPECT_STREQ(settings.own_ipv4, "198.51.100.7");

    // An empty value: any uplink, no options at all.
    EXPECT_EQ(parse_settings("uplink =\ndaemon_options=\n", "dhcp.conf", &settings), 0);
    EXPECT_STREQ(settings.uplink, "");
    EXPECT_STREQ(settings.daemon_options, "");
    // A comment may follow a value after a blank; a "#" inside a name stays.
    EXPECT_EQ(parse_settings("tunnel = tun6rd1 # the second one\nuplink = eth#1\t# its name\n"
                             "lan_dns = # none\n",
                             "dhcp.conf", &settings),
              0);
    EXPECT_STREQ(settings.tunnel, "tun6rd1");
    EXPECT_STREQ(settings.uplink, "eth#1");
    EXPECT_STREQ(settings.lan_dns, "");

    struct Case {
        const char* text;
        const char* message;
    };
    const Case cases[] = {
        {"tunnel", "dhcp.conf:1: no \"=\": settings are key = value lines"},
        {"colour = blue", "dhcp.conf:1: unknown key colour"},
        {"\ntunnel =", "dhcp.conf:2: tunnel: empty value; leave the line out for the default"},
        {"lan_firewall = # yes", "dhcp.conf:1: lan_firewall: empty value; leave the line out for "
                                 "the default"},
        {" = 1", "dhcp.conf:1: no key before \"=\""},
        {"a_key_of_thirty_two_characters_x = 1",
         "dhcp.conf:1: unknown key a_key_of_thirty_two_characte..."},
        {"uplink = ../eth0", "dhcp.conf:1: uplink ../eth0: not an interface name"},
        {"lan_interface = br/0", "dhcp.conf:1: lan_interface br/0: not an interface name"},
        {"lan_interface = eth1 eth1", "dhcp.conf:1: lan_interface eth1: named twice"},
        {"lan_interface = eth1:2 eth2:2", "dhcp.conf:1: lan_interface eth2: the same subnet id twice"},
        {"lan_interface = eth1:x",
         "dhcp.conf:1: lan_interface eth1:x: not a hexadecimal number of 1 to 12 digits after the "
         "colon"},
        {"lan_interface = a b c d e f g h i", "dhcp.conf:1: lan_interface: more than 8 interfaces"},
        {"lan_dns = 2001:db8::53 192.0.2.53", "dhcp.conf:1: lan_dns 192.0.2.53: not an IPv6 address"},
        {"lan_dns = 2001:db8::1 2001:db8::2 fd00::3 2001:db8::4",
         "dhcp.conf:1: lan_dns: more than 3 addresses"},
        // radvd refuses the first two and the file with them; no host uses the others.
        {"lan_dns = ::1",
         "dhcp.conf:1: lan_dns ::1: an address in ::/8 (unspecified, loopback, IPv4-mapped), not "
         "a global or unique local unicast address"},
        {"lan_dns = ::ffff:192.0.2.1",
         "dhcp.conf:1: lan_dns ::ffff:192.0.2.1: an address in ::/8 (unspecified, loopback, "
         "IPv4-mapped), not a global or unique local unicast address"},
        {"lan_dns = ::",
         "dhcp.conf:1: lan_dns ::: an address in ::/8 (unspecified, loopback, IPv4-mapped), not a "
         "global or unique local unicast address"},
        {"lan_dns = ff02::1",
         "dhcp.conf:1: lan_dns ff02::1: a multicast address, not a global or unique local unicast "
         "address"},
        {"lan_dns = fe80::53",
         "dhcp.conf:1: lan_dns fe80::53: a link-local address, not a global or unique local "
         "unicast address"},
        // Words radvd's grammar reads as its own: it would refuse the whole file.
        {"lan_interface = eth1 on",
         "dhcp.conf:1: lan_interface on: radvd reads it as a word of its own configuration, not as "
         "an interface's name"},
        {"lan_interface = RDNSS",
         "dhcp.conf:1: lan_interface RDNSS: radvd reads it as a word of its own configuration, not "
         "as an interface's name"},
        {"lan_interface = 0",
         "dhcp.conf:1: lan_interface 0: radvd reads it as a word of its own configuration, not as "
         "an interface's name"},
        {"lan_interface = 12.5",
         "dhcp.conf:1: lan_interface 12.5: radvd reads it as a word of its own configuration, not "
         "as an interface's name"},
        // Router advertisements into the tunnel, or onto the ISP's segment.
        {"lan_interface = tun6rd0", "dhcp.conf: lan_interface tun6rd0: the tunnel, not a LAN"},
        {"lan_interface = eth0 eth1\nuplink = eth1",
         "dhcp.conf: lan_interface eth1: the uplink, not a LAN"},
        {"lan_firewall = off", "dhcp.conf:1: lan_firewall off: yes or no"},
        // The tunnel's name is the unit's instance and a word of the daemon's
        // command line, the LAN's a word of ip's.
        {"tunnel = tun+0", "dhcp.conf:1: tunnel tun+0: not an interface name"},
        {"tunnel = -dF", "dhcp.conf:1: tunnel -dF: not an interface name"},
        {"tunnel = tun%d", "dhcp.conf:1: tunnel tun%d: not an interface name"},
        {"tunnel = ..", "dhcp.conf:1: tunnel ..: not an interface name"},
        {"tunnel = tun6rd012345678a", "dhcp.conf:1: tunnel tun6rd012345678a: not an interface name"},
        {"lan_interface = -x", "dhcp.conf:1: lan_interface -x: not an interface name"},
        {"lan_interface = br@0", "dhcp.conf:1: lan_interface br@0: not an interface name"},
        {"lan_subnet_id = 1234567890abc",
         "dhcp.conf:1: lan_subnet_id 1234567890abc: not a hexadecimal number of 1 to 12 digits"},
        {"own_ipv4 = 198.51.100", "dhcp.conf:1: own_ipv4 198.51.100: not an IPv4 address"},
        {"own_ipv4 = 127.0.0.1",
         "dhcp.conf:1: own_ipv4 127.0.0.1: a loopback address, not a host's address"},
        {"daemon_options = -dr8",
         "dhcp.conf:1: daemon_options \"-dr8\": -r comes from the lease's IPv4MaskLen"},
        {"daemon_options = -V",
         "dhcp.conf:1: daemon_options \"-V\": -h and -V would stop the daemon at once"},
        {"daemon_options = -u",
         "dhcp.conf:1: daemon_options \"-u\": -u needs a user name"},
        {"daemon_options = -b 65",
         "dhcp.conf:1: daemon_options \"-b 65\": -b takes a batch size from 1 to 64"},
        {"daemon_options = tun0",
         "dhcp.conf:1: daemon_options \"tun0\": only the options -b batch, -d, -F and -u user belong here; "
         "the arguments come from the lease"},
        {"daemon_options = -u \"ferrin\"",
         "dhcp.conf:1: daemon_options \"-u \"ferrin\"\": only letters, digits, blanks and -_.@ may "
         "appear"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        output = logged_by([&] { EXPECT_EQ(parse_settings(c.text, "dhcp.conf", &settings), -1); });
        EXPECT_EQ(output, line(c.message));
    }
    // The longest plain names; an uplink is any name the kernel gives.
    EXPECT_EQ(parse_settings("tunnel = tun.6rd-0_ABCDE\nlan_interface = br0.100 1.2.3 On "
                             "5lan\nuplink = wl+0",
                             "dhcp.conf", &settings),
              0);
    EXPECT_STREQ(settings.tunnel, "tun.6rd-0_ABCDE");
    EXPECT_STREQ(settings.uplink, "wl+0");
    // -u takes the next word or the rest of its own, which may hold an r.
    EXPECT_EQ(parse_settings("daemon_options = -uferrin -d", "dhcp.conf", &settings), 0);
    EXPECT_EQ(parse_settings("daemon_options = -du ferrin", "dhcp.conf", &settings), 0);
}

// The settings file's limit is 65536 bytes, the environment file's
// env_text_size - 1; neither a FIFO nor a folder is opened for reading.
TEST(TextFile, OnlyRegularFilesUpToTheLimitAreRead)
{
    char folder[] = "/tmp/ferrin-6rd-test.XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string path = std::string(folder) + "/file";
    struct removed_at_end {
        const std::string& path;
        const char* folder;
        ~removed_at_end()
        {
            unlink(path.c_str());
            rmdir(path.c_str());
            rmdir(folder);
        }
    } removed{path, folder};
    const auto write_bytes = [&](size_t count) {
        // A comment line of count bytes in all.
        std::FILE* f = std::fopen(path.c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fprintf(f, "%s\n", std::string(count - 1, '#').c_str());
        std::fclose(f);
    };
    dhcp_settings settings;
    static char text[env_text_size];

    write_bytes(65536);
    std::string output = logged_by([&] { EXPECT_EQ(read_settings(path.c_str(), &settings), 0); });
    EXPECT_EQ(output, "");
    write_bytes(65537);
    output = logged_by([&] { EXPECT_EQ(read_settings(path.c_str(), &settings), -1); });
    EXPECT_EQ(output, line(path + ": larger than 65536 bytes"));

    write_bytes(env_text_size - 1);
    output = logged_by([&] { EXPECT_EQ(read_text_file(path.c_str(), text, sizeof text), 1); });
    EXPECT_EQ(output, "");
    EXPECT_EQ(std::strlen(text), env_text_size - 1);
    write_bytes(env_text_size);
    output = logged_by([&] { EXPECT_EQ(read_text_file(path.c_str(), text, sizeof text), -1); });
    EXPECT_EQ(output, line(path + ": larger than " + std::to_string(env_text_size - 1) + " bytes"));

    ASSERT_EQ(unlink(path.c_str()), 0);
    EXPECT_EQ(read_settings(path.c_str(), &settings), 0);  // none: the defaults
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    output = logged_by([&] { EXPECT_EQ(read_settings(path.c_str(), &settings), -1); });
    EXPECT_EQ(output, line(path + ": not a regular file"));
    ASSERT_EQ(unlink(path.c_str()), 0);
    ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
    output = logged_by([&] { EXPECT_EQ(read_settings(path.c_str(), &settings), -1); });
    EXPECT_EQ(output, line(path + ": not a regular file"));
}

}  // namespace
