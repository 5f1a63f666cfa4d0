// SPDX-License-Identifier: BSD-2-Clause
// The failures of single packets that reach the log: a read from or write to
// the tunnel device, a receive or send on the raw socket. Any of them may
// repeat for every packet (a deleted route, an interface set down), so each
// kind is logged in a short burst and then about once a second; the lines
// held back are counted and named in the next line of that kind.
#pragma once

#include <cstdint>

enum packet_failure : int {
    FAILED_TUN_READ,   // "read: tun: ..."
    FAILED_RAW_RECV,   // "recv: raw: ..."
    FAILED_RAW_SEND,   // "sendto: raw: ..."
    FAILED_TUN_WRITE,  // "write: tun: ..."
    PACKET_FAILURE_KINDS
};

// Lines of one kind that may follow each other at once; after them, one a second.
inline constexpr int failure_burst = 5;

// The budget of one kind: the decision below is pure, the clock is the caller's.
struct failure_limit {
    int64_t credit_ms;  // 1000 per line that may be written now
    int64_t last_ms;    // when credit_ms was last brought up to date
    uint64_t held;      // failures not logged since the last line
    bool started;
};

// Whether a failure at now_ms (a monotonic clock) is logged. When it is,
// *held_before is the count held back before it, and the count starts
// again; when it is not, the count grows.
bool failure_admitted(failure_limit& limit, int64_t now_ms, uint64_t* held_before);

// Logs the failure of this kind that just happened (its error in errno),
// unless the kind has used up its lines.
void log_packet_failure(packet_failure kind);

// Logs, for each kind with failures held back, the last one, naming how
// many more there were; asked for with the statistics. Like every line, it
// stands for one failure and the count it gives.
void log_held_failures();

// Starts every kind afresh: a full burst, nothing held. For tests, which
// need their lines whatever ran before them.
void reset_failure_log();
