// SPDX-License-Identifier: BSD-2-Clause
#include "trace/trace.h"

#include "testing.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using test::CapturedStderr;
using test::DebugLevelScope;
using test::v4;
using test::v6;

std::string pointer_text(const void* p)
{
    char text[32];
    std::snprintf(text, sizeof text, "%p", p);
    return text;
}

std::string dump_of(const uint8_t* data, size_t length)
{
    CapturedStderr captured;
    hex_dump(data, length);
    return captured.text();
}

TEST(HexDump, NothingForNoBytes)
{
    const uint8_t bytes[4] = {1, 2, 3, 4};
    EXPECT_EQ(dump_of(bytes, 0), "");
}

TEST(HexDump, TwentyBytesMakeTwoLinesWithAddressHexAndCharacters)
{
    const uint8_t bytes[20] = {0x45, 0x00, 0x00, 0x50, 0x1c, 0x46, 0x00, 0x00, 0x3e, 0x29,
                               0x8b, 0x2c, 0xcb, 0x00, 0x71, 0x09, 0xc0, 0x00, 0x02, 0x01};
    const std::string first = pointer_text(bytes) +
                              " " " 45 00 00 50 1c 46 00 00 3e 29 8b 2c cb 00 71 09" "  "
                              "E..P.F..>).,..q.\n";
    const std::string second = pointer_text(bytes + 16) + " " + " c0 00 02 01" +
                               std::string(36, ' ') + "  " + "....\n";
    EXPECT_EQ(dump_of(bytes, sizeof bytes), first + second);
    // The address field, one space, 48 hex characters, two spaces and the
    // characters.
    EXPECT_EQ(first.size() - 1, pointer_text(bytes).size() + 1 + 48 + 2 + 16);
    EXPECT_EQ(second.size() - 1, pointer_text(bytes + 16).size() + 1 + 48 + 2 + 4);
}

