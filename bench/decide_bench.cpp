// SPDX-License-Identifier: BSD-2-Clause
// Time per packet of the two decision functions on the common path (sent or
// delivered, tracing off). The frame header that tun2raw_decide overwrites
// with the outer IPv4 header is put back before each call, as the link layer
// does after each read.
#include "decide_fixture.h"
#include "forward/inbound.h"
#include "forward/outbound.h"

#include <benchmark/benchmark.h>

namespace {

alignas(64) uint8_t Buffer[tunnel_buffer_size];

void BM_tun2raw_decide(benchmark::State& state)
{
    TunnelContext ctx;
    bench::make_context(ctx, Buffer);
    const size_t n = bench::load_outbound(ctx, bench::small_packet);
    for (auto _ : state) {
        bench::restore_frame_header(ctx);
        sockaddr_in target;
        size_t length;
        const path_outcome outcome = tun2raw_decide(ctx, ctx.buffer, n, &target, &length);
        benchmark::DoNotOptimize(outcome);
        benchmark::DoNotOptimize(target);
        if (outcome != OUTCOME_FORWARD) {
            state.SkipWithError("packet not sent");
            break;
        }
    }
}
BENCHMARK(BM_tun2raw_decide);

void BM_raw2tun_decide(benchmark::State& state)
{
    TunnelContext ctx;
    bench::make_context(ctx, Buffer);
    const size_t n = bench::load_inbound(ctx, bench::small_packet);
    for (auto _ : state) {
        bench::restore_inbound_destination(ctx);
        size_t header;
        const path_outcome outcome = raw2tun_decide(ctx, ctx.buffer, n, &header);
        benchmark::DoNotOptimize(outcome);
        benchmark::DoNotOptimize(header);
        if (outcome != OUTCOME_FORWARD) {
            state.SkipWithError("packet not delivered");
            break;
        }
    }
}
BENCHMARK(BM_raw2tun_decide);

}  // namespace

BENCHMARK_MAIN();
