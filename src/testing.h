// SPDX-License-Identifier: BSD-2-Clause
// What every unit test may need: standard error capture, the debug level,
// address literals, a started tunnel's context, IPv6 packets and
// protocol-41 datagrams to feed the packet paths, and socket pairs standing
// in for the tunnel device and the raw socket, with which a whole packet
// path runs once. It leans only on the shared context, the trace layer and
// tunnel_setup.h, so the tests of every layer can use it.
#pragma once

#include "daemon/tunnel_context.h"
#include "trace/log.h"
#include "trace/trace.h"
#include "tunnel_setup.h"

#include <arpa/inet.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

namespace test {

// Redirects file descriptor 2 into an anonymous file until text() is called
// or the object goes away. Trace output and the log's copy to standard error
// are written with write(2) on descriptor 2, not through stdio, so the
// descriptor itself has to be redirected.
class CapturedStderr {
public:
    CapturedStderr()
    {
        std::fflush(stderr);
        file_ = memfd_create("captured-stderr", MFD_CLOEXEC);
        saved_ = dup(STDERR_FILENO);
        if (file_ < 0 || saved_ < 0 || dup2(file_, STDERR_FILENO) < 0)
            ADD_FAILURE() << "cannot redirect standard error";
    }
    CapturedStderr(const CapturedStderr&) = delete;
    CapturedStderr& operator=(const CapturedStderr&) = delete;

    ~CapturedStderr()
    {
        restore();
        if (file_ >= 0)
            close(file_);
    }

    // Everything written to standard error since the capture began; ends the
    // capture.
    std::string text()
    {
        restore();
        std::string captured;
        if (file_ < 0)
            return captured;
        char chunk[4096];
        ssize_t got;
        for (off_t at = 0; (got = pread(file_, chunk, sizeof chunk, at)) > 0; at += got)
            captured.append(chunk, static_cast<size_t>(got));
        return captured;
    }

private:
    void restore()
    {
        if (saved_ < 0)
            return;
        std::fflush(stderr);
        dup2(saved_, STDERR_FILENO);
        close(saved_);
        saved_ = -1;
    }

    int file_ = -1;
    int saved_ = -1;
};

// Sets DebugLevel for the length of a scope and puts the old value back.
class DebugLevelScope {
public:
    explicit DebugLevelScope(int level) : saved_(DebugLevel) { DebugLevel = level; }
    DebugLevelScope(const DebugLevelScope&) = delete;
    DebugLevelScope& operator=(const DebugLevelScope&) = delete;
    ~DebugLevelScope() { DebugLevel = saved_; }

private:
    int saved_;
};

// Copies every log message, of every priority, to standard error for the
// length of a scope, as the log is set up until the daemon detaches.
class LogCopiedToStderr {
public:
    LogCopiedToStderr()
    {
        log_open(log_ident(), true);
        log_set_mask(LOG_UPTO(LOG_DEBUG));
    }
    LogCopiedToStderr(const LogCopiedToStderr&) = delete;
    LogCopiedToStderr& operator=(const LogCopiedToStderr&) = delete;
    ~LogCopiedToStderr() { log_open(log_ident(), false); }
};

// Runs call() at the given debug level and returns what it wrote to
// standard error.
template <typename Call>
std::string traced(int level, Call call)
{
    DebugLevelScope scope(level);
    CapturedStderr captured;
    call();
    return captured.text();
}

inline in6_addr v6(const char* text)
{
    in6_addr addr{};
    EXPECT_EQ(inet_pton(AF_INET6, text, &addr), 1) << text;
    return addr;
}

inline in_addr v4(const char* text)
{
    in_addr addr{};
    EXPECT_EQ(inet_pton(AF_INET, text, &addr), 1) << text;
    return addr;
}

inline std::string text_of(const in6_addr& addr)
{
    char text[INET6_ADDRSTRLEN];
    return inet_ntop(AF_INET6, &addr, text, sizeof text) ? text : "(bad address)";
}

inline std::string text_of(const in_addr& addr)
{
    char text[INET_ADDRSTRLEN];
    return inet_ntop(AF_INET, &addr, text, sizeof text) ? text : "(bad address)";
}

// The unit tests' tunnel: the 6rd prefix 2001:db8::/32, the own address
// 192.0.2.1, the relay 203.0.113.1 and the given common length, started on a
// 2048-byte buffer of its own.
class TestTunnel {
public:
    explicit TestTunnel(int common_len = 0) : storage_(tunnel_buffer_size, 0)
    {
        const tunnel_setup setup{v6("2001:db8::"), 32, v4("192.0.2.1"), v4("203.0.113.1"),
                                 common_len};
        ctx = running_context(setup, storage_.data());
    }
    TestTunnel(const TestTunnel&) = delete;
    TestTunnel& operator=(const TestTunnel&) = delete;