TEST(HexDump, LinesHoldSixteenBytesAndPadTheLastHexColumn)
{
    uint8_t bytes[40];
    for (size_t i = 0; i < sizeof bytes; ++i)
        bytes[i] = static_cast<uint8_t>('a' + i % 26);
    const std::string full_hex = " 61 62 63 64 65 66 67 68 69 6a 6b 6c 6d 6e 6f 70";

    struct Case {
        size_t length;
        std::string expected;
    };
    const Case cases[] = {
        {1, pointer_text(bytes) + " " + " 61" + std::string(45, ' ') + "  a\n"},
        {15, pointer_text(bytes) + " " + full_hex.substr(0, 45) + std::string(3, ' ') + "  " +
                 "abcdefghijklmno\n"},
        {16, pointer_text(bytes) + " " + full_hex + "  abcdefghijklmnop\n"},
        // the second line: one cell, 15 blank cells, the separator, one character
        {17, pointer_text(bytes) + " " + full_hex + "  abcdefghijklmnop\n" +
                 pointer_text(bytes + 16) + " " + " 71" + std::string(45, ' ') + "  " + "q\n"},
        {32, pointer_text(bytes) + " " + full_hex + "  abcdefghijklmnop\n" +
                 pointer_text(bytes + 16) + " " +
                 " 71 72 73 74 75 76 77 78 79 7a 61 62 63 64 65 66" + "  qrstuvwxyzabcdef\n"},
        {33, pointer_text(bytes) + " " + full_hex + "  abcdefghijklmnop\n" +
                 pointer_text(bytes + 16) + " " +
                 " 71 72 73 74 75 76 77 78 79 7a 61 62 63 64 65 66" + "  qrstuvwxyzabcdef\n" +
                 pointer_text(bytes + 32) + " " + " 67" + std::string(45, ' ') + "  g\n"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(dump_of(bytes, c.length), c.expected) << c.length << " bytes";
}

TEST(HexDump, ShowsOnlySpaceToTildeAsCharacters)
{
    const uint8_t bytes[] = {0x00, 0x09, 0x1f, 0x20, 0x41, 0x7e, 0x7f, 0x80, 0xa0, 0xff};
    const std::string expected = pointer_text(bytes) + " " +
                                 " 00 09 1f 20 41 7e 7f 80 a0 ff" + std::string(18, ' ') + "  " +
                                 "... A~....\n";
    EXPECT_EQ(dump_of(bytes, sizeof bytes), expected);
}

TEST(HexDump, EveryByteValueInItsCellAndCharacterColumn)
{
    uint8_t bytes[256];
    for (int i = 0; i < 256; ++i)
        bytes[i] = static_cast<uint8_t>(i);
    const std::string dump = dump_of(bytes, sizeof bytes);

    const char* digits = "0123456789abcdef";
    std::string expected;
    for (int line = 0; line < 16; ++line) {
        std::string hex;
        std::string chars;
        for (int i = 0; i < 16; ++i) {
            hex += ' ';
            hex += digits[line];
            hex += digits[i];
            const int value = line * 16 + i;
            chars += (value >= 0x20 && value <= 0x7e) ? static_cast<char>(value) : '.';
        }
        expected += pointer_text(bytes + 16 * line) + " " + hex + "  " + chars + "\n";
    }
    EXPECT_EQ(dump, expected);
}

TEST(HexDump, WritesWhateverTheDebugLevel)
{
    // The level is the caller's test: a dump asked for is written.
    const uint8_t bytes[2] = {0x41, 0x42};
    for (int level : {0, 1, 2}) {
        DebugLevelScope scope(level);
        EXPECT_EQ(dump_of(bytes, sizeof bytes),
                  pointer_text(bytes) + " " + " 41 42" + std::string(42, ' ') + "  AB\n")
            << "level " << level;
    }
}

TEST(Trace, WritesOneLineFromLevelOne)
{
    struct Case {
        int level;
        std::string expected;
    };
    const Case cases[] = {
        {-1, ""},
        {0, ""},
        {1, "text 7 words\n"},
        {2, "text 7 words\n"},
        {5, "text 7 words\n"},
    };
    for (const Case& c : cases) {
        DebugLevelScope scope(c.level);
        CapturedStderr captured;
        trace("text %d %s", 7, "words");
        EXPECT_EQ(captured.text(), c.expected) << "level " << c.level;
    }
}

TEST(Trace, PlainTextGetsExactlyOneNewline)
{
    DebugLevelScope scope(1);
    CapturedStderr captured;
    trace("text");
    trace("tun: no address family");
    EXPECT_EQ(captured.text(), "text\ntun: no address family\n");
}

TEST(Trace, DumpHeaderIsWrittenUnchanged)
{
    DebugLevelScope scope(2);
    CapturedStderr captured;
    trace_raw("tun2raw:\n");
    trace_raw("raw2tun:\n");
    EXPECT_EQ(captured.text(), "tun2raw:\nraw2tun:\n");
}

TEST(Trace, LevelPredicates)
{
    struct Case {
        int level;
        bool lines;
        bool dumps;
    };
    const Case cases[] = {{0, false, false}, {1, true, false}, {2, true, true}, {3, true, true}};
    for (const Case& c : cases) {
        DebugLevelScope scope(c.level);
        EXPECT_EQ(tracing(), c.lines) << c.level;
        EXPECT_EQ(dumping(), c.dumps) << c.level;
    }
}

TEST(AddressText, TwoV6TextsStandInOneLineAndTheThirdReusesTheFirstBuffer)
{
    const in6_addr a = v6("2001:db8:c000:201::10");
    const in6_addr b = v6("2001:db8:c633:6407::1");
    const in6_addr c = v6("fe80::1");

    const char* first = v6_text(&a);
    const char* second = v6_text(&b);
    EXPECT_NE(first, second);
    EXPECT_STREQ(first, "2001:db8:c000:201::10");
    EXPECT_STREQ(second, "2001:db8:c633:6407::1");

    const char* third = v6_text(&c);
    EXPECT_EQ(third, first);
    EXPECT_STREQ(first, "fe80::1");
    EXPECT_STREQ(second, "2001:db8:c633:6407::1");

    const char* fourth = v6_text(&a);
    EXPECT_EQ(fourth, second);
    EXPECT_STREQ(fourth, "2001:db8:c000:201::10");
    EXPECT_STREQ(third, "fe80::1");
}

TEST(AddressText, V6TextsOfEdgeAddresses)
{
    struct Case {
        const char* text;
    };
    const Case cases[] = {{"::"}, {"::1"}, {"::ffff:192.0.2.1"},
                          {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"}, {"3fff::1"}};
    for (const Case& c : cases) {
        const in6_addr addr = v6(c.text);
        EXPECT_STREQ(v6_text(&addr), c.text);
    }
}

TEST(AddressText, V4TextHasOneBufferHoldingTheLatestText)
{
    const in_addr a = v4("198.51.100.7");
    const in_addr b = v4("255.255.255.255");
    const char* first = v4_text(&a);
    EXPECT_STREQ(first, "198.51.100.7");
    const char* second = v4_text(&b);
    EXPECT_EQ(second, first);
    EXPECT_STREQ(second, "255.255.255.255");
    const in_addr zero = v4("0.0.0.0");
    EXPECT_STREQ(v4_text(&zero), "0.0.0.0");
}

}  // namespace
