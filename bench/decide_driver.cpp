// SPDX-License-Identifier: BSD-2-Clause
// A fixed batch of packets through one decision function, for instruction
// counts under callgrind (--toggle-collect=run_batch). The "empty" batch runs
// the same loop without the call, so that its count is the driver's own
// overhead.
//
// usage: decide_driver tun2raw|raw2tun|empty count
#include "decide_fixture.h"
#include "forward/inbound.h"
#include "forward/outbound.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

alignas(64) uint8_t Buffer[tunnel_buffer_size];

enum batch_mode { MODE_EMPTY, MODE_TUN2RAW, MODE_RAW2TUN };

}  // namespace

// Returns how many packets were not sent or delivered (0 on the common path).
extern "C" __attribute__((noinline)) long run_batch(int mode, long count,
                                                    const TunnelContext* ctx, size_t n)
{
    long missed = 0;
    switch (mode) {
    case MODE_TUN2RAW:
        for (long i = 0; i < count; ++i) {
            bench::restore_frame_header(*ctx);
            sockaddr_in target;
            size_t length;
            missed += tun2raw_decide(*ctx, ctx->buffer, n, &target, &length) != OUTCOME_FORWARD;
            asm volatile("" : : "r"(&target), "r"(&length) : "memory");
        }
        break;
    case MODE_RAW2TUN:
        for (long i = 0; i < count; ++i) {
            bench::restore_inbound_destination(*ctx);
            size_t header;
            missed += raw2tun_decide(*ctx, ctx->buffer, n, &header) != OUTCOME_FORWARD;
            asm volatile("" : : "r"(&header) : "memory");
        }
        break;
    default:
        for (long i = 0; i < count; ++i) {
            bench::restore_inbound_destination(*ctx);
            size_t header;
            missed += (n == 0);
            asm volatile("" : : "r"(&header) : "memory");
        }
        break;
    }
    return missed;
}

int main(int argc, char** argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: %s tun2raw|raw2tun|empty count\n", argv[0]);
        return 2;
    }
    const long count = atol(argv[2]);
    TunnelContext ctx;
    bench::make_context(ctx, Buffer);

    int mode = MODE_EMPTY;
    size_t n = 0;
    if (std::strcmp(argv[1], "tun2raw") == 0) {
        mode = MODE_TUN2RAW;
        n = bench::load_outbound(ctx, bench::small_packet);
    } else if (std::strcmp(argv[1], "raw2tun") == 0) {
        mode = MODE_RAW2TUN;
        n = bench::load_inbound(ctx, bench::small_packet);
    } else if (std::strcmp(argv[1], "empty") == 0) {
        n = bench::load_inbound(ctx, bench::small_packet);
    } else {
        fprintf(stderr, "unknown batch %s\n", argv[1]);
        return 2;
    }

    const long missed = run_batch(mode, count, &ctx, n);
    printf("%s %ld packets, %ld not forwarded\n", argv[1], count, missed);
    return missed == 0 ? 0 : 1;
}
