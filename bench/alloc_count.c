// SPDX-License-Identifier: BSD-2-Clause
/*
 * LD_PRELOAD shim that counts heap calls of an unchanged program. Every
 * allocation function glibc lets a program replace is counted and passed on
 * to glibc's own allocator. SIGUSR2 (and the end of the process) writes one
 * line to standard error:
 *
 *   alloc_count: malloc=N calloc=N realloc=N aligned=N free=N
 *
 * Two lines taken before and after traffic give the calls made while
 * packets flowed. The handler uses write() only.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <signal.h>
#include <stddef.h>
#include <string.h>
#include <unistd.h>

extern void* __libc_malloc(size_t size);
extern void* __libc_calloc(size_t count, size_t size);
extern void* __libc_realloc(void* block, size_t size);
extern void* __libc_memalign(size_t alignment, size_t size);
extern void __libc_free(void* block);

static volatile unsigned long count_malloc, count_calloc, count_realloc, count_aligned, count_free;

void* malloc(size_t size)
{
    ++count_malloc;
    return __libc_malloc(size);
}

void* calloc(size_t count, size_t size)
{
    ++count_calloc;
    return __libc_calloc(count, size);
}

void* realloc(void* block, size_t size)
{
    ++count_realloc;
    return __libc_realloc(block, size);
}

void* reallocarray(void* block, size_t count, size_t size)
{
    if (size != 0 && count > (size_t)-1 / size) {
        errno = ENOMEM;
        return NULL;
    }
    ++count_realloc;
    return __libc_realloc(block, count * size);
}

void* memalign(size_t alignment, size_t size)
{
    ++count_aligned;
    return __libc_memalign(alignment, size);
}

void* aligned_alloc(size_t alignment, size_t size)
{
    ++count_aligned;
    return __libc_memalign(alignment, size);
}

int posix_memalign(void** out, size_t alignment, size_t size)
{
    if (alignment < sizeof(void*) || (alignment & (alignment - 1)) != 0)
        return EINVAL;
    ++count_aligned;
    void* block = __libc_memalign(alignment, size);
    if (block == NULL)
        return ENOMEM;
    *out = block;
    return 0;
}

void* valloc(size_t size)
{
    ++count_aligned;
    return __libc_memalign((size_t)sysconf(_SC_PAGESIZE), size);
}

void* pvalloc(size_t size)
{
    const size_t page = (size_t)sysconf(_SC_PAGESIZE);
    ++count_aligned;
    return __libc_memalign(page, (size + page - 1) & ~(page - 1));
}

void free(void* block)
{
    ++count_free;
    __libc_free(block);
}

static char* put_text(char* at, const char* text)
{
    while (*text)
        *at++ = *text++;
    return at;
}

static char* put_number(char* at, unsigned long value)
{
    char digits[24];
    int n = 0;
    do {
        digits[n++] = (char)('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (n > 0)
        *at++ = digits[--n];
    return at;
}

static void report(void)
{
    const int saved_errno = errno;
    char line[160];
    char* at = put_text(line, "alloc_count: malloc=");
    at = put_number(at, count_malloc);
    at = put_text(at, " calloc=");
    at = put_number(at, count_calloc);
    at = put_text(at, " realloc=");
    at = put_number(at, count_realloc);
    at = put_text(at, " aligned=");
    at = put_number(at, count_aligned);
    at = put_text(at, " free=");
    at = put_number(at, count_free);
    *at++ = '\n';
    if (write(STDERR_FILENO, line, (size_t)(at - line)) < 0) {
    }
    errno = saved_errno;
}

static void on_signal(int signal_number)
{
    (void)signal_number;
    report();
}

__attribute__((constructor)) static void start(void)
{
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGUSR2, &action, NULL);
}

__attribute__((destructor)) static void finish(void)
{
    report();
}
