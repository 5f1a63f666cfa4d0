// SPDX-License-Identifier: BSD-2-Clause
// Arbitrary text through the command-line parsers: the prefix argument, the
// numbers (prefix length, -r value, any bounds) and the relay address.
//
// Input: one selector byte, then for selector 3 eight bytes of bounds, then
// the text (up to the first NUL), handed over as a NUL-terminated heap copy
// of exactly its size.
//
// log_message is replaced by a recorder in this program (the log's own file
// is never linked in): nothing reaches the system log, and every failure must have produced exactly one message of
// the expected wording, every success none.
#include "daemon/command_line.h"
#include "daemon/tunnel_context.h"
#include "reference.h"
#include "trace/log.h"

#include <arpa/inet.h>

#include <cctype>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

char Message[1024];
int MessageCount;

// What strtol in base 10 makes of text, written out by hand: blanks, a sign,
// digits and nothing after them. Magnitudes beyond any int saturate.
struct Number {
    bool whole;
    long long value;
};

Number read_number(const char* text)
{
    const char* p = text;
    while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\v' || *p == '\f' || *p == '\r')
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = *p++ == '-';
    if (*p < '0' || *p > '9')
        return {false, 0};
    long long magnitude = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        magnitude = magnitude * 10 + (*p - '0');
        if (magnitude > (1LL << 40))
            magnitude = 1LL << 40;
    }
    if (*p != '\0')
        return {false, 0};
    return {true, negative ? -magnitude : magnitude};
}

// The value parse_number must return, and the message it must log.
int expected_number(const char* text, int min, int max, const char* label, char* message,
                    size_t room)
{
    const Number number = read_number(text);
    if (!number.whole) {
        snprintf(message, room, "%s: %s not a number", text, label);
        return -1;
    }
    if (number.value < min || number.value > max) {
        snprintf(message, room, "%s: %s out of range", text, label);
        return -1;
    }
    message[0] = '\0';
    return static_cast<int>(number.value);
}

void check_message(int result, const char* expected)
{
    if (result == -1) {
        FUZZ_CHECK(MessageCount == 1);
        FUZZ_CHECK(std::strcmp(Message, expected) == 0);
    } else {
        FUZZ_CHECK(MessageCount == 0);
    }
}

int load_bound(const uint8_t* bytes)
{
    return static_cast<int>(reference::load_be32(bytes) & 0x7fffffffu);
}

}  // namespace

void log_message(int, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    vsnprintf(Message, sizeof Message, format, args);
    va_end(args);
    ++MessageCount;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const int selector = data[0] % 5;
    ++data;
    --size;
    int min = 0;
    int max = 0;
    if (selector == 3) {
        if (size < 8)
            return 0;
        min = load_bound(data);
        max = load_bound(data + 4);
        data += 8;
        size -= 8;
    }

    const size_t length = strnlen(reinterpret_cast<const char*>(data), size);
    char* text = static_cast<char*>(malloc(length + 1));
    std::memcpy(text, data, length);
    text[length] = '\0';

    MessageCount = 0;
    Message[0] = '\0';
    char expected[1024];

    switch (selector) {
    case 0: {
        // Every field but the two the parser fills must stay as it was.
        TunnelContext ctx;
        std::memset(&ctx, 0x5a, sizeof ctx);
        TunnelContext before;
        std::memcpy(&before, &ctx, sizeof ctx);

        int want = -1;
        in6_addr address;
        const char* slash = std::strchr(text, '/');
        if (length >= 50) {
            snprintf(expected, sizeof expected, "%s: prefix string too long", text);
        } else if (slash == nullptr) {
            snprintf(expected, sizeof expected, "%s: prefixlen is not specified", text);
        } else {
            char address_text[50];
            std::memcpy(address_text, text, static_cast<size_t>(slash - text));
            address_text[slash - text] = '\0';
            if (inet_pton(AF_INET6, address_text, &address) != 1)
                snprintf(expected, sizeof expected, "%s: failed to parse", address_text);
            else
                want = expected_number(slash + 1, 16, 63, "prefixlen", expected, sizeof expected);
        }

        const int result = parse_prefix_argument(text, ctx);
        FUZZ_CHECK(result == 0 || result == -1);
        FUZZ_CHECK((result == 0) == (want != -1));
        check_message(result, expected);
        if (result == 0) {
            FUZZ_CHECK(ctx.prefix_len == want);
            FUZZ_CHECK(ctx.prefix_len >= 16 && ctx.prefix_len <= 63);
            FUZZ_CHECK(std::memcmp(&ctx.prefix, &address, sizeof address) == 0);
        } else {
            FUZZ_CHECK(ctx.prefix_len == before.prefix_len);
        }
        std::memcpy(&before.prefix, &ctx.prefix, sizeof ctx.prefix);
        before.prefix_len = ctx.prefix_len;
        FUZZ_CHECK(std::memcmp(&ctx, &before, sizeof ctx) == 0);
        break;
    }
    case 1:
    case 2:
    case 3: {
        const char* label = "prefixlen";
        if (selector == 1) {
            min = 16;
            max = 63;
        } else if (selector == 2) {
            min = 0;
            max = 31;
            label = "common prefix length of IPv4";
        } else {
            label = "number";
        }
        const int want = expected_number(text, min, max, label, expected, sizeof expected);
        const int result = parse_number(text, min, max, label);
        FUZZ_CHECK(result == -1 || (result >= min && result <= max));
        FUZZ_CHECK(result == want);
        check_message(result, expected);
        break;
    }
    case 4: {
        TunnelContext ctx{};
        const int result = resolve_relay(text, ctx);
        FUZZ_CHECK(result == 0 || result == -1);
        if (result == 0) {
            // Only numeric IPv4 text resolves, to port 0 of that address.
            FUZZ_CHECK(MessageCount == 0);
            FUZZ_CHECK(ctx.relay_addr.sin_family == AF_INET);
            FUZZ_CHECK(ctx.relay_addr.sin_port == 0);
            in_addr address;
            FUZZ_CHECK(inet_aton(text, &address) == 1);
            FUZZ_CHECK(address.s_addr == ctx.relay_addr.sin_addr.s_addr);
        } else {
            FUZZ_CHECK(MessageCount == 1);
            snprintf(expected, sizeof expected, "getaddrinfo: %s: ", text);
            FUZZ_CHECK(std::strncmp(Message, expected, std::strlen(expected)) == 0);
        }
        break;
    }
    }
    free(text);
    return 0;
}
