// SPDX-License-Identifier: BSD-2-Clause
// The prefix operations and acceptance rules on arbitrary addresses and
// every valid pair of lengths, against the bit-by-bit model of reference.h.
// Addresses live in heap blocks whose bytes beyond what an operation may
// read are poisoned.
//
// Input: 40 bytes: n (0 to 128), P and M selectors, address a (16), address
// b (16), an IPv4 address (4).
#include "mapping/acceptance.h"
#include "mapping/prefix.h"
#include "reference.h"

#include <sanitizer/asan_interface.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

using namespace reference;

uint8_t* A;
uint8_t* B;
uint8_t* V4;

void load(uint8_t* block, const uint8_t* bytes, size_t size, size_t readable)
{
    ASAN_UNPOISON_MEMORY_REGION(block, size);
    std::memcpy(block, bytes, size);
    ASAN_POISON_MEMORY_REGION(block + readable, size - readable);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 39)
        return 0;
    if (A == nullptr) {
        A = static_cast<uint8_t*>(malloc(16));
        B = static_cast<uint8_t*>(malloc(16));
        V4 = static_cast<uint8_t*>(malloc(4));
    }
    const int n = data[0] % 129;
    Domain d;
    choose_lengths(d, data[1], data[2]);
    const uint8_t* a = data + 3;
    const uint8_t* b = data + 19;
    const uint8_t* v4 = data + 35;

    // prefix_differs: zero exactly when the first n bits agree. It reads at
    // most ceil(n / 8) bytes, and no byte after the first whole byte that
    // differs.
    bool agree = true;
    int first_difference = 16;
    for (int i = 0; i < n; ++i)
        if (bit(a, i) != bit(b, i)) {
            agree = false;
            break;
        }
    for (int k = 0; k < n / 8; ++k)
        if (a[k] != b[k]) {
            first_difference = k;
            break;
        }
    size_t readable = static_cast<size_t>((n + 7) / 8);
    if (static_cast<size_t>(first_difference) + 1 < readable)
        readable = static_cast<size_t>(first_difference) + 1;
    load(A, a, 16, readable);
    load(B, b, 16, readable);
    const int differs = prefix_differs(reinterpret_cast<const in6_addr*>(A),
                                       reinterpret_cast<const in6_addr*>(B), n);
    FUZZ_CHECK((differs == 0) == agree);
    FUZZ_CHECK(differs >= 0 && differs <= 255);

    // extract_v4_address reads bytes 0 to 7 of the address only.
    std::memcpy(d.own, v4, 4);
    load(A, a, 16, 8);
    load(V4, v4, 4, 4);
    in_addr out;
    extract_v4_address(&out, reinterpret_cast<const in_addr*>(V4), d.common_len,
                       reinterpret_cast<const in6_addr*>(A), d.prefix_len);
    uint8_t want[4];
    embedded_v4(d, a, want);
    FUZZ_CHECK(std::memcmp(&out, want, 4) == 0);

    // embed_v4_suffix changes bits P to D - 1 only, and extract undoes it.
    load(A, a, 16, 16);
    embed_v4_suffix(reinterpret_cast<in6_addr*>(A), d.prefix_len,
                    reinterpret_cast<const in_addr*>(V4), d.common_len);
    for (int i = 0; i < 128; ++i) {
        const bool suffix = i >= d.prefix_len && i < delegated_len(d);
        const int expected = suffix ? bit(v4, d.common_len + i - d.prefix_len) : bit(a, i);
        FUZZ_CHECK(bit(A, i) == expected);
    }
    extract_v4_address(&out, reinterpret_cast<const in_addr*>(V4), d.common_len,
                       reinterpret_cast<const in6_addr*>(A), d.prefix_len);
    FUZZ_CHECK(std::memcmp(&out, v4, 4) == 0);

    // The acceptance rules: reject_v6_address reads two bytes only.
    load(A, a, 16, 2);
    FUZZ_CHECK((reject_v6_address(reinterpret_cast<const in6_addr*>(A)) != 0) == v6_refused(a));
    FUZZ_CHECK((reject_v4_address(reinterpret_cast<const in_addr*>(V4)) != 0) == v4_refused(v4));

    ASAN_UNPOISON_MEMORY_REGION(A, 16);
    ASAN_UNPOISON_MEMORY_REGION(B, 16);
    return 0;
}
