// SPDX-License-Identifier: BSD-2-Clause
/*
 * A CPU-bound process for a bounded time: it takes its fair share of the CPU
 * it is pinned to and touches almost no memory. Beside two forwarders it
 * leaves each a third of that CPU, so that load generators with half of the
 * other CPU each always outrun them.
 *
 * usage: ballast seconds
 */
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

static double now(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

int main(int argc, char** argv)
{
    const double seconds = argc == 2 ? atof(argv[1]) : 0;
    if (seconds <= 0 || seconds > 3600) {
        fprintf(stderr, "usage: %s seconds (up to 3600)\n", argv[0]);
        return 2;
    }
    const double end = now() + seconds;
    volatile unsigned long spins = 0;
    while (now() < end) {
        for (int i = 0; i < 100000; ++i)
            spins = spins + 1;
    }
    return 0;
}
