// SPDX-License-Identifier: BSD-2-Clause
#include "daemon/privileges.h"

#include "trace/log.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

int drop_privileges(const char* user)
{
    errno = 0;
    const passwd* entry = getpwnam(user);
    if (entry == nullptr) {
        // No entry leaves errno 0, or sets one of these; anything else is a
        // lookup that could not be made, and saying "not found" would mislead.
        if (errno == 0 || errno == ENOENT || errno == ESRCH || errno == EBADF || errno == EPERM)
            log_message(LOG_ERR, "%s: user not found", user);
        else
            log_message(LOG_ERR, "getpwnam: %s: %m", user);
        return -1;
    }
    // Copied before the calls below: they may reuse getpwnam's storage.
    const uid_t uid = entry->pw_uid;
    const gid_t gid = entry->pw_gid;

    // The group first: once the user ID has changed, the group can't be.
    if (setgid(gid) == -1) {
        log_message(LOG_ERR, "setgid: %m");
        return -1;
    }
    if (setgroups(1, &gid) == -1) {
        log_message(LOG_ERR, "setgroups: %m");
        return -1;
    }
    if (setuid(uid) == -1) {
        log_message(LOG_ERR, "setuid: %m");
        return -1;
    }
    return 0;
}
