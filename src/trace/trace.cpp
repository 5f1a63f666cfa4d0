// SPDX-License-Identifier: BSD-2-Clause
#include "trace/trace.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

int DebugLevel = 0;

namespace {

char v4_buffer[INET_ADDRSTRLEN];
char v6_buffers[2][INET6_ADDRSTRLEN];
int v6_selector = 0;

// Trace output is diagnostic: a failed write to standard error changes nothing.
void write_stderr(const char* text, size_t length)
{
    while (length > 0) {
        ssize_t done = write(STDERR_FILENO, text, length);
        if (done <= 0)
            return;
        text += done;
        length -= static_cast<size_t>(done);
    }
}

}  // namespace

void trace(const char* format, ...)
{
    if (DebugLevel <= 0)
        return;
    // Built whole and written at once, so that lines of processes sharing a
    // terminal never interleave.
    char line[512];
    va_list args;
    va_start(args, format);
    int length = vsnprintf(line, sizeof line - 1, format, args);
    va_end(args);
    if (length < 0)
        return;
    size_t used = static_cast<size_t>(length);
    if (used > sizeof line - 2)
        used = sizeof line - 2;
    line[used++] = '\n';
    write_stderr(line, used);
}

void trace_raw(const char* text)
{
    write_stderr(text, std::strlen(text));
}

void hex_dump(const void* data, size_t length)
{
    const unsigned char* p = static_cast<const unsigned char*>(data);
    while (length > 0) {
        const size_t count = length < 16 ? length : 16;

        char hex[56];
        char* at = hex;
        size_t room = sizeof hex;
        hex[0] = '\0';
        for (size_t i = 0; i < 16; ++i) {
            int cell = i < count ? snprintf(at, room, " %02x", p[i]) : snprintf(at, room, "   ");
            if (cell > 0 && static_cast<size_t>(cell) < room) {
                at += cell;
                room -= static_cast<size_t>(cell);
            }
        }

        // The printable characters of the POSIX locale are exactly 0x20 to 0x7e.
        char chars[17];
        for (size_t i = 0; i < count; ++i)
            chars[i] = (p[i] >= 0x20 && p[i] <= 0x7E) ? static_cast<char>(p[i]) : '.';
        chars[count] = '\0';

        char line[128];
        int used = snprintf(line, sizeof line, "%p %s  %s\n", static_cast<const void*>(p), hex, chars);
        if (used > 0)
            write_stderr(line, static_cast<size_t>(used) < sizeof line ? static_cast<size_t>(used) : sizeof line - 1);
        p += count;
        length -= count;
    }
}

const char* v4_text(const in_addr* addr)
{
    if (inet_ntop(AF_INET, addr, v4_buffer, sizeof v4_buffer) == nullptr)
        return "(error)";
    return v4_buffer;
}

const char* v6_text(const in6_addr* addr)
{
    v6_selector ^= 1;
    char* text = v6_buffers[v6_selector];
    if (inet_ntop(AF_INET6, addr, text, INET6_ADDRSTRLEN) == nullptr)
        return "(error)";
    return text;
}
