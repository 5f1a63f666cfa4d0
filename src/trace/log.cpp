// SPDX-License-Identifier: BSD-2-Clause
#include "trace/log.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

const char* Ident = "ferrin";
bool CopyToStderr = false;
const char* SocketPath = log_socket_default;
int Mask = 0xFF;
int LogFd = -1;
uint64_t Dropped = 0;
uint64_t DroppedUnsaid = 0;  // not yet told to the log itself

constexpr size_t record_size = 1024;

// Non-blocking from the start: a full socket answers EAGAIN at once.
bool connect_log()
{
    if (LogFd != -1)
        return true;
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd == -1)
        return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, SocketPath, sizeof address.sun_path - 1);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == -1) {
        close(fd);
        return false;
    }
    LogFd = fd;
    return true;
}

void disconnect_log()
{
    if (LogFd != -1)
        close(LogFd);
    LogFd = -1;
}

// One record, whole. False when it is lost: the socket is full, or there is
// no reader even after connecting anew (the log daemon restarted and made a
// new socket, or there is none).
bool send_record(const char* record, size_t length)
{
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!connect_log())
            return false;
        if (send(LogFd, record, length, MSG_NOSIGNAL) >= 0)
            return true;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return false;
        disconnect_log();
    }
    return false;
}

// "<priority>Mmm dd hh:mm:ss ident: message" into record (record_size
// bytes): its length, and where the ident starts (the copy to standard
// error begins there). errno is the caller's when the message is formatted.
size_t make_record(char* record, int priority, size_t* ident_at, const char* format,
                   va_list args)
{
    const int caller_errno = errno;
    if ((priority & LOG_FACMASK) == 0)
        priority |= LOG_DAEMON;
    const time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    size_t used = static_cast<size_t>(snprintf(record, record_size, "<%d>", priority));
    // The process never sets a locale, so month names are the C locale's,
    // as glibc's syslog() writes them.
    used += strftime(record + used, record_size - used, "%b %e %T ", &local);
    *ident_at = used;
    const int ident = snprintf(record + used, record_size - used, "%s: ", Ident);
    if (ident > 0)
        used += static_cast<size_t>(ident);
    if (used < record_size) {
        errno = caller_errno;
        const int text = vsnprintf(record + used, record_size - used, format, args);
        if (text > 0)
            used += static_cast<size_t>(text);
    }
    return used < record_size ? used : record_size - 1;
}

void write_stderr(const char* text, size_t length)
{
    while (length > 0) {
        const ssize_t done = write(STDERR_FILENO, text, length);
        if (done <= 0)
            return;
        text += done;
        length -= static_cast<size_t>(done);
    }
}

// Before the next message that gets through, the log learns how many did not.
__attribute__((format(printf, 1, 2))) void tell_dropped(const char* format, ...)
{
    char record[record_size];
    size_t ident_at = 0;
    va_list args;
    va_start(args, format);
    const size_t used = make_record(record, LOG_WARNING, &ident_at, format, args);
    va_end(args);
    if (send_record(record, used))
        DroppedUnsaid = 0;
}

}  // namespace

void log_open(const char* ident, bool copy_to_stderr, const char* socket_path)
{
    if (ident != nullptr && *ident != '\0')
        Ident = ident;
    CopyToStderr = copy_to_stderr;
    if (socket_path != SocketPath && std::strcmp(socket_path, SocketPath) != 0)
        disconnect_log();
    SocketPath = socket_path;
}

void log_set_mask(int mask)
{
    Mask = mask;
}

void log_message(int priority, const char* format, ...)
{
    if ((LOG_MASK(LOG_PRI(priority)) & Mask) == 0)
        return;
    // The caller may still want its errno after logging it.
    const int caller_errno = errno;
    char record[record_size];
    size_t ident_at = 0;
    va_list args;
    va_start(args, format);
    const size_t used = make_record(record, priority, &ident_at, format, args);
    va_end(args);

    if (CopyToStderr) {
        // The record less its head, with a newline, written at once so that
        // lines of processes sharing a terminal never interleave.
        record[used] = '\n';
        write_stderr(record + ident_at, used + 1 - ident_at);
    }

    if (DroppedUnsaid > 0)
        tell_dropped("%" PRIu64 " log messages lost: the log socket was full or gone",
                     DroppedUnsaid);
    if (!send_record(record, used)) {
        ++Dropped;
        ++DroppedUnsaid;
    }
    errno = caller_errno;
}

const char* log_ident()
{
    return Ident;
}

uint64_t log_dropped()
{
    return Dropped;
}
