// SPDX-License-Identifier: BSD-2-Clause
#include "daemon/command_line.h"

#include "daemon/tunnel_context.h"
#include "testing.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <gtest/gtest.h>

#include <string>

namespace {

using test::CapturedStderr;
using test::text_of;

// The log opened as at start-up, so that every message is also copied to
// standard error as "<ident>: <message>\n".
class CommandLine : public ::testing::Test {
protected:

    static std::string logged(const std::string& message)
    {
        return message.empty() ? "" : test::logged(message);
    }

private:
    test::LogCopiedToStderr copied_;
};

TEST_F(CommandLine, ParseNumberAcceptsWholeDecimalsWithinBounds)
{
    struct Case {
        const char* text;
        int min;
        int max;
        const char* label;
        int expected;
        std::string message;
    };
    const char* prefixlen = "prefixlen";
    const char* common = "common prefix length of IPv4";
    const Case cases[] = {
        {"32", 16, 63, prefixlen, 32, ""},
        {"16", 16, 63, prefixlen, 16, ""},
        {"63", 16, 63, prefixlen, 63, ""},
        // strtol takes a sign and leading white space
        {"+32", 16, 63, prefixlen, 32, ""},
        {" 32", 16, 63, prefixlen, 32, ""},
        {"\t32", 16, 63, prefixlen, 32, ""},
        {"0032", 16, 63, prefixlen, 32, ""},
        {"0", 0, 31, common, 0, ""},
        {"31", 0, 31, common, 31, ""},
        {"-0", 0, 31, common, 0, ""},
        {"8", 0, 31, common, 8, ""},
        // not a number: empty, no digits, anything after the number
        {"", 16, 63, prefixlen, -1, ": prefixlen not a number"},
        {"32 ", 16, 63, prefixlen, -1, "32 : prefixlen not a number"},
        {"32/8", 16, 63, prefixlen, -1, "32/8: prefixlen not a number"},
        {"abc", 16, 63, prefixlen, -1, "abc: prefixlen not a number"},
        {"0x20", 16, 63, prefixlen, -1, "0x20: prefixlen not a number"},
        {"+", 16, 63, prefixlen, -1, "+: prefixlen not a number"},
        {" ", 0, 31, common, -1, " : common prefix length of IPv4 not a number"},
        {"8.5", 0, 31, common, -1, "8.5: common prefix length of IPv4 not a number"},
        // out of range: outside the bounds, or too large for the conversion
        {"15", 16, 63, prefixlen, -1, "15: prefixlen out of range"},
        {"64", 16, 63, prefixlen, -1, "64: prefixlen out of range"},
        {"-32", 16, 63, prefixlen, -1, "-32: prefixlen out of range"},
        {"4294967328", 16, 63, prefixlen, -1, "4294967328: prefixlen out of range"},
        {"9223372036854775807", 16, 63, prefixlen, -1,
         "9223372036854775807: prefixlen out of range"},
        {"9223372036854775808", 16, 63, prefixlen, -1,
         "9223372036854775808: prefixlen out of range"},
        {"99999999999999999999999", 16, 63, prefixlen, -1,
         "99999999999999999999999: prefixlen out of range"},
        {"-1", 0, 31, common, -1, "-1: common prefix length of IPv4 out of range"},
        {"32", 0, 31, common, -1, "32: common prefix length of IPv4 out of range"},
        {"-4294967296", 0, 31, common, -1,
         "-4294967296: common prefix length of IPv4 out of range"},
        {"-99999999999999999999999", 0, 31, common, -1,
         "-99999999999999999999999: common prefix length of IPv4 out of range"},
    };
    for (const Case& c : cases) {
        CapturedStderr captured;
        const int result = parse_number(c.text, c.min, c.max, c.label);
        const std::string output = captured.text();
        EXPECT_EQ(result, c.expected) << '"' << c.text << "\" in " << c.min << ".." << c.max;
        EXPECT_EQ(output, logged(c.message)) << '"' << c.text << '"';
    }
}

TEST_F(CommandLine, ParsePrefixArgumentSplitsAddressAndLength)
{
    struct Case {
        std::string argument;
        int expected;
        const char* prefix;  // the prefix parsed, when the result is 0
        int prefix_len;
        std::string message;
    };
    // The length text may carry leading zeros, which lets an argument of
    // any size above the address be a valid one.
    const std::string base = "2001:db8::/";
    const std::string of_49 = base + std::string(49 - base.size() - 2, '0') + "32";
    const std::string of_50 = base + std::string(50 - base.size() - 2, '0') + "32";
    ASSERT_EQ(of_49.size(), 49u);
    ASSERT_EQ(of_50.size(), 50u);

    const Case cases[] = {
        {"2001:db8::/32", 0, "2001:db8::", 32, ""},
        {"2001:db8::/16", 0, "2001:db8::", 16, ""},
        {"2001:db8::/63", 0, "2001:db8::", 63, ""},
        {"2001:db8::/+32", 0, "2001:db8::", 32, ""},
        {"2001:db8::/ 32", 0, "2001:db8::", 32, ""},
        {"3fff::/20", 0, "3fff::", 20, ""},
        // bits after the length are kept as given
        {"2001:db8::1/32", 0, "2001:db8::1", 32, ""},
        {"2001:db8:ffff:ffff::/32", 0, "2001:db8:ffff:ffff::", 32, ""},
        {of_49, 0, "2001:db8::", 32, ""},
        {of_50, -1, nullptr, 0, of_50 + ": prefix string too long"},
        {"2001:0db8:0000:0000:0000:0000:0000:0000:0000:0001/32", -1, nullptr, 0,
         "2001:0db8:0000:0000:0000:0000:0000:0000:0000:0001/32: prefix string too long"},
        {"2001:db8::", -1, nullptr, 0, "2001:db8::: prefixlen is not specified"},
        {"", -1, nullptr, 0, ": prefixlen is not specified"},
        {"2001:db8::/", -1, nullptr, 0, ": prefixlen not a number"},
        {"2001:db8::/15", -1, nullptr, 0, "15: prefixlen out of range"},
        {"2001:db8::/64", -1, nullptr, 0, "64: prefixlen out of range"},
        {"2001:db8::/32 ", -1, nullptr, 0, "32 : prefixlen not a number"},
        {"2001:db8::/32/8", -1, nullptr, 0, "32/8: prefixlen not a number"},
        {"192.0.2.0/24", -1, nullptr, 0, "192.0.2.0: failed to parse"},
        {"/32", -1, nullptr, 0, ": failed to parse"},
        {"2001:db8::g/32", -1, nullptr, 0, "2001:db8::g: failed to parse"},
    };
    for (const Case& c : cases) {
        TunnelContext ctx{};
        CapturedStderr captured;
        const int result = parse_prefix_argument(c.argument.c_str(), ctx);
        const std::string output = captured.text();
        EXPECT_EQ(result, c.expected) << c.argument;
        EXPECT_EQ(output, logged(c.message)) << c.argument;
        if (c.expected == 0) {
            EXPECT_EQ(text_of(ctx.prefix), c.prefix) << c.argument;
            EXPECT_EQ(ctx.prefix_len, c.prefix_len) << c.argument;
        }
    }
}

TEST_F(CommandLine, ResolveRelayTakesNumericIPv4Only)
{
    struct Case {
        const char* text;
        int expected;
        std::string message;
    };
    const Case cases[] = {
        {"203.0.113.1", 0, ""},
        {"198.51.100.7", 0, ""},
        {"255.255.255.255", 0, ""},
        {"relay.example", -1,
         std::string("getaddrinfo: relay.example: ") + gai_strerror(EAI_NONAME)},
        {"localhost", -1, std::string("getaddrinfo: localhost: ") + gai_strerror(EAI_NONAME)},
        {"2001:db8::1", -1,
         std::string("getaddrinfo: 2001:db8::1: ") + gai_strerror(EAI_ADDRFAMILY)},
        {"203.0.113.1 ", -1,
         std::string("getaddrinfo: 203.0.113.1 : ") + gai_strerror(EAI_NONAME)},
    };
    for (const Case& c : cases) {
        TunnelContext ctx{};
        CapturedStderr captured;
        const int result = resolve_relay(c.text, ctx);
        const std::string output = captured.text();
        EXPECT_EQ(result, c.expected) << c.text;
        EXPECT_EQ(output, logged(c.message)) << c.text;
        if (c.expected == 0) {
            EXPECT_EQ(ctx.relay_addr.sin_family, AF_INET) << c.text;
            EXPECT_EQ(ctx.relay_addr.sin_port, 0) << c.text;
            EXPECT_EQ(text_of(ctx.relay_addr.sin_addr), c.text);
        }
    }
}

}  // namespace
