// SPDX-License-Identifier: BSD-2-Clause
// Trace lines and hex dumps, linked into the packet targets.
//
// At a debug level the packet paths write each trace line and each line of
// a dump with one write() to standard error, which the fuzzer has pointed at
// /dev/null (-close_fd_mask=2). Those system calls took a third of the
// outbound target's time, for bytes nobody reads. This program's write()
// takes the place of the C library's: while standard error is /dev/null it
// drops what is written there, after the one check AddressSanitizer's own
// write() makes (every byte readable). Other descriptors, and standard error
// anywhere else (an input reproduced on a terminal), are written to as usual.
#include "reference.h"

#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstddef>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#include <sanitizer/asan_interface.h>
#define SINK_CHECKS_READS 1
#endif
#endif

namespace {

// Settled at the first write, which comes after the fuzzer has redirected
// standard error: -1 not yet known, 0 no, 1 yes.
int StderrDiscarded = -1;

bool stderr_discarded()
{
    if (StderrDiscarded < 0) {
        struct stat err;
        struct stat null;
        StderrDiscarded = fstat(STDERR_FILENO, &err) == 0 && stat("/dev/null", &null) == 0 &&
                          S_ISCHR(err.st_mode) && err.st_rdev == null.st_rdev;
    }
    return StderrDiscarded == 1;
}

}  // namespace

extern "C" ssize_t write(int fd, const void* data, size_t count)
{
#ifdef SINK_CHECKS_READS
    if (count > 0) {
        void* bad = __asan_region_is_poisoned(const_cast<void*>(data), count);
        if (bad != nullptr)
            __asan_describe_address(bad);
        FUZZ_CHECK(bad == nullptr);
    }
#endif
    if (fd == STDERR_FILENO && stderr_discarded())
        return static_cast<ssize_t>(count);
    return syscall(SYS_write, fd, data, count);
}