    // Fills the whole buffer with one byte value, so that leftovers of an
    // earlier packet or of another fill can be told apart.
    void fill(uint8_t value) { std::memset(ctx.buffer, value, ctx.buffer_size); }

    // Puts bytes at the given buffer offset, as a read or receive would.
    void load(size_t offset, const std::vector<uint8_t>& bytes)
    {
        ASSERT_LE(offset + bytes.size(), ctx.buffer_size);
        if (!bytes.empty())
            std::memcpy(ctx.buffer + offset, bytes.data(), bytes.size());
    }

    std::vector<uint8_t> bytes(size_t offset, size_t count) const
    {
        return std::vector<uint8_t>(ctx.buffer + offset, ctx.buffer + offset + count);
    }

    TunnelContext ctx;

private:
    std::vector<uint8_t> storage_;
};

// An IPv6 packet of length bytes (at least 40): version 6, the given traffic
// class and next header, payload length = length - 40, hop limit 64, the two
// addresses, and a payload that counts up from 0.
inline std::vector<uint8_t> ipv6_packet(const char* source, const char* destination,
                                        size_t length = 64, uint8_t next_header = 58,
                                        uint8_t traffic_class = 0)
{
    std::vector<uint8_t> packet(length < 40 ? 40 : length, 0);
    packet[0] = static_cast<uint8_t>(0x60 | (traffic_class >> 4));
    packet[1] = static_cast<uint8_t>((traffic_class << 4) | 0x0A);  // flow label 0xA1234
    packet[2] = 0x12;
    packet[3] = 0x34;
    const size_t payload = packet.size() - 40;
    packet[4] = static_cast<uint8_t>(payload >> 8);
    packet[5] = static_cast<uint8_t>(payload);
    packet[6] = next_header;
    packet[7] = 64;
    const in6_addr s = v6(source);
    const in6_addr d = v6(destination);
    std::memcpy(packet.data() + 8, &s, 16);
    std::memcpy(packet.data() + 24, &d, 16);
    for (size_t i = 40; i < packet.size(); ++i)
        packet[i] = static_cast<uint8_t>(i - 40);
    packet.resize(length);
    return packet;
}

// The packet behind a 4-byte header. Sized first, then filled: g++ 12 at -O3
// warns falsely about an insert behind an initializer list.
inline std::vector<uint8_t> behind_header(const uint8_t (&header)[4],
                                          const std::vector<uint8_t>& packet)
{
    std::vector<uint8_t> frame(sizeof header + packet.size());
    std::memcpy(frame.data(), header, sizeof header);
    if (!packet.empty())
        std::memcpy(frame.data() + sizeof header, packet.data(), packet.size());
    return frame;
}

// A frame as the tunnel device hands it over: 00 00 00 1c, then the packet.
inline std::vector<uint8_t> tun_frame(const std::vector<uint8_t>& packet)
{
    return behind_header({0x00, 0x00, 0x00, 0x1C}, packet);
}

// A frame as Linux hands an IPv6 packet over and takes one: flags 0 and
// EtherType 0x86dd, then the packet.
inline std::vector<uint8_t> device_frame(const std::vector<uint8_t>& packet)
{
    return behind_header({0x00, 0x00, 0x86, 0xDD}, packet);
}

// A protocol-41 datagram as the raw socket delivers it: an IPv4 header of
// header_len bytes (version 4, options filled with NOPs) from source to
// 192.0.2.1, then the packet.
inline std::vector<uint8_t> ipv4_datagram(const char* source, const std::vector<uint8_t>& packet,
                                          size_t header_len = 20)
{
    std::vector<uint8_t> datagram(header_len, 0x01);
    datagram[0] = static_cast<uint8_t>(0x40 | (header_len / 4));
    datagram[1] = 0x00;
    const size_t total = header_len + packet.size();
    datagram[2] = static_cast<uint8_t>(total >> 8);
    datagram[3] = static_cast<uint8_t>(total);
    datagram[4] = 0xBE;  // identification
    datagram[5] = 0xEF;
    datagram[6] = 0x40;  // don't fragment
    datagram[7] = 0x00;
    datagram[8] = 57;  // time to live
    datagram[9] = 41;
    datagram[10] = 0x5A;  // checksum, never examined
    datagram[11] = 0xA5;
    const in_addr s = v4(source);
    const in_addr d = v4("192.0.2.1");
    std::memcpy(datagram.data() + 12, &s, 4);
    std::memcpy(datagram.data() + 16, &d, 4);
    datagram.insert(datagram.end(), packet.begin(), packet.end());
    return datagram;
}

// The text that a dump of bytes lying at `at` must produce: per 16 bytes,
// the address of the line's first byte as %p prints it, the 48-character hex
// column, two spaces and the printable characters. The bytes are passed
// separately so that the dump can be checked after they were overwritten.
inline std::string dump_text(const uint8_t* at, const std::vector<uint8_t>& bytes)
{
    std::string text;
    for (size_t line = 0; line < bytes.size(); line += 16) {
        char address[32];
        std::snprintf(address, sizeof address, "%p", static_cast<const void*>(at + line));
        std::string hex;
        std::string chars;
        for (size_t i = line; i < line + 16; ++i) {
            if (i < bytes.size()) {
                char cell[4];
                std::snprintf(cell, sizeof cell, " %02x", bytes[i]);
                hex += cell;
                chars += (bytes[i] >= 0x20 && bytes[i] <= 0x7E) ? static_cast<char>(bytes[i]) : '.';
            } else {
                hex += "   ";
            }
        }
        text += std::string(address) + " " + hex + "  " + chars + "\n";
    }
    return text;
}

// A connected pair of packet sockets standing in for the tunnel device or the
// raw socket: one write is one read on the other end, whole, and an address
// given to sendto() is ignored, so nothing leaves the process.
class PacketPipe {
public:
    PacketPipe()
    {
        if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends_) != 0)
            ADD_FAILURE() << "socketpair failed";
    }
    PacketPipe(const PacketPipe&) = delete;
    PacketPipe& operator=(const PacketPipe&) = delete;
    ~PacketPipe()
    {
        for (int fd : ends_)
            if (fd >= 0)
                close(fd);
    }

    // The end handed to the code under test.
    int inner() const { return ends_[0]; }

    void put(const std::vector<uint8_t>& bytes)
    {
        ASSERT_EQ(send(ends_[1], bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
    }

    // The next message the code under test wrote, or nothing if it wrote none.
    std::vector<uint8_t> take()
    {
        std::vector<uint8_t> bytes(4096);
        const ssize_t got = recv(ends_[1], bytes.data(), bytes.size(), MSG_DONTWAIT);
        bytes.resize(got > 0 ? static_cast<size_t>(got) : 0);
        return bytes;
    }

private:
    int ends_[2] = {-1, -1};
};

// The eight counters of a context, for comparing them whole.
struct Counters {
    uint64_t Ipkts, Ierrs, Irjct, Ibytes, Opkts, Oerrs, Orjct, Obytes;
    bool operator==(const Counters&) const = default;
};

inline Counters counters_of(const TunnelContext& ctx)
{
    return {ctx.Ipkts, ctx.Ierrs, ctx.Irjct, ctx.Ibytes, ctx.Opkts, ctx.Oerrs, ctx.Orjct, ctx.Obytes};
}

inline std::ostream& operator<<(std::ostream& out, const Counters& c)
{
    return out << "Ipkts " << c.Ipkts << " Ierrs " << c.Ierrs << " Irjct " << c.Irjct << " Ibytes "
               << c.Ibytes << " Opkts " << c.Opkts << " Oerrs " << c.Oerrs << " Orjct " << c.Orjct
               << " Obytes " << c.Obytes;
}

// What one run of a whole packet path left behind.
struct PathRun {
    int result;          // what the path returned: -1 once the device is gone
    std::string output;  // trace lines and log copies on standard error
    Counters counters;
    std::vector<uint8_t> written;  // what the path wrote to its other descriptor
};

// Runs a whole packet path once with a socket pair standing in for each of
// its two descriptors: `arriving` waits on the one it reads (read_fd), and
// what it writes to the other (write_fd) is returned. A descriptor whose
// `works` is false is left at -1, so that call fails. Syslog messages are
// copied to standard error, where they are captured with the trace lines.
inline PathRun run_path(TestTunnel& tunnel, int (*path)(TunnelContext&),
                        const std::vector<uint8_t>& arriving, int level, int& read_fd,
                        bool read_works, int& write_fd, bool write_works)
{
    PacketPipe reading;
    PacketPipe writing;
    read_fd = read_works ? reading.inner() : -1;
    write_fd = write_works ? writing.inner() : -1;
    reading.put(arriving);

    LogCopiedToStderr copied;
    PathRun run;
    run.output = traced(level, [&] { run.result = path(tunnel.ctx); });
    run.counters = counters_of(tunnel.ctx);
    run.written = writing.take();
    read_fd = -1;
    write_fd = -1;
    return run;
}

// A log message as it is copied to standard error.
inline std::string logged(const std::string& message)
{
    return std::string(log_ident()) + ": " + message + "\n";
}

inline std::string hex_of(const std::vector<uint8_t>& bytes)
{
    std::string text;
    char cell[4];
    for (uint8_t b : bytes) {
        std::snprintf(cell, sizeof cell, "%02x ", b);
        text += cell;
    }
    return text;
}

}  // namespace test
