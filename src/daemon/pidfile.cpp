// SPDX-License-Identifier: BSD-2-Clause
#include "daemon/pidfile.h"

#include "trace/log.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr char pidfile_directory[] = "/var/run";

char* PidFilePath = nullptr;
int PidFileFd = -1;

}  // namespace

int make_pidfile(const char* name)
{
    if (PidFilePath != nullptr || PidFileFd != -1) {
        log_message(LOG_ERR, "make_pidfile() is called twice");
        return -1;
    }

    // "/var/run" + "/" + name + ".pid" + terminator
    const size_t size = std::strlen(name) + 14;
    PidFilePath = static_cast<char*>(malloc(size));
    if (PidFilePath == nullptr) {
        log_message(LOG_ERR, "out of memory");
        return -1;
    }
    snprintf(PidFilePath, size, "%s/%s.pid", pidfile_directory, name);

    PidFileFd = open_locked_file(PidFilePath);
    if (PidFileFd != -1)
        return 0;

    log_message(LOG_ERR, "%s: open: %m", PidFilePath);
    PidFileFd = -1;
    free(PidFilePath);
    PidFilePath = nullptr;
    return -1;
}

int write_pidfile()
{
    if (ftruncate(PidFileFd, 0) == -1) {
        log_message(LOG_ERR, "%s: ftruncate: %m", PidFilePath);
        return -1;
    }

    char text[16];
    const int length = snprintf(text, sizeof text, "%d\n", static_cast<int>(getpid()));

    // The offset is still 0, so the text lands at the start of the emptied
    // file. A short write is completed rather than leaving a cut number behind.
    const char* at = text;
    size_t left = static_cast<size_t>(length);
    while (left > 0) {
        const ssize_t done = write(PidFileFd, at, left);
        if (done == -1 && errno == EINTR)
            continue;
        if (done <= 0) {
            if (done == 0)
                errno = ENOSPC;
            log_message(LOG_ERR, "%s: write: %m", PidFilePath);
            return -1;
        }
        at += done;
        left -= static_cast<size_t>(done);
    }
    return 0;
}

void remove_pidfile()
{
    if (PidFilePath == nullptr && PidFileFd == -1)
        return;
    if (PidFilePath == nullptr || PidFileFd == -1) {
        log_message(LOG_ERR, "inconsistent PID file info");
        return;
    }

    struct stat held{};
    struct stat named{};
    if (fstat(PidFileFd, &held) == -1) {
        log_message(LOG_ERR, "fstat PID file failed: %m");
    } else if (stat(PidFilePath, &named) == -1) {
        log_message(LOG_ERR, "%s: stat: %m", PidFilePath);
    } else if (held.st_dev != named.st_dev || held.st_ino != named.st_ino) {
        log_message(LOG_ERR, "PID file is replaced; exiting without unlinking it");
    } else if (unlink(PidFilePath) == -1) {
        // Without the right to remove entries of the directory (after -u),
        // an empty file is the next best thing.
        if (ftruncate(PidFileFd, 0) == -1)
            log_message(LOG_ERR, "%s: ftruncate: %m", PidFilePath);
    }

    free(PidFilePath);
    PidFilePath = nullptr;
    close(PidFileFd);
    PidFileFd = -1;
}
