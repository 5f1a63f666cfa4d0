// SPDX-License-Identifier: BSD-2-Clause
// Arbitrary bytes through the tunnel framing: a frame read from and written
// to the device (the platform's header translation in both directions, with a
// socket pair standing in for the device), the frame header test and the
// header written in front of an inbound packet.
//
// Input: one byte of room (for prepend_tun_header), then the frame. Every
// frame lives in a heap block of exactly its size, so no byte beyond it can
// be read or written unnoticed.
#include "link/tun_device.h"
#include "reference.h"
#include "trace/trace.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

uint8_t* copy_of(const uint8_t* data, size_t size)
{
    uint8_t* block = static_cast<uint8_t*>(malloc(size == 0 ? 1 : size));
    std::memcpy(block, data, size);
    return block;
}

// One message is one read on the other end, whole, like a tun device.
int device_end(int which)
{
    static int ends[2] = {-1, -1};
    if (ends[0] == -1)
        FUZZ_CHECK(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, ends) == 0);
    return ends[which];
}

// The frame as tun_read leaves it after the device handed it over. A read
// or receive of 0 bytes would leave an empty message queued, so an empty
// frame is only copied.
void read_from_device(uint8_t* frame, const uint8_t* given, size_t n)
{
    if (n == 0)
        return;
    FUZZ_CHECK(send(device_end(1), given, n, 0) == static_cast<ssize_t>(n));
    FUZZ_CHECK(tun_read(device_end(0), frame, n) == static_cast<ssize_t>(n));
}

// What tun_write hands the device; the frame is translated in place.
void write_to_device(uint8_t* frame, size_t n, uint8_t* sent)
{
    if (n == 0)
        return;
    FUZZ_CHECK(tun_write(device_end(0), frame, n) == static_cast<ssize_t>(n));
    FUZZ_CHECK(recv(device_end(1), sent, n, 0) == static_cast<ssize_t>(n));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const uint8_t setup = data[0];
    const uint8_t* frame = data + 1;
    const size_t n = size - 1;
    DebugLevel = setup >> 7;

    // After a read: 86 dd and 08 00 become the frame header of their
    // family; anything else, and anything shorter than 4 bytes, stays.
    uint8_t* read = static_cast<uint8_t*>(malloc(n == 0 ? 1 : n));
    read_from_device(read, frame, n);
    const bool ipv6 = n >= 4 && frame[2] == 0x86 && frame[3] == 0xdd;
    const bool ipv4 = n >= 4 && frame[2] == 0x08 && frame[3] == 0x00;
    if (ipv6 || ipv4) {
        const uint8_t header[4] = {0, 0, 0, static_cast<uint8_t>(ipv6 ? 28 : 2)};
        FUZZ_CHECK(std::memcmp(read, header, 4) == 0);
        FUZZ_CHECK(std::memcmp(read + 4, frame + 4, n - 4) == 0);
    } else {
        FUZZ_CHECK(std::memcmp(read, frame, n) == 0);
    }

    // The frame header test on what the paths then see.
    const ssize_t checked = check_tun_header(read, n);
    FUZZ_CHECK(checked == (n >= 4 && reference::load_be32(read) == 28 ? 4 : -1));

    // Before a write: only 00 00 00 1c turns into flags 0 and 86 dd.
    uint8_t* write = copy_of(frame, n);
    uint8_t* sent = static_cast<uint8_t*>(malloc(n == 0 ? 1 : n));
    write_to_device(write, n, sent);
    FUZZ_CHECK(std::memcmp(sent, write, n) == 0);
    if (n >= 4 && reference::load_be32(frame) == 28) {
        const uint8_t info[4] = {0, 0, 0x86, 0xdd};
        FUZZ_CHECK(std::memcmp(write, info, 4) == 0);
        FUZZ_CHECK(std::memcmp(write + 4, frame + 4, n - 4) == 0);
    } else {
        FUZZ_CHECK(std::memcmp(write, frame, n) == 0);
    }

    // A round trip gives an IPv6 frame back with its flags cleared.
    write_to_device(read, n, sent);
    if (ipv6) {
        const uint8_t info[4] = {0, 0, 0x86, 0xdd};
        FUZZ_CHECK(std::memcmp(read, info, 4) == 0);
    }

    // The header in front of a packet, with room bytes in front of it:
    // exactly the 4 bytes before the packet change, or nothing at all.
    const size_t room = setup & 0x0f;
    uint8_t* block = static_cast<uint8_t*>(malloc(room + n + 1));
    std::memset(block, 0xee, room);
    std::memcpy(block + room, frame, n);
    const ssize_t prepended = prepend_tun_header(block + room, room);
    if (room < 4) {
        FUZZ_CHECK(prepended == -1);
        for (size_t i = 0; i < room; ++i)
            FUZZ_CHECK(block[i] == 0xee);
    } else {
        const uint8_t header[4] = {0, 0, 0, 28};
        FUZZ_CHECK(prepended == 4);
        FUZZ_CHECK(std::memcmp(block + room - 4, header, 4) == 0);
        for (size_t i = 0; i < room - 4; ++i)
            FUZZ_CHECK(block[i] == 0xee);
    }
    FUZZ_CHECK(std::memcmp(block + room, frame, n) == 0);

    free(block);
    free(sent);
    free(write);
    free(read);
    return 0;
}
